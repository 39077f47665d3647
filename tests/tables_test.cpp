// Tables: definitions and their files, open tables, sorting and searching,
// table sets; with damaged files of every kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <vector>

#include "Core/Orvex/Trans.h"
#include "Core/Orvex/__table.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "support/serial.h"
#include "support/tabulation.h"
#include "tests/sparse_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

// Counts what the library asks of a file set, forwarding to memory.
class CountingFileSet : public Host::MemoryFileSet {
public:
    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int a, int b) override {
        ++opens;
        return Host::MemoryFileSet::open(name, mode, a, b);
    }
    bool remove(const std::string& name) override {
        removed.push_back(name);
        return Host::MemoryFileSet::remove(name);
    }
    int opens = 0;
    std::vector<std::string> removed;
};

// key u_int 8 | payload u_int 8: one byte of key, one of payload.
TFields keyPayload() { return fieldsOf(TField<unsigned int>("key", 8) | TEndOfKey() | TField<unsigned int>("payload", 8)); }

TRecord record(const TFields& f, unsigned key, unsigned payload = 0) { return recordOf(f, key, payload); }

typedef std::vector<std::pair<unsigned, unsigned>> Rows;

Rows rows(const TOpenTable& t) {
    Rows out;
    for (unsigned long i = 0; i < t.size(); ++i) {
        TRecord r = t.at(i);
        out.emplace_back(r[0].get<unsigned int>(), r[1].get<unsigned int>());
    }
    return out;
}

// "key key ..." and "key:payload ..." of every record.
std::string keys(const TOpenTable& t, bool withPayload = false) {
    std::string s;
    for (const auto& [k, p] : rows(t))
        s += (s.empty() ? "" : " ") + std::to_string(k) + (withPayload ? ":" + std::to_string(p) : "");
    return s;
}

void fill(TOpenTable& t, const std::vector<unsigned>& keyList) {
    unsigned payload = 0;
    for (unsigned k : keyList) t.push_back(record(t.fields(), k, payload++));
}

// A small args class and its creator, registered under "tabletest".
class NoteArgs : public field_transformer_base::args {
public:
    explicit NoteArgs(const std::string& note) : note(note) {}
    std::string category() const override { return "tabletest"; }
    void serial_write(std::ostream& os) const override { serial::serial_write(os, note); }
    void to_stream(std::ostream& os) const override { tabulation::to_stream(os, note); }
    std::string note;
};

class NoteArgsCreator : public field_transformer_base::args::creator {
public:
    pointer<field_transformer_base::args> create(std::istream& in) const override {
        std::string note;
        tabulation::from_stream(in, note);
        return argsPtr(new NoteArgs(note));
    }
    pointer<field_transformer_base::args> create(serial::serial_in& in) const override {
        std::string note;
        in >> note;
        return argsPtr(new NoteArgs(note));
    }
};

field_transformer_base::args::registration noteRegistration(
    "tabletest", pointer<field_transformer_base::args::creator>(new NoteArgsCreator));

std::string noteOf(const TFieldInfo& f) {
    pointer<field_transformer_base::args> a = f.transformer();
    return a ? dynamic_cast<NoteArgs&>(*a).note : std::string("<none>");
}

// A binary-form table "t" in `memory` holding keys 1 2 3 4 (payloads 0 to
// 3), written and closed, for tests that reopen it through a faulty set.
void writeFourRecords(Host::MemoryFileSet& memory) {
    TTable t(memory, "t", keyPayload(), true);
    TOpenTable open(t, false);
    fill(open, {1, 2, 3, 4});
}

// A text-form table "t" of keyPayload() in memory.
class WithTable : public ::testing::Test {
protected:
    Host::MemoryFileSet fs;
    TTable t{fs, "t", keyPayload(), false};
};

// ------------------------------------------------------------ definitions

TEST(TableDefinition, FileNamesFollowTheFormAndKeepTheCase) {
    Host::MemoryFileSet fs;
    TTable text(fs, "Orders", keyPayload(), false), binary(fs, "Orders", keyPayload(), true);
    EXPECT_EQ(text.descFileName() + " " + text.transFileName() + " " + text.contentsFileName(),
              "Orders.dst Orders.trt Orders.bin");
    EXPECT_EQ(binary.descFileName() + " " + binary.transFileName() + " " + binary.contentsFileName(),
              "Orders.dsb Orders.trb Orders.bin");
    EXPECT_TRUE(fs.exists("Orders.dst") && fs.exists("Orders.dsb"));
    EXPECT_FALSE(fs.exists("Orders.bin"));
    EXPECT_EQ(lowerized("MiXeD_1"), "mixed_1");
}

TEST(TableDefinition, StructureWithoutArgumentsWritesAnEmptyTransformerFileWhichMayGo) {
    for (bool binary : {false, true}) {
        Host::MemoryFileSet fs;
        TTable created(fs, "t", keyPayload(), binary);
        EXPECT_EQ(fs.contents(created.transFileName()), "");
        for (int pass = 0; pass < 2; ++pass) {  // the second without the file
            TTable reread(fs, "t", binary);
            EXPECT_EQ(reread.fields().size(), 2u);
            EXPECT_EQ(reread.fields().endOfKey(), 1u);
            EXPECT_FALSE(reread.fields()[0].transformer() || reread.fields()[1].transformer());
            fs.remove(created.transFileName());
        }
    }
}

TEST(TableDefinition, TransformersRoundTripInBothForms) {
    for (bool binary : {false, true}) {
        Host::MemoryFileSet fs;
        TFields f = fieldsOf(TField<unsigned int>("a", 4) | TField<int>("b", 4) | TField<unsigned int>("c", 4));
        f[0].transformer(argsPtr(new NoteArgs("first one")));
        f[2].transformer(argsPtr(new NoteArgs("")));
        TTable created(fs, "t", f, binary);
        TTable back(fs, "t", binary);
        EXPECT_EQ(noteOf(back.fields()[0]), "first one");
        EXPECT_EQ(noteOf(back.fields()[1]), "<none>");
        EXPECT_EQ(noteOf(back.fields()[2]), "");
    }
}

