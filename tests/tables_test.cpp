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

TEST(TableDefinition, BinaryTransformerPositionsThatLookLikeWhiteSpaceReadBack) {
    Host::MemoryFileSet fs;
    TFields f;
    for (int i = 0; i < 33; ++i) f += TField<unsigned int>("f" + std::to_string(i), 1);
    f[10].transformer(argsPtr(new NoteArgs("ten")));
    f[32].transformer(argsPtr(new NoteArgs("space")));
    TTable created(fs, "t", f, true);
    EXPECT_EQ(fs.contents("t.trb")[0], '\x0A');
    TTable back(fs, "t", true);
    EXPECT_EQ(noteOf(back.fields()[10]), "ten");
    EXPECT_EQ(noteOf(back.fields()[32]), "space");
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

namespace {
// A text sink that counts the syncs its writer asks for.
class SyncCountingBuffer : public std::stringbuf {
public:
    int syncs = 0;

protected:
    int sync() override {
        ++syncs;
        return std::stringbuf::sync();
    }
};

// What the table's text form must be on `os`: each record's tokens as the
// record writes them on that stream, then a line end and a flush.
std::string recordByRecord(const TOpenTable& open, std::ostream& os, SyncCountingBuffer& sink) {
    for (unsigned long i = 0; i < open.size(); ++i) {
        open.at(i).to_stream(os);
        os.put('\n');
        os.flush();
    }
    return sink.str();
}
}  // namespace

// Lines are written whole where that gives the same bytes and flushes as a
// write per token; a pending field width, a flush per write or a tied
// stream each make a difference the text form keeps.
TEST(TextForm, IsWhatTheRecordsWriteLineByLineWhateverTheStreamsSettings) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t",
             fieldsOf(TField<fixed_point>("price", 2, 20) | TEndOfKey() | TField<int>("qty", 13) |
                      TField<std::string>("code", 4, true) | TField<unsigned long>("id", 32)),
             true);
    TOpenTable open(t, false);
    for (int i = 0; i < 5; ++i)
        open.push_back(recordOf(open.fields(), fixed_point(2, 1.25 * i - 2), -i, "A\"B", 4000000000UL - i));
    // Each setting is applied to a stream, given one to tie it to.
    const std::function<void(std::ostream&, std::ostream&)> settings[] = {
        [](std::ostream&, std::ostream&) {},
        [](std::ostream& os, std::ostream&) { os.width(9); },
        [](std::ostream& os, std::ostream&) { os << std::unitbuf; },
        [](std::ostream& os, std::ostream& tied) { os.tie(&tied); },
    };
    for (const auto& set : settings) {
        SyncCountingBuffer expectedSink, actualSink, expectedTiedSink, actualTiedSink;
        std::ostream expected(&expectedSink), actual(&actualSink), expectedTied(&expectedTiedSink),
            actualTied(&actualTiedSink);
        set(expected, expectedTied);
        set(actual, actualTied);
        actual << open;
        EXPECT_EQ(actualSink.str(), recordByRecord(open, expected, expectedSink));
        EXPECT_EQ(actualSink.syncs, expectedSink.syncs);
        EXPECT_EQ(actualTiedSink.syncs, expectedTiedSink.syncs);
    }
    SyncCountingBuffer plain;
    std::ostream os(&plain);
    os << open;
    EXPECT_EQ(plain.syncs, 5);  // one per line end
    std::istringstream back(plain.str());
    back >> open;
    EXPECT_EQ(open.size(), 5u);
    EXPECT_EQ(open.at(0)[0].get<fixed_point>().raw, -200);
    EXPECT_EQ(open.at(4)[3].get<unsigned long>(), 3999999996UL);
}

