// The rules a table's files meet when `create` or `strip` wrote them, checked
// by reading the files alone. `check` reports every broken rule as damage, and
// `strip` refuses a table that breaks one, before it changes anything: a strip
// of such a table would write files that read back wrong, or drop records.
//
// Rules, per file (a table's file names come from Catalog::fileNames):
//   every file    a regular file (not a symlink, FIFO or directory); the
//                 structure and contents files exist, the transformer file
//                 may be absent.
//   structure     reads whole, with nothing after its last field; at least
//                 one field; a key count no larger than the field count;
//                 field names neither empty nor holding a NUL; a fixed-point
//                 precision of at most kMaxFixedPrecision.
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

#include "tools/catalog.h"

namespace Tool {

// "" when `name` in `directory` is a regular file; "<name> is missing" (only
// when `required`) or "<name> is not a regular file" otherwise. A symlink is
// not followed, so it is never a regular file.
std::string fileKindProblem(Host::DirectoryFileSet& files, const std::string& name, bool required);

// Every broken rule of the table's files, in file order; empty when the table
// is sound. A broken structure file stops there, since the other files are
// read against it. Reads the files only.
std::vector<std::string> tableFileProblems(Host::DirectoryFileSet& files, const TableEntry& table);

// Of the files of a set, those an interrupted load or strip left behind:
// "<table>.load" and every "temp.*". Each as a line naming the file and what
// left it. (A directory set rolls such a change back whole; these come from
// hosts whose file sets can't.)
std::vector<std::string> leftoverFiles(const std::vector<std::string>& names);

// The library's message without the blanks some of its texts begin with.
std::string trimmedMessage(const std::string& message);

}  // namespace Tool