TEST(TableDefinition, EraseRemovesThreeFilesAndToleratesMissingOnes) {
    CountingFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    t.erase();
    t.erase();
    EXPECT_EQ(fs.removed, (std::vector<std::string>{"t.dst", "t.trt", "t.bin", "t.dst", "t.trt", "t.bin"}));
    EXPECT_TRUE(fs.list().empty());
    EXPECT_EQ(t.fields().size(), 2u);
}

// What a file set sees of a new table and of opening it: each file with its
// mode and the two stream flags, in order.
TEST(TableDefinition, TheSetSeesEachFilesModeAndFlags) {
    struct Recording : Host::MemoryFileSet {
        std::vector<std::string> log;
        std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int a, int b) override {
            log.push_back(name + " " + std::to_string(static_cast<int>(mode)));
            return Host::MemoryFileSet::open(name, mode, a, b);
        }
        void setStreamFlag1(std::streambuf* s, bool f) override {
            log.push_back(f ? "flag1 on" : "flag1 off");
            Host::MemoryFileSet::setStreamFlag1(s, f);
        }
        void setStreamFlag2(std::streambuf* s, bool f) override {
            log.push_back(f ? "flag2 on" : "flag2 off");
            Host::MemoryFileSet::setStreamFlag2(s, f);
        }
    } fs;
    for (bool binary : {true, false}) {
        TTable t(fs, "t", keyPayload(), binary);
        TOpenTable open(t, false);
    }
    const std::vector<std::string> expected = {
        "temp.jnl 8", "t.dsb 20", "flag1 off", "flag2 on", "t.trb 20", "flag1 off", "flag2 on", "t.bin 12", "t.bin 28",
        "t.bin 28",   "temp.jnl 8", "t.dst 16", "flag1 off", "flag2 on", "t.trt 16", "flag1 off", "flag2 on", "t.bin 12",
        "flag1 off",  "flag2 on", "t.bin 28"};
    EXPECT_EQ(fs.log, expected);
}

using DefinedTable = WithTable;

TEST_F(DefinedTable, RereadMakesANewRepresentation) {
    TRecord before(t.fields());
    t.reread();
    TRecord after(t.fields());
    EXPECT_EQ(message([&] { before.compareTo(after); }), "Couldn't compare records");
    EXPECT_EQ(after.compareTo(TRecord(t.fields())), 0);
}

// --------------------------------------------------------- damaged definitions

TEST(DamagedDefinition, TransformerFilesFailAsDocumented) {
    const struct {
        const char* what;
        std::string contents, expected;
    } cases[] = {
        {"position past the structure", "5\t\"tabletest\"\t\"x\"\t\n", "Index 5 out of valid range."},
        {"unknown category", "0\t\"nosuch\"\t\n", " cannot create transformer args (category: nosuch)"},
        {"category missing", "0\t\n", "Error reading table transformation from file t.trt"},
        {"position not a number", "zero\t\"tabletest\"\t\"x\"\n", "Error reading table transformation from file t.trt"},
        {"arguments cut short", "0\t\"tabletest\"\t\"unclosed\n", "<no error>"},
    };
    for (const auto& c : cases) {
        Host::MemoryFileSet fs;
        { TTable created(fs, "t", keyPayload(), false); }
        fs.put("t.trt", c.contents);
        EXPECT_EQ(message([&] { TTable t(fs, "t", false); }), c.expected) << c.what;
    }
}

TEST_F(DefinedTable, EntriesBeforeADamagedArgumentStayAttached) {
    fs.put("t.trt", "0\t\"tabletest\"\t\"kept\"\t\n1\t\"tabletest\"\t\"cut");
    TTable back(fs, "t", false);
    EXPECT_EQ(noteOf(back.fields()[0]), "kept");
    EXPECT_EQ(noteOf(back.fields()[1]), "<none>");
}

TEST(DamagedDefinition, StructureFilesMissingOrDamagedRaiseNamingThem) {
    const struct {
        const char* name;  // the file put in place, none when null
        std::string contents;
        bool binary;
        std::string expected;
    } cases[] = {
        {nullptr, "", false, "Error reading table structure from file t.dst"},
        {nullptr, "", true, "Error reading table structure from file t.dsb"},
        {"t.dst", "", false, "Error reading table structure from file t.dst"},
        {"t.dst", "2\t2\t\n\"u_int\"\t\"a\"\t8\t\n", false, "Error reading table structure from file t.dst"},
        {"t.dst", "1\t1\t\n\"float\"\t\"a\"\t8\t\n", false, "Error converting float to Orvex::TType"},
        {"t.dst", "1\t1\t\n\"integer\"\t\"a\"\t8\t\n", false, "Unknown field type: integer"},
        {"t.dsb", u16(3) + u16(3) + le32(5) + "u_int", true, "Error reading table structure from file t.dsb"},
    };
    for (const auto& c : cases) {
        Host::MemoryFileSet fs;
        if (c.name) fs.put(c.name, c.contents);
        EXPECT_EQ(message([&] { TTable t(fs, "t", c.binary); }), c.expected) << c.contents;
    }
}

// ----------------------------------------------------------------- open table

using OpenTable = WithTable;