// Reading peeks past the white space for the next record where the stream
// allows it, else reads a character and puts it back: the same records and
// the same stream state either way, at every kind of end.
TEST_F(OpenTable, ReadingTextEndsAlikeWhetherItPeeksOrPutsBack) {
    const char* inputs[] = {"", " \n\t", "1 2\n3 4\n", "1 2\n3 4\n \n", "1 2 3", "1 2\n3 x\n5 6", "1\n2\n\n3 4"};
    for (const char* input : inputs) {
        for (int entry = 0; entry < 2; ++entry) {  // a good stream, then one that failed before
            std::string seen[2];
            for (int putBack = 0; putBack < 2; ++putBack) {
                std::istringstream in(input);
                std::ostringstream other;
                if (putBack) in.tie(&other);  // a tied stream is flushed before each read: no peeking
                if (entry) in.setstate(std::ios_base::failbit);
                TOpenTable open(t, false);
                fill(open, {9});
                in >> open;
                seen[putBack] = keys(open, true) + " state " + std::to_string(in.rdstate());
            }
            EXPECT_EQ(seen[0], seen[1]) << input << " " << entry;
        }
    }
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

// The text form uses the contents file only: a host's own file named like a
// staging file is neither read nor removed.
TEST_F(OpenTable, ATextLoadLeavesOtherFilesOfTheSetAlone) {
    fs.put("t.load", "the host's own");
    TOpenTable open(t, false);
    std::istringstream in("5\t6\n");
    in >> open;
    EXPECT_EQ(keys(open, true), "5:6");
    EXPECT_EQ(fs.contents("t.load"), "the host's own");
    EXPECT_EQ(fs.list(), (std::vector<std::string>{"t.bin", "t.dst", "t.load", "t.trt"}));
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

// Rows of (key, payload) ordered by key alone.
struct ByKey {
    bool operator()(const Rows::value_type& a, const Rows::value_type& b) const { return a.first < b.first; }
};

// A slow, plain reference of the sort's documented steps, on an array: one
// function per step, each written as the text words it, recursing left to
// right with no bound on the depth and nothing shared with the table's code.
template <class Row = Rows::value_type, class Less = ByKey>
struct DocumentedSort {
    std::vector<Row>& v;
    Less less = Less();
    bool notGreater(const Row& a, const Row& b) const { return !less(b, a); }

    void partialSort(std::size_t from, std::size_t to) {
        const std::size_t n = to - from;
        if (n == 2) partialSort2(from);
        if (n == 3) partialSort3(from);
        if (n >= 4) partialSortN(from, to);
    }
    void partialSort2(std::size_t i) {
        if (less(v[i + 1], v[i])) std::swap(v[i], v[i + 1]);
    }
    // The table of six cases, tested in its order.
    void partialSort3(std::size_t i) {
        const Row x = v[i], y = v[i + 1], z = v[i + 2];
        Row out[3];
        if (notGreater(x, y) && !notGreater(x, z)) out[0] = z, out[1] = x, out[2] = y;
        else if (notGreater(x, y) && notGreater(x, z) && !notGreater(y, z)) out[0] = x, out[1] = z, out[2] = y;
        else if (notGreater(x, y) && notGreater(y, z)) out[0] = x, out[1] = y, out[2] = z;
        else if (!notGreater(x, y) && !notGreater(y, z)) out[0] = z, out[1] = y, out[2] = x;
        else if (!notGreater(x, y) && notGreater(y, z) && notGreater(z, x)) out[0] = y, out[1] = z, out[2] = x;
        else out[0] = y, out[1] = x, out[2] = z;
        std::copy(out, out + 3, v.begin() + static_cast<std::ptrdiff_t>(i));
    }
    void partialSortN(std::size_t from, std::size_t to) {
        const Row pivot = v[from + (to - from) / 2];
        const std::size_t cut = unguardedPartition(from, to, pivot);
        partialSort(from, cut);
        partialSort(cut, to);
    }
    std::size_t unguardedPartition(std::size_t first, std::size_t last, const Row& pivot) {
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

class Sorting : public WithTable {
protected:
    TOpenTable open{t, false};
    // The table holding `keyList` (payloads 0, 1, ...), sorted.
    std::string sorted(const std::vector<unsigned>& keyList) {
        open.clear();
        fill(open, keyList);
        open.sort();
        return keys(open, true);
    }
};

TEST_F(Sorting, SmallTablesSortAndKeepEqualKeysInOrder) {
    EXPECT_EQ(sorted({}), "");
    EXPECT_EQ(sorted({3}), "3:0");
    EXPECT_EQ(sorted({3, 1, 2}), "1:1 2:2 3:0");
    EXPECT_EQ(sorted({2, 2, 1}), "1:2 2:0 2:1");
    EXPECT_EQ(sorted({4, 4}), "4:0 4:1");
    EXPECT_EQ(sorted({8, 7, 6, 5, 4, 3, 2, 1}), "1:7 2:6 3:5 4:4 5:3 6:2 7:1 8:0");
}

TEST_F(Sorting, EveryOrderOfThreeSortsStably) {
    std::vector<unsigned> perm = {1, 1, 2};
    do {
        open.clear();
        fill(open, perm);
        open.partialSort3(0);
        Rows model;
        for (unsigned i = 0; i < 3; ++i) model.emplace_back(perm[i], i);
        std::stable_sort(model.begin(), model.end(), ByKey());
        EXPECT_EQ(rows(open), model);
    } while (std::next_permutation(perm.begin(), perm.end()));
}

// Records of equal keys end where the documented steps put them: the sort
// (which finishes the smaller part first) gives what the plain reference
// gives, on random tables with many equal keys; and, as any sort, the keys
// ascend and no record is lost or made.
TEST_F(Sorting, ManyEqualKeysEndWhereTheDocumentedStepsPutThem) {
    std::mt19937 rng(20261205);
    for (int round = 0; round < 12; ++round) {
        Rows input;
        open.clear();
        const unsigned size = round < 4 ? 3000 : 1 + rng() % 200, keys = round % 4 == 0 ? 3 : 2 + rng() % 40;
        for (unsigned i = 0; i < size; ++i) {
            const unsigned key = rng() % keys;
            open.push_back(record(open.fields(), key, i % 256));
            input.emplace_back(key, i % 256);
        }
        Rows reference = input;
        DocumentedSort<>{reference}.partialSort(0, reference.size());
        open.sort();
        const Rows sortedRows = rows(open);
        ASSERT_EQ(sortedRows, reference) << "round " << round;
        EXPECT_TRUE(std::is_sorted(sortedRows.begin(), sortedRows.end(), ByKey())) << "round " << round;
        EXPECT_TRUE(std::is_permutation(sortedRows.begin(), sortedRows.end(), input.begin())) << "round " << round;
    }
}

TEST_F(Sorting, PartialSortLeavesTheRestAloneAndMedianPicksTheMiddleKey) {
    fill(open, {9, 5, 4, 3, 2, 1, 0});
    open.partialSort(1, 6);
    EXPECT_EQ(keys(open), "9 1 2 3 4 5 0");
    EXPECT_THROW(open.partialSort(2, 8), std::out_of_range);
    open.clear();
    fill(open, {5, 1, 9});
    EXPECT_EQ(open.__median(0, 1, 2)[0].get<unsigned int>(), 5u);
    EXPECT_EQ(open.__median(2, 0, 1)[0].get<unsigned int>(), 5u);
    EXPECT_EQ(open.__median(1, 1, 2)[0].get<unsigned int>(), 1u);
}

TEST_F(Sorting, BoundsAndFindHalveTheRange) {
    auto key = [&](unsigned k) { return record(open.fields(), k, 99); };
    // "find lower upper" over [first, last) for each key.
    auto search = [&](unsigned long first, unsigned long last, unsigned k) {
        return std::to_string(open.find(first, last, key(k))) + " " + std::to_string(open.lower_bound(first, last, key(k))) +
               " " + std::to_string(open.upper_bound(first, last, key(k)));
    };
    fill(open, {1, 2, 2, 2, 5});
    EXPECT_EQ(search(0, 5, 2), "2 1 4");
    EXPECT_EQ(search(0, 5, 0), "5 0 0");
    EXPECT_EQ(search(0, 5, 9), "5 5 5");
    EXPECT_EQ(search(0, 5, 5), "4 4 5");
    EXPECT_EQ(search(50, 50, 2), "50 50 50");  // empty ranges read nothing, even far past the end
    open.clear();
    fill(open, {1, 2, 4});
    EXPECT_EQ(open.find(0, 3, key(3)), 3u);
    open.clear();
    fill(open, {2, 2, 2});
    EXPECT_EQ(open.find(0, 3, key(2)), 1u);
    // Values of another structure cannot be compared.
    EXPECT_EQ(message([&] { open.lower_bound(0, 2, record(keyPayload(), 1)); }), "Couldn't compare records");
}

TEST_F(Sorting, ProgressRisesAndIsBracketedByStartAndFinish) {
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

// Sorting in memory and record by record on the file: both give what the
// plain reference of the documented steps gives, for every size up to 40 and
// some large ones, on keys drawn from few values; a budget too small for the
// range takes the record-by-record way.
TEST_F(Sorting, BothWaysMatchTheDocumentedStepsForEverySmallSizeAndSomeLarge) {
    std::mt19937 rng(14);
    std::vector<unsigned> sizes;
    for (unsigned n = 0; n <= 40; ++n) sizes.push_back(n);
    sizes.insert(sizes.end(), {1000, 4097, 20000});
    for (unsigned size : sizes) {
        for (int round = 0; round < 6; ++round) {
            const unsigned keyCount = round == 0 ? 1 : round == 1 ? 2 : std::min(256u, 2 + static_cast<unsigned>(rng() % (size / 2 + 3)));
            Rows input;
            for (unsigned i = 0; i < size; ++i) input.emplace_back(rng() % keyCount, i % 256);
            Rows reference = input;
            DocumentedSort<>{reference}.partialSort(0, reference.size());
            for (std::size_t budget : {TOpenTable::kDefaultSortBudget, std::size_t(0)}) {
                open.clear();
                for (const auto& [k, p] : input) open.push_back(record(open.fields(), k, p));
                open.sortMemoryBudget(budget);
                open.sort();
                ASSERT_EQ(rows(open), reference) << "size " << size << " round " << round << " budget " << budget;
            }
        }
    }
}

TEST_F(Sorting, APartialSortOfAMiddleRangeMatchesTheReferenceBothWays) {
    std::mt19937 rng(5);
    Rows input;
    for (unsigned i = 0; i < 300; ++i) input.emplace_back(rng() % 7, i % 256);
    Rows reference = input;
    DocumentedSort<>{reference}.partialSort(50, 250);
    for (std::size_t budget : {TOpenTable::kDefaultSortBudget, std::size_t(0)}) {
        open.clear();
        for (const auto& [k, p] : input) open.push_back(record(open.fields(), k, p));
        open.sortMemoryBudget(budget);
        open.partialSort(50, 250);
        EXPECT_EQ(rows(open), reference) << "budget " << budget;
    }
}

namespace {
// Every record's bytes, in position order.
std::vector<std::string> recordBytes(const TOpenTable& t) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < t.size(); ++i) {
        TRecord r = t.at(i);
        out.emplace_back(r.data()(0), t.fields().byteSize());
    }
    return out;
}

// The contents after sorting `input` with the given budget.
std::vector<std::string> sortedBytes(const TFields& fields, const std::vector<std::string>& input, std::size_t budget) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fields, true);
    TOpenTable open(t, false);
    TRecord r(open.fields());
    for (const std::string& bytes : input) {
        std::copy(bytes.begin(), bytes.end(), r.data()(0));
        open.push_back(r);
    }
    open.sortMemoryBudget(budget);
    open.sort();
    return recordBytes(open);
}
}  // namespace

// Keys of every shape order the same in memory as record by record: longer
// than eight bytes with a partial last byte, a partial byte shared with the
// payload, a key spanning the whole record, and no key at all. Random record
// bytes, whose key bits take few values, so that equal keys abound and the
// bits after the key differ.
TEST(SortingKeyShapes, InMemoryOrderEqualsTheRecordByRecordOrderByteForByte) {
    const std::vector<TFields> shapes = {
        fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 32) | TField<unsigned int>("c", 12) | TEndOfKey() |
                 TField<unsigned int>("d", 20)),
        fieldsOf(TField<unsigned int>("key", 12) | TEndOfKey() | TField<unsigned int>("payload", 12)),
        fieldsOf(TField<unsigned int>("a", 5) | TField<unsigned int>("b", 6)),
        fieldsOf(TEndOfKey() | TField<unsigned int>("a", 16)),
    };
    std::mt19937 rng(77);
    for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
        const unsigned size = shapes[shape].byteSize();
        for (unsigned n : {5u, 37u, 2000u}) {
            std::vector<std::string> input(n, std::string(size, '\0'));
            for (std::string& bytes : input) {
                for (char& c : bytes) c = static_cast<char>(rng() % 256);
                // Few values in the leading bits, so keys repeat.
                for (unsigned i = 0; i + 1 < size && i < 9; ++i) bytes[i] = static_cast<char>(rng() % 2);
            }
            // Writing through the fields keeps unused trailing bits zero.
            std::vector<std::string> records;
            {
                Host::MemoryFileSet fs;
                TTable t(fs, "t", shapes[shape], true);
                TOpenTable open(t, false);
                TRecord r(open.fields());
                for (const std::string& bytes : input) {
                    TRecord raw(open.fields());
                    std::copy(bytes.begin(), bytes.end(), raw.data()(0));
                    for (unsigned f = 0; f < open.fields().size(); ++f) r[f] = raw[f].get<unsigned int>();
                    open.push_back(r);
                }
                records = recordBytes(open);
            }
            const auto inMemory = sortedBytes(shapes[shape], records, TOpenTable::kDefaultSortBudget);
            EXPECT_EQ(inMemory, sortedBytes(shapes[shape], records, 0)) << "shape " << shape << " n " << n;
            EXPECT_TRUE(std::is_permutation(inMemory.begin(), inMemory.end(), records.begin()));
        }
    }
}

