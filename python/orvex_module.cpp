// The extension module behind the orvex package: table sets opened as the
// tool opens them (the same catalog, locks and changes), and whole columns
// read straight into NumPy arrays. Everything friendlier lives in the pure
// Python beside it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "Core/Orvex/field_traits.h"
#include "Core/Orvex/field_types.h"
#include "tools/field_syntax.h"
#include "tools/key_search.h"
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

// One column being read. Records come a chunk at a time: `take` decodes the
// chunk's values without the GIL, so it must not touch a Python object;
// `endChunk`, with the GIL, makes the objects of readers that `needsPython`.
class ColumnReader {
public:
    virtual ~ColumnReader() = default;
    // `count` records of `stride` bytes each from `bytes`, as rows `row` on.
    virtual void take(std::size_t row, const unsigned char* bytes, std::size_t count, std::size_t stride) = 0;
    virtual bool needsPython() const { return false; }
    virtual void endChunk() {}
    virtual py::object result() = 0;
};

template <class Out, class Codec>
class NumberColumn : public ColumnReader {
public:
    NumberColumn(const Codec& codec, std::size_t rows, double scale)
        : m_codec(codec), m_values(static_cast<py::ssize_t>(rows)), m_out(m_values.mutable_data()), m_scale(scale) {}
    void take(std::size_t row, const unsigned char* bytes, std::size_t count, std::size_t stride) override {
        Out* out = m_out + row;
        for (std::size_t k = 0; k < count; ++k, bytes += stride) out[k] = convert(m_codec.get(bytes));
    }
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

// Strings are Python objects, which need the GIL: a chunk's texts are kept
// end to end and become objects once the chunk is taken. The list is made
// into an object array on the Python side.
class StringColumn : public ColumnReader {
public:
    StringColumn(const TField<std::string>& field, std::size_t rows, bool asBytes)
        : m_field(field), m_values(rows), m_bytes(asBytes) {}
    void take(std::size_t row, const unsigned char* bytes, std::size_t count, std::size_t stride) override {
        m_row = row;
        m_texts.clear();
        m_ends.clear();
        for (std::size_t k = 0; k < count; ++k, bytes += stride) {
            m_texts += field_traits<std::string>::text(m_field, m_field.codec().get(bytes));
            m_ends.push_back(m_texts.size());
        }
    }
    bool needsPython() const override { return true; }
    void endChunk() override {
        std::size_t begin = 0;
        for (std::size_t k = 0; k < m_ends.size(); ++k) {
            const char* text = m_texts.data() + begin;
            const py::ssize_t size = static_cast<py::ssize_t>(m_ends[k] - begin);
            PyObject* value = m_bytes ? PyBytes_FromStringAndSize(text, size)
                                      : PyUnicode_DecodeUTF8(text, size, "surrogateescape");
            if (!value) throw py::error_already_set();
            PyList_SET_ITEM(m_values.ptr(), static_cast<py::ssize_t>(m_row + k), value);
            begin = m_ends[k];
        }
    }
    py::object result() override { return m_values; }

private:
    const TField<std::string>& m_field;
    py::list m_values;
    bool m_bytes;
    std::size_t m_row = 0;            // the chunk's first row
    std::string m_texts;              // the chunk's texts, end to end
    std::vector<std::size_t> m_ends;  // where each ends in m_texts
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

// Records [first, end) of a table.
typedef std::pair<unsigned long, unsigned long> Run;

// The runs of consecutive positions among `positions` (in table order).
std::vector<Run> runsOf(const std::vector<unsigned long>& positions) {
    std::vector<Run> runs;
    for (unsigned long position : positions) {
        if (runs.empty() || runs.back().second != position)
            runs.push_back(Run(position, position + 1));
        else
            ++runs.back().second;
    }
    return runs;
}

// Scans copy this much of the records at a time out of the set, a size that
// stays in cache while the columns are taken from it.
const std::size_t kChunkBytes = 256 * 1024;

// Feeds the records of `runs` to `readers`, as rows 0, 1, ... in run order.
// The scan has `set` to itself, so it runs without the GIL, taking it back
// only for the readers that make Python objects, once a chunk.
void readRuns(Set& set, const TOpenTable& open, const std::vector<Run>& runs,
              const std::vector<std::unique_ptr<ColumnReader> >& readers) {
    const std::size_t size = open.fields().byteSize();
    const std::size_t stride = std::max<std::size_t>(size, 1);  // records of no bytes take none
    const std::size_t chunkRecords = std::max<std::size_t>(kChunkBytes / stride, 1);
    std::vector<unsigned char> chunk(chunkRecords * stride);
    bool python = false;
    for (const auto& reader : readers) python = python || reader->needsPython();
    std::size_t row = 0, held = 0;
    const auto take = [&] {
        for (const auto& reader : readers) reader->take(row, chunk.data(), held, stride);
        if (python) {
            py::gil_scoped_acquire acquired;
            for (const auto& reader : readers) reader->endChunk();
        }
        row += held;
        held = 0;
    };
    Set::Scan alone(set);
    py::gil_scoped_release released;
    for (const Run& run : runs) {
        for (unsigned long first = run.first; first < run.second;) {
            const unsigned long n = std::min<unsigned long>(run.second - first, chunkRecords - held);
            unsigned char* to = chunk.data() + held * stride;
            open.forEachBytes(first, first + n, [to, first, size, stride](unsigned long i, const unsigned char* bytes) {
                std::memcpy(to + (i - first) * stride, bytes, size);
            });
            held += n;
            first += n;
            if (held == chunkRecords) take();
        }
    }
    if (held) take();
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
        const TTable& definition = table();
        Tool::requireContents(m_set->catalog(), definition);
        TOpenTable open(definition, false);
        stop = std::min<unsigned long>(stop, open.size());
        start = std::min(start, stop);
        return read(open, names, {Run(start, stop)}, decimals, asBytes);
    }