TEST_F(OpenTable, NewContentsFileHoldsCountZeroAndAStructureWithoutFieldsIsRefused) {
    { TOpenTable open(t, false); EXPECT_EQ(open.size(), 0u); }
    EXPECT_EQ(fs.contents("t.bin"), le32(0));
    TTable empty(fs, "empty", TFields(), false);
    EXPECT_EQ(message([&] { TOpenTable open(empty, false); }), "Record in table empty hasn't any fields.");
}

TEST_F(OpenTable, HeaderIsCheckedAgainstTheFileLength) {
    const std::pair<std::string, std::string> cases[] = {  // two bytes a record
        {le32(2) + "aabbcc", "<no error>"},
        {le32(2) + "aabbc", "t.bin file content mismatched with description from t.dst"},
        {le32(2) + "aa", "Table shorter than declared in t.bin"},
        {"ab", "Error reading table size from file t.bin"},
    };
    for (const auto& [contents, expected] : cases) {
        fs.put("t.bin", contents);
        EXPECT_EQ(message([&] { TOpenTable open(t, false); EXPECT_EQ(open.size(), 2u); }), expected);
        t.getFileStream().close();
    }
}

TEST_F(OpenTable, PositionsOutOfRangeRaiseWithTheTableName) {
    TOpenTable open(t, false);
    fill(open, {1, 2});
    const TRecord one = record(open.fields(), 1);
    EXPECT_EQ(message<std::out_of_range>([&] { open.at(2); }), "t index out of bounds: 2");
    EXPECT_EQ(message([&] { open.update(5, one); }), "t index out of bounds: 5");
    EXPECT_EQ(message([&] { open.insert(3, 1, one); }), "t index out of bounds: 3");
    EXPECT_EQ(message([&] { open.erase(3, 3); }), "t index out of bounds: 3");
    EXPECT_EQ(message([&] { open.erase(2, 1); }), "t index out of bounds: 1");
}

TEST_F(OpenTable, InsertAndEraseMoveTheTailAndKeepEveryByte) {
    TOpenTable open(t, false);
    fill(open, {1, 2});
    open.insert(0, 3, record(open.fields(), 9, 9));
    open.insert(open.size(), 1, record(open.fields(), 7));
    EXPECT_EQ(keys(open), "9 9 9 1 2 7");
    open.clear();
    Rows model;
    for (unsigned i = 0; i < 3000; ++i) {
        open.push_back(record(open.fields(), i % 256, i / 256));
        model.emplace_back(i % 256, i / 256);
    }
    open.insert(1000, 1500, record(open.fields(), 255, 255));
    model.insert(model.begin() + 1000, 1500, std::make_pair(255u, 255u));
    EXPECT_EQ(rows(open), model);
    open.erase(10, 2500);
    model.erase(model.begin() + 10, model.begin() + 2500);
    EXPECT_EQ(rows(open), model);
}

TEST_F(OpenTable, EraseKeepsTheFileLengthUntilCleared) {
    {
        TOpenTable open(t, false);
        fill(open, {0, 1, 2, 3});
        open.erase(2, 2);
        EXPECT_EQ(open.size(), 4u);
        open.erase(1, 3);
        EXPECT_EQ(keys(open), "0 3");
    }
    EXPECT_EQ(fs.contents("t.bin").size(), 4u + 4 * 2);
    TOpenTable again(t, false);
    EXPECT_EQ(keys(again), "0 3");
    again.clear();
    EXPECT_EQ(again.size(), 0u);
    EXPECT_EQ(fs.contents("t.bin"), le32(0));
}

TEST_F(OpenTable, HeaderIsWrittenWhenTheOpenTableGoesAndTheClearingFlagEmptiesTheTable) {
    { TOpenTable open(t, false); }
    {
        TOpenTable writer(t, false);
        fill(writer, {5});
        TOpenTable second(t, false);
        EXPECT_EQ(second.size(), 0u);  // the header still says 0
    }
    EXPECT_EQ(fs.contents("t.bin").substr(0, 4), le32(1));
    EXPECT_EQ(keys(TOpenTable(t, false)), "5");
    EXPECT_EQ(TOpenTable(t, true).size(), 0u);
}

TEST_F(OpenTable, BinaryBlockRoundTripsAndDamagedBlocksLeaveAnEmptyTable) {
    TTable a(fs, "a", keyPayload(), true), b(fs, "b", keyPayload(), true);
    std::stringstream block;
    {
        TOpenTable source(a, false);
        fill(source, {4, 5, 6});
        EXPECT_EQ(source.serial_size(), 4u + 3 * 2);
        source.serial_write(block);
        EXPECT_EQ(block.str().size(), 10u);
        EXPECT_EQ(keys(source), "4 5 6");  // still usable after the block
    }
    TOpenTable target(b, false);
    target.serial_read(block);
    EXPECT_EQ(keys(target, true), "4:0 5:1 6:2");
    std::istringstream damaged(le32(9) + "ab");
    EXPECT_EQ(message([&] { target.serial_read(damaged); }), "Table shorter than declared in b.bin");
    EXPECT_EQ(target.size(), 0u);
}

TEST_F(OpenTable, TextFormIsOneLinePerRecord) {
    TOpenTable open(t, false);
    fill(open, {7, 8});
    std::ostringstream text;
    text << open;
    EXPECT_EQ(text.str(), "7\t0\t\n8\t1\t\n");
    std::istringstream in(text.str() + "\n\n");
    TOpenTable copy(t, false);
    in >> copy;
    EXPECT_EQ(keys(copy, true), "7:0 8:1");
    EXPECT_FALSE(in.fail());
    std::istringstream bad("1\t2\t\n3\tx\t\n");
    bad >> copy;
    EXPECT_TRUE(bad.fail());
    EXPECT_EQ(keys(copy), "1");
}