namespace {
// Records given as their bytes, ordered as the table orders them: by
// TRecord::compareTo, which shares nothing with the sort's own key code.
struct ByRecordKey {
    const TFields* fields;
    TRecord asRecord(const std::string& bytes) const {
        TRecord r(*fields);
        std::copy(bytes.begin(), bytes.end(), r.data()(0));
        return r;
    }
    bool operator()(const std::string& a, const std::string& b) const { return asRecord(a).compareTo(asRecord(b)) < 0; }
};

// A structure and the widths of its fields, in order.
struct KeyShape {
    const char* name;
    TFields fields;
    std::vector<unsigned> widths;
};
}  // namespace

// Keys of every width the sort holds differently: one word for keys of up
// to 32 bits, a 64-bit prefix then the record's bytes beyond it. Either way,
// and record by record, the bytes end where the documented steps put them,
// for every size up to 40 and some large ones (whose partitions scan in
// blocks). Each field but the last takes few values, its extremes among
// them, so that keys, and the leading parts of longer keys, repeat.
TEST(SortingKeyWidths, EveryWidthEndsWhereTheDocumentedStepsPutTheRecordsBothWays) {
    const std::vector<KeyShape> shapes = {
        {"12 bits, partial byte shared with the payload",
         fieldsOf(TField<unsigned int>("key", 12) | TEndOfKey() | TField<unsigned int>("payload", 12)), {12, 12}},
        {"32 bits, the widest word",
         fieldsOf(TField<unsigned int>("key", 32) | TEndOfKey() | TField<unsigned int>("payload", 8)), {32, 8}},
        {"33 bits, the narrowest prefix",
         fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 1) | TEndOfKey() | TField<unsigned int>("payload", 7)),
         {32, 1, 7}},
        {"60 bits, partial last byte",
         fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 28) | TEndOfKey() | TField<unsigned int>("payload", 12)),
         {32, 28, 12}},
        {"64 bits, the whole prefix",
         fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 32) | TEndOfKey() | TField<unsigned int>("payload", 8)),
         {32, 32, 8}},
        {"76 bits, beyond the prefix with a partial byte",
         fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 32) | TField<unsigned int>("c", 12) | TEndOfKey() |
                  TField<unsigned int>("payload", 20)),
         {32, 32, 12, 20}},
        {"the whole record, 11 bits", fieldsOf(TField<unsigned int>("a", 5) | TField<unsigned int>("b", 6)), {5, 6}},
        {"no key", fieldsOf(TEndOfKey() | TField<unsigned int>("a", 16)), {16}},
    };
    std::vector<unsigned> sizes;
    for (unsigned n = 0; n <= 40; ++n) sizes.push_back(n);
    sizes.insert(sizes.end(), {127, 128, 129, 1000, 3000});
    std::mt19937 rng(1405);
    for (const KeyShape& shape : shapes) {
        const ByRecordKey byKey{&shape.fields};
        for (unsigned size : sizes) {
            for (unsigned poolSize : {1u, 2u, 4u}) {
                std::vector<std::string> input;
                for (unsigned i = 0; i < size; ++i) {
                    TRecord r(shape.fields);
                    for (unsigned f = 0; f < shape.widths.size(); ++f) {
                        const unsigned top = shape.widths[f] == 32 ? 0xFFFFFFFFu : (1u << shape.widths[f]) - 1;
                        const unsigned pool[4] = {top, 0, 1, top / 2};
                        r[f] = static_cast<unsigned>(f + 1 == shape.widths.size() ? rng() & top : pool[rng() % poolSize] & top);
                    }
                    input.emplace_back(r.data()(0), shape.fields.byteSize());
                }
                std::vector<std::string> reference = input;
                DocumentedSort<std::string, ByRecordKey>{reference, byKey}.partialSort(0, reference.size());
                for (std::size_t budget : {TOpenTable::kDefaultSortBudget, std::size_t(0)})
                    ASSERT_EQ(sortedBytes(shape.fields, input, budget), reference)
                        << shape.name << ", size " << size << ", " << poolSize << " values per field, budget " << budget;
            }
        }
    }
}