    // The same for the records whose keys lie from the first that starts
    // with `low` to the last that starts with `high` (empty: from the first,
    // to the last key), at most `limit` of them, found as `orvex find` finds
    // them: by halving in a sorted table, by reading every key when `scan`.
    py::dict between(const std::vector<std::string>& names, const std::vector<std::string>& low,
                     const std::vector<std::string>& high, unsigned long limit, bool scan,
                     const std::string& decimals, bool asBytes) {
        const TTable& definition = table();
        const TFields& fields = definition.fields();
        if (!fields.comparable()) throw Tool::InputError("table " + m_name + " has an empty key");
        for (const std::vector<std::string>* key : {&low, &high})
            if (key->size() > fields.endOfKey())
                throw Tool::InputError("the key of " + m_name + " is " + Tool::keyText(fields) + ": " +
                                       std::to_string(key->size()) + " values are too many");
        Tool::requireContents(m_set->catalog(), definition);
        TOpenTable open(definition, false);
        if (!scan && !m_sorted) {
            if (!Tool::knownSorted(m_set->catalog(), definition.contentsFileName())) Tool::requireSorted(open);
            // Nobody else changes a set this one reads.
            m_sorted = !m_set->writable();
        }
        std::vector<unsigned long> positions = Tool::recordsBetween(
            open, Tool::lowerKeyBound(fields, low), Tool::upperKeyBound(fields, high), scan);
        if (positions.size() > limit) positions.resize(limit);
        return read(open, names, runsOf(positions), decimals, asBytes);
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

    py::dict read(const TOpenTable& open, const std::vector<std::string>& names, const std::vector<Run>& runs,
                  const std::string& decimals, bool asBytes) {
        std::size_t rows = 0;
        for (const Run& run : runs) rows += run.second - run.first;
        const TFields& fields = open.fields();
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
        readRuns(*m_set, open, runs, readers);
        py::dict out;
        for (std::size_t k = 0; k < names.size(); ++k) out[py::str(names[k])] = readers[k]->result();
        return out;
    }

    std::shared_ptr<Set> m_set;
    std::string m_name;
    bool m_sorted = false;  // the table's order was checked, in a set opened to read
};

}  // namespace

void bindWrites(py::module_& m);  // write_bindings.cpp

PYBIND11_MODULE(_orvex, m) {
    // The package's own exception types; the pure Python exports them.
    static py::exception<std::runtime_error> busy(m, "Busy");
    static py::exception<PythonBinding::DamagedError> damaged(m, "Damaged");
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const Tool::InputError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const Tool::UsageError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const PythonBinding::DamagedError& error) {
            damaged(error.what());
        } catch (const PythonBinding::FileSystemError& error) {
            // OSError picks its subclass (FileNotFoundError, ...) by errno.
            PyErr_SetObject(PyExc_OSError, py::make_tuple(error.error(), error.what()).ptr());
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
        .def("columns", &Table::columns)
        .def("between", &Table::between);
    bindWrites(m);
}
