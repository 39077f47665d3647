// Field values as plain text, for CSV, for keys given on the command line and
// for reports: writing a value, reading one back with every check a user
// needs before it reaches a table. What a value's text is and which texts
// read are each type's own rules (Core/Orvex/field_traits.h); what this
// adds is the declared range: a value of a field with declared range
// arguments must lie in that range, since stripping would give it no room.
#pragma once

#include <string>

#include "Core/Orvex/__field.h"

namespace Tool {

// The value of the field in the record, as plain text.
std::string valueText(const Orvex::TFieldInfo::const_reference& value);
// Whether JSON and record lines write the field's values as strings.
bool quotedValues(const Orvex::TFieldInfo& field);

// Reads `text` as a value of the referenced field and stores it. Throws
// InputError with the reason ("not an integer: 'x'", "5000 does not fit
// (int of 13 bits holds -4096..4095)", "12 is outside the declared range
// 1..10") and leaves the record as it was.
void assignValue(const Orvex::TFieldInfo::reference& target, const std::string& text);

// "" when the stored value lies in the field's declared range (or it has
// none), else the reason, as assignValue words it.
std::string declaredRangeProblem(const Orvex::TFieldInfo::const_reference& value);

}  // namespace Tool