// Inputs whose partitions stop on one side far more often than on the
// other (ascending, descending, all equal, a few runs), at sizes around and
// well past the block size: the blocks' leftover stops carry over and the
// plain scans finish where the blocks stop.
TEST_F(Sorting, OrderedAndSkewedInputsEndWhereTheDocumentedStepsPutThem) {
    const std::vector<std::pair<const char*, std::function<unsigned(unsigned, unsigned)>>> orders = {
        {"ascending", [](unsigned i, unsigned) { return i % 256; }},
        {"descending", [](unsigned i, unsigned n) { return (n - i) % 256; }},
        {"all equal", [](unsigned, unsigned) { return 7u; }},
        {"two runs", [](unsigned i, unsigned n) { return i < n / 2 ? 200u : 3u; }},
        {"sawtooth", [](unsigned i, unsigned) { return i % 5 * 40; }},
        {"one large key among small", [](unsigned i, unsigned n) { return i == n / 3 ? 255u : i % 2; }},
    };
    for (const auto& [name, keyAt] : orders) {
        for (unsigned size : {64u, 127u, 128u, 129u, 191u, 256u, 257u, 1000u, 5000u}) {
            Rows input;
            for (unsigned i = 0; i < size; ++i) input.emplace_back(keyAt(i, size), i % 256);
            Rows reference = input;
            DocumentedSort<>{reference}.partialSort(0, reference.size());
            open.clear();
            for (const auto& [k, p] : input) open.push_back(record(open.fields(), k, p));
            open.sort();
            ASSERT_EQ(rows(open), reference) << name << ", size " << size;
        }
    }
}

