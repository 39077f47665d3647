#include "tools/catalog.h"

#include <filesystem>
#include <iostream>
#include <map>

#include "Core/Orvex/table_files.h"
#include "fileset/vfstream.h"
#include "support/Utils.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

const char* const kListFileName = "tables.lst";


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
        discover();
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
    TTables::readList(in, [this](const TTables::list_entry& entry) {
        m_tables.push_back(TableEntry{entry.first, entry.second});
    });
    if (in.fail()) Utils::raise_runtime_error(std::string(kListFileName) + ": damaged table list");
}

void Catalog::discover() {
    std::map<std::string, bool> found;  // name -> binary
    for (const std::string& file : m_files.list()) {
        std::string name;
        bool binary = false;
        if (!isStructureFile(file, name, binary) || name == kTemporaryTableName) continue;
        found[name] = found[name] || binary;
    }
    for (const auto& table : found) m_tables.push_back(TableEntry{table.first, table.second});
}

bool Catalog::contains(const std::string& name) const {
    for (const TableEntry& table : m_tables)
        if (table.name == name) return true;
    return false;
}

const TableEntry& Catalog::entry(const std::string& name) const {
    for (const TableEntry& table : m_tables)
        if (table.name == name) return table;
    TTables::badKey(name);
    throw std::logic_error("unreachable");
}

std::vector<std::string> Catalog::fileNames(const TableEntry& table) { return tableFileNames(table.name, table.binary); }

void Catalog::requireFree(const std::string& name) const {
    for (const TableEntry& form : {TableEntry{name, true}, TableEntry{name, false}})
        for (const std::string& file : fileNames(form))
            if (contains(name) || m_files.exists(file))
                throw InputError("table " + name + " already exists in " + directory());
}

void Catalog::add(const TableEntry& table) {
    bool replaced = false;
    for (TableEntry& known : m_tables)
        if (known.name == table.name) {
            known = table;
            replaced = true;
        }
    if (!replaced) m_tables.push_back(table);
    writeList();
}

void Catalog::remove(const std::string& name) {
    for (auto it = m_tables.begin(); it != m_tables.end(); ++it)
        if (it->name == name) {
            m_tables.erase(it);
            break;
        }
    if (m_listed) writeList();
}

void Catalog::writeList() {
    FileSet::ovfstream out(m_files, kListFileName, std::ios_base::out, false, true);
    std::vector<TTables::list_entry> entries;
    for (const TableEntry& table : m_tables) entries.emplace_back(table.name, table.binary);
    TTables::writeList(out, entries);
    if (!out) Utils::raise_runtime_error(std::string("Couldn't write ") + kListFileName);
    m_listed = true;
}

std::unique_ptr<TTables> Catalog::openSet() {
    std::unique_ptr<TTables> set(new TTables(m_files));
    for (const TableEntry& table : m_tables) set->append(table.name, table.binary);
    return set;
}

unsigned long long fileBytes(Catalog& catalog, const std::string& name) {
    // Through the set: a reader sees a change that was cut off as undone.
    FileSet::ivfstream in(catalog.files(), name.c_str(), std::ios_base::binary, false, true);
    if (!in.is_open()) return 0;
    const std::streamoff end = in.rdbuf()->pubseekoff(0, std::ios_base::end, std::ios_base::in);
    return end < 0 ? 0 : static_cast<unsigned long long>(end);
}

}  // namespace Tool
