// The compact field syntax of `orvex create`, and the reading of the
// transformer arguments that fields may carry.
//
//   NAME:int:BITS   NAME:u_int:BITS   NAME:long:BITS   NAME:u_long:BITS
//   NAME:fixed:PRECISION:BITS
//   NAME:str:LENGTH            NAME:str:LENGTH:packed
//
// followed, optionally, by transformer arguments:
//
//   @range=MIN..MAX  or  @range=MAX   the declared range ("sizeForRange"),
//                                     for int, u_int, long, u_long, fixed
//   @ref=TABLE                        a record number in TABLE ("sizeForRef"),
//                                     for u_long only
//
// A word "|" ends the key; without one the key is the whole record. A word
// may hold several fields separated by white space, so a whole list can be
// given as one quoted argument: 'id:u_int:24 | qty:int:13 name:str:12:packed'.
//
// Decisions: names are letters, digits and '_', not starting with a digit
// (they become CSV column names); BITS is 1..32, PRECISION 0..9, LENGTH
// 1..65535; range bounds are 32-bit values (an unsigned MAX up to 4294967295,
// decimals for fixed fields) with MIN <= MAX.
#pragma once

#include <string>
#include <vector>

#include "Core/Orvex/__field.h"
#include "support/fixed_point.h"

namespace Tool {

// The structure that the words describe; UsageError naming the bad word.
Orvex::TFields parseFieldList(const std::vector<std::string>& words);

// A field written back in the syntax above, arguments included.
std::string fieldSyntax(const Orvex::TFieldInfo& field);
// The whole structure, with " | " where the key ends (none for a
// whole-record key).
std::string structureSyntax(const Orvex::TFields& fields);

// The range declared by a field's "sizeForRange" arguments; false when it
// carries none.
bool declaredRange(const Orvex::TFieldInfo& field, fixed_point& min, fixed_point& max);
// The two bounds of "sizeForRange" arguments; false when they do not read.
bool rangeBounds(const Orvex::field_transformer_base::args& a, fixed_point& min, fixed_point& max);
// The table named by a field's "sizeForRef" arguments; false when none.
bool referencedTable(const Orvex::TFieldInfo& field, std::string& table);
// The field's arguments for a reader: "sizeForRange -5000..5000",
// "sizeForRef customers", another category with its text form; "" for none.
std::string describeTransformer(const Orvex::TFieldInfo& field);

// True for a name the syntax accepts (also used for table names).
bool isPlainName(const std::string& name);

}  // namespace Tool
