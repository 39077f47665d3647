#include "support/Tools.h"

#include <cmath>

namespace Tools {

unsigned log2(unsigned long v) {
    unsigned bits = 0;
    while (v != 0) {
        ++bits;
        v >>= 1;
    }
    return bits;
}

namespace {
// Bits of a signed field needed for v alone: its magnitude bits plus the sign.
unsigned signedWidth(long v) {
    if (v > 0) return log2(static_cast<unsigned long>(v)) + 1;
    if (v < 0) return log2(static_cast<unsigned long>(~v)) + 1;
    return 0;
}
}  // namespace

unsigned log2(long max, long min) {
    unsigned a = signedWidth(max);
    unsigned b = signedWidth(min);
    return a > b ? a : b;
}

}  // namespace Tools

namespace Core {
double round(double x, double step) { return std::round(x / step) * step; }
}  // namespace Core
