// The extension module behind the orvex package: table sets opened as the
// tool opens them (the same catalog, locks and changes), and whole columns
// read straight into NumPy arrays. Everything friendlier lives in the pure
// Python beside it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "Core/Orvex/field_traits.h"
#include "Core/Orvex/field_types.h"
#include "tools/field_syntax.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "python/table_set.h"

namespace py = pybind11;
using namespace Orvex;
using PythonBinding::Set;

namespace {

// How a column keeps its values as it is read.
enum class Decimals { floating, raw };

// One column being read: takes its field's value from each record's bytes.
class ColumnReader {
public:
    virtual ~ColumnReader() = default;
    virtual void take(std::size_t row, const unsigned char* bytes) = 0;
    virtual py::object result() = 0;
};

template <class Out, class Codec>
class NumberColumn : public ColumnReader {
public:
    NumberColumn(const Codec& codec, std::size_t rows, double scale)
        : m_codec(codec), m_values(static_cast<py::ssize_t>(rows)), m_out(m_values.mutable_data()), m_scale(scale) {}
    void take(std::size_t row, const unsigned char* bytes) override { m_out[row] = convert(m_codec.get(bytes)); }
    py::object result() override { return m_values; }

private:
    template <class V>
    Out convert(const V& v) const {
        return static_cast<Out>(v);
    }
    Out convert(const fixed_point& v) const {
        if (m_scale == 0) return static_cast<Out>(v.raw);
        return static_cast<Out>(v.raw) / static_cast<Out>(m_scale);
    }

    Codec m_codec;
    py::array_t<Out> m_values;
    Out* m_out;
    double m_scale;  // 10^precision for a fixed column read as floats, else 0
};

// Strings become Python objects one by one; the list is made into an object
// array on the Python side.
class StringColumn : public ColumnReader {
public:
    StringColumn(const TField<std::string>& field, std::size_t rows, bool asBytes)
        : m_field(field), m_values(rows), m_bytes(asBytes) {}
    void take(std::size_t row, const unsigned char* bytes) override {
        const std::string text = field_traits<std::string>::text(m_field, m_field.codec().get(bytes));
        PyObject* value = m_bytes ? PyBytes_FromStringAndSize(text.data(), static_cast<py::ssize_t>(text.size()))
                                  : PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()),
                                                         "surrogateescape");
        if (!value) throw py::error_already_set();
        PyList_SET_ITEM(m_values.ptr(), static_cast<py::ssize_t>(row), value);
    }
    py::object result() override { return m_values; }

private:
    const TField<std::string>& m_field;
    py::list m_values;
    bool m_bytes;
};

template <class T>
struct column_type {
    typedef std::int32_t type;
};
template <>
struct column_type<unsigned int> {
    typedef std::uint32_t type;
};
template <>
struct column_type<unsigned long> {
    typedef std::uint32_t type;
};

template <class T>
std::unique_ptr<ColumnReader> makeReader(const TField<T>& field, std::size_t rows, Decimals, bool) {
    typedef typename column_type<T>::type Out;
    return std::unique_ptr<ColumnReader>(new NumberColumn<Out, field_codec<T> >(field.codec(), rows, 0));
}

std::unique_ptr<ColumnReader> makeReader(const TField<fixed_point>& field, std::size_t rows, Decimals decimals,
                                         bool) {
    typedef field_codec<fixed_point> Codec;
    if (decimals == Decimals::raw)
        return std::unique_ptr<ColumnReader>(new NumberColumn<std::int64_t, Codec>(field.codec(), rows, 0));
    double scale = 1;
    for (unsigned i = 0; i < field.Precision(); ++i) scale *= 10;
    return std::unique_ptr<ColumnReader>(new NumberColumn<double, Codec>(field.codec(), rows, scale));
}

std::unique_ptr<ColumnReader> makeReader(const TField<std::string>& field, std::size_t rows, Decimals,
                                         bool asBytes) {
    return std::unique_ptr<ColumnReader>(new StringColumn(field, rows, asBytes));
}

// One table of an open set, by name; its definition is the set's.
class Table {
public:
    Table(std::shared_ptr<Set> set, const std::string& name) : m_set(std::move(set)), m_name(name) {
        m_set->table(name);
    }

    const std::string& name() const { return m_name; }

