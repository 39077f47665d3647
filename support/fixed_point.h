// fixed_point: a decimal number held as a signed 32-bit raw integer and a
// precision (the number of decimal fraction digits); value = raw / 10^precision.
//
// Converting constructors give x at the requested precision, rounding half
// away from zero when digits are dropped. A result whose raw integer does not
// fit 32 bits raises std::out_of_range; the `convert` helpers make the same
// conversions without raising, so a caller can report the failure in its own
// words. The binary form is the raw integer alone (4 bytes, little-endian).
// Printed, a value shows exactly `precision` fraction digits ("12.34", "-0.05",
// "7"), whatever the stream's own precision.
#pragma once

#include <ostream>

#include "support/serial.h"

class fixed_point : public serial::serializable {
public:
    int raw;
    unsigned precision;

    explicit fixed_point(unsigned precision = 0) : raw(0), precision(precision) {}
    fixed_point(unsigned precision, int x);
    fixed_point(unsigned precision, long x);
    fixed_point(unsigned precision, unsigned x);
    fixed_point(unsigned precision, unsigned long x);
    fixed_point(unsigned precision, double x);
    fixed_point(unsigned precision, const fixed_point& x);
    fixed_point(const fixed_point&) = default;
    fixed_point& operator=(const fixed_point&) = default;

    // Takes value and precision of x.
    void assign(const fixed_point& x) { raw = x.raw; precision = x.precision; }

    // 10^n as a double (doubles are formed as raw / power10(precision)).
    static double power10(unsigned n);

    double to_double() const { return raw / power10(precision); }
    // The decimal text operator<< writes: an optional '-', the digits, and
    // exactly `precision` of them after a '.' ("-0.05", "3").
    std::string text() const;

    // The conversions of the constructors, reporting overflow by returning
    // false and leaving `raw_out` alone.
    static bool convert(unsigned precision, long long x, int& raw_out);
    static bool convert(unsigned precision, double x, int& raw_out);
    static bool convert(unsigned precision, const fixed_point& x, int& raw_out);

    void serial_write(std::ostream&) const override;
    void serial_read(std::istream&) override;
    unsigned serial_size() const override { return 4; }
    bool fixed_size() const override { return true; }
};

std::ostream& operator<<(std::ostream& os, const fixed_point& v);
