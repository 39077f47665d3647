#include "support/number_text.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Skips an optional sign; false when a '-' is not allowed.
bool readSign(const char*& p, const char* end, Sign sign, bool& negative) {
    negative = false;
    if (p == end || (*p != '-' && *p != '+')) return true;
    negative = *p++ == '-';
    return !(negative && sign == Sign::noMinus);
}

}  // namespace

NumberText readMagnitude(const char* p, const char* end, bool& negative, unsigned long long& magnitude, Sign sign) {
    bool minus = false;
    if (!readSign(p, end, sign, minus) || p == end) return NumberText::malformed;
    unsigned long long value = 0;
    bool tooLarge = false;
    for (; p != end; ++p) {
        if (!isDigit(*p)) return NumberText::malformed;
        const unsigned digit = static_cast<unsigned>(*p - '0');
        // Checked before multiplying: a wrapped product could look small again.
        if (value > (std::numeric_limits<unsigned long long>::max() - digit) / 10)
            tooLarge = true;
        else
            value = value * 10 + digit;
    }
    if (tooLarge) return NumberText::tooLarge;
    negative = minus;
    magnitude = value;
    return NumberText::ok;
}

NumberText readInteger(const char* begin, const char* end, long long& value, Sign sign) {
    bool negative = false;
    unsigned long long magnitude = 0;
    const NumberText read = readMagnitude(begin, end, negative, magnitude, sign);
    if (read != NumberText::ok) return read;
    const unsigned long long limit =
        static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + (negative ? 1 : 0);
    if (magnitude > limit) return NumberText::tooLarge;
    value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return NumberText::ok;
}

NumberText readInteger(const std::string& text, long long& value, Sign sign) {
    return readInteger(text.data(), text.data() + text.size(), value, sign);
}

NumberText readDecimal(const char* p, const char* end, fixed_point& value) {
    bool negative = false;
    readSign(p, end, Sign::any, negative);
    const char* const wholeBegin = p;
    while (p != end && isDigit(*p)) ++p;
    const char* const wholeEnd = p;
    const char* fractionBegin = p;
    if (p != end && *p == '.') fractionBegin = ++p;
    while (p != end && isDigit(*p)) ++p;
    const char* fractionEnd = p;
    const bool pointWithoutDigits = fractionBegin != wholeEnd && fractionBegin == fractionEnd;
    if (p != end || wholeBegin == wholeEnd || pointWithoutDigits) return NumberText::malformed;

    // A value that is not zero fits 32 bits with at most 10 digits after its
    // last non-zero one, so zeros beyond those are dropped up front: the
    // loop below then runs a few times, not once per zero.
    const char* lastNonZero = fractionEnd;
    while (lastNonZero != fractionBegin && lastNonZero[-1] == '0') --lastNonZero;
    const std::size_t significant = static_cast<std::size_t>(lastNonZero - fractionBegin);
    const bool zero = significant == 0 && std::all_of(wholeBegin, wholeEnd, [](char c) { return c == '0'; });
    const std::size_t kept = std::max<std::size_t>(value.precision, significant + 10);
    if (!zero && static_cast<std::size_t>(fractionEnd - fractionBegin) > kept) fractionEnd = fractionBegin + kept;

    const std::int64_t limit =
        static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + (negative ? 1 : 0);
    // The text's own digits set the precision, so the value stays exact;
    // trailing zeros beyond the target's precision are dropped only when
    // the raw integer would not fit otherwise.
    for (;;) {
        const std::size_t fraction = static_cast<std::size_t>(fractionEnd - fractionBegin);
        const std::size_t precision = std::max<std::size_t>(fraction, value.precision);
        std::int64_t magnitude = 0;
        bool fits = true;
        for (const char* d = wholeBegin; d != wholeEnd && fits; ++d) fits = (magnitude = magnitude * 10 + (*d - '0')) <= limit;
        for (const char* d = fractionBegin; d != fractionEnd && fits; ++d)
            fits = (magnitude = magnitude * 10 + (*d - '0')) <= limit;
        for (std::size_t i = fraction; i < precision && fits; ++i) fits = (magnitude *= 10) <= limit;
        if (fits) {
            value.raw = static_cast<int>(negative ? -magnitude : magnitude);
            value.precision = static_cast<unsigned>(precision);
            return NumberText::ok;
        }
        if (fraction <= value.precision || fractionEnd[-1] != '0') return NumberText::tooLarge;
        --fractionEnd;
    }
}

NumberText readDecimal(const std::string& text, fixed_point& value) {
    return readDecimal(text.data(), text.data() + text.size(), value);
}

std::string integerShown(const std::string& text) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) i = 1;
    const std::size_t firstSignificant = text.find_first_not_of('0', i);
    if (firstSignificant == std::string::npos) return "0";
    return (negative ? "-" : "") + text.substr(firstSignificant);
}
