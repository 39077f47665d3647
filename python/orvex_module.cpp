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

// The object made for a stored text: str decoded from UTF-8 (bytes that
// are not kept as they were), or bytes.
PyObject* textObject(const char* text, std::size_t size, bool asBytes) {
    PyObject* value = asBytes ? PyBytes_FromStringAndSize(text, static_cast<py::ssize_t>(size))
                              : PyUnicode_DecodeUTF8(text, static_cast<py::ssize_t>(size), "surrogateescape");
    if (!value) throw py::error_already_set();
    return value;
}

// A new object array: NumPy zeroes it, so that until every row is filled it
// holds no object to release.
py::array objectArray(std::size_t rows) {
    return py::array(py::dtype("O"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows)});
}

// The characters of a stored string as the tool shows them: a packed one
// without the '_' of its unused positions.
template <class Emit>
void readText(const field_codec<std::string>& codec, bool packed, const unsigned char* record, Emit&& emit) {
    const std::string text = codec.get(record);  // in place, no allocation, up to 15 characters
    std::size_t size = text.size();
    if (packed)
        while (size && text[size - 1] == '_') --size;
    emit(text.data(), size);
}

// Strings are Python objects, which need the GIL: `take` works out which
// object each record gets, `endChunk` makes the new ones and fills the
// chunk's rows of the object array. A column often holds far fewer
// distinct texts than records (codes, names), so each distinct text gets
// one object, shared by its records, as pandas' CSV reader does: fewer
// objects to make, and less memory.
//
// Texts of up to sizeof(Key) bytes are their own keys: a stored text has no
// NUL byte (unpacked ones end at the first, packed ones cannot hold one),
// so its bytes padded with zeros tell it apart from every other. A text's
// object is found in the row where the text came first, so the table from
// texts to those rows is all the column keeps besides its array.
template <class Key>
class ShortStringColumn : public ColumnReader {
public:
    // Rows are kept as 32 bits: fewer than kMaxRows of them.
    static constexpr std::size_t kMaxRows = 0xFFFFFFFFu;

    ShortStringColumn(const TField<std::string>& field, std::size_t rows, bool asBytes)
        : m_codec(field.codec()),
          m_packed(field.Packed()),
          m_bytes(asBytes),
          m_values(objectArray(rows)),
          m_slots(std::size_t(1) << 10) {}
    void take(std::size_t row, const unsigned char* bytes, std::size_t count, std::size_t stride) override {
        m_row = row;
        m_keys.resize(count);
        m_firstRows.resize(count);
        for (std::size_t k = 0; k < count; ++k, bytes += stride)
            readText(m_codec, m_packed, bytes, [&](const char* text, std::size_t size) {
                Key key = 0;
                std::memcpy(&key, text, size);
                m_keys[k] = key;
            });
        // The table is too large for the cache: the slots of the texts a
        // little ahead are fetched while these are looked up.
        const std::size_t ahead = 16;
        for (std::size_t k = 0; k < count; ++k) {
            if (k + ahead < count) __builtin_prefetch(&m_slots[slotOf(m_keys[k + ahead])]);
            m_firstRows[k] = firstRow(m_keys[k], static_cast<std::uint32_t>(row + k));
        }
    }
    bool needsPython() const override { return true; }
    void endChunk() override {
        PyObject** out = static_cast<PyObject**>(m_values.mutable_data());
        const std::size_t count = m_keys.size();
        for (std::size_t k = 0; k < count; ++k) {
            // A repeated text's object is anywhere in the array: its place,
            // then the object itself, are fetched a little ahead.
            if (k + 16 < count) __builtin_prefetch(&out[m_firstRows[k + 16]]);
            if (k + 8 < count && m_firstRows[k + 8] < m_row) __builtin_prefetch(out[m_firstRows[k + 8]]);
            const std::size_t row = m_row + k, first = m_firstRows[k];
            if (first == row) {
                char text[sizeof(Key)];
                std::memcpy(text, &m_keys[k], sizeof(Key));
                out[row] = textObject(text, strnlen(text, sizeof(Key)), m_bytes);
            } else {
                Py_INCREF(out[first]);
                out[row] = out[first];
            }
        }
    }
    py::object result() override { return m_values; }

private:
    struct Slot {
        Key key;
        std::uint32_t row;  // 1 + the row where the text came first; 0: empty
    };