// The budget counts the records and their entries, 8 bytes each for a key
// of up to 32 bits and 12 for a longer one: a budget of exactly that sorts
// in memory, reading the range once; a byte less sorts record by record,
// reading records again at every comparison. Both end alike.
TEST(SortingBudget, ABudgetOfTheRecordsAndTheirEntriesSortsInMemoryAndAByteLessDoesNot) {
    const std::vector<std::pair<TFields, std::size_t>> shapes = {
        {fieldsOf(TField<unsigned int>("key", 32) | TEndOfKey() | TField<unsigned int>("payload", 8)), 8},
        {fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 4) | TEndOfKey() | TField<unsigned int>("payload", 4)), 12},
    };
    const unsigned count = 500;
    for (const auto& [fields, entryBytes] : shapes) {
        const std::size_t recordSize = fields.byteSize(), fits = count * (recordSize + entryBytes);
        std::vector<std::string> endings;
        for (bool inMemory : {true, false}) {
            Host::MemoryFileSet memory;
            {
                TTable t(memory, "t", fields, true);
                TOpenTable open(t, false);
                std::mt19937 rng(32);
                for (unsigned i = 0; i < count; ++i) open.push_back(recordOf(fields, static_cast<unsigned>(rng() % 50), i % 16));
            }
            Host::FaultyFileSet counting(memory);
            {
                TTable t(counting, "t", true);
                TOpenTable open(t, false);
                open.sortMemoryBudget(inMemory ? fits : fits - 1);
                const std::size_t before = counting.bytesRead();
                open.sort();
                const std::size_t read = counting.bytesRead() - before;
                if (inMemory)
                    EXPECT_EQ(read, count * recordSize) << "entries of " << entryBytes << " bytes";
                else
                    EXPECT_GT(read, 4 * count * recordSize) << "entries of " << entryBytes << " bytes";
            }
            endings.push_back(memory.contents("t.bin"));
        }
        EXPECT_EQ(endings[0], endings[1]) << "entries of " << entryBytes << " bytes";
    }
}

