#include "Core/Orvex/Ranfixer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>

#include "Core/Orvex/__field.h"
#include "support/Tools.h"
#include "support/Utils.h"
#include "support/serial.h"
#include "support/tabulation.h"

namespace Orvex {

const int range_fixer_args::iMaxPrecision = 6;

namespace {

const long long kMinSigned = std::numeric_limits<std::int32_t>::min();
const long long kMaxSigned = std::numeric_limits<std::int32_t>::max();
const unsigned long kMaxUnsigned = std::numeric_limits<std::uint32_t>::max();
const unsigned kMaxStoredPrecision = 255;  // one byte in both stored forms

[[noreturn]] void raiseOutside(const std::string& valueText) {
    Utils::raise_out_of_range("Range bound " + valueText + " is outside the 32-bit range");
}

long long checkedSigned(long v) {
    if (v < kMinSigned || v > kMaxSigned) raiseOutside(std::to_string(v));
    return v;
}

long long checkedUnsigned(unsigned long v) {
    if (v > kMaxUnsigned) raiseOutside(std::to_string(v));
    return static_cast<long long>(v);
}

// The 32 bits of v (in the 32-bit range of its kind), read as signed.
int low32(long long v) { return static_cast<int>(static_cast<std::uint32_t>(v)); }

std::string doubleText(double x) {
    std::ostringstream os;
    os << std::setprecision(15) << x;
    return os.str();
}

// x at the places it needs (at most iMaxPrecision), or the range error.
fixed_point boundAtItsPrecision(double x) {
    const unsigned places = static_cast<unsigned>(range_fixer_args::precision(x, range_fixer_args::iMaxPrecision));
    fixed_point f(places);
    if (!std::isfinite(x) || !fixed_point::convert(places, x, f.raw))
        Utils::raise_out_of_range("Range bound " + doubleText(x) + " does not fit 32 bits at " +
                                  std::to_string(places) + " decimal places");
    return f;
}

// Core::round(x, 1.0) truncated toward zero to 32 bits; the callers' bounds
// are already known to fit a 32-bit raw value at 0 or more places.
int roundedLong(double x) {
    const double r = Core::round(x, 1.0);
    if (!(r >= kMinSigned && r <= kMaxSigned)) raiseOutside(doubleText(x));
    return static_cast<int>(r);
}

void checkStoredPrecision(const fixed_point& f) {
    if (f.precision > kMaxStoredPrecision)
        Utils::raise_out_of_range("Range bound precision " + std::to_string(f.precision) + " is above " +
                                  std::to_string(kMaxStoredPrecision));
}

}  // namespace

// ================================================================ arguments

range_fixer_args::range_fixer_args(long min, long max) { setIntegers(checkedSigned(min), checkedSigned(max), false); }
range_fixer_args::range_fixer_args(int min, int max) { setIntegers(min, max, false); }
range_fixer_args::range_fixer_args(char min, char max) {
    setIntegers(static_cast<signed char>(min), static_cast<signed char>(max), false);
}
range_fixer_args::range_fixer_args(long max) { setIntegers(0, checkedSigned(max), false); }
range_fixer_args::range_fixer_args(int max) { setIntegers(0, max, false); }
range_fixer_args::range_fixer_args(char max) { setIntegers(0, static_cast<signed char>(max), false); }
range_fixer_args::range_fixer_args(unsigned long max) { setIntegers(0, checkedUnsigned(max), true); }
range_fixer_args::range_fixer_args(unsigned int max) { setIntegers(0, max, true); }
range_fixer_args::range_fixer_args(unsigned char max) { setIntegers(0, max, true); }
range_fixer_args::range_fixer_args(double min, double max) { setDoubles(min, max, true); }
range_fixer_args::range_fixer_args(double max) { setDoubles(0.0, max, false); }
range_fixer_args::range_fixer_args(const fixed_point& min, const fixed_point& max) { setFixed(min, max); }
range_fixer_args::range_fixer_args(const fixed_point& max) { setFixed(fixed_point(max.precision), max); }

void range_fixer_args::setIntegers(long long min, long long max, bool isUnsigned) {
    if (!isUnsigned && (min < kMinSigned || min > kMaxSigned)) raiseOutside(std::to_string(min));
    if (!isUnsigned && (max < kMinSigned || max > kMaxSigned)) raiseOutside(std::to_string(max));
    m_minLong = low32(min);
    m_maxLong = low32(max);
    m_minDouble = static_cast<double>(min);
    m_maxDouble = static_cast<double>(max);
    m_minFixed = fixed_point(0);
    m_minFixed.raw = m_minLong;
    m_maxFixed = fixed_point(0);
    m_maxFixed.raw = m_maxLong;
    m_precision = 0;
    m_kind = 0;
}

void range_fixer_args::setDoubles(double min, double max, bool minGiven) {
    m_minFixed = minGiven ? boundAtItsPrecision(min) : fixed_point(0);
    m_maxFixed = boundAtItsPrecision(max);
    m_minLong = roundedLong(min);
    m_maxLong = roundedLong(max);
    m_minDouble = min;
    m_maxDouble = max;
    m_precision = std::max(m_minFixed.precision, m_maxFixed.precision);
    m_kind = 1;
}

void range_fixer_args::setFixed(const fixed_point& min, const fixed_point& max) {
    checkStoredPrecision(min);
    checkStoredPrecision(max);
    m_minFixed = min;
    m_maxFixed = max;
    m_minDouble = min.to_double();
    m_maxDouble = max.to_double();
    m_minLong = roundedLong(m_minDouble);
    m_maxLong = roundedLong(m_maxDouble);
    m_precision = std::max(min.precision, max.precision);
    m_kind = 2;
}

unsigned range_fixer_args::signedSize() const {
    if (m_kind == 0) return Tools::log2(static_cast<long>(m_maxLong), static_cast<long>(m_minLong));
    return Tools::log2(static_cast<long>(m_maxFixed.raw), static_cast<long>(m_minFixed.raw));
}

unsigned range_fixer_args::unsignedSize() const {
    if (m_kind == 0) return Tools::log2(static_cast<unsigned long>(static_cast<std::uint32_t>(m_maxLong)));
    return Tools::log2(static_cast<long>(m_maxFixed.raw), 0L);
}

int range_fixer_args::precision(double x, int n) {
    if (!std::isfinite(x)) return 0;
    if (n <= 0) return n;
    if (n > 9) n = 9;
    const double f = std::fmod(x, 1.0);
    const double v = f * fixed_point::power10(static_cast<unsigned>(n)) + (x > 0.0 ? 0.5 : -0.5);
    int k = static_cast<int>(v);  // |v| <= 10^9 + 0.5
    while (k % 10 == 0 && n > 0) {
        k /= 10;
        --n;
    }
    return n;
}

void range_fixer_args::to_stream(std::ostream& os) const {
    tabulation::to_stream(os, static_cast<unsigned char>(m_minFixed.precision));
    tabulation::to_stream(os, m_minFixed);
    tabulation::to_stream(os, static_cast<unsigned char>(m_maxFixed.precision));
    tabulation::to_stream(os, m_maxFixed);
}

void range_fixer_args::serial_write(std::ostream& os) const {
    serial::write_u8(os, static_cast<unsigned char>(m_minFixed.precision));
    m_minFixed.serial_write(os);
    serial::write_u8(os, static_cast<unsigned char>(m_maxFixed.precision));
    m_maxFixed.serial_write(os);
}

pointer<field_transformer_base::args> range_fixer_args_creator::create(std::istream& in) const {
    unsigned char minPrecision = 0, maxPrecision = 0;
    tabulation::from_stream(in, minPrecision);
    fixed_point min(minPrecision);
    tabulation::from_stream(in, min);
    tabulation::from_stream(in, maxPrecision);
    fixed_point max(maxPrecision);
    tabulation::from_stream(in, max);
    return pointer<field_transformer_base::args>(new range_fixer_args(min, max));
}

pointer<field_transformer_base::args> range_fixer_args_creator::create(serial::serial_in& in) const {
    unsigned char minPrecision = 0, maxPrecision = 0;
    in >> minPrecision;
    fixed_point min(minPrecision);
    in >> min;
    in >> maxPrecision;
    fixed_point max(maxPrecision);
    in >> max;
    return pointer<field_transformer_base::args>(new range_fixer_args(min, max));
}

// ============================================================= transformers

namespace {
template <class F>
void appendWithArgs(TFields& fields, F& made, const TFieldInfo& old) {
    made.transformer(old.transformer());
    fields += made;
}

unsigned checkedWidth(const std::string& name, unsigned width) {
    if (width > bit_field::kMaxWidth) raise_bad_width(name, width);
    return width;
}
}  // namespace

template <class T>
void range_fixer<T>::do_addToFields(TFields& fields, const TField<T>& field) const {
    TField<T> made(field.name(), checkedWidth(field.name(), m_width));
    appendWithArgs(fields, made, field);
}

void range_fixer<fixed_point>::do_addToFields(TFields& fields, const TField<fixed_point>& field) const {
    TField<fixed_point> made(field.name(), m_precision, checkedWidth(field.name(), m_width));
    appendWithArgs(fields, made, field);
}

void range_fixer<std::string>::do_addToFields(TFields& fields, const TField<std::string>& field) const {
    TField<std::string> made(field.name(), m_width, field.Packed());
    appendWithArgs(fields, made, field);
}

template <class T>
pointer<field_transformer_base> range_fixer_creator<T>::create(const TTables&,
                                                               const field_transformer_base::args& a) const {
    const range_fixer_args& r = static_cast<const range_fixer_args&>(a);
    return pointer<field_transformer_base>(new range_fixer<T>(m_signed ? r.signedSize() : r.unsignedSize()));
}

pointer<field_transformer_base> range_fixer_creator<fixed_point>::create(const TTables&,
                                                                         const field_transformer_base::args& a) const {
    const range_fixer_args& r = static_cast<const range_fixer_args&>(a);
    return pointer<field_transformer_base>(new range_fixer<fixed_point>(r.signedSize(), r.precision()));
}

pointer<field_transformer_base> range_fixer_creator<std::string>::create(const TTables&,
                                                                         const field_transformer_base::args& a) const {
    const range_fixer_args& r = static_cast<const range_fixer_args&>(a);
    // A negative maximum becomes a size above 65535, which the string field refuses.
    return pointer<field_transformer_base>(new range_fixer<std::string>(static_cast<unsigned>(r.maxLong())));
}

#define ORVEX_INSTANTIATE_RANGE_FIXER(T, enumerator) \
    template class range_fixer<T>;                  \
    template class range_fixer_creator<T>;
ORVEX_FIELD_TYPES(ORVEX_INSTANTIATE_RANGE_FIXER)
#undef ORVEX_INSTANTIATE_RANGE_FIXER

// ============================================================ registrations

namespace {
// Made at load in this order, undone at unload in the reverse order.
field_transformer_base::args::registration s_argsRegistration(
    range_fixer_args::getCategory(), pointer<field_transformer_base::args::creator>(new range_fixer_args_creator));
#define ORVEX_RANGE_REGISTRATION(T, enumerator) scalar_fixer_registration<T> s_##enumerator##Registration;
ORVEX_FIELD_TYPES(ORVEX_RANGE_REGISTRATION)
#undef ORVEX_RANGE_REGISTRATION
}  // namespace

}  // namespace Orvex