    std::size_t slotOf(Key key) const {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> m_shift);
    }
    // Open addressing with linear probing, grown past 4/5 full: the table
    // stays small beside the objects it saves.
    std::uint32_t firstRow(Key key, std::uint32_t row) {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t at = slotOf(key);; at = (at + 1) & mask) {
            Slot& slot = m_slots[at];
            if (slot.row == 0) {
                slot = Slot{key, row + 1};
                if (++m_distinct * 5 > m_slots.size() * 4) grow();
                return row;
            }
            if (slot.key == key) return slot.row - 1;
        }
    }
    void grow() {
        std::vector<Slot> old(m_slots.size() * 2);
        old.swap(m_slots);
        --m_shift;
        const std::size_t mask = m_slots.size() - 1;
        for (const Slot& slot : old) {
            if (slot.row == 0) continue;
            std::size_t at = slotOf(slot.key);
            while (m_slots[at].row != 0) at = (at + 1) & mask;
            m_slots[at] = slot;
        }
    }

    field_codec<std::string> m_codec;
    bool m_packed;
    bool m_bytes;
    py::array m_values;
    std::vector<Slot> m_slots;
    unsigned m_shift = 64 - 10;              // 64 - log2(m_slots.size())
    std::size_t m_distinct = 0;              // texts met so far
    std::size_t m_row = 0;                   // the chunk's first row
    std::vector<Key> m_keys;                 // the chunk's texts
    std::vector<std::uint32_t> m_firstRows;  // where each came first
};

// Longer texts (and columns of more rows than a short one counts), one
// object each: kept end to end while the chunk is taken.
class LongStringColumn : public ColumnReader {
public:
    LongStringColumn(const TField<std::string>& field, std::size_t rows, bool asBytes)
        : m_codec(field.codec()),
          m_packed(field.Packed()),
          m_bytes(asBytes),
          m_values(objectArray(rows)) {}
    void take(std::size_t row, const unsigned char* bytes, std::size_t count, std::size_t stride) override {
        m_row = row;
        m_texts.clear();
        m_ends.clear();
        for (std::size_t k = 0; k < count; ++k, bytes += stride)
            readText(m_codec, m_packed, bytes, [this](const char* text, std::size_t size) {
                m_texts.append(text, size);
                m_ends.push_back(m_texts.size());
            });
    }
    bool needsPython() const override { return true; }
    void endChunk() override {
        PyObject** out = static_cast<PyObject**>(m_values.mutable_data()) + m_row;
        std::size_t begin = 0;
        for (std::size_t k = 0; k < m_ends.size(); ++k) {
            out[k] = textObject(m_texts.data() + begin, m_ends[k] - begin, m_bytes);
            begin = m_ends[k];
        }
    }
    py::object result() override { return m_values; }

private:
    field_codec<std::string> m_codec;
    bool m_packed;
    bool m_bytes;
    py::array m_values;
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
    if (rows >= ShortStringColumn<std::uint32_t>::kMaxRows)
        return std::unique_ptr<ColumnReader>(new LongStringColumn(field, rows, asBytes));
    if (field.length() <= sizeof(std::uint32_t))
        return std::unique_ptr<ColumnReader>(new ShortStringColumn<std::uint32_t>(field, rows, asBytes));
    if (field.length() <= sizeof(std::uint64_t))
        return std::unique_ptr<ColumnReader>(new ShortStringColumn<std::uint64_t>(field, rows, asBytes));
    return std::unique_ptr<ColumnReader>(new LongStringColumn(field, rows, asBytes));
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
// only for the readers that make Python objects, once a chunk. The pages of
// the contents file are given back as the scan leaves them: a read through
// a large table holds the columns and a chunk, never the file.
void readRuns(Set& set, const TOpenTable& open, const std::string& contents, const std::vector<Run>& runs,
              const std::vector<std::unique_ptr<ColumnReader> >& readers) {
    Host::DirectoryFileSet& files = set.catalog().files();
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
            files.dropCleanPages(contents);
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
        readRuns(*m_set, open, table().contentsFileName(), runs, readers);
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