    py::list fields() {
        const TFields& fields = table().fields();
        py::list out;
        for (unsigned i = 0; i < fields.size(); ++i) {
            const TFieldInfo& field = fields[i];
            py::dict info;
            info["name"] = field.name();
            info["type"] = field.Type();
            info["in_key"] = i < fields.endOfKey();
            std::string referenced;
            info["referenced_table"] =
                Tool::referencedTable(field, referenced) ? py::object(py::str(referenced)) : py::object(py::none());
            visitField(field, [&info](auto traits, const auto& descriptor) {
                describe(traits, descriptor, info);
            });
            out.append(info);
        }
        return out;
    }

    unsigned long size() {
        return Tool::storedCount(m_set->catalog(), table());
    }

    bool sorted() { return Tool::knownSorted(m_set->catalog(), table().contentsFileName()); }

    // The columns of [start, stop) in record order, by field name, as
    // arrays (numbers) or lists (strings); one scan of the contents file
    // feeds them all.
    py::dict columns(const std::vector<std::string>& names, unsigned long start, unsigned long stop,
                     const std::string& decimals, bool asBytes) {
        Tool::Catalog& catalog = m_set->catalog();
        const TTable& definition = table();
        Tool::requireContents(catalog, definition);
        TOpenTable open(definition, false);
        stop = std::min<unsigned long>(stop, open.size());
        start = std::min(start, stop);
        const std::size_t rows = stop - start;
        const TFields& fields = definition.fields();
        const Decimals mode = decimals == "raw" ? Decimals::raw : Decimals::floating;
        std::vector<std::unique_ptr<ColumnReader> > readers;
        for (const std::string& name : names) {
            unsigned at = 0;
            while (at < fields.size() && fields[at].name() != name) ++at;
            if (at == fields.size()) throw py::key_error("no field " + name + " in table " + m_name);
            readers.push_back(visitField(fields[at], [&](auto, const auto& descriptor) {
                return makeReader(descriptor, rows, mode, asBytes);
            }));
        }
        if (rows) {
            open.forEachBytes(start, stop, [&readers, start](unsigned long i, const unsigned char* bytes) {
                for (const auto& reader : readers) reader->take(i - start, bytes);
            });
        }
        py::dict out;
        for (std::size_t k = 0; k < names.size(); ++k) out[py::str(names[k])] = readers[k]->result();
        return out;
    }

private:
    template <class Traits, class Descriptor>
    static void describe(Traits, const Descriptor& field, py::dict& info) {
        info["bits"] = field.bits();
        info["precision"] = py::none();
        info["length"] = py::none();
        info["packed"] = py::none();
    }
    template <class Traits>
    static void describe(Traits, const TField<fixed_point>& field, py::dict& info) {
        info["bits"] = field.bits();
        info["precision"] = field.Precision();
        info["length"] = py::none();
        info["packed"] = py::none();
    }
    template <class Traits>
    static void describe(Traits, const TField<std::string>& field, py::dict& info) {
        info["bits"] = field.bits();
        info["precision"] = py::none();
        info["length"] = field.length();
        info["packed"] = field.Packed();
    }

    TTable& table() { return m_set->table(m_name); }

    std::shared_ptr<Set> m_set;
    std::string m_name;
};

}  // namespace

void bindWrites(py::module_& m);  // write_bindings.cpp

PYBIND11_MODULE(_orvex, m) {
    // The package's own exception types; the pure Python exports them.
    static py::exception<std::runtime_error> busy(m, "Busy");
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const Tool::InputError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const Tool::UsageError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const std::runtime_error& error) {
            // The lock's own refusal; nothing else says it.
            if (std::string(error.what()).find(" is in use by another process") != std::string::npos)
                busy(error.what());
            else
                throw;
        }
    });

    py::class_<Set, std::shared_ptr<Set> >(m, "Set")
        .def(py::init<const std::string&, bool, double, bool>(), py::arg("directory"), py::arg("write"),
             py::arg("wait"), py::arg("sync"))
        .def("tables", &Set::tables)
        .def("commit", &Set::commit)
        .def("close", &Set::close)
        .def_property_readonly("closed", &Set::closed)
        .def_property_readonly("writable", &Set::writable);

    py::class_<Table>(m, "Table")
        .def(py::init<std::shared_ptr<Set>, const std::string&>())
        .def_property_readonly("name", &Table::name)
        .def("fields", &Table::fields)
        .def("size", &Table::size)
        .def("sorted", &Table::sorted)
        .def("columns", &Table::columns);
    bindWrites(m);
}
