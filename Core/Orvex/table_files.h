// The names of the files a table and a strip keep in a file set: the one
// place where extensions and the temporary name are spelled, for the
// library and for the programs that look at a set's files.
//
// A table named N, in binary form / text form:
//   structure     N.dsb / N.dst
//   transformers  N.trb / N.trt
//   contents      N.bin (both forms)
// A strip writes the table "temp" in the table's form in the set being
// stripped.
#pragma once

#include <string>
#include <vector>

namespace Orvex {

std::string structureFileName(const std::string& table, bool binDesc);
std::string transformerFileName(const std::string& table, bool binDesc);
std::string contentsFileName(const std::string& table);
// The three above, in that order.
std::vector<std::string> tableFileNames(const std::string& table, bool binDesc);

// When `file` is a structure file, sets the table's name and form and returns
// true; the name N of "N.dsb" or "N.dst" must not be empty.
bool isStructureFile(const std::string& file, std::string& table, bool& binDesc);

// The file a program keeps its list of a set's tables in
// (Core/Orvex/table_list.h).
extern const char* const kTableListFileName;  // "tables.lst"
// The table a strip writes its records into before they replace a table's.
extern const char* const kTemporaryTableName;  // "temp"
// The journal older builds kept beside a strip: one left in a set is a
// leftover, and a rollback journal may still name it.
extern const char* const kStripJournalName;  // "temp.jnl"
// Every file a strip may leave behind: the temporary table's files in both
// forms.
const std::vector<std::string>& temporaryFileNames();

}  // namespace Orvex
