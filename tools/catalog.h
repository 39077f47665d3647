// A table set on disk, as the orvex tool sees it: one directory, a
// Host::DirectoryFileSet over it, and the list of its tables.
//
// The list is the library's table_list, kept in the directory as the file
// "tables.lst" (Core/Orvex/table_list.h). `orvex create` and `orvex demo`
// keep it. A directory without it still works: its tables are then the
// structure files found in it, NAME.dsb (binary form) or NAME.dst (text
// form), by name.
//
// Every command is one change: a catalog opened for writing takes the set's
// exclusive lock and begins a change, `commit` makes it final, and a catalog
// that goes without committing (the command failed) leaves the set as it
// was. A catalog opened for reading takes the shared lock and changes
// nothing. A change that was cut off (and a strip a host left half done) is
// rolled back when a catalog is opened for writing, with a note on standard
// error.
//
// Decisions: "temp" is never taken for a table (stripping uses that name for
// its scratch files); when both NAME.dsb and NAME.dst exist the binary form
// is taken. A list that cannot be read raises "tables.lst: damaged table list".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "Core/Orvex/table_list.h"
#include "host/directory_file_set.h"

namespace Tool {

extern const char* const kListFileName;  // Orvex::kTableListFileName

// The longest table name: NAME_MAX (255 bytes) less the 5 of ".load", the
// longest extension a table's files take (".dsb", ".trt", ".bin", and
// ".load" that hosts without rollback leave during a load), so that every
// file of the table can be made.
constexpr std::size_t kMaxTableName = 250;
// "" for a name short enough, else "table name too long (252 bytes; the
// limit is 250)".
std::string tableNameProblem(const std::string& name);

// Makes `directory` for a command that starts a set (create, import, demo),
// but not its missing parents: a mistyped path fails ("no such directory:
// no/such") instead of growing a tree of directories.
void makeSetDirectory(const std::string& directory);

enum class Access { read, write };

// What the command line sets for every command's table set: how long to
// wait for another process's lock (--wait SECONDS) and whether commits are
// synced (--no-sync turns that off).
struct SetOptions {
    double waitSeconds = 5.0;
    bool sync = true;
};
SetOptions& setOptions();

using TableEntry = Orvex::table_list::entry;

class Catalog {
public:
    // Raises unless `directory` is an existing directory, or when the lock
    // is not had within setOptions().waitSeconds.
    Catalog(const std::string& directory, Access access);
    ~Catalog();

    // Makes the command's changes final; raises if they cannot be.
    void commit();

    Host::DirectoryFileSet& files() { return m_files; }
    const std::string& directory() const { return m_files.path(); }
    bool writable() const { return m_writable; }
    // True when the tables come from tables.lst.
    bool listed() const { return m_listed; }

    const std::vector<TableEntry>& tables() const { return m_list.entries(); }
    bool contains(const std::string& name) const { return m_list.contains(name); }
    // The entry of `name`; the table set's own error "Table <name> doesn't
    // exists" when there is none.
    const TableEntry& entry(const std::string& name) const { return m_list.find(name); }
    // The structure, transformer and contents file names of a table.
    static std::vector<std::string> fileNames(const TableEntry& table);

    // Raises "table NAME already exists in DIR" when the name is listed or a
    // file of a table of that name, in either form, is in the directory (a
    // stray one would be overwritten).
    void requireFree(const std::string& name) const;

    // Adds (or replaces) a table and rewrites tables.lst.
    void add(const TableEntry& table);
    // Takes a table out of the list (tables.lst is rewritten when the tables
    // come from it); its files are the caller's to remove.
    void remove(const std::string& name);
    // Writes tables.lst from the tables held.
    void writeList();

    // Every table defined, in list order, as one set (references between
    // tables are resolved through it). A table that cannot be defined raises
    // its own error.
    std::unique_ptr<Orvex::TTables> openSet() { return m_list.define(m_files); }

private:
    void readList();

    Host::DirectoryFileSet m_files;
    bool m_writable;
    bool m_changing = false;  // a change is open, to be committed
    bool m_listed = false;
    Orvex::table_list m_list;
};

// The directory whose change this process committed; "" until one was. A
// command that fails after its commit has still changed the set, and its
// exit status must say so.
const std::string& committedDirectory();

// The size of a file of the set in bytes, 0 when it does not exist.
unsigned long long fileBytes(Catalog& catalog, const std::string& name);

}  // namespace Tool