TEST_F(OpenTable, CopyToWritesAllThreeFilesIntoAnotherSet) {
    Host::MemoryFileSet other;
    TTable binary(fs, "bt", keyPayload(), true);
    TOpenTable open(binary, false);
    fill(open, {3, 1});
    open.copyTo(other);
    EXPECT_EQ(other.list(), (std::vector<std::string>{"bt.bin", "bt.dsb", "bt.trb"}));
    TTable copied(other, "bt", true);
    EXPECT_EQ(keys(TOpenTable(copied, false)), "3 1");
}

// Reading the text form clears the table and appends each record as it is
// read: a value that does not fit raises its own error, and the table then
// holds the records read before it, the old ones gone.
TEST_F(OpenTable, ATextLoadClearsTheTableAndKeepsTheRecordsReadBeforeAValueThatDoesNotFit) {
    TOpenTable open(t, false);
    fill(open, {7, 8, 9});
    std::istringstream in("1\t0\n2\t1\n300\t2\n4\t3\n");
    EXPECT_EQ(message<std::out_of_range>([&] { in >> open; }), "Field key maximum value exceeded: 300");
    EXPECT_EQ(keys(open, true), "1:0 2:1");
}

// With records of 0 bytes the header is not read at all: such a table opens
// empty, whatever its contents file holds, even too little for a header.
TEST(ZeroByteRecords, FindSizeGivesZeroWithoutTouchingTheFile) {
    for (const std::string& contents : {le32(3), std::string("x"), le32(7) + "tail"}) {
        Host::MemoryFileSet memory;
        TTable zero(memory, "z", fieldsOf(TField<int>("a", 0) | TEndOfKey() | TField<unsigned long>("b", 0)), false);
        memory.put("z.bin", contents);
        Host::FaultyFileSet faulty(memory);
        TTable viaFaulty(faulty, "z", false);
        TOpenTable open(viaFaulty, false);
        const std::size_t read = faulty.bytesRead();
        EXPECT_EQ(open.findSize(), 0u);
        EXPECT_EQ(open.size(), 0u);
        EXPECT_EQ(faulty.bytesRead(), read);
        EXPECT_EQ(memory.contents("z.bin"), contents);
    }
}

// Insert and erase name no error when the stream fails under them: the tail
// move and the writes stop, the count changes as asked, and the stream is
// left failed for the caller to see.
TEST(FailingStreams, InsertAndEraseRaiseNothingAndChangeTheCountAsTheStepsSay) {
    Host::MemoryFileSet memory;
    writeFourRecords(memory);
    Host::FaultyFileSet faulty(memory);
    TTable t(faulty, "t", true);
    TOpenTable open(t, false);
    faulty.failWritesAfter(0);
    EXPECT_EQ(message([&] { open.insert(1, 2, record(open.fields(), 9)); }), "<no error>");
    EXPECT_EQ(open.size(), 6u);
    EXPECT_TRUE(t.getFileStream().fail());
    EXPECT_EQ(message([&] { open.erase(0, 3); }), "<no error>");
    EXPECT_EQ(open.size(), 3u);
    EXPECT_EQ(message([&] { open.insert(7, 1, record(open.fields(), 9)); }), "t index out of bounds: 7");
}

// --------------------------------------------------------- sorting, searching

// A structure of unsigned fields of these widths, the first `keyFields` of
// them the key (all of them: no end-of-key marker).
TFields shapeOf(const std::vector<unsigned>& widths, unsigned keyFields) {
    TFields f;
    for (unsigned i = 0; i < widths.size(); ++i) {
        if (i == keyFields) f += TEndOfKey();
        f += TField<unsigned int>("f" + std::to_string(i), widths[i]);
    }
    return f;
}

// How the key fields of record i of n are drawn; the other fields are random.
typedef std::function<unsigned(unsigned i, unsigned n, std::mt19937& rng)> KeyAt;
// `count` values: up to four the extremes and middle of the field, else 0..count-1.
KeyAt spread(unsigned count) {
    return [count](unsigned, unsigned, std::mt19937& rng) {
        const unsigned pool[4] = {~0u, 0, 1, ~0u / 2};
        return count <= 4 ? pool[rng() % count] : unsigned(rng() % count);
    };
}

struct Shape {
    const char* name;
    std::vector<unsigned> widths;
    unsigned keyFields;
    TFields fields() const { return shapeOf(widths, keyFields); }
    // Record bytes for n records drawn by keyAt.
    std::vector<std::string> records(unsigned n, const KeyAt& keyAt, std::mt19937& rng) const {
        const TFields f = fields();
        std::vector<std::string> out;
        for (unsigned i = 0; i < n; ++i) {
            TRecord r(f);
            for (unsigned k = 0; k < widths.size(); ++k) {
                const unsigned top = widths[k] == 32 ? ~0u : (1u << widths[k]) - 1;
                r[k] = (k < keyFields ? keyAt(i, n, rng) : unsigned(rng())) & top;
            }
            out.emplace_back(r.data()(0), f.byteSize());
        }
        return out;
    }
};

// Records given as their bytes, ordered as the table orders them: by
// TRecord::compareTo, which shares nothing with the sort's own key code.
struct ByRecordKey {
    const TFields* fields;
    TRecord asRecord(const std::string& bytes) const {
        TRecord r(*fields);
        std::copy(bytes.begin(), bytes.end(), r.data()(0));
        return r;
    }
    int compare(const std::string& a, const std::string& b) const { return asRecord(a).compareTo(asRecord(b)); }
    bool operator()(const std::string& a, const std::string& b) const { return compare(a, b) < 0; }
};

// A slow, plain reference of the sort's documented steps, on an array: one
// function per step, each written as the text words it, recursing left to
// right with no bound on the depth and nothing shared with the table's code.
struct DocumentedSort {
    std::vector<std::string>& v;
    ByRecordKey less;
    bool notGreater(const std::string& a, const std::string& b) const { return !less(b, a); }

