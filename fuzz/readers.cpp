#include "fuzz/readers.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <typeinfo>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/__field.h"
#include "Core/Orvex/__table.h"
#include "host/memory_file_set.h"
#include "host/module_loader.h"
#include "support/tabulation.h"

namespace Fuzz {
namespace {

using namespace Orvex;
typedef pointer<field_transformer_base::args> Args;

// Which of the library's documented errors a reader may answer with.
enum Allowed : unsigned { kRuntime = 1, kOutOfRange = 2, kLogic = 4 };

// Runs `body`: Rejected when it raised an allowed error, Accepted when it
// returned. Only exactly the types Utils raises count: a subclass
// (length_error, ios_base::failure, ...) is no documented answer.
template <class F>
Outcome guarded(unsigned allowed, F body) {
    try {
        body();
    } catch (const std::exception& e) {
        const std::type_info& t = typeid(e);
        if (t == typeid(std::runtime_error) ? allowed & kRuntime : t == typeid(std::out_of_range) ? allowed & kOutOfRange
                                                                   : t == typeid(std::logic_error) && (allowed & kLogic))
            return Outcome::Rejected;
        throw;
    }
    return Outcome::Accepted;
}

void check(bool ok, const std::string& what) {
    if (!ok) throw Finding{what};
}

template <class T>
std::string textOf(const T& x) {
    std::ostringstream os;
    x.to_stream(os);
    return os.str();
}

template <class T>
std::string binaryOf(const T& x) {
    std::ostringstream os;
    x.serial_write(os);
    return os.str();
}

std::string tableText(const TOpenTable& t) {
    std::ostringstream os;
    os << t;
    return os.str();
}

// Records of zero bytes cost nothing in the file, so only the header bounds
// their count; inputs that declare more are skipped.
const unsigned long kMaxZeroByteRecords = 1UL << 12;

// The structure a menu byte picks (see readers.h); the order is the seeds'.
TFields menuStructure(unsigned char which) {
    TFields f;
    // 0: all-round, 32-bit key; 1: 3-bit key; 2: 12-bit key of two fields;
    // 3: whole-record key, packed string; 4: empty key; 5: fixed key, several
    // types after it; 6: zero-width fields, as stripping all-zero values
    // gives (records of no bytes).
    switch (which % 7) {
        case 0: return f += TField<unsigned long>("id", 32), f += TEndOfKey(), f += TField<int>("qty", 16),
                       f += TField<fixed_point>("price", 2, 20), f += TField<std::string>("name", 6, false), f;
        case 1: return f += TField<unsigned int>("k", 3), f += TEndOfKey(), f += TField<long>("v", 13), f;
        case 2: return f += TField<int>("a", 5), f += TField<unsigned long>("b", 7), f += TEndOfKey(), f += TField<unsigned int>("c", 4), f;
        case 3: return f += TField<std::string>("s", 3, true), f += TField<int>("n", 9), f;
        case 4: return f += TEndOfKey(), f += TField<unsigned long>("x", 20), f;
        case 5: return f += TField<fixed_point>("f", 3, 32), f += TEndOfKey(), f += TField<std::string>("t", 2, false),
                       f += TField<long>("g", 32), f;
        default: return f += TField<int>("z", 0), f += TEndOfKey(), f += TField<std::string>("e", 0, false), f;
    }
}

// ------------------------------------------------------------ structures

// What was read writes back in both forms and reads again to the same thing.
void checkStructure(const TFields& fields) {
    check(fields.endOfKey() <= fields.size() && fields.bitCompareSize() <= fields.bitSize(), "key past the record");
    const std::string text = textOf(fields), binary = binaryOf(fields);
    check(binary.size() == fields.serial_size(), "serial_size differs from what serial_write writes");
    std::istringstream textIn(text), binaryIn(binary);
    TFields fromText(textIn);
    check(!textIn.fail() && textOf(fromText) == text && binaryOf(fromText) == binary, "a text structure changes when read back");
    check(fromText.bitSize() == fields.bitSize() && fromText.bitCompareSize() == fields.bitCompareSize(),
          "a text structure reads back to other sizes");
    serial::serial_in reader(binaryIn);
    TFields fromBinary(reader);
    check(!binaryIn.fail() && textOf(fromBinary) == text, "a binary structure changes when read back");
    if (fields.empty()) return;
    TRecord zero(fields), back(fields);
    check(zero.serial_size() == fields.byteSize() && binaryOf(zero).size() == fields.byteSize(),
          "a record's size is not the structure's byte size");
    std::istringstream values(textOf(zero));
    back.from_stream(values);
    check(!values.fail() && binaryOf(back) == binaryOf(zero), "a zero record does not read back from text");
}

Outcome readStructure(const std::string& in, bool binary) {
    Host::MemoryFileSet fs;
    fs.put(binary ? "t.dsb" : "t.dst", in);
    pointer<TTable> table;
    // A type name the lookup refuses raises the lookup's own logic error.
    const Outcome o = guarded(kRuntime | kLogic, [&] { table = pointer<TTable>(new TTable(fs, "t", binary)); });
    if (o == Outcome::Accepted) checkStructure(table->fields());
    return o;
}

// Every field's arguments, as the transformer file of a fresh table writes them.
std::string transformersWritten(const TFields& fields, bool binary) {
    Host::MemoryFileSet fs;
    TTable table(fs, "t", fields, binary);
    return fs.exists(table.transFileName()) ? fs.contents(table.transFileName()) : std::string();
}

Outcome readTransformers(const std::string& in, bool binary) {
    if (in.empty()) return Outcome::Rejected;
    Host::MemoryFileSet fs;
    {
        TTable made(fs, "t", menuStructure(in[0]), binary);
        fs.put(made.transFileName(), in.substr(1));
    }
    pointer<TTable> table;
    const Outcome o = guarded(kRuntime, [&] { table = pointer<TTable>(new TTable(fs, "t", binary)); });
    if (o == Outcome::Rejected) return o;
    const TFields& fields = table->fields();
    for (unsigned i = 0; i < fields.size(); ++i) {
        const std::string c = fields[i].transformer() ? fields[i].transformer()->category() : range_fixer_args::getCategory();
        check(c == range_fixer_args::getCategory() || c == ref_fixer_args::getCategory(),
              "a transformer file gives arguments of category " + c);
    }
    // Written, read again and written again: the same file.
    const std::string first = transformersWritten(fields, binary);
    Host::MemoryFileSet again;
    TTable(again, "t", fields, binary);
    check(transformersWritten(TTable(again, "t", binary).fields(), binary) == first, "transformer arguments change when read back");
    return o;
}

Outcome readTableList(const std::string& input, bool binary) {
    Host::MemoryFileSet fs;
    {
        TFields a = menuStructure(0), b = menuStructure(2);
        a["qty"].transformer(Args(new range_fixer_args(1L, 500L)));
        b["b"].transformer(Args(new ref_fixer_args("a")));
        TTable ta(fs, "a", a, true), tb(fs, "b", b, false), tc(fs, "c", menuStructure(1), true);
        TOpenTable open(ta, true);
        TRecord r(a);
        for (unsigned long i = 0; i < 3; ++i) r[0] = 10 - i, open.push_back(r);
    }
    TTables set(fs);
    std::istringstream in(input);
    const Outcome o = guarded(kRuntime, [&] { binary ? set.serial_read(in) : set.from_stream(in); });
    if (o == Outcome::Rejected) return o;
    for (unsigned i = 0; i < set.size(); ++i)
        check(set.checkedIndex(set.at(i).name()) == i, "a table is not found under its own name");
    const std::string text = textOf(set), block = binaryOf(set);
    check(block.size() == set.serial_size(), "serial_size differs from what serial_write writes");
    std::istringstream textIn(text), blockIn(block);
    TTables fromText(fs), fromBinary(fs);
    fromText.from_stream(textIn);
    fromBinary.serial_read(blockIn);
    check(textOf(fromText) == text && textOf(fromBinary) == text, "a table list changes when read back");
    return o;
}

// ------------------------------------------------------------- contents

std::vector<std::string> recordsOf(TOpenTable& open) {
    std::vector<std::string> records;
    for (unsigned long i = 0; i < open.size(); ++i) records.push_back(binaryOf(open.at(i)));
    return records;
}

TRecord recordFrom(const TFields& fields, const std::string& bytes) {
    TRecord r(fields);
    std::istringstream in(bytes);
    r.serial_read(in);
    return r;
}

Outcome openContents(const std::string& in) {
    if (in.empty()) return Outcome::Rejected;
    Host::MemoryFileSet fs;
    TTable table(fs, "t", menuStructure(in[0]), true);
    const TFields& fields = table.fields();
    fs.put(table.contentsFileName(), in.substr(1));
    const unsigned long R = fields.byteSize();
    std::vector<std::string> records;
    std::string text, block;
    {
        pointer<TOpenTable> open;
        if (guarded(kRuntime, [&] { open = pointer<TOpenTable>(new TOpenTable(table, false)); }) == Outcome::Rejected)
            return Outcome::Rejected;
        const unsigned long n = open->size();
        // Records of no bytes are never counted, and their file is never read.
        check(R == 0 ? n == 0 : 4 + n * R <= in.size() - 1, "more records than the file holds");
        if (n > kMaxZeroByteRecords) return Outcome::Skipped;
        records = recordsOf(*open);
        check(guarded(kOutOfRange, [&] { open->at(n); }) == Outcome::Rejected, "reading past the end gives a record");
        text = tableText(*open);
        block = binaryOf(*open);
        check(block.size() >= 4 + n * R, "the block form is shorter than its records");
    }
    // Text and block forms read into other tables of the same structure.
    TTable viaText(fs, "u", fields, true), viaBlock(fs, "w", fields, true);
    TOpenTable u(viaText, true), w(viaBlock, true);
    std::istringstream textIn(text), blockIn(block);
    textIn >> u;
    w.serial_read(blockIn);
    check(u.size() == records.size() && tableText(u) == text, "the text form changes when read back");
    check(recordsOf(w) == records, "the block form reads back to other records");
    // Sorting keeps the records and puts them in key order, after reopening too.
    std::vector<std::string> sorted;
    {
        TOpenTable open(table, false);
        open.sort();
        sorted = recordsOf(open);
    }
    std::vector<TRecord> keyed;
    for (const std::string& r : sorted) keyed.push_back(recordFrom(fields, r));
    for (std::size_t i = 1; i < keyed.size(); ++i) check(keyed[i - 1].compareTo(keyed[i]) <= 0, "a sorted table is out of order");
    const unsigned long n = sorted.size();
    {
        TOpenTable reopened(table, false);
        check(recordsOf(reopened) == sorted, "a sorted table reads back otherwise after reopening");
        check(std::is_permutation(records.begin(), records.end(), sorted.begin(), sorted.end()), "sorting changes the records");
        // Searches agree with a linear scan, for keys present, all zero and all ones.
        std::vector<TRecord> probes = {recordFrom(fields, std::string(R, '\0')), recordFrom(fields, std::string(R, '\xff'))};
        for (std::size_t i = 0; i < n && i < 32; ++i) probes.push_back(keyed[i * n / 32]);
        for (const TRecord& v : probes) {
            unsigned long less = 0, notGreater = 0;
            for (const TRecord& r : keyed) less += r.compareTo(v) < 0, notGreater += r.compareTo(v) <= 0;
            check(reopened.lower_bound(0, n, v) == less && reopened.upper_bound(0, n, v) == notGreater,
                  "lower_bound or upper_bound disagrees with a linear scan");
            const unsigned long found = reopened.find(0, n, v);
            check(less == notGreater ? found == n : found >= less && found < notGreater, "find disagrees with a linear scan");
        }
    }

    // Erasing the middle third and inserting two copies of the first record
    // move the tail of a file that may hold bytes past its records; the
    // records then read back as a vector model says, after reopening too.
    std::vector<std::string> model = sorted;
    {
        TOpenTable open(table, false);
        open.erase(n / 3, 2 * n / 3);
        model.erase(model.begin() + n / 3, model.begin() + 2 * n / 3);
        const std::string first = sorted.empty() ? std::string(R, '\0') : sorted.front();
        const unsigned long at = model.size() / 2;
        open.insert(at, 2, recordFrom(fields, first));
        model.insert(model.begin() + at, 2, first);
        check(open.size() == model.size(), "erasing and inserting give another record count");
    }
    TOpenTable again(table, false);
    if (R == 0) model.clear();  // records of 0 bytes are never counted on opening
    check(recordsOf(again) == model, "erasing and inserting move records wrongly");
    return Outcome::Accepted;
}

// ------------------------------------------------------------- stripping

// Names, types and key of a structure, without widths: what stripping keeps.
std::string shapeOf(const TFields& f) {
    std::string s = std::to_string(f.endOfKey()) + ":";
    for (unsigned i = 0; i < f.size(); ++i) s += f[i].Type() + " " + f[i].name() + ";";
    return s;
}

// The values of every record, field by field, except fixed-point fields with
// declared range arguments: stripping gives them the range's precision,
// rounding finer values by declaration.
std::string strippableValues(TTable& table, const TFields& declared) {
    TOpenTable open(table, false);
    std::ostringstream os;
    const TFields& fields = open.fields();
    for (unsigned long i = 0; i < open.size(); ++i, os << '\n') {
        const TRecord r = open.at(i);
        for (unsigned f = 0; f < fields.size(); ++f) {
            if (fields[f].typeValue() != TType::tpFixed) {
                fields[f].value_to_stream(os, r.data());
            } else if (!declared[f].transformer() || declared[f].transformer()->category() != range_fixer_args::getCategory()) {
                // The stripper drops unused decimal places: compare numbers.
                fixed_point v = r[f].get<fixed_point>();
                for (; v.precision > 0 && v.raw % 10 == 0; --v.precision) v.raw /= 10;
                tabulation::to_stream(os, v);
            }
        }
    }
    return os.str();
}

Outcome stripSet(const std::string& in) {
    if (in.empty()) return Outcome::Rejected;
    const char* const names[] = {"a", "b"};
    const bool binary[] = {(in[0] & 1) != 0, (in[0] & 2) != 0};
    static const char* const textExtensions[] = {".dst", ".trt", ".bin"}, *const binaryExtensions[] = {".dsb", ".trb", ".bin"};
    Host::MemoryFileSet fs;
    for (std::size_t p = 0, from = 1; p < 6 && from <= in.size(); ++p) {
        const std::size_t at = std::min(in.find("|~|", from), in.size());
        // Indexing the conditional directly is miscompiled by g++ 12 under
        // -fsanitize=undefined (every part got the same extension).
        const char* const* extensions = binary[p / 3] ? binaryExtensions : textExtensions;
        fs.put(names[p / 3] + std::string(extensions[p % 3]), in.substr(from, at - from));
        from = at + 3;
    }
    TTables set(fs);
    std::string before[2];  // the shape and values of each table
    bool tooMany = false;
    Outcome o = guarded(kRuntime | kLogic, [&] {
        for (int t = 0; t < 2 && !tooMany; ++t) {
            TTable& table = set.append(names[t], binary[t]);
            tooMany = TOpenTable(table, false).size() > kMaxZeroByteRecords;
            if (!tooMany) before[t] = shapeOf(table.fields()) + "\n" + strippableValues(table, table.fields());
        }
    });
    if (o == Outcome::Rejected || tooMany) return tooMany ? Outcome::Skipped : o;
    const std::vector<std::string> files = fs.list();
    o = guarded(kRuntime | kOutOfRange | kLogic, [&] { set.strip(); });
    // Whether it succeeded or not, no file came or went and every table
    // reads back with the same values.
    check(fs.list() == files, "stripping leaves other files than it found");
    for (int t = 0; t < 2; ++t) {
        TTable table(fs, names[t], binary[t]);
        const std::string after = shapeOf(table.fields()) + "\n" + strippableValues(table, table.fields());
        check(after == before[t], "stripping changes the shape or values of " + std::string(names[t]) + ": before\n" +
                                      before[t].substr(0, 400) + "after\n" + after.substr(0, 400));
    }
    return o;
}

// ------------------------------------------------------- names and lines

Outcome lookupTypeName(const std::string& name) {
    TType::EType found = TType::tpNone;
    const Outcome o = guarded(kLogic, [&] { found = TType::typeByName(name); });
    const TType::EType quiet = TType::findByName(name);
    check(quiet == (o == Outcome::Rejected ? TType::tpNone : found), "findByName and typeByName disagree");
    if (o == Outcome::Rejected || found == TType::tpNone) return Outcome::Rejected;
    check(TType(found).name() == name, "a type name does not name its type");
    // As a token, the name reads back to the same type.
    std::ostringstream os;
    tabulation::to_stream(os, TType(found));
    std::istringstream in(os.str());
    TType back;
    tabulation::from_stream(in, back);
    check(!in.fail() && back.value() == found, "a type name token does not read back");
    return o;
}

Outcome readValueLine(const std::string& input) {
    if (input.empty()) return Outcome::Rejected;
    const TFields fields = menuStructure(input[0]);
    TRecord record(fields), back(fields);
    std::istringstream in(input.substr(1));
    if (guarded(kOutOfRange, [&] { record.from_stream(in); }) == Outcome::Rejected || in.fail()) return Outcome::Rejected;
    const std::string text = textOf(record);
    std::istringstream again(text);
    back.from_stream(again);
    // Values, not bytes: an unpacked string keeps what follows a 0 byte in
    // its record bytes, but its value ends there.
    check(!again.fail() && textOf(back) == text, "a record's text form changes when read back");
    return Outcome::Accepted;
}

}  // namespace

const std::vector<Target>& targets() {
    static const std::vector<Target> all = [] {
        Host::ModuleLoader::instance().initializeModules();
        return std::vector<Target>{
            {"structure_text", [](const std::string& in) { return readStructure(in, false); }},
            {"structure_binary", [](const std::string& in) { return readStructure(in, true); }},
            {"transformers_text", [](const std::string& in) { return readTransformers(in, false); }},
            {"transformers_binary", [](const std::string& in) { return readTransformers(in, true); }},
            {"table_list_text", [](const std::string& in) { return readTableList(in, false); }},
            {"table_list_binary", [](const std::string& in) { return readTableList(in, true); }},
            {"contents", openContents},
            {"strip", stripSet},
            {"type_name", lookupTypeName},
            {"value_line", readValueLine},
        };
    }();
    return all;
}

}  // namespace Fuzz
