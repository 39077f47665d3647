// Helpers the commands share to reach one table of a catalog and to show its
// records and key to a reader.
#pragma once

#include <string>

#include "Core/Orvex/__table.h"
#include "support/pointer.h"
#include "tools/catalog.h"

namespace Tool {

// The table's definition: its structure and transformer files are read; an
// unknown name raises "Table <name> doesn't exists", a file that is there but
// not a regular one "<file> is not a regular file", and files that don't read
// raise a message naming the file (or the table) and the problem. A reader
// that meets the journal of a strip that was cut off is told so.
pointer<Orvex::TTable> defineTable(Catalog& catalog, const std::string& name);
// Raises "<name>.bin is missing" unless the contents file exists (opening a
// table would quietly create an empty one), and "<name>.bin is not a regular
// file" when it is a symlink, FIFO, directory or the like.
void requireContents(Catalog& catalog, const Orvex::TTable& table);

// Raises unless each of `files` that is there can be written, naming the
// file and the system's reason: "orders.bin: permission denied (the file is
// read-only)", "<file> is not a regular file". A command checks the files it
// will write (a table's contents, or all its files when its structure
// changes) before the library opens them, which could only say that it
// couldn't.
void requireWritable(Catalog& catalog, const std::vector<std::string>& files);

// The record count a table's contents file holds, read without opening it
// for writing: a command reads the tables it refers to, and their files may
// be read-only. Raises as requireContents, and "<file> is damaged" when the
// count is not there.
unsigned long storedCount(Catalog& catalog, const Orvex::TTable& table);

// The key for a reader: "id", "id, day", "whole record (id, qty)" or
// "none".
std::string keyText(const Orvex::TFields& fields);
// "id=7 name=\"Ann\" price=1.50": each value as plain text, strings quoted.
std::string recordText(const Orvex::TRecord& record);

}  // namespace Tool
