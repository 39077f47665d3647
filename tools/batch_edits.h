// Edits of many keys as one change of the set: delete --keys and
// update --csv. Every line is read and checked, and every key found, before
// anything is written, so a bad line changes nothing; a key that finds no
// record is refused as a bad line is, since a list is meant to match.
#pragma once

#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "tools/usage.h"

namespace Tool {

// The positions, ascending and each once, of the records of every key in
// the list in `file` ("-": standard input). InputError "line N: no record
// of T has the key ...; nothing deleted" for a key that finds none.
std::vector<unsigned long> recordsToDelete(const Orvex::TOpenTable& table, const std::string& file, bool scan,
                                           bool vouched);

// update DIR TABLE --csv, the changes on standard input: a header naming the
// key fields in key order and then the fields to set, one row a change.
// Rows apply in their order, so a later row wins on a record both change.
int updateFromCsv(const Arguments& args);

}  // namespace Tool