    void partialSort(std::size_t from, std::size_t to) {
        const std::size_t n = to - from;
        if (n == 2 && less(v[from + 1], v[from])) std::swap(v[from], v[from + 1]);
        if (n == 3) partialSort3(from);
        if (n >= 4) {
            const std::string pivot = v[from + n / 2];
            const std::size_t cut = unguardedPartition(from, to, pivot);
            partialSort(from, cut);
            partialSort(cut, to);
        }
    }
    // The table of six cases, tested in its order.
    void partialSort3(std::size_t i) {
        const std::string x = v[i], y = v[i + 1], z = v[i + 2];
        std::string out[3];
        if (notGreater(x, y) && !notGreater(x, z)) out[0] = z, out[1] = x, out[2] = y;
        else if (notGreater(x, y) && notGreater(x, z) && !notGreater(y, z)) out[0] = x, out[1] = z, out[2] = y;
        else if (notGreater(x, y) && notGreater(y, z)) out[0] = x, out[1] = y, out[2] = z;
        else if (!notGreater(x, y) && !notGreater(y, z)) out[0] = z, out[1] = y, out[2] = x;
        else if (!notGreater(x, y) && notGreater(y, z) && notGreater(z, x)) out[0] = y, out[1] = z, out[2] = x;
        else out[0] = y, out[1] = x, out[2] = z;
        std::copy(out, out + 3, v.begin() + static_cast<std::ptrdiff_t>(i));
    }
    std::size_t unguardedPartition(std::size_t first, std::size_t last, const std::string& pivot) {
        for (;;) {
            while (less(v[first], pivot)) ++first;
            --last;
            while (less(pivot, v[last])) --last;
            if (!(first < last)) return first;
            std::swap(v[first], v[last]);
            ++first;
        }
    }
};

std::vector<std::string> recordBytes(const TOpenTable& t) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < t.size(); ++i) out.emplace_back(t.at(i).data()(0), t.fields().byteSize());
    return out;
}

void putRecords(TOpenTable& open, const std::vector<std::string>& input) {
    TRecord r(open.fields());
    for (const std::string& bytes : input) {
        std::copy(bytes.begin(), bytes.end(), r.data()(0));
        open.push_back(r);
    }
}

// In memory and record by record on the file, the records of [from, to)
// (the whole table when to is 0) end where the documented steps put them.
void expectDocumentedSort(const TFields& fields, const std::vector<std::string>& input, unsigned long from,
                          unsigned long to, const std::string& what) {
    std::vector<std::string> reference = input;
    if (to == 0) to = input.size();
    DocumentedSort{reference, ByRecordKey{&fields}}.partialSort(from, to);
    for (std::size_t budget : {TOpenTable::kDefaultSortBudget, std::size_t(0)}) {
        Host::MemoryFileSet fs;
        TTable t(fs, "t", fields, true);
        TOpenTable open(t, false);
        putRecords(open, input);
        open.sortMemoryBudget(budget);
        if (from == 0 && to == input.size()) open.sort(); else open.partialSort(from, to);
        ASSERT_EQ(recordBytes(open), reference) << what << ", budget " << budget;
    }
}

// Keys of every width the sort holds differently (one word up to 32 bits, a
// 64-bit prefix then the bytes beyond), partial bytes shared with the
// payload, the whole record as key and no key; every size up to 40 and some
// past the partitions' block size; few key values, so that equal keys abound.
TEST(Sorting, EveryKeyShapeSizeAndSpreadEndsWhereTheDocumentedStepsPutTheRecords) {
    const Shape shapes[] = {
        {"8 bits", {8, 8}, 1},          {"12 bits, byte shared", {12, 12}, 1}, {"32 bits", {32, 8}, 1},
        {"33 bits", {32, 1, 7}, 2},     {"60 bits", {32, 28, 12}, 2},          {"64 bits", {32, 32, 8}, 2},
        {"76 bits", {32, 32, 12, 20}, 3}, {"whole record", {5, 6}, 2},         {"no key", {16}, 0},
    };
    std::vector<unsigned> sizes;
    for (unsigned n = 0; n <= 40; ++n) sizes.push_back(n);
    sizes.insert(sizes.end(), {127, 128, 129, 1000, 3000});
    std::mt19937 rng(1405);
    for (const Shape& shape : shapes)
        for (unsigned size : sizes)
            for (unsigned values : {1u, 2u, 4u, 40u})
                expectDocumentedSort(shape.fields(), shape.records(size, spread(values), rng), 0, 0,
                                     std::string(shape.name) + ", size " + std::to_string(size) + ", " +
                                         std::to_string(values) + " values");
}

// Inputs whose partitions stop on one side far more often than on the
// other, around and well past the block size, and a partial sort of a
// middle range.
TEST(Sorting, OrderedSkewedAndPartialInputsEndWhereTheDocumentedStepsPutThem) {
    const std::pair<const char*, KeyAt> orders[] = {
        {"ascending", [](unsigned i, unsigned, std::mt19937&) { return i; }},
        {"descending", [](unsigned i, unsigned n, std::mt19937&) { return n - i; }},
        {"all equal", [](unsigned, unsigned, std::mt19937&) { return 7u; }},
        {"two runs", [](unsigned i, unsigned n, std::mt19937&) { return i < n / 2 ? 200u : 3u; }},
        {"sawtooth", [](unsigned i, unsigned, std::mt19937&) { return i % 5 * 40; }},
        {"one large among small", [](unsigned i, unsigned n, std::mt19937&) { return i == n / 3 ? 255u : i % 2; }},
    };
    const Shape shape{"8 bits", {8, 8}, 1};
    std::mt19937 rng(5);
    for (const auto& [name, keyAt] : orders)
        for (unsigned size : {64u, 127u, 128u, 129u, 191u, 256u, 257u, 1000u, 5000u})
            expectDocumentedSort(shape.fields(), shape.records(size, keyAt, rng), 0, 0,
                                 std::string(name) + ", size " + std::to_string(size));
    expectDocumentedSort(shape.fields(), shape.records(300, spread(7), rng), 50, 250, "middle range");
}

