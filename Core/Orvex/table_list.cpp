#include "Core/Orvex/table_list.h"

#include <istream>
#include <map>
#include <ostream>

#include "Core/Orvex/__table.h"
#include "Core/Orvex/table_files.h"
#include "support/Utils.h"
#include "support/tabulation.h"

namespace Orvex {

namespace {

// Flushed line by line, as every text form of the library is.
void endLine(std::ostream& os) {
    os << '\n';
    os.flush();
}

}  // namespace

unsigned short table_list::writtenCount(std::size_t size) {
    if (size > 0xFFFF)
        Utils::raise_runtime_error("A table set of " + std::to_string(size) +
                                   " tables can't be written: at most 65535");
    return static_cast<unsigned short>(size);
}

void table_list::writeEach(std::ostream& os, const std::vector<entry>& entries) {
    tabulation::to_stream(os, writtenCount(entries.size()));
    endLine(os);
    for (const entry& table : entries) {
        tabulation::to_stream(os, table.name);
        tabulation::to_stream(os, static_cast<unsigned char>(table.binary ? 1 : 0));
        endLine(os);
    }
}

void table_list::readEach(std::istream& is, const std::function<void(const entry&)>& each) {
    unsigned short count = 0;
    tabulation::from_stream(is, count);
    for (unsigned k = 0; k < count && !is.fail(); ++k) {
        std::string name;
        unsigned char flag = 0;
        tabulation::from_stream(is, name);
        tabulation::from_stream(is, flag);
        if (is.fail()) break;
        each(entry{name, flag != 0});
    }
}

void table_list::read(std::istream& is) {
    readEach(is, [this](const entry& table) { m_entries.push_back(table); });
}

table_list table_list::discover(const std::vector<std::string>& files) {
    std::map<std::string, bool> found;  // name -> binary
    for (const std::string& file : files) {
        std::string name;
        bool binary = false;
        if (!isStructureFile(file, name, binary) || name == kTemporaryTableName) continue;
        found[name] = found[name] || binary;
    }
    table_list list;
    for (const auto& table : found) list.m_entries.push_back(entry{table.first, table.second});
    return list;
}

bool table_list::contains(const std::string& name) const {
    for (const entry& table : m_entries)
        if (table.name == name) return true;
    return false;
}

const table_list::entry& table_list::find(const std::string& name) const {
    for (const entry& table : m_entries)
        if (table.name == name) return table;
    TTables::badKey(name);
    throw std::logic_error("unreachable");
}

void table_list::put(const entry& table) {
    for (entry& known : m_entries)
        if (known.name == table.name) {
            known = table;
            return;
        }
    m_entries.push_back(table);
}

void table_list::remove(const std::string& name) {
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
        if (it->name == name) {
            m_entries.erase(it);
            return;
        }
}

std::unique_ptr<TTables> table_list::define(FileSet::TFileSet& fs) const {
    std::unique_ptr<TTables> set(new TTables(fs));
    for (const entry& table : m_entries) set->append(table.name, table.binary);
    return set;
}

}  // namespace Orvex
