// The rules a table's files meet when the library wrote them, checked by
// reading the files alone, through the file set. A program reports every
// broken rule as damage, and refuses to strip a table that breaks one, before
// it changes anything: a strip of such a table would write files that read
// back wrong, or drop records.
//
// Rules, per file (a table's file names come from Core/Orvex/table_files.h):
//   every file    the structure and contents files open for reading, the
//                 transformer file may be absent. (Whether a file is what its
//                 name says, not a link or a FIFO, is the host's to tell.)
//   structure     reads whole, with nothing after its last field; at least
//                 one field; a key count no larger than the field count;
//                 field names neither empty nor holding a NUL; a fixed-point
//                 precision of at most 9 (field_traits<fixed_point>).
//   transformers  reads whole, entry by entry, with nothing after the last
//                 (a text entry ends its line); each entry names a field of
//                 the structure, at most one per field; "sizeForRange" only
//                 on numeric fields and with its minimum not above its
//                 maximum; "sizeForRef" only on u_long fields; no other
//                 category.
//   contents      exactly 4 bytes of record count and that many records.
//
// Each problem is one line that names the file: "orders.dsb: no fields".
#pragma once

#include <string>
#include <vector>

#include "fileset/TFileSet.h"

namespace Orvex {

class table_list;

// Every broken rule of the table's files, in file order; empty when the table
// is sound. A required file that does not open is "<name> is missing", and
// stops there, as does a broken structure file, since the other files are
// read against it. Reads the files only.
std::vector<std::string> tableProblems(FileSet::TFileSet& files, const std::string& table, bool binDesc);
// The problems of every table of the list, in list order.
std::vector<std::string> setProblems(FileSet::TFileSet& files, const table_list& tables);

// Of the files of a set, those an interrupted load or strip left behind:
// "<table>.load" and every "temp.*". Each as a line naming the file and what
// left it. (A directory set rolls such a change back whole; these come from
// hosts whose file sets can't.)
std::vector<std::string> leftoverProblems(const std::vector<std::string>& names);

// The library's message without the blanks some of its texts begin with.
std::string trimmedMessage(const std::string& message);

}  // namespace Orvex
