#include "tools/catalog.h"

#include <filesystem>
#include <iostream>

#include "Core/Orvex/table_files.h"
#include "fileset/vfstream.h"
#include "support/Utils.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

const char* const kListFileName = kTableListFileName;

SetOptions& setOptions() {
    static SetOptions options;
    return options;
}

namespace {

std::string& lastCommitted() {
    static std::string directory;
    return directory;
}

Host::DirectoryFileSet::Options fileSetOptions(Access access) {
    Host::DirectoryFileSet::Options options;
    options.writable = access == Access::write;
    options.sync = setOptions().sync;
    options.waitSeconds = setOptions().waitSeconds;
    return options;
}

}  // namespace

void makeSetDirectory(const std::string& directory) {
    namespace fs = std::filesystem;
    fs::path path(directory);
    if (!path.has_filename()) path = path.parent_path();  // "shop/" names shop
    const fs::path parent = path.parent_path();
    std::error_code error;
    if (!parent.empty() && !fs::is_directory(parent, error))
        throw InputError("no such directory: " + parent.string());
    // An existing directory is fine; anything else the opening reports.
    fs::create_directory(path, error);
}

std::string tableNameProblem(const std::string& name) {
    if (name.size() <= kMaxTableName) return std::string();
    return "table name too long (" + std::to_string(name.size()) + " bytes; the limit is " +
           std::to_string(kMaxTableName) + ")";
}

Catalog::Catalog(const std::string& directory, Access access)
    : m_files(directory, fileSetOptions(access)), m_writable(access == Access::write) {
    if (m_files.recovered()) std::cerr << "orvex: " << directory << ": rolled back an interrupted change\n";
    if (access == Access::write) {
        m_files.beginChange();
        m_changing = true;
    }
    if (m_files.exists(kListFileName))
        readList();
    else
        m_list = table_list::discover(m_files.list());
}

Catalog::~Catalog() {
    // A change still open here belongs to a command that failed: the set
    // rolls it back when it goes.
}

void Catalog::commit() {
    if (!m_changing) return;
    m_changing = false;
    m_files.endChange();
    lastCommitted() = directory();
}

const std::string& committedDirectory() { return lastCommitted(); }

void Catalog::readList() {
    m_listed = true;
    FileSet::ivfstream in(m_files, kListFileName, std::ios_base::in, false, true);
    m_list.read(in);
    if (in.fail()) Utils::raise_runtime_error(std::string(kListFileName) + ": damaged table list");
}

std::vector<std::string> Catalog::fileNames(const TableEntry& table) { return tableFileNames(table.name, table.binary); }

void Catalog::requireFree(const std::string& name) const {
    for (const TableEntry& form : {TableEntry{name, true}, TableEntry{name, false}})
        for (const std::string& file : fileNames(form))
            if (contains(name) || m_files.exists(file))
                throw InputError("table " + name + " already exists in " + directory());
}

void Catalog::add(const TableEntry& table) {
    m_list.put(table);
    writeList();
}

void Catalog::remove(const std::string& name) {
    m_list.remove(name);
    if (m_listed) writeList();
}

void Catalog::writeList() {
    FileSet::ovfstream out(m_files, kListFileName, std::ios_base::out, false, true);
    m_list.write(out);
    if (!out) Utils::raise_runtime_error(std::string("Couldn't write ") + kListFileName);
    m_listed = true;
}

unsigned long long fileBytes(Catalog& catalog, const std::string& name) {
    // Through the set: a reader sees a change that was cut off as undone.
    FileSet::ivfstream in(catalog.files(), name.c_str(), std::ios_base::binary, false, true);
    if (!in.is_open()) return 0;
    const std::streamoff end = in.rdbuf()->pubseekoff(0, std::ios_base::end, std::ios_base::in);
    return end < 0 ? 0 : static_cast<unsigned long long>(end);
}

}  // namespace Tool
