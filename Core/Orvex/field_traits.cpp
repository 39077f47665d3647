#include "Core/Orvex/field_traits.h"

#include <cctype>

#include "support/Utils.h"

namespace Orvex {

void raise_unknown_type(unsigned value) {
    Utils::raise_logic_error("Field type " + std::to_string(value) + " is none of the stored types");
}

namespace field_traits_detail {

bool sizeNumber(const std::string& text, const char* what, long long min, long long max, unsigned& out,
                std::string& problem) {
    long long v = 0;
    if (readInteger(text, v) != NumberText::ok || v < min || v > max) {
        problem = std::string(what) + " must be a number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    out = static_cast<unsigned>(v);
    return true;
}

}  // namespace field_traits_detail

using field_traits_detail::sizeNumber;

// =============================================================== fixed point

namespace {

// The fraction digits of a decimal's text, up to its last non-zero one.
std::size_t decimalsGiven(const std::string& text) {
    const std::size_t point = text.find('.');
    if (point == std::string::npos) return 0;
    const std::size_t last = text.find_last_not_of('0');
    return last > point ? last - point : 0;
}

std::string tooManyDecimals(const std::string& text, unsigned precision) {
    return text + " has more than the field's " + std::to_string(precision) + " decimals";
}

// 10^(from - to): what a raw integer at precision `from` is divided by to
// give it at precision `to`.
long long unitBetween(unsigned to, unsigned from) {
    long long unit = 1;
    for (unsigned i = to; i < from; ++i) unit *= 10;
    return unit;
}

}  // namespace

NumberText field_traits<fixed_point>::parse(const std::string& text, const descriptor& field, fixed_point& v) {
    fixed_point read(field.Precision());
    const NumberText status = readDecimal(text, read);
    if (status == NumberText::ok) v = read;
    return status;
}

std::string field_traits<fixed_point>::read(const descriptor& field, const std::string& text, fixed_point& v) {
    fixed_point read(field.Precision());
    const NumberText status = parse(text, field, read);
    if (status == NumberText::malformed) return std::string("not ") + kind + ": '" + text + "'";
    if (status == NumberText::tooLarge) {
        if (decimalsGiven(text) > field.Precision()) return tooManyDecimals(text, field.Precision());
        return doesNotFit(text, field);
    }
    // More digits than the field keeps are taken only when they are zeros.
    if (read.precision > field.Precision() && read.raw % unitBetween(field.Precision(), read.precision) != 0)
        return tooManyDecimals(text, field.Precision());
    if (!field.canStore(read)) return doesNotFit(text, field);
    v = read;
    return std::string();
}

std::string field_traits<fixed_point>::rangeText(const descriptor& field) {
    return field.minValue().text() + ".." + field.maxValue().text();
}

std::string field_traits<fixed_point>::doesNotFit(const std::string& shown, const descriptor& field) {
    return shown + " does not fit (" + field.Type() + " of " + std::to_string(field.bits()) + " bits holds " +
           rangeText(field) + ")";
}

long double field_traits<fixed_point>::magnitude(const fixed_point& v) {
    long double x = v.raw;
    for (unsigned i = 0; i < v.precision; ++i) x /= 10;
    return x;
}

KeyFit field_traits<fixed_point>::setKey(const descriptor& field, bit_buffer& record, const std::string& text) {
    fixed_point v(field.Precision());
    const NumberText status = parse(text, field, v);
    if (status == NumberText::malformed) return KeyFit::malformed;
    if (status == NumberText::ok) {
        if (v.precision > field.Precision()) {
            // Rounded toward the lower value, which is where it lies in key order.
            const long long unit = unitBetween(field.Precision(), v.precision);
            long long raw = v.raw / unit;
            const bool exact = v.raw % unit == 0;
            if (!exact && v.raw < 0) --raw;
            fixed_point down(field.Precision());
            down.raw = static_cast<int>(raw);
            if (field.canStore(down)) {
                field.Set(record, down);
                return exact ? KeyFit::exact : KeyFit::floor;
            }
        } else if (field.canStore(v)) {
            field.Set(record, v);
            return KeyFit::exact;
        }
    }
    field.Set(record, field.maxValue());
    return KeyFit::floor;
}

void field_traits<fixed_point>::setLargest(const descriptor& field, bit_buffer& record) {
    fixed_point allOnes(field.Precision());
    allOnes.raw = -1;
    field.Set(record, allOnes);
}

TField<fixed_point>* field_traits<fixed_point>::make(const std::string& name, const std::vector<std::string>& sizes,
                                                     std::string& problem) {
    unsigned precision = 0, bits = 0;
    if (sizes.size() != 2) {
        problem = std::string("expected NAME:") + field_traits::name + ":PRECISION:BITS";
        return nullptr;
    }
    if (!sizeNumber(sizes[0], "PRECISION", 0, maxPrecision, precision, problem) ||
        !sizeNumber(sizes[1], "BITS", 1, 32, bits, problem))
        return nullptr;
    return new TField<fixed_point>(name, precision, bits);
}

std::string field_traits<fixed_point>::syntax(const descriptor& field) {
    return std::to_string(field.Precision()) + ":" + std::to_string(field.bits());
}

std::string field_traits<fixed_point>::details(const descriptor& field) {
    return "precision " + std::to_string(field.Precision());
}

// =================================================================== strings

NumberText field_traits<std::string>::parse(const std::string& text, const descriptor&, std::string& v) {
    v = text;
    return NumberText::ok;
}

std::string field_traits<std::string>::read(const descriptor& field, const std::string& text, std::string& v) {
    if (!field.canStore(text)) return doesNotFit("a string of " + std::to_string(text.size()) + " bytes", field);
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
        if (c == '\0') return "a string may not hold a NUL character";
        if (field.Packed() && (u < 32 || u > 95))
            return std::string("'") + c +
                   "' cannot be kept in a packed string (space, digits, letters and punctuation up to '_')";
    }
    v = text;
    return std::string();
}

std::string field_traits<std::string>::text(const descriptor& field, const std::string& v) {
    // Unused positions of a packed string read back as '_', just as a stored
    // '_' does; trailing ones are dropped, which loses nothing.
    if (!field.Packed()) return v;
    const std::size_t end = v.find_last_not_of('_');
    return end == std::string::npos ? std::string() : v.substr(0, end + 1);
}

std::string field_traits<std::string>::rangeText(const descriptor& field) {
    return "up to " + std::to_string(field.length()) + " bytes";
}

std::string field_traits<std::string>::doesNotFit(const std::string& shown, const descriptor& field) {
    return shown + ", the field holds " + std::to_string(field.length());
}

KeyFit field_traits<std::string>::setKey(const descriptor& field, bit_buffer& record, const std::string& text) {
    bool keepable = field.canStore(text) && text.find('\0') == std::string::npos;
    std::string stored = text.substr(0, field.length());
    for (char& c : stored) {
        if (field.Packed() && descriptor::packedCode(c) == 63 && c != '_') {
            keepable = false;
            c = '_';
        }
    }
    field.Set(record, stored);
    return keepable ? KeyFit::exact : KeyFit::floor;
}

void field_traits<std::string>::setLargest(const descriptor& field, bit_buffer& record) {
    field.Set(record, field.maxValue());
}

TField<std::string>* field_traits<std::string>::make(const std::string& name, const std::vector<std::string>& sizes,
                                                     std::string& problem) {
    unsigned length = 0;
    if (sizes.empty() || sizes.size() > 2 || (sizes.size() == 2 && sizes[1] != "packed")) {
        problem = std::string("expected NAME:") + field_traits::name + ":LENGTH or NAME:" + field_traits::name +
                  ":LENGTH:packed";
        return nullptr;
    }
    if (!sizeNumber(sizes[0], "LENGTH", 1, 65535, length, problem)) return nullptr;
    return new TField<std::string>(name, length, sizes.size() == 2);
}

std::string field_traits<std::string>::syntax(const descriptor& field) {
    return std::to_string(field.length()) + (field.Packed() ? ":packed" : "");
}

std::string field_traits<std::string>::details(const descriptor& field) {
    return "length " + std::to_string(field.length()) + (field.Packed() ? ", packed" : "");
}

}  // namespace Orvex
