#include "fuzz/readers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

using namespace Orvex;

const char kPartSeparator[] = "|~|";

namespace {

// Which of the library's documented errors a reader may answer with.
enum Allowed : unsigned { kRuntime = 1, kOutOfRange = 2, kLogic = 4 };

// Exactly the types Utils raises; a subclass (null_pointer, length_error,
// ios_base::failure, ...) is not a documented answer to bad input.
bool documented(const std::exception& e, unsigned allowed) {
    const std::type_info& t = typeid(e);
    return ((allowed & kRuntime) && t == typeid(std::runtime_error)) ||
           ((allowed & kOutOfRange) && t == typeid(std::out_of_range)) ||
           ((allowed & kLogic) && t == typeid(std::logic_error));
}

// Runs `body`; Rejected when it raised an allowed error, Accepted when it
// returned. Anything else goes on.
template <class F>
Outcome guarded(unsigned allowed, F body) {
    try {
        body();
    } catch (const std::exception& e) {
        if (documented(e, allowed)) return Outcome::Rejected;
        throw;
    }
    return Outcome::Accepted;
}

void check(bool ok, const std::string& what) {
    if (!ok) throw Finding(what);
}

void setUp() {
    static bool done = false;
    if (done) return;
    done = true;
    Host::ModuleLoader::instance().initializeModules();
}

std::string bytesOf(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// ---------------------------------------------------------------- menu

}  // namespace

TFields menuStructure(unsigned which) {
    TFields f;
    switch (which) {
        case 0:  // all-round, 32-bit key
            f += TField<unsigned long>("id", 32);
            f += TEndOfKey();
            f += TField<int>("qty", 16);
            f += TField<fixed_point>("price", 2, 20);
            f += TField<std::string>("name", 6, false);
            break;
        case 1:  // 3-bit key
            f += TField<unsigned int>("k", 3);
            f += TEndOfKey();
            f += TField<long>("v", 13);
            break;
        case 2:  // 12-bit key of two fields
            f += TField<int>("a", 5);
            f += TField<unsigned long>("b", 7);
            f += TEndOfKey();
            f += TField<unsigned int>("c", 4);
            break;
        case 3:  // whole-record key, packed string
            f += TField<std::string>("s", 3, true);
            f += TField<int>("n", 9);
            break;
        case 4:  // empty key
            f += TEndOfKey();
            f += TField<unsigned long>("x", 20);
            break;
        case 5:  // fixed key, several types after it
            f += TField<fixed_point>("f", 3, 32);
            f += TEndOfKey();
            f += TField<std::string>("t", 2, false);
            f += TField<long>("g", 32);
            break;
        default:  // zero-width fields, as stripping all-zero values gives: records of no bytes
            f += TField<int>("z", 0);
            f += TEndOfKey();
            f += TField<std::string>("e", 0, false);
            break;
    }
    return f;
}

namespace {

const unsigned kMenuSize = 7;

// Records of zero bytes cost nothing in the file, so only the header bounds
// their count; inputs that declare more are skipped.
const unsigned long kMaxZeroByteRecords = 1UL << 12;  // as many as a 4 KiB input of 1-byte records

// ------------------------------------------------------------- helpers

std::string structureText(const TFields& f) {
    std::ostringstream os;
    f.to_stream(os);
    return os.str();
}

std::string structureBinary(const TFields& f) {
    std::ostringstream os;
    f.serial_write(os);
    return os.str();
}

std::string recordBytes(const TRecord& r) {
    std::ostringstream os;
    r.serial_write(os);
    return os.str();
}

std::string recordText(const TRecord& r) {
    std::ostringstream os;
    r.to_stream(os);
    return os.str();
}

std::string tableText(const TOpenTable& t) {
    std::ostringstream os;
    os << t;
    return os.str();
}

std::string fileOrEmpty(const Host::MemoryFileSet& fs, const std::string& name) {
    return fs.exists(name) ? fs.contents(name) : std::string();
}

// Names, types and key of a structure, without widths: what stripping keeps.
std::string shapeOf(const TFields& f) {
    std::string s = std::to_string(f.endOfKey()) + ":";
    for (unsigned i = 0; i < f.size(); ++i) s += f[i].Type() + " " + f[i].name() + ";";
    return s;
}

// What was read writes back in both forms and reads again to the same thing.
void checkStructure(const TFields& fields) {
    check(fields.endOfKey() <= fields.size(), "end of key past the field count");
    check(fields.bitCompareSize() <= fields.bitSize(), "key wider than the record");
    const std::string text = structureText(fields);
    const std::string binary = structureBinary(fields);
    check(binary.size() == fields.serial_size(), "serial_size differs from what serial_write writes");

    std::istringstream textIn(text);
    TFields fromText(textIn);
    check(!textIn.fail(), "a written text structure does not read back");
    check(structureText(fromText) == text, "text structure changes when read back");
    check(structureBinary(fromText) == binary, "text structure reads back to another binary form");
    check(fromText.bitSize() == fields.bitSize() && fromText.bitCompareSize() == fields.bitCompareSize(),
          "text structure reads back to other sizes");

    std::istringstream binaryIn(binary);
    serial::serial_in reader(binaryIn);
    TFields fromBinary(reader);
    check(!binaryIn.fail(), "a written binary structure does not read back");
    check(structureText(fromBinary) == text, "binary structure reads back to another text form");

    if (fields.empty()) return;
    TRecord zero(fields);
    check(zero.serial_size() == fields.byteSize() && recordBytes(zero).size() == fields.byteSize(),
          "a record's size is not the structure's byte size");
    std::istringstream values(recordText(zero));
    TRecord back(fields);
    back.from_stream(values);
    check(!values.fail() && recordBytes(back) == recordBytes(zero), "a zero record does not read back from text");
}

Outcome readStructure(const std::uint8_t* data, std::size_t size, bool binary) {
    setUp();
    Host::MemoryFileSet fs;
    fs.put(binary ? "t.dsb" : "t.dst", bytesOf(data, size));
    pointer<TTable> table;
    // A type name the lookup refuses raises the lookup's own logic error.
    const Outcome o = guarded(kRuntime | kLogic, [&] { table = pointer<TTable>(new TTable(fs, "t", binary)); });
    if (o == Outcome::Rejected) return o;
    checkStructure(table->fields());
    return o;
}

// Every field's arguments, as the transformer file of a fresh table writes them.
std::string transformersWritten(const TFields& fields, bool binary) {
    Host::MemoryFileSet fs;
    TTable table(fs, "t", fields, binary);
    return fileOrEmpty(fs, table.transFileName());
}

Outcome readTransformers(const std::uint8_t* data, std::size_t size, bool binary) {
    setUp();
    if (size == 0) return Outcome::Rejected;
    Host::MemoryFileSet fs;
    {
        TTable made(fs, "t", menuStructure(data[0] % kMenuSize), binary);
        fs.put(made.transFileName(), bytesOf(data + 1, size - 1));
    }
    pointer<TTable> table;
    const Outcome o = guarded(kRuntime, [&] { table = pointer<TTable>(new TTable(fs, "t", binary)); });
    if (o == Outcome::Rejected) return o;

    const TFields& fields = table->fields();
    for (unsigned i = 0; i < fields.size(); ++i) {
        pointer<field_transformer_base::args> args = fields[i].transformer();
        if (!args) continue;
        const std::string c = args->category();
        check(c == range_fixer_args::getCategory() || c == ref_fixer_args::getCategory(),
              "a transformer file gives arguments of category " + c);
    }
    // Written, read again and written again: the same file.
    const std::string first = transformersWritten(fields, binary);
    Host::MemoryFileSet again;
    {
        TTable made(again, "t", fields, binary);
    }
    TTable reread(again, "t", binary);
    check(transformersWritten(reread.fields(), binary) == first, "transformer arguments change when read back");
    return o;
}

// ----------------------------------------------------------- table sets

void tableSetFixture(Host::MemoryFileSet& fs) {
    TFields a = menuStructure(0);
    a["qty"].transformer(pointer<field_transformer_base::args>(new range_fixer_args(1L, 500L)));
    TFields b = menuStructure(2);
    b["b"].transformer(pointer<field_transformer_base::args>(new ref_fixer_args("a")));
    TTable ta(fs, "a", a, true);
    TTable tb(fs, "b", b, false);
    TTable tc(fs, "c", menuStructure(1), true);
    TOpenTable open(ta, true);
    TRecord r(a);
    for (unsigned long i = 0; i < 3; ++i) {
        r[0] = 10 - i;
        open.push_back(r);
    }
}

std::string listText(const TTables& set) {
    std::ostringstream os;
    set.to_stream(os);
    return os.str();
}

std::string listBinary(const TTables& set) {
    std::ostringstream os;
    set.serial_write(os);
    return os.str();
}

Outcome readTableList(const std::uint8_t* data, std::size_t size, bool binary) {
    setUp();
    Host::MemoryFileSet fs;
    tableSetFixture(fs);
    TTables set(fs);
    std::istringstream in(bytesOf(data, size));
    const Outcome o = guarded(kRuntime, [&] {
        if (binary)
            set.serial_read(in);
        else
            set.from_stream(in);
    });
    if (o == Outcome::Rejected) return o;

    for (unsigned i = 0; i < set.size(); ++i)
        check(set.checkedIndex(set.at(i).name()) == i, "a table is not found under its own name");
    const std::string text = listText(set), block = listBinary(set);
    check(block.size() == set.serial_size(), "serial_size differs from what serial_write writes");
    TTables fromText(fs), fromBinary(fs);
    std::istringstream textIn(text), blockIn(block);
    fromText.from_stream(textIn);
    fromBinary.serial_read(blockIn);
    check(listText(fromText) == text && listText(fromBinary) == text, "a table list changes when read back");
    return o;
}

}  // namespace

// ------------------------------------------------------ public entry points

const char* outcomeName(Outcome o) {
    switch (o) {
        case Outcome::Accepted: return "accepted";
        case Outcome::Rejected: return "rejected";
        default: return "skipped";
    }
}

unsigned menuStructureCount() { return kMenuSize; }

Outcome readStructureText(const std::uint8_t* data, std::size_t size) { return readStructure(data, size, false); }
Outcome readStructureBinary(const std::uint8_t* data, std::size_t size) { return readStructure(data, size, true); }
Outcome readTransformersText(const std::uint8_t* data, std::size_t size) {
    return readTransformers(data, size, false);
}
Outcome readTransformersBinary(const std::uint8_t* data, std::size_t size) {
    return readTransformers(data, size, true);
}
Outcome readTableListText(const std::uint8_t* data, std::size_t size) { return readTableList(data, size, false); }
Outcome readTableListBinary(const std::uint8_t* data, std::size_t size) { return readTableList(data, size, true); }

// ------------------------------------------------------------- contents

Outcome openContents(const std::uint8_t* data, std::size_t size) {
    setUp();
    if (size == 0) return Outcome::Rejected;
    Host::MemoryFileSet fs;
    TTable table(fs, "t", menuStructure(data[0] % kMenuSize), true);
    fs.put(table.contentsFileName(), bytesOf(data + 1, size - 1));
    const unsigned long length = size - 1;
    const unsigned long R = table.fields().byteSize();

    std::vector<TRecord> records;
    std::string text, block;
    {
        pointer<TOpenTable> open;
        const Outcome o = guarded(kRuntime, [&] { open = pointer<TOpenTable>(new TOpenTable(table, false)); });
        if (o == Outcome::Rejected) return o;
        const unsigned long n = open->size();
        // Records of no bytes are never counted, and their file is never read.
        check(R == 0 ? n == 0 : 4 + n * R <= length, "more records than the file holds");
        if (n > kMaxZeroByteRecords) return Outcome::Skipped;
        for (unsigned long i = 0; i < n; ++i) records.push_back(open->at(i));
        const Outcome past = guarded(kOutOfRange, [&] { open->at(n); });
        check(past == Outcome::Rejected, "reading past the end gives a record");
        text = tableText(*open);
        std::ostringstream os;
        open->serial_write(os);
        block = os.str();
        check(block.size() >= 4 + n * R, "the block form is shorter than its records");
    }

    // Text and block forms read into other tables of the same structure.
    TTable viaText(fs, "u", table.fields(), true);
    TTable viaBlock(fs, "w", table.fields(), true);
    {
        TOpenTable u(viaText, true);
        std::istringstream in(text);
        in >> u;
        check(u.size() == records.size(), "the text form reads back to another record count");
        check(tableText(u) == text, "the text form changes when read back");
        TOpenTable w(viaBlock, true);
        std::istringstream blockIn(block);
        w.serial_read(blockIn);
        check(w.size() == records.size(), "the block form reads back to another record count");
        for (unsigned long i = 0; i < w.size(); ++i)
            check(recordBytes(w.at(i)) == recordBytes(records[i]), "the block form reads back to other records");
    }

    // Sorting keeps the records and puts them in key order.
    std::vector<std::string> before;
    for (const TRecord& r : records) before.push_back(recordBytes(r));
    std::vector<TRecord> sorted;
    {
        TOpenTable open(table, false);
        open.sort();
        for (unsigned long i = 0; i < open.size(); ++i) sorted.push_back(open.at(i));
    }
    {
        TOpenTable reopened(table, false);
        check(reopened.size() == records.size(), "sorting changes the record count");
        std::vector<std::string> after;
        for (unsigned long i = 0; i < reopened.size(); ++i) {
            TRecord r = reopened.at(i);
            check(recordBytes(r) == recordBytes(sorted[i]), "a sorted table reads back otherwise after reopening");
            after.push_back(recordBytes(r));
            if (i > 0) check(sorted[i - 1].compareTo(sorted[i]) <= 0, "a sorted table is out of order");
        }
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        check(before == after, "sorting changes the records");

        // Searches agree with a linear scan, for keys present and absent.
        std::vector<TRecord> probes;
        for (std::size_t i = 0; i < sorted.size() && i < 32; ++i) probes.push_back(sorted[i * sorted.size() / 32]);
        TRecord zero(reopened.fields());
        probes.push_back(zero);
        TRecord ones(reopened.fields());
        std::string allOnes(R, '\xff');
        std::istringstream onesIn(allOnes);
        ones.serial_read(onesIn);
        probes.push_back(ones);
        const unsigned long n = reopened.size();
        for (const TRecord& v : probes) {
            unsigned long less = 0, notGreater = 0;
            for (const TRecord& r : sorted) {
                const int c = r.compareTo(v);
                less += c < 0;
                notGreater += c <= 0;
            }
            check(reopened.lower_bound(0, n, v) == less, "lower_bound disagrees with a linear scan");
            check(reopened.upper_bound(0, n, v) == notGreater, "upper_bound disagrees with a linear scan");
            const unsigned long found = reopened.find(0, n, v);
            if (less == notGreater)
                check(found == n, "find gives a position for an absent key");
            else
                check(found >= less && found < notGreater, "find misses a present key");
        }
    }

    // Erasing the middle third and inserting two copies of the first record
    // move the tail of a file that may hold bytes past its records; the
    // records then read back as a vector model says, after reopening too.
    std::vector<std::string> model;
    for (const TRecord& r : sorted) model.push_back(recordBytes(r));
    {
        TOpenTable open(table, false);
        const unsigned long n = open.size(), from = n / 3, to = 2 * n / 3;
        open.erase(from, to);
        model.erase(model.begin() + from, model.begin() + to);
        const TRecord first = sorted.empty() ? TRecord(open.fields()) : sorted.front();
        const unsigned long at = model.size() / 2;
        open.insert(at, 2, first);
        model.insert(model.begin() + at, 2, recordBytes(first));
        check(open.size() == model.size(), "erasing and inserting give another record count");
    }
    {
        TOpenTable reopened(table, false);
        if (R == 0) model.clear();  // records of 0 bytes are never counted on opening
        check(reopened.size() == model.size(), "erased and inserted records are not kept");
        for (unsigned long i = 0; i < model.size(); ++i)
            check(recordBytes(reopened.at(i)) == model[i], "erasing and inserting move records wrongly");
    }
    return Outcome::Accepted;
}

// ------------------------------------------------------------- stripping

namespace {

struct StripTable {
    const char* name;
    bool binary;
    std::string values;  // the records' values before stripping
    std::string shape;
};

// A fixed-point field with declared range arguments takes the range's
// precision when stripped, rounding finer values: by declaration, not a
// loss to report.
bool roundedByDeclaration(const TFieldInfo& f) {
    return f.Type() == "fixed" && f.transformer() && f.transformer()->category() == range_fixer_args::getCategory();
}

// The values of every record, field by field, except those that stripping
// may round by declaration.
std::string strippableValues(TOpenTable& open, const TFields& declared) {
    std::ostringstream os;
    const TFields& fields = open.fields();
    for (unsigned long i = 0; i < open.size(); ++i) {
        const TRecord r = open.at(i);
        for (unsigned f = 0; f < fields.size(); ++f) {
            if (roundedByDeclaration(declared[f])) continue;
            if (fields[f].Type() != "fixed") {
                fields[f].value_to_stream(os, r.data());
                continue;
            }
            // The stripper drops unused decimal places: compare numbers.
            fixed_point v = r[f].get<fixed_point>();
            while (v.precision > 0 && v.raw % 10 == 0) {
                v.raw /= 10;
                --v.precision;
            }
            tabulation::to_stream(os, v);
        }
        os << '\n';
    }
    return os.str();
}

std::vector<std::string> splitParts(const std::string& s) {
    std::vector<std::string> parts;
    const std::string sep(kPartSeparator);
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = s.find(sep, from);
        if (at == std::string::npos) {
            parts.push_back(s.substr(from));
            return parts;
        }
        parts.push_back(s.substr(from, at - from));
        from = at + sep.size();
    }
}

}  // namespace

