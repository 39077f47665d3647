#include "support/fixed_point.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "support/Tools.h"
#include "support/Utils.h"

namespace {

const int kMaxExactPower = 18;  // 10^18 is the largest power of ten in int64

std::int64_t power10i(unsigned n) {
    std::int64_t p = 1;
    for (unsigned i = 0; i < n; ++i) p *= 10;
    return p;
}

bool fitsRaw(std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

[[noreturn]] void raiseOverflow(const std::string& value, unsigned precision) {
    Utils::raise_out_of_range("Value " + value + " does not fit a fixed_point of precision " +
                              std::to_string(precision));
}

int checked(unsigned precision, long long x) {
    int raw;
    if (!fixed_point::convert(precision, x, raw)) raiseOverflow(std::to_string(x), precision);
    return raw;
}

}  // namespace

bool fixed_point::convert(unsigned precision, long long x, int& raw_out) {
    if (x == 0) {
        raw_out = 0;
        return true;
    }
    if (precision > 9) return false;  // |x| >= 1 times 10^10 never fits 32 bits
    std::int64_t scaled = static_cast<std::int64_t>(x) * power10i(precision);
    if (x > std::numeric_limits<std::int32_t>::max() || x < std::numeric_limits<std::int32_t>::min() ||
        !fitsRaw(scaled))
        return false;
    raw_out = static_cast<int>(scaled);
    return true;
}

bool fixed_point::convert(unsigned precision, double x, int& raw_out) {
    double scaled = Core::round(x * power10(precision), 1.0);
    if (!std::isfinite(scaled) || scaled < std::numeric_limits<std::int32_t>::min() ||
        scaled > std::numeric_limits<std::int32_t>::max())
        return false;
    raw_out = static_cast<int>(scaled);
    return true;
}

bool fixed_point::convert(unsigned precision, const fixed_point& x, int& raw_out) {
    if (precision >= x.precision) {
        unsigned up = precision - x.precision;
        if (x.raw == 0) {
            raw_out = 0;
            return true;
        }
        if (up > 9) return false;
        std::int64_t scaled = static_cast<std::int64_t>(x.raw) * power10i(up);
        if (!fitsRaw(scaled)) return false;
        raw_out = static_cast<int>(scaled);
        return true;
    }
    unsigned down = x.precision - precision;
    if (down > kMaxExactPower) {  // |raw| < 2^31 is far below half of 10^down
        raw_out = 0;
        return true;
    }
    std::int64_t divisor = power10i(down);
    std::int64_t magnitude = x.raw < 0 ? -static_cast<std::int64_t>(x.raw) : x.raw;
    std::int64_t rounded = (magnitude + divisor / 2) / divisor;
    raw_out = static_cast<int>(x.raw < 0 ? -rounded : rounded);
    return true;
}

fixed_point::fixed_point(unsigned precision, int x) : raw(checked(precision, x)), precision(precision) {}
fixed_point::fixed_point(unsigned precision, long x) : raw(checked(precision, x)), precision(precision) {}
fixed_point::fixed_point(unsigned precision, unsigned x) : raw(checked(precision, x)), precision(precision) {}
fixed_point::fixed_point(unsigned precision, unsigned long x) : raw(0), precision(precision) {
    if (x > static_cast<unsigned long>(std::numeric_limits<long long>::max()) ||
        !convert(precision, static_cast<long long>(x), raw))
        raiseOverflow(std::to_string(x), precision);
}
fixed_point::fixed_point(unsigned precision, double x) : raw(0), precision(precision) {
    if (!convert(precision, x, raw)) raiseOverflow(std::to_string(x), precision);
}
fixed_point::fixed_point(unsigned precision, const fixed_point& x) : serial::serializable(), raw(0), precision(precision) {
    if (!convert(precision, x, raw)) {
        std::ostringstream text;
        raiseOverflow(static_cast<std::ostringstream&>(text << x).str(), precision);
    }
}

double fixed_point::power10(unsigned n) { return std::pow(10.0, static_cast<double>(n)); }

void fixed_point::serial_write(std::ostream& os) const {
    serial::write_u32(os, static_cast<unsigned long>(static_cast<std::uint32_t>(raw)));
}

void fixed_point::serial_read(std::istream& is) {
    unsigned long r;
    if (serial::read_u32(is, r)) raw = static_cast<std::int32_t>(static_cast<std::uint32_t>(r));
}

std::string fixed_point::text() const {
    std::int64_t magnitude = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
    std::string digits = std::to_string(magnitude);
    if (precision > 0) {
        if (digits.size() <= precision) digits.insert(0, precision + 1 - digits.size(), '0');
        digits.insert(digits.size() - precision, 1, '.');
    }
    if (raw < 0) digits.insert(0, 1, '-');
    return digits;
}

std::ostream& operator<<(std::ostream& os, const fixed_point& v) { return os << v.text(); }