// Only the records whose place changed are written: a sorted table takes no
// write at all, one exchanged pair takes the bytes of two records.
TEST(SortingWrites, OnlyRecordsThatMoveAreWritten) {
    Host::MemoryFileSet memory;
    {
        TTable t(memory, "t", keyPayload(), true);
        TOpenTable open(t, false);
        std::vector<unsigned> keyList;
        for (unsigned k = 0; k < 40; ++k) keyList.push_back(k);
        fill(open, keyList);
    }
    Host::FaultyFileSet faulty(memory);
    TTable t(faulty, "t", true);
    {
        TOpenTable open(t, false);
        faulty.failWritesAfter(0);
        EXPECT_EQ(message([&] { open.sort(); }), "<no error>");
        faulty.heal();
        TRecord a = open.at(30), b = open.at(31);
        open.update(30, b);
        open.update(31, a);
        faulty.failWritesAfter(4);
        EXPECT_EQ(message([&] { open.sort(); }), "<no error>");
        EXPECT_EQ(open.at(30)[0].get<unsigned int>(), 30u);
        EXPECT_EQ(open.at(31)[0].get<unsigned int>(), 31u);
        faulty.heal();
        open.update(30, b);
        open.update(31, a);
        faulty.failWritesAfter(3);
        EXPECT_EQ(message([&] { open.sort(); }), "Couldn't refresh file content: t.bin");
        faulty.heal();
    }
}

namespace {
// The documented steps of find, on an array of keys.
std::size_t documentedFind(const std::vector<unsigned>& v, std::size_t first, std::size_t last, unsigned value) {
    const std::size_t end = last;
    if (first == last) return last;
    while (first < last) {
        const std::size_t mid = first + (last - first) / 2;
        if (value < v[mid]) last = mid;
        else if (v[mid] < value) first = mid + 1;
        else { first = mid; break; }
    }
    if (first == end) return end;
    return v[first] != value ? end : first;
}
}  // namespace

// The three searches against a linear scan (bounds) and the documented
// halving (find), over every range of small sorted tables with many equal
// keys.
TEST_F(Sorting, SearchesAgreeWithALinearScanOverEveryRange) {
    std::mt19937 rng(9);
    for (unsigned size = 0; size <= 24; ++size) {
        std::vector<unsigned> keyList;
        for (unsigned i = 0; i < size; ++i) keyList.push_back(rng() % 5);
        std::sort(keyList.begin(), keyList.end());
        open.clear();
        fill(open, keyList);
        for (unsigned first = 0; first <= size; ++first)
            for (unsigned last = first; last <= size; ++last)
                for (unsigned k = 0; k <= 5; ++k) {
                    const TRecord value = record(open.fields(), k, 200);
                    const auto begin = keyList.begin() + first, end = keyList.begin() + last;
                    const unsigned long lower = std::lower_bound(begin, end, k) - keyList.begin();
                    const unsigned long upper = std::upper_bound(begin, end, k) - keyList.begin();
                    ASSERT_EQ(open.lower_bound(first, last, value), lower) << size << " " << first << " " << last << " " << k;
                    ASSERT_EQ(open.upper_bound(first, last, value), upper) << size << " " << first << " " << last << " " << k;
                    ASSERT_EQ(open.find(first, last, value), documentedFind(keyList, first, last, k))
                        << size << " " << first << " " << last << " " << k;
                }
    }
}

