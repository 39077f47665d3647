// The extension module's writes: each is one of the tool's changes
// (tools/set_changes.h) made inside the open set's change, which the set
// commits at the end of its `with` block. A change refused before its first
// write leaves the set as it was and the block may go on; one that failed
// half way leaves only a rollback, so the set rolls back and closes.
//
// Appended values reach the tool's checks as the text `load` would read:
// NumPy columns of numbers are read in place and formatted here, strings
// and other objects are taken from lists one by one.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "python/table_set.h"
#include "tools/field_syntax.h"
#include "tools/set_changes.h"

namespace py = pybind11;
using PythonBinding::Set;

namespace {

template <class Change>
auto changing(Set& set, Change&& change) {
    Tool::Catalog& catalog = set.catalog();
    if (!catalog.writable())
        throw std::runtime_error("the table set is open to read; open it with write=True to change it");
    try {
        return change(catalog);
    } catch (const Tool::HalfWritten& e) {
        set.close();
        throw std::runtime_error(std::string(e.what()) + " (the set's change was rolled back and the set closed)");
    }
}

// The columns given for each field, in field order.
class Columns : public Tool::RowSource {
public:
    Columns(const Orvex::TFields& fields, const std::string& table, const py::dict& given) {
        for (const auto& item : given) {
            const std::string name = py::str(item.first);
            if (fields.indexOf(name) == fields.size()) throw py::key_error("table " + table + " has no field " + name);
        }
        for (unsigned f = 0; f < fields.size(); ++f) {
            const py::str name(fields[f].name());
            if (!given.contains(name)) throw py::value_error("no column for field " + fields[f].name());
            m_columns.push_back(column(given[name]));
            const unsigned long length = m_columns.back().length;
            if (f && length != m_rows)
                throw py::value_error("column " + fields[f].name() + " has " + std::to_string(length) +
                                      " values, column " + fields[0].name() + " " + std::to_string(m_rows));
            m_rows = length;
        }
    }

    unsigned long rows() const override { return m_rows; }

    void text(unsigned field, unsigned long row, std::string& out) override {
        const Column& c = m_columns[field];
        switch (c.kind) {
            case Kind::signedInts: out = std::to_string(c.signedInts.data()[row]); break;
            case Kind::unsignedInts: out = std::to_string(c.unsignedInts.data()[row]); break;
            case Kind::reals: out = realText(c.reals.data()[row]); break;
            case Kind::objects: objectText(PyList_GET_ITEM(c.objects.ptr(), static_cast<py::ssize_t>(row)), out);
        }
    }

private:
    enum class Kind { signedInts, unsignedInts, reals, objects };
    struct Column {
        Kind kind = Kind::objects;
        unsigned long length = 0;
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> signedInts;
        py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast> unsignedInts;
        py::array_t<double, py::array::c_style | py::array::forcecast> reals;
        py::list objects;
    };

    // The Python side hands a one-dimensional array of numbers or a list.
    static Column column(py::handle values) {
        Column c;
        c.kind = Kind::objects;
        if (py::isinstance<py::list>(values)) {
            c.objects = py::reinterpret_borrow<py::list>(values);
            c.length = c.objects.size();
            return c;
        }
        const py::array array = py::reinterpret_borrow<py::array>(values);
        const char kind = array.dtype().kind();
        if (kind == 'u') {
            c.kind = Kind::unsignedInts;
            c.unsignedInts = array;
        } else if (kind == 'f') {
            c.kind = Kind::reals;
            c.reals = array;
        } else {
            c.kind = Kind::signedInts;
            c.signedInts = array;
        }
        c.length = static_cast<unsigned long>(array.size());
        return c;
    }

    // The shortest text that reads back as the same double: a float read
    // from a decimal column gives its decimals back, and anything else is
    // refused for its extra decimals rather than rounded.
    static std::string realText(double value) {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        return std::string(text, end);
    }

    static void objectText(PyObject* value, std::string& out) {
        // A missing value (None, or NaN as pandas has it among strings) is
        // the empty text a CSV file gives it: an empty string, and no number.
        if (value == Py_None || (PyFloat_Check(value) && std::isnan(PyFloat_AS_DOUBLE(value)))) {
            out.clear();
        } else if (PyUnicode_Check(value)) {
            // Strings read back as they were, bytes that are not UTF-8 too.
            const py::bytes encoded = py::reinterpret_steal<py::bytes>(
                PyUnicode_AsEncodedString(value, "utf-8", "surrogateescape"));
            if (!encoded) throw py::error_already_set();
            out = encoded;
        } else if (PyBytes_Check(value)) {
            out.assign(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        } else if (PyFloat_Check(value)) {
            out = realText(PyFloat_AS_DOUBLE(value));
        } else {
            out = py::str(value);
        }
    }

    std::vector<Column> m_columns;
    unsigned long m_rows = 0;
};

void create(Set& set, const std::string& name, const std::vector<std::string>& words, bool binary) {
    Tool::requireTableName(name);
    const Orvex::TFields fields = Tool::parseFieldList(words);
    changing(set, [&](Tool::Catalog& catalog) { return Tool::createTable(catalog, name, fields, binary); });
    set.forgetDefinitions();
}

void append(Set& set, const std::string& name, const py::dict& columns) {
    const Orvex::TTable& table = set.table(name);
    Columns rows(table.fields(), name, columns);
    changing(set, [&](Tool::Catalog& catalog) {
        Tool::appendRows(catalog, table, rows);
        return 0;
    });
}

unsigned long sort(Set& set, const std::string& name) {
    const Orvex::TTable& table = set.table(name);
    return changing(set, [&](Tool::Catalog& catalog) { return Tool::sortTable(catalog, table); });
}

void strip(Set& set, const std::vector<std::string>& names) {
    // The definitions held would outlive the files they describe.
    set.forgetDefinitions();
    changing(set, [&](Tool::Catalog& catalog) { return Tool::stripTables(catalog, names); });
    set.forgetDefinitions();
}

unsigned long deleteKeys(Set& set, const std::string& name, const std::string& key, const std::string& lastKey,
                  bool scan) {
    const Orvex::TTable& table = set.table(name);
    return changing(set, [&](Tool::Catalog& catalog) {
        return Tool::deleteRecords(catalog, table, [&](const Orvex::TOpenTable& open) {
                   return Tool::keyRange(catalog, table, open, key, lastKey, scan);
               }).removed;
    });
}

unsigned long update(Set& set, const std::string& name, const std::string& key,
                     const std::vector<std::string>& assignments, bool scan) {
    const Orvex::TTable& table = set.table(name);
    return changing(set, [&](Tool::Catalog& catalog) {
        return Tool::updateRecords(catalog, table, assignments, [&](const Orvex::TOpenTable& open) {
            return Tool::keyRange(catalog, table, open, key, key, scan);
        });
    });
}

}  // namespace

void bindWrites(py::module_& m) {
    m.def("create", &create, py::arg("set"), py::arg("name"), py::arg("fields"), py::arg("binary"));
    m.def("append", &append, py::arg("set"), py::arg("name"), py::arg("columns"));
    m.def("sort", &sort, py::arg("set"), py::arg("name"));
    m.def("strip", &strip, py::arg("set"), py::arg("names"));
    m.def("delete", &deleteKeys, py::arg("set"), py::arg("name"), py::arg("key"), py::arg("last_key"), py::arg("scan"));
    m.def("update", &update, py::arg("set"), py::arg("name"), py::arg("key"), py::arg("assignments"),
          py::arg("scan"));
}