TEST_F(OpenTable, PartialSortChecksItsRangeAndMedianPicksTheMiddleKey) {
    TOpenTable open(t, false);
    fill(open, {5, 1, 9});
    EXPECT_THROW(open.partialSort(2, 8), std::out_of_range);
    EXPECT_EQ(open.__median(0, 1, 2)[0].get<unsigned int>(), 5u);
    EXPECT_EQ(open.__median(2, 0, 1)[0].get<unsigned int>(), 5u);
    EXPECT_EQ(open.__median(1, 1, 2)[0].get<unsigned int>(), 1u);
    EXPECT_EQ(message([&] { open.lower_bound(0, 2, record(keyPayload(), 1)); }), "Couldn't compare records");
}

TEST_F(OpenTable, SortProgressRisesAndIsBracketedByStartAndFinish) {
    TOpenTable open(t, false);
    std::mt19937 rng(3);
    for (int i = 0; i < 20000; ++i) open.push_back(record(open.fields(), rng() % 256, 0));
    pointer<RecordingProgress> progress(new RecordingProgress);
    open.progress(progress);
    open.sort();
    const std::vector<std::string>& calls = progress->calls;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front(), "start");
    EXPECT_EQ(calls.back(), "finish");
    std::vector<int> percents;
    for (auto it = calls.begin() + 1; it != calls.end() - 1; ++it) percents.push_back(std::stoi(*it));
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    for (int p : percents) EXPECT_LE(p, 100);
}

// The budget counts the records and their entries, 8 bytes each for a key
// of up to 32 bits and 12 for a longer one: a budget of exactly that sorts
// in memory, reading the range once; a byte less sorts record by record,
// reading records again at every comparison. Both end alike.
TEST(Sorting, ABudgetOfTheRecordsAndTheirEntriesSortsInMemoryAndAByteLessDoesNot) {
    const std::pair<Shape, std::size_t> shapes[] = {{{"32", {32, 8}, 1}, 8}, {{"36", {32, 4, 4}, 2}, 12}};
    const unsigned count = 500;
    std::mt19937 rng(32);
    for (const auto& [shape, entryBytes] : shapes) {
        const TFields fields = shape.fields();
        const std::size_t recordSize = fields.byteSize(), fits = count * (recordSize + entryBytes);
        const std::vector<std::string> input = shape.records(count, spread(50), rng);
        std::vector<std::string> endings;
        for (bool inMemory : {true, false}) {
            Host::MemoryFileSet memory;
            {
                TTable t(memory, "t", fields, true);
                TOpenTable open(t, false);
                putRecords(open, input);
            }
            Host::FaultyFileSet counting(memory);
            TTable t(counting, "t", true);
            TOpenTable open(t, false);
            open.sortMemoryBudget(inMemory ? fits : fits - 1);
            const std::size_t before = counting.bytesRead();
            open.sort();
            const std::size_t read = counting.bytesRead() - before;
            if (inMemory) {
                EXPECT_EQ(read, count * recordSize) << entryBytes;
            } else {
                EXPECT_GT(read, 4 * count * recordSize) << entryBytes;
            }
            endings.push_back(memory.contents("t.bin"));
        }
        EXPECT_EQ(endings[0], endings[1]) << entryBytes;
    }
}

// Only the records whose place changed are written: a sorted table takes no
// write at all, one exchanged pair takes the bytes of two records.
TEST(Sorting, OnlyRecordsThatMoveAreWritten) {
    Host::MemoryFileSet memory;
    {
        TTable t(memory, "t", keyPayload(), true);
        TOpenTable open(t, false);
        for (unsigned k = 0; k < 40; ++k) open.push_back(record(open.fields(), k));
    }
    Host::FaultyFileSet faulty(memory);
    TTable t(faulty, "t", true);
    TOpenTable open(t, false);
    const TRecord a = open.at(30), b = open.at(31);
    for (unsigned allowed : {0u, 4u, 3u}) {
        if (allowed) open.update(30, b), open.update(31, a);
        faulty.failWritesAfter(allowed);
        EXPECT_EQ(message([&] { open.sort(); }), allowed == 3 ? "Couldn't refresh file content: t.bin" : "<no error>");
        faulty.heal();
        if (allowed == 4) {
            EXPECT_EQ(open.at(30)[0].get<unsigned int>(), 30u);
        }
    }
}

// The documented halving of the bounds and of find, over records compared
// by compareTo: on a table that is not sorted the answer depends on the
// records probed, so it pins the probe path, not only the result.
struct DocumentedSearch {
    const std::vector<std::string>& v;
    ByRecordKey key;
    unsigned long bound(unsigned long first, unsigned long last, const std::string& value, bool upper) const {
        for (unsigned long len = last - first; len != 0;) {
            const unsigned long half = len / 2, mid = first + half;
            if (upper ? key.compare(value, v[mid]) >= 0 : key.compare(v[mid], value) < 0) first = mid + 1, len -= half + 1;
            else len = half;
        }
        return first;
    }
    unsigned long find(unsigned long first, unsigned long last, const std::string& value) const {
        const unsigned long end = last;
        while (first < last) {
            const unsigned long mid = first + (last - first) / 2;
            const int c = key.compare(value, v[mid]);
            if (c == 0) return mid;
            if (c < 0) last = mid; else first = mid + 1;
        }
        return end;
    }
};

