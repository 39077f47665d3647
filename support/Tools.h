// Bit-width arithmetic and rounding used to size fields.
#pragma once

namespace Tools {
// The number of significant bits of v; 0 for v = 0.
unsigned log2(unsigned long v);
// The width of the smallest two's-complement field that holds every value
// from min to max, sign bit included. 0 when both are 0 (a zero-width field
// holds only 0). log2(v, 0) <= w exactly when v fits the signed range of w
// bits, and log2(0, v) likewise for negative v.
unsigned log2(long max, long min);
}  // namespace Tools

namespace Core {
// x rounded to the nearest multiple of step, ties away from zero.
double round(double x, double step);
}  // namespace Core
