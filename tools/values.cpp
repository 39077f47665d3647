#include "tools/values.h"

#include <cctype>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "support/tabulation.h"
#include "tools/field_syntax.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

namespace {

TType::EType typeOf(const TFieldInfo& field) { return field.typeValue(); }

template <class T>
const TField<T>& as(const TFieldInfo& field) {
    return static_cast<const TField<T>&>(field);
}

std::string text(const fixed_point& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

long double toNumber(const fixed_point& v) {
    long double x = v.raw;
    for (unsigned i = 0; i < v.precision; ++i) x /= 10;
    return x;
}

[[noreturn]] void doesNotFit(const std::string& valueText, const TFieldInfo& field) {
    throw InputError(valueText + " does not fit (" + field.Type() + " of " + std::to_string(fieldBits(field)) +
                     " bits holds " + valueRangeText(field) + ")");
}

[[noreturn]] void tooManyDecimals(const std::string& input, unsigned precision) {
    throw InputError(input + " has more than the field's " + std::to_string(precision) + " decimals");
}

// The fraction digits of a decimal's text, up to its last non-zero one.
std::size_t decimalsGiven(const std::string& input) {
    const std::size_t point = input.find('.');
    if (point == std::string::npos) return 0;
    const std::size_t last = input.find_last_not_of('0');
    return last > point ? last - point : 0;
}

// The range check shared by reading and checking; `x` is the value as a
// number, `length` a string's length.
std::string rangeProblem(const TFieldInfo& field, const std::string& shown, long double x, std::size_t length) {
    fixed_point min, max;
    if (!declaredRange(field, min, max)) return std::string();
    if (typeOf(field) == TType::tpStr) {
        if (static_cast<long double>(length) <= toNumber(max)) return std::string();
        return "a string of " + std::to_string(length) + " characters is longer than the declared " + text(max);
    }
    if (x >= toNumber(min) && x <= toNumber(max)) return std::string();
    return shown + " is outside the declared range " + text(min) + ".." + text(max);
}

template <class T>
void assignInteger(const TFieldInfo::reference& target, const std::string& input) {
    const TFieldInfo& field = target.field();
    long long v = 0;
    const NumberText read = parseInteger(input, v);
    if (read == NumberText::malformed) throw InputError("not an integer: '" + input + "'");
    if (read == NumberText::tooLarge) doesNotFit(integerShown(input), field);
    const bool isSigned = std::is_signed<T>::value;
    if ((isSigned && (v < kInt32Min || v > kInt32Max)) || (!isSigned && (v < 0 || v > kUInt32Max)) ||
        !as<T>(field).canStore(static_cast<T>(v)))
        doesNotFit(std::to_string(v), field);
    const std::string problem = rangeProblem(field, std::to_string(v), static_cast<long double>(v), 0);
    if (!problem.empty()) throw InputError(problem);
    as<T>(field).Set(target.buffer(), static_cast<T>(v));
}

void assignFixed(const TFieldInfo::reference& target, const std::string& input) {
    const auto& field = as<fixed_point>(target.field());
    fixed_point v(field.Precision());
    const NumberText read = parseDecimal(input, v);
    if (read == NumberText::malformed) throw InputError("not a decimal number: '" + input + "'");
    if (read == NumberText::tooLarge) {
        if (decimalsGiven(input) > field.Precision()) tooManyDecimals(input, field.Precision());
        doesNotFit(input, field);
    }
    if (v.precision > field.Precision()) {
        long long unit = 1;
        for (unsigned i = field.Precision(); i < v.precision; ++i) unit *= 10;
        if (v.raw % unit != 0) tooManyDecimals(input, field.Precision());
    }
    if (!field.canStore(v)) doesNotFit(input, field);
    const std::string problem = rangeProblem(field, input, toNumber(v), 0);
    if (!problem.empty()) throw InputError(problem);
    field.Set(target.buffer(), v);
}

void assignString(const TFieldInfo::reference& target, const std::string& input) {
    const auto& field = as<std::string>(target.field());
    if (!field.canStore(input))
        throw InputError("a string of " + std::to_string(input.size()) + " characters does not fit (str of length " +
                         std::to_string(field.length()) + ")");
    for (char c : input) {
        const unsigned char u = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
        if (c == '\0') throw InputError("a string may not hold a NUL character");
        if (field.Packed() && (u < 32 || u > 95))
            throw InputError(std::string("'") + c +
                             "' cannot be kept in a packed string (space, digits, letters and punctuation up to '_')");
    }
    const std::string problem = rangeProblem(field, input, 0, input.size());
    if (!problem.empty()) throw InputError(problem);
    field.Set(target.buffer(), input);
}

}  // namespace

NumberText parseInteger(const std::string& input, long long& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < input.size() && (input[i] == '+' || input[i] == '-')) negative = input[i++] == '-';
    if (i == input.size()) return NumberText::malformed;
    const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    unsigned long long magnitude = 0;
    bool tooLarge = false;
    for (; i < input.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(input[i]))) return NumberText::malformed;
        const unsigned digit = static_cast<unsigned>(input[i] - '0');
        // Checked before multiplying: a wrapped product could look small again.
        if (magnitude > (limit - digit) / 10)
            tooLarge = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (tooLarge) return NumberText::tooLarge;
    value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return NumberText::ok;
}