// Every probe over [first, last), `passes` times over (later passes meet
// what the earlier ones kept), against the documented steps on the table's
// records as they are now.
void expectDocumentedSearches(const TOpenTable& open, const std::vector<std::string>& probes, int passes,
                              const std::string& what, unsigned long first = 0, unsigned long last = ~0UL) {
    const std::vector<std::string> v = recordBytes(open);
    const DocumentedSearch reference{v, ByRecordKey{&open.fields()}};
    if (last > v.size()) last = v.size();
    TRecord value(open.fields());
    for (int pass = 0; pass < passes; ++pass)
        for (const std::string& p : probes) {
            std::copy(p.begin(), p.end(), value.data()(0));
            ASSERT_EQ(open.lower_bound(first, last, value), reference.bound(first, last, p, false)) << what;
            ASSERT_EQ(open.upper_bound(first, last, value), reference.bound(first, last, p, true)) << what;
            ASSERT_EQ(open.find(first, last, value), reference.find(first, last, p)) << what;
        }
}

TEST_F(OpenTable, BoundsAndFindOfSmallTables) {
    TOpenTable open(t, false);
    auto search = [&](unsigned long first, unsigned long last, unsigned k) {
        const TRecord key = record(open.fields(), k, 99);
        return std::to_string(open.find(first, last, key)) + " " + std::to_string(open.lower_bound(first, last, key)) +
               " " + std::to_string(open.upper_bound(first, last, key));
    };
    fill(open, {1, 2, 2, 2, 5});
    EXPECT_EQ(search(0, 5, 2), "2 1 4");
    EXPECT_EQ(search(0, 5, 0), "5 0 0");
    EXPECT_EQ(search(0, 5, 9), "5 5 5");
    EXPECT_EQ(search(50, 50, 2), "50 50 50");  // empty ranges read nothing, even far past the end
}

// Key shapes (a byte, longer than eight bytes ending in a partial byte,
// seven bytes sharing the last), sorted or not, every range of small
// tables, and tables whose wide records leave few to the tail read whole,
// so searches walk every kept level; on a file set whose buffer holds
// nothing ready too.
TEST(Searching, EveryKeyShapeAndRangeTakesTheDocumentedSteps) {
    const struct {
        Shape shape;
        std::vector<unsigned> sizes;
        unsigned values;
        bool unsortedToo, everyRange;
    } cases[] = {
        {{"8 bits", {8, 8}, 1}, {0, 1, 2, 3, 5, 8, 13, 24}, 5, false, true},
        {{"8 bits", {8, 8}, 1}, {257, 1000, 40000, 70001}, 7, true, false},
        {{"8 bits", {8, 8}, 1}, {40000}, 256, true, false},
        {{"76 bits", {32, 32, 12, 20}, 3}, {300}, 2, false, false},
        {{"51 bits", {32, 19, 5}, 2}, {6000}, 4, false, false},
        {{"wide records", {24, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 8}, 1}, {300000}, 100000, true, false},
    };
    std::mt19937 rng(41);
    for (const auto& c : cases) {
        const TFields fields = c.shape.fields();
        std::vector<std::string> probes = c.shape.records(c.values > 300 ? 1500 : 2 * c.values + 2, spread(c.values + 1), rng);
        for (unsigned size : c.sizes) {
            Host::MemoryFileSet memory;
            TestSupport::SparseFileSet unbuffered;
            for (FileSet::TFileSet* fs : {static_cast<FileSet::TFileSet*>(&memory), static_cast<FileSet::TFileSet*>(&unbuffered)}) {
                if (fs == &unbuffered && size < 300000) continue;
                TTable t(*fs, "t", fields, true);
                TOpenTable open(t, false);
                putRecords(open, c.shape.records(size, spread(c.values), rng));
                const std::string what = std::string(c.shape.name) + ", size " + std::to_string(size);
                if (c.unsortedToo) expectDocumentedSearches(open, probes, 2, what + " unsorted");
                open.sort();
                if (!c.everyRange) expectDocumentedSearches(open, probes, 2, what + " sorted");
                for (unsigned first = 0; c.everyRange && first <= size; ++first)
                    for (unsigned last = first; last <= size; ++last)
                        expectDocumentedSearches(open, probes, 1, what, first, last);
            }
        }
    }
}

