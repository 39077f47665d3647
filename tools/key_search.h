// Which records of a table a command acts on, by key: one key, or a range of
// keys, found by halving in a sorted table or by reading every record
// (--scan) in one that is not.
//
// A key given on the command line: for a table keyed on one field, the
// value as it is; for a key of several fields, their values in key order
// separated by commas, read as a CSV row (so a value holding a comma is
// quoted). Fewer values than key fields stand for every key that starts
// with them. A range KEY..KEY2 takes every record from the first whose key
// is not below KEY to the last whose key is not above KEY2, both included,
// in key order, the order sort gives: keys compare as unsigned bit strings,
// so negative values come after positive ones.
//
// A value that its field can't hold (too large for its bits, more decimals
// than its precision, a string too long or a character a packed string
// can't keep) designates no record: as a key it is simply not found; as a
// bound it falls between the keys around it (past the largest value for an
// unsigned field, between the positive and the negative values of a signed
// one). Declared ranges do not restrict keys. A value that is not a number
// at all for a numeric field is an InputError.
#pragma once

#include <string>
#include <vector>

#include "Core/Orvex/__table.h"

namespace Tool {

// A position in key order: every record before it compares below `record`,
// or not above it when `after`.
struct KeyBound {
    Orvex::TRecord record;
    bool after;
};

// The values a command-line key word stands for (see above); InputError
// when there are more values than key fields.
std::vector<std::string> keyValues(const Orvex::TFields& fields, const std::string& word);

// The bounds of the keys that start with `values`: `from` is where they begin
// and `to` where they end. InputError for a malformed number, naming the
// field.
KeyBound lowerKeyBound(const Orvex::TFields& fields, const std::vector<std::string>& values);
KeyBound upperKeyBound(const Orvex::TFields& fields, const std::vector<std::string>& values);

// True when `record` lies at or after the bound.
bool reaches(const Orvex::TRecord& record, const KeyBound& bound);

// The table's position of a bound, by halving; the table must be sorted.
unsigned long boundPosition(const Orvex::TOpenTable& table, const KeyBound& bound);

// Raises InputError "table NAME is not sorted on its key; run `orvex sort`"
// when some record's key is below the one before it. Reads every key once.
void requireSorted(const Orvex::TOpenTable& table);

// The positions, in table order, of the records from `from` up to (not
// including) `to`: by halving, or by reading every record when `scan`.
std::vector<unsigned long> recordsBetween(const Orvex::TOpenTable& table, const KeyBound& from, const KeyBound& to,
                                          bool scan);

}  // namespace Tool