Outcome stripSet(const std::uint8_t* data, std::size_t size) {
    setUp();
    if (size == 0) return Outcome::Rejected;
    StripTable tables[2] = {{"a", (data[0] & 1) != 0, "", ""}, {"b", (data[0] & 2) != 0, "", ""}};
    const std::vector<std::string> parts = splitParts(bytesOf(data + 1, size - 1));
    Host::MemoryFileSet fs;
    for (std::size_t p = 0; p < parts.size() && p < 6; ++p) {
        const StripTable& t = tables[p / 3];
        const std::string name = t.name;
        static const char* const binaryExt[] = {".dsb", ".trb", ".bin"};
        static const char* const textExt[] = {".dst", ".trt", ".bin"};
        // Indexing the conditional directly is miscompiled by g++ 12 under
        // -fsanitize=undefined (every part got the same extension).
        const char* const* extensions = t.binary ? binaryExt : textExt;
        fs.put(name + extensions[p % 3], parts[p]);
    }

    TTables set(fs);
    bool tooMany = false;
    Outcome o = guarded(kRuntime | kLogic, [&] {
        for (StripTable& t : tables) {
            TTable& table = set.append(t.name, t.binary);
            TOpenTable open(table, false);
            tooMany = tooMany || open.size() > kMaxZeroByteRecords;
            if (tooMany) return;
            t.values = strippableValues(open, table.fields());
            t.shape = shapeOf(table.fields());
        }
    });
    if (o == Outcome::Rejected) return o;
    if (tooMany) return Outcome::Skipped;

    const std::vector<std::string> files = fs.list();
    o = guarded(kRuntime | kOutOfRange | kLogic, [&] { set.strip(); });
    // Whether it succeeded or not, no file came or went and every table
    // reads back with the same values.
    check(fs.list() == files, "stripping leaves other files than it found");
    for (const StripTable& t : tables) {
        TTable table(fs, t.name, t.binary);
        check(shapeOf(table.fields()) == t.shape, "stripping changes names, types or key of " + std::string(t.name));
        TOpenTable open(table, false);
        const std::string after = strippableValues(open, table.fields());
        check(after == t.values, "stripping changes the values of " + std::string(t.name) + ": before\n" +
                                     t.values.substr(0, 400) + "after\n" + after.substr(0, 400));
    }
    return o;
}

