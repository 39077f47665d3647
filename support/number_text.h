// Numbers as text: the one reader behind the text forms, CSV, JSON, the
// tool's arguments and its field syntax. Writing a decimal is
// fixed_point::text(); integers are written with std::to_string.
//
// Grammar, strict: an optional sign, decimal digits and, for a decimal, an
// optional '.' followed by at least one digit. Nothing before or after: no
// spaces, no exponent, no hexadecimal. Callers that read tokens from a
// stream gather the token first and hand it over whole.
#pragma once

#include <string>

#include "support/fixed_point.h"

// How a number's text read: `malformed` when it is not a number at all,
// `tooLarge` when it is one but outside what the target can hold. In both
// cases the target is left as it was, never wrapped.
enum class NumberText { ok, malformed, tooLarge };

// Whether a '-' may lead: a count or an unsigned token takes '+' or no sign.
// "-0" is a malformed count but a well-formed 0 where '-' is allowed.
enum class Sign { any, noMinus };

// The sign and the magnitude of an integer's text; tooLarge when the
// magnitude is above 2^64 - 1.
NumberText readMagnitude(const char* begin, const char* end, bool& negative, unsigned long long& magnitude,
                         Sign sign = Sign::any);
// An integer in the range of long long.
NumberText readInteger(const char* begin, const char* end, long long& value, Sign sign = Sign::any);
NumberText readInteger(const std::string& text, long long& value, Sign sign = Sign::any);

// A decimal ("-12.5", "3") read exactly. The result keeps `value.precision`
// or takes the text's own number of fraction digits when that is larger;
// trailing zeros beyond `value.precision` are dropped only as far as the raw
// integer needs to fit 32 bits. tooLarge when it fits at no such precision.
NumberText readDecimal(const char* begin, const char* end, fixed_point& value);
NumberText readDecimal(const std::string& text, fixed_point& value);

// An integer's text as a reader should see it quoted back: without a '+'
// and without leading zeros ("+007" gives "7", "-0" gives "0"). Meant for
// text that read as an integer, whatever its size.
std::string integerShown(const std::string& text);