// A key longer than eight bytes, ending inside a byte it shares with the
// payload: the bounds match a linear scan by compareTo.
TEST(SearchKeyShapes, WideKeysWithAPartialByteMatchALinearScan) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t",
             fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 32) | TField<unsigned int>("c", 12) | TEndOfKey() |
                      TField<unsigned int>("d", 20)),
             true);
    TOpenTable open(t, false);
    std::mt19937 rng(21);
    for (int i = 0; i < 300; ++i) open.push_back(recordOf(open.fields(), unsigned(rng() % 2), unsigned(rng() % 2), unsigned(rng() % 3), unsigned(rng() % 1000)));
    open.sort();
    for (unsigned a = 0; a < 2; ++a)
        for (unsigned b = 0; b < 3; ++b)
            for (unsigned c = 0; c < 4; ++c) {
                const TRecord value = recordOf(open.fields(), a, b, c, 999999u);
                unsigned long lower = 0, upper = 0;
                for (unsigned long i = 0; i < open.size(); ++i) {
                    if (open.at(i).compareTo(value) < 0) lower = i + 1;
                    if (open.at(i).compareTo(value) <= 0) upper = i + 1;
                }
                EXPECT_EQ(open.lower_bound(0, open.size(), value), lower);
                EXPECT_EQ(open.upper_bound(0, open.size(), value), upper);
                const unsigned long found = open.find(0, open.size(), value);
                if (lower == upper)
                    EXPECT_EQ(found, open.size());
                else
                    EXPECT_TRUE(found >= lower && found < upper) << found;
            }
}

namespace {
// The documented halving of the bounds, on an array of keys: on a table that
// is not sorted its answer depends on the records it probes, so it pins the
// probe path, not only the result.
std::size_t documentedBound(const std::vector<unsigned>& v, std::size_t first, std::size_t last, unsigned value,
                            bool upper) {
    for (std::size_t len = last - first; len != 0;) {
        const std::size_t half = len / 2, mid = first + half;
        if (upper ? !(value < v[mid]) : v[mid] < value) {
            first = mid + 1;
            len -= half + 1;
        } else {
            len = half;
        }
    }
    return first;
}

std::vector<unsigned> keysOf(const TOpenTable& t) {
    std::vector<unsigned> out;
    for (const auto& row : rows(t)) out.push_back(row.first);
    return out;
}

// Every key 0..255, searched in the whole table `passes` times over (the
// later passes meet what the earlier ones kept), against the documented
// steps on the table's keys as they are now.
void expectDocumentedSearches(const TOpenTable& open, int passes, const std::string& what) {
    const std::vector<unsigned> v = keysOf(open);
    for (int pass = 0; pass < passes; ++pass)
        for (unsigned k = 0; k < 256; ++k) {
            const TRecord value = record(open.fields(), k, 77);
            ASSERT_EQ(open.lower_bound(0, v.size(), value), documentedBound(v, 0, v.size(), k, false)) << what << " " << k;
            ASSERT_EQ(open.upper_bound(0, v.size(), value), documentedBound(v, 0, v.size(), k, true)) << what << " " << k;
            ASSERT_EQ(open.find(0, v.size(), value), documentedFind(v, 0, v.size(), k)) << what << " " << k;
        }
}
}  // namespace

// Large tables, sorted or not, searched again and again: the same answers as
// the documented halving, however much of each path is already known.
TEST_F(Sorting, RepeatedSearchesOfLargeTablesTakeTheDocumentedSteps) {
    std::mt19937 rng(31);
    for (unsigned long size : {257UL, 1000UL, 40000UL, 70001UL})
        for (unsigned range : {7u, 256u}) {
            std::vector<unsigned> keyList;
            for (unsigned long i = 0; i < size; ++i) keyList.push_back(rng() % range);
            open.clear();
            for (unsigned long i = 0; i < size; ++i) open.push_back(record(open.fields(), keyList[i], unsigned(i % 256)));
            expectDocumentedSearches(open, 2, "unsorted " + std::to_string(size));
            open.sort();
            expectDocumentedSearches(open, 2, "sorted " + std::to_string(size));
        }
}

// Wide records leave few to the tail read whole, so searches of a table
// this long walk every kept level, down to the deepest and past it; sorted
// or not, repeated searches answer as the documented halving does. The tail
// is halved in place where the stream's buffer holds it, else in a copy: a
// file set whose buffer holds nothing ready answers the same.
void expectSearchesThroughEveryKeptLevel(FileSet::TFileSet& fs, const std::string& what) {
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("key", 24) | TEndOfKey() | TField<std::string>("pad", 61, false)), true);
    TOpenTable open(t, false);
    ASSERT_EQ(open.fields().byteSize(), 64u);
    std::mt19937 rng(41);
    const unsigned long size = 300000;
    std::vector<unsigned> keyList(size);
    TRecord r(open.fields());
    for (unsigned& k : keyList) {
        k = rng() % 100000;
        r[0] = k;
        open.push_back(r);
    }
    std::vector<unsigned> probes(1500);
    for (unsigned& k : probes) k = rng() % 100001;
    for (const char* order : {"unsorted", "sorted"}) {
        if (std::string(order) == "sorted") {
            open.sort();
            std::sort(keyList.begin(), keyList.end());
        }
        for (int pass = 0; pass < 2; ++pass)
            for (unsigned k : probes) {
                r[0] = k;
                ASSERT_EQ(open.lower_bound(0, size, r), documentedBound(keyList, 0, size, k, false)) << what << order << " " << k;
                ASSERT_EQ(open.upper_bound(0, size, r), documentedBound(keyList, 0, size, k, true)) << what << order << " " << k;
            }
    }
}

