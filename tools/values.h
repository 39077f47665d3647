// Field values as plain text, for CSV, for keys given on the command line and
// for reports: writing a value, reading one back with every check a user
// needs before it reaches a table.
//
// Plain text of a value: integers in decimal; fixed-point values with exactly
// their field's number of decimals ("12.50"); strings as they are, except
// that a packed string drops its trailing '_' (its unused positions read
// back as '_', so they are the same bits).
//
// Decisions: reading is strict. An integer is an optional sign and decimal
// digits, nothing around them; a fixed-point value may have fewer decimals
// than its field but not more (it would be rounded: "19.999" is refused by a
// field of 2 decimals, "19.990" is taken); a value of a field with declared
// range arguments must lie in that range, since stripping would give it no
// room.
#pragma once

#include <limits>
#include <string>

#include "Core/Orvex/__field.h"
#include "support/fixed_point.h"

namespace Tool {

// The 32-bit range every stored value keeps, whatever the host's long.
constexpr long long kInt32Min = std::numeric_limits<int>::min();
constexpr long long kInt32Max = std::numeric_limits<int>::max();
constexpr long long kUInt32Max = std::numeric_limits<unsigned int>::max();

// The largest precision of a fixed-point field: 10^9 is the highest power of
// ten whose raw integer fits 32 bits, so one unit still fits.
constexpr unsigned kMaxFixedPrecision = 9;

// How a number's text read: `malformed` when it is not a number at all,
// `tooLarge` when it is one but outside what the reader can hold (the value
// is then left as it was, never wrapped).
enum class NumberText { ok, malformed, tooLarge };

// An optional '+' or '-' and decimal digits, nothing else; tooLarge outside
// the range of long long.
NumberText parseInteger(const std::string& text, long long& value);
// A decimal number ("-12.5", "3"), exact; tooLarge when it is well formed
// but its raw integer does not fit 32 bits at any precision it could take.
NumberText parseDecimal(const std::string& text, fixed_point& value);
// The integer text as a reader should see it quoted back: without a '+' and
// without leading zeros ("+007" gives "7", "-0" gives "0").
std::string integerShown(const std::string& text);

// The bits a field takes in a record.
unsigned fieldBits(const Orvex::TFieldInfo& field);
// "-4096..4095", "0..255", "-5.00..5.00", "up to 12 characters".
std::string valueRangeText(const Orvex::TFieldInfo& field);

// The value of the field in the record, as plain text.
std::string valueText(const Orvex::TFieldInfo::const_reference& value);

// Reads `text` as a value of the referenced field and stores it. Throws
// InputError with the reason ("not an integer: 'x'", "5000 does not fit
// (int of 13 bits holds -4096..4095)", "12 is outside the declared range
// 1..10") and leaves the record as it was.
void assignValue(const Orvex::TFieldInfo::reference& target, const std::string& text);

// "" when the stored value lies in the field's declared range (or it has
// none), else the reason, as assignValue words it.
std::string declaredRangeProblem(const Orvex::TFieldInfo::const_reference& value);

}  // namespace Tool
