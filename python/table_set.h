// An open table set as the Python package holds it: the tool's catalog
// (lock and change) and the definitions of the tables read from it. The
// extension module's units share it.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"
#include "tools/table_view.h"

namespace PythonBinding {

namespace py = pybind11;

// An open set. Tables hold it by shared pointer, so a table kept past the
// `with` block still has its file set; once closed they refuse to read.
class Set {
public:
    Set(const std::string& directory, bool write, double wait, bool sync) {
        // The catalog reads its lock wait and syncing from the tool's
        // options; nothing else in this process uses them.
        Tool::setOptions().waitSeconds = wait;
        Tool::setOptions().sync = sync;
        m_catalog.reset(new Tool::Catalog(directory, write ? Tool::Access::write : Tool::Access::read));
    }

    Tool::Catalog& catalog() {
        if (!m_catalog) throw std::runtime_error("the table set is closed");
        return *m_catalog;
    }
    bool closed() const { return !m_catalog; }
    bool writable() const { return m_catalog && m_catalog->writable(); }

    std::vector<std::string> tables() {
        std::vector<std::string> names;
        for (const Tool::TableEntry& entry : catalog().tables()) names.push_back(entry.name);
        return names;
    }

    void commit() { catalog().commit(); }
    // Without a commit first this rolls the change back: the file set undoes
    // an open change when it goes, and releases the lock.
    void close() {
        m_tables.clear();
        m_catalog.reset();
    }

    // The definition of `name`, read once per set: the set owns it, so that
    // it goes before the file set it refers to whatever Python keeps.
    Orvex::TTable& table(const std::string& name) {
        Tool::Catalog& open = catalog();
        auto found = m_tables.find(name);
        if (found == m_tables.end()) {
            try {
                open.entry(name);
            } catch (const std::exception& error) {
                throw py::key_error(error.what());
            }
            found = m_tables.emplace(name, Tool::defineTable(open, name)).first;
        }
        return *found->second;
    }

private:
    std::map<std::string, pointer<Orvex::TTable> > m_tables;  // before the catalog: goes first
    std::unique_ptr<Tool::Catalog> m_catalog;

public:
    // Creating and stripping change what the tables are: their definitions
    // are read again when next asked for.
    void forgetDefinitions() { m_tables.clear(); }
};

}  // namespace PythonBinding