// ------------------------------------------------------------ type names

Outcome lookupTypeName(const std::uint8_t* data, std::size_t size) {
    setUp();
    const std::string name = bytesOf(data, size);
    TType::EType found = TType::tpNone;
    const Outcome o = guarded(kLogic, [&] { found = TType::typeByName(name); });
    const TType::EType quiet = TType::findByName(name);
    if (o == Outcome::Rejected) {
        check(quiet == TType::tpNone, "findByName finds a name that typeByName refuses");
        return o;
    }
    check(quiet == found, "findByName and typeByName disagree");
    if (found == TType::tpNone) return Outcome::Rejected;
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

// ----------------------------------------------------------- value lines

Outcome readValueLine(const std::uint8_t* data, std::size_t size) {
    setUp();
    if (size == 0) return Outcome::Rejected;
    const TFields fields = menuStructure(data[0] % kMenuSize);
    TRecord record(fields);
    std::istringstream in(bytesOf(data + 1, size - 1));
    const Outcome o = guarded(kOutOfRange, [&] { record.from_stream(in); });
    if (o == Outcome::Rejected || in.fail()) return Outcome::Rejected;

    const std::string text = recordText(record);
    std::istringstream again(text);
    TRecord back(fields);
    back.from_stream(again);
    check(!again.fail(), "a record's text form does not read back");
    // Values, not bytes: an unpacked string keeps what follows a 0 byte in
    // its record bytes, but its value ends there.
    check(recordText(back) == text, "a record's text form changes when read back");
    return Outcome::Accepted;
}

// --------------------------------------------------------------- targets

const std::vector<Target>& targets() {
    static const std::vector<Target> all = {
        {"structure_text", readStructureText},
        {"structure_binary", readStructureBinary},
        {"transformers_text", readTransformersText},
        {"transformers_binary", readTransformersBinary},
        {"table_list_text", readTableListText},
        {"table_list_binary", readTableListBinary},
        {"contents", openContents},
        {"strip", stripSet},
        {"type_name", lookupTypeName},
        {"value_line", readValueLine},
    };
    return all;
}

int runForFuzzer(Outcome (*run)(const std::uint8_t*, std::size_t), const std::uint8_t* data, std::size_t size) {
    try {
        run(data, size);
    } catch (const Finding& f) {
        std::fprintf(stderr, "orvex fuzz finding: %s\n", f.what().c_str());
        std::abort();
    }
    return 0;
}

}  // namespace Fuzz
