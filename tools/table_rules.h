// A table's files as the tool checks them in a directory: first that each is
// what its name says, which only the directory can tell (a symlink, FIFO or
// directory would be followed, blocked on or misread), then the library's
// rules for their bytes (Core/Orvex/table_soundness.h). `check` reports what
// this finds, and `strip` refuses a table with any of it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Core/Orvex/table_files.h"
#include "Core/Orvex/table_soundness.h"
#include "tools/catalog.h"

namespace Tool {

// "" when `name` in `directory` is a regular file; "<name> is missing" (only
// when `required`) or "<name> is not a regular file" otherwise. A symlink is
// not followed, so it is never a regular file.
inline std::string fileKindProblem(Host::DirectoryFileSet& files, const std::string& name, bool required) {
    namespace fs = std::filesystem;
    if (files.exists(name)) return std::string();
    std::error_code error;
    const fs::file_status status = fs::symlink_status(fs::path(files.path()) / name, error);
    if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::regular)
        return required ? name + " is missing" : std::string();
    return name + " is not a regular file";
}

// Every problem of the table's files, in file order; empty when it is sound.
inline std::vector<std::string> tableFileProblems(Host::DirectoryFileSet& files, const TableEntry& table) {
    const std::vector<std::string> names = Orvex::tableFileNames(table.name, table.binary);
    std::vector<std::string> problems;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string kind = fileKindProblem(files, names[i], i != 1);  // the transformers may be absent
        if (!kind.empty()) problems.push_back(kind);
    }
    return problems.empty() ? Orvex::tableProblems(files, table.name, table.binary) : problems;
}

}  // namespace Tool