// What the searches know of the records is forgotten when they change,
// through another open table of the same definition or through the stream.
TEST_F(OpenTable, SearchesSeeChangesMadeElsewhere) {
    TOpenTable open(t, false);
    for (unsigned i = 0; i < 20000; ++i) open.push_back(record(open.fields(), i * 200 / 20000, i % 256));
    std::vector<std::string> probes;
    for (unsigned k = 0; k < 256; ++k) probes.push_back(std::string(1, char(k)) + '\x4d');
    expectDocumentedSearches(open, probes, 1, "before");
    {
        TOpenTable other(t, false);
        for (unsigned long i = 0; i < other.size(); ++i) {
            TRecord r = other.at(i);
            r[0] = r[0].get<unsigned int>() + 50;
            other.update(i, r);
        }
    }
    expectDocumentedSearches(open, probes, 1, "after another open table's updates");
    FileSet::vfstream& stream = t.getFileStream();
    for (unsigned long i = 0; i < open.size(); ++i) {
        stream.seekp(4 + 2 * i);
        stream.put(static_cast<char>(i * 250 / open.size()));
    }
    expectDocumentedSearches(open, probes, 1, "after writes through the stream");
}
// A scan visits every record of its range once, in order, as `at` reads it,
// across the blocks it reads (a record of 3 bytes does not divide them).
TEST(Scans, ForEachVisitsTheRangeInOrderAsAtReadsIt) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("key", 20) | TEndOfKey() | TField<unsigned int>("payload", 4)), true);
    TOpenTable open(t, false);
    const unsigned long n = 200000;
    for (unsigned long i = 0; i < n; ++i) open.push_back(recordOf(open.fields(), unsigned(i * 7 % 1000003 % (1u << 20)), unsigned(i % 16)));
    for (auto [from, to] : {std::pair<unsigned long, unsigned long>{0, n}, {12345, 100001}, {5, 5}, {n - 1, n}}) {
        unsigned long expected = from;
        open.forEach(from, to, [&](unsigned long i, const TRecord& r) {
            ASSERT_EQ(i, expected);
            ASSERT_EQ(r.compareTo(open.at(i)), 0);
            ASSERT_EQ(r[1].get<unsigned int>(), i % 16);
            ++expected;
        });
        EXPECT_EQ(expected, to);
        expected = from;
        const field_handle<unsigned int> payload = open.fields().handle<unsigned int>("payload");
        open.forEachBytes(from, to, [&](unsigned long i, const unsigned char* bytes) {
            ASSERT_EQ(i, expected);
            ASSERT_EQ(std::memcmp(bytes, open.at(i).bytes(), 3), 0);
            ASSERT_EQ(payload.get(bytes), i % 16);
            ++expected;
        });
        EXPECT_EQ(expected, to);
    }
    EXPECT_EQ(message([&] { open.forEach(0, n + 1, [](unsigned long, const TRecord&) {}); }), "t index out of bounds: 200001");
    EXPECT_EQ(message([&] { open.forEach(3, 2, [](unsigned long, const TRecord&) {}); }), "t index out of bounds: 3");
    EXPECT_EQ(message([&] { open.forEachBytes(0, n + 1, [](unsigned long, const unsigned char*) {}); }),
              "t index out of bounds: 200001");
    EXPECT_EQ(message([&] { open.forEachBytes(3, 2, [](unsigned long, const unsigned char*) {}); }),
              "t index out of bounds: 3");
}

TEST(Scans, ForEachRaisesOnARecordReadShort) {
    Host::MemoryFileSet memory;
    writeFourRecords(memory);
    Host::FaultyFileSet faulty(memory);
    TTable t(faulty, "t", true);
    TOpenTable open(t, false);
    faulty.failReadsAfter(5);
    unsigned visited = 0;
    EXPECT_EQ(message([&] { open.forEach(0, 4, [&](unsigned long, const TRecord&) { ++visited; }); }),
              "Couldn't read file content: t.bin");
    EXPECT_EQ(message([&] { open.forEachBytes(0, 4, [&](unsigned long, const unsigned char*) { ++visited; }); }),
              "Couldn't read file content: t.bin");
    EXPECT_EQ(visited, 0u);
}

// ----------------------------------------------------------------- table sets

class TableSets : public ::testing::Test {
protected:
    void SetUp() override {
        TTable a(fs, "a", keyPayload(), true);
        TTable bc(fs, "bc", keyPayload(), false);
    }
    Host::MemoryFileSet fs;
};

TEST_F(TableSets, FormsOfAnEmptySetAndOfTwoTables) {
    TTables set(fs);
    EXPECT_EQ(textOf(set), "0\t\n");
    EXPECT_EQ(binaryOf(set), u16(0));
    EXPECT_EQ(set.serial_size(), 2u);
    set.append("a", true);
    set.append("bc", false);
    EXPECT_EQ(set.serial_size(), 15u);
    EXPECT_EQ(binaryOf(set), u16(2) + sstr("a") + '\x01' + sstr("bc") + '\x00');
}

TEST_F(TableSets, BothFormsReadBackNamesFormsAndOrder) {
    TTables set(fs);
    set.append("bc", false);
    set.append("a", true);
    for (int form = 0; form < 2; ++form) {
        TTables back(fs);
        std::istringstream in(form == 0 ? textOf(set) : binaryOf(set));
        if (form == 0) back.from_stream(in); else back.serial_read(in);
        ASSERT_EQ(back.size(), 2u);
        EXPECT_EQ(back.at(0).name(), "bc");
        EXPECT_FALSE(back.at(0).binDesc());
        EXPECT_EQ(back.at(1).name(), "a");
        EXPECT_TRUE(back.at(1).binDesc());
    }
}

TEST_F(TableSets, LookupAndReplacement) {
    TTables set(fs);
    set.append("a", true);
    set.append("bc", false);
    pointer<TTable> replacement(new TTable(fs, "a", true));
    set.append(replacement);
    EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(&set.at(0), replacement.get());
    EXPECT_EQ(&set["bc"], &set.at(1));
    EXPECT_EQ(set.checkedIndex("bc"), 1u);
    EXPECT_EQ(message([&] { set.at(2); }), "Table set index out of bounds: 2");
    EXPECT_EQ(message<std::out_of_range>([&] { set["x"]; }), "Table x doesn't exists");
    set.erase();
    EXPECT_EQ(set.size(), 2u);
    EXPECT_FALSE(fs.exists("a.dsb"));
}

TEST_F(TableSets, DamagedListsStopOrRaise) {
    const struct {
        std::string list;
        bool binary;
        const char* expected;
    } cases[] = {
        {"3\t\n\"a\"\t1\t\n\"bc\"", false, "<no error>"},
        {u16(3) + sstr("a") + '\x01' + le32(9) + "bc", true, "<no error>"},
        {"2\t\n\"a\"\t1\t\n\"gone\"\t0\t\n", false, "Error reading table structure from file gone.dst"},
    };
    for (const auto& c : cases) {
        TTables set(fs);
        std::istringstream in(c.list);
        EXPECT_EQ(message([&] {
                      if (c.binary) set.serial_read(in); else set.from_stream(in);
                  }),
                  c.expected);
        EXPECT_EQ(set.size(), 1u);
    }
}

}  // namespace