TEST(SearchKeyShapes, SearchesThroughEveryKeptLevelTakeTheDocumentedSteps) {
    Host::MemoryFileSet memory;
    expectSearchesThroughEveryKeptLevel(memory, "memory ");
    TestSupport::SparseFileSet unbuffered;
    expectSearchesThroughEveryKeptLevel(unbuffered, "unbuffered ");
}

// What the searches know of the records is forgotten when they change,
// through another open table of the same definition or through the stream.
TEST_F(Sorting, SearchesSeeChangesMadeElsewhere) {
    open.clear();
    for (unsigned i = 0; i < 20000; ++i) open.push_back(record(open.fields(), i * 200 / 20000, i % 256));
    expectDocumentedSearches(open, 1, "before");
    {
        TOpenTable other(t, false);
        for (unsigned long i = 0; i < other.size(); ++i) {
            TRecord r = other.at(i);
            r[0] = r[0].get<unsigned int>() + 50;
            other.update(i, r);
        }
    }
    expectDocumentedSearches(open, 1, "after another open table's updates");
    FileSet::vfstream& stream = t.getFileStream();
    for (unsigned long i = 0; i < open.size(); ++i) {
        stream.seekp(4 + 2 * i);
        stream.put(static_cast<char>(i * 250 / open.size()));
    }
    expectDocumentedSearches(open, 1, "after writes through the stream");
}

// A key of seven bytes, the last shared with a field outside it: the kept
// keys order as compareTo does, whatever the outside bits hold.
TEST(SearchKeyShapes, SevenByteKeysEndingInsideAByteMatchALinearScan) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t",
             fieldsOf(TField<unsigned int>("a", 32) | TField<unsigned int>("b", 19) | TEndOfKey() | TField<unsigned int>("c", 5)),
             true);
    TOpenTable open(t, false);
    std::mt19937 rng(22);
    for (int i = 0; i < 6000; ++i) open.push_back(recordOf(open.fields(), unsigned(rng() % 3), unsigned(rng() % 4), unsigned(rng() % 32)));
    open.sort();
    std::vector<TRecord> all;
    for (unsigned long i = 0; i < open.size(); ++i) all.push_back(open.at(i));
    for (int pass = 0; pass < 2; ++pass)
        for (unsigned a = 0; a < 4; ++a)
            for (unsigned b = 0; b < 5; ++b)
                for (unsigned c : {0u, 31u}) {
                    const TRecord value = recordOf(open.fields(), a, b, c);
                    unsigned long lower = 0, upper = 0;
                    for (unsigned long i = 0; i < all.size(); ++i) {
                        if (all[i].compareTo(value) < 0) lower = i + 1;
                        if (all[i].compareTo(value) <= 0) upper = i + 1;
                    }
                    ASSERT_EQ(open.lower_bound(0, open.size(), value), lower) << a << " " << b << " " << c;
                    ASSERT_EQ(open.upper_bound(0, open.size(), value), upper) << a << " " << b << " " << c;
                }
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

// `at` raises nothing on a failed read: a record cut short keeps the bytes
// read and zeros past them, and once the stream has failed a record is all
// zeros (never bytes of an earlier record).
TEST(Scans, AtKeepsWhatAReadCutShortGaveAndZerosPastIt) {
    Host::MemoryFileSet memory;
    writeFourRecords(memory);
    {
        TTable t(memory, "t", true);
        TOpenTable(t, false).update(1, record(t.fields(), 2, 7));
    }
    Host::FaultyFileSet faulty(memory);
    TTable t(faulty, "t", true);
    TOpenTable open(t, false);
    faulty.failReadsAfter(3);
    const TRecord whole = open.at(0), cut = open.at(1), after = open.at(2);
    EXPECT_EQ(whole[0].get<unsigned int>(), 1u);
    EXPECT_EQ(cut[0].get<unsigned int>(), 2u);
    EXPECT_EQ(cut[1].get<unsigned int>(), 0u);
    EXPECT_EQ(after[0].get<unsigned int>(), 0u);
    EXPECT_EQ(after[1].get<unsigned int>(), 0u);
    EXPECT_TRUE(t.getFileStream().fail());
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