std::string integerShown(const std::string& input) {
    std::size_t i = 0;
    const bool negative = !input.empty() && input[0] == '-';
    if (!input.empty() && (input[0] == '+' || input[0] == '-')) i = 1;
    const std::size_t firstSignificant = input.find_first_not_of('0', i);
    if (firstSignificant == std::string::npos) return "0";
    return (negative ? "-" : "") + input.substr(firstSignificant);
}

namespace {

// An optional sign, digits, and optionally '.' and more digits.
bool isDecimalText(const std::string& input) {
    std::size_t i = 0;
    if (i < input.size() && (input[i] == '+' || input[i] == '-')) ++i;
    const std::size_t wholeStart = i;
    while (i < input.size() && std::isdigit(static_cast<unsigned char>(input[i]))) ++i;
    if (i == wholeStart) return false;
    if (i == input.size()) return true;
    if (input[i++] != '.') return false;
    const std::size_t fractionStart = i;
    while (i < input.size() && std::isdigit(static_cast<unsigned char>(input[i]))) ++i;
    return i != fractionStart && i == input.size();
}

}  // namespace

NumberText parseDecimal(const std::string& input, fixed_point& value) {
    if (!isDecimalText(input)) return NumberText::malformed;
    std::istringstream in(input);
    fixed_point v(value.precision);
    tabulation::from_stream(in, v);
    if (in.fail()) return NumberText::tooLarge;  // the syntax was checked above; only the size is left
    value = v;
    return NumberText::ok;
}

unsigned fieldBits(const TFieldInfo& field) { return field.bitWidth(); }

std::string valueRangeText(const TFieldInfo& field) {
    switch (typeOf(field)) {
        case TType::tpInt: return std::to_string(as<int>(field).minValue()) + ".." + std::to_string(as<int>(field).maxValue());
        case TType::tpUInt: return "0.." + std::to_string(as<unsigned int>(field).maxValue());
        case TType::tpLong: return std::to_string(as<long>(field).minValue()) + ".." + std::to_string(as<long>(field).maxValue());
        case TType::tpULong: return "0.." + std::to_string(as<unsigned long>(field).maxValue());
        case TType::tpFixed:
            return text(as<fixed_point>(field).minValue()) + ".." + text(as<fixed_point>(field).maxValue());
        case TType::tpStr: return "up to " + std::to_string(as<std::string>(field).length()) + " characters";
        default: return std::string();
    }
}

std::string valueText(const TFieldInfo::const_reference& value) {
    switch (typeOf(value.field())) {
        case TType::tpInt: return std::to_string(value.get<int>());
        case TType::tpUInt: return std::to_string(value.get<unsigned int>());
        case TType::tpLong: return std::to_string(value.get<long>());
        case TType::tpULong: return std::to_string(value.get<unsigned long>());
        case TType::tpFixed: return text(value.get<fixed_point>());
        case TType::tpStr: {
            // Unused positions of a packed string read back as '_', just as a
            // stored '_' does; trailing ones are dropped, which loses nothing.
            std::string s = value.get<std::string>();
            if (as<std::string>(value.field()).Packed())
                while (!s.empty() && s.back() == '_') s.pop_back();
            return s;
        }
        default: return std::string();
    }
}

void assignValue(const TFieldInfo::reference& target, const std::string& input) {
    try {
        switch (typeOf(target.field())) {
            case TType::tpInt: return assignInteger<int>(target, input);
            case TType::tpUInt: return assignInteger<unsigned int>(target, input);
            case TType::tpLong: return assignInteger<long>(target, input);
            case TType::tpULong: return assignInteger<unsigned long>(target, input);
            case TType::tpFixed: return assignFixed(target, input);
            case TType::tpStr: return assignString(target, input);
            default: throw InputError("field of unknown type " + target.field().Type());
        }
    } catch (const std::out_of_range& e) {
        // The checks above mirror the field's own; should they ever differ,
        // the field's word is the last.
        throw InputError(e.what());
    }
}

std::string declaredRangeProblem(const TFieldInfo::const_reference& value) {
    const TFieldInfo& field = value.field();
    switch (typeOf(field)) {
        case TType::tpInt: return rangeProblem(field, valueText(value), value.get<int>(), 0);
        case TType::tpUInt: return rangeProblem(field, valueText(value), value.get<unsigned int>(), 0);
        case TType::tpLong: return rangeProblem(field, valueText(value), value.get<long>(), 0);
        case TType::tpULong: return rangeProblem(field, valueText(value), value.get<unsigned long>(), 0);
        case TType::tpFixed: return rangeProblem(field, valueText(value), toNumber(value.get<fixed_point>()), 0);
        case TType::tpStr: return rangeProblem(field, std::string(), 0, valueText(value).size());
        default: return std::string();
    }
}

}  // namespace Tool
