// Tables: definitions and their files, open tables, sorting and searching,
// table sets; with damaged files of every kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sstream>
#include <vector>

#include "Core/Orvex/Trans.h"
#include "Core/Orvex/__table.h"
#include "host/memory_file_set.h"
#include "support/serial.h"
#include "support/tabulation.h"

using namespace Orvex;

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
TFields keyPayload() {
    TFields f;
    f += TField<unsigned int>("key", 8) | TEndOfKey() | TField<unsigned int>("payload", 8);
    return f;
}

TRecord record(const TFields& f, unsigned key, unsigned payload = 0) {
    TRecord r(f);
    r[0] = key;
    r[1] = payload;
    return r;
}

std::vector<unsigned> keys(const TOpenTable& t) {
    std::vector<unsigned> out;
    for (unsigned long i = 0; i < t.size(); ++i) out.push_back(t.at(i)[0].get<unsigned int>());
    return out;
}

std::vector<std::pair<unsigned, unsigned>> rows(const TOpenTable& t) {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (unsigned long i = 0; i < t.size(); ++i) {
        TRecord r = t.at(i);
        out.emplace_back(r[0].get<unsigned int>(), r[1].get<unsigned int>());
    }
    return out;
}

void fill(TOpenTable& t, const std::vector<unsigned>& keyList) {
    unsigned payload = 0;
    for (unsigned k : keyList) t.push_back(record(t.fields(), k, payload++));
}

std::string le32(unsigned long v) {
    std::ostringstream s;
    serial::write_u32(s, v);
    return s.str();
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
        return pointer<field_transformer_base::args>(new NoteArgs(note));
    }
    pointer<field_transformer_base::args> create(serial::serial_in& in) const override {
        std::string note;
        in >> note;
        return pointer<field_transformer_base::args>(new NoteArgs(note));
    }
};

field_transformer_base::args::registration noteRegistration(
    "tabletest", pointer<field_transformer_base::args::creator>(new NoteArgsCreator));

std::string noteOf(const TFieldInfo& f) {
    pointer<field_transformer_base::args> a = f.transformer();
    return a ? dynamic_cast<NoteArgs&>(*a).note : std::string("<none>");
}

std::string message(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

// ------------------------------------------------------------ definitions

TEST(TableDefinition, FileNamesFollowTheFormAndKeepTheCase) {
    Host::MemoryFileSet fs;
    TTable text(fs, "Orders", keyPayload(), false);
    EXPECT_EQ(text.descFileName(), "Orders.dst");
    EXPECT_EQ(text.transFileName(), "Orders.trt");
    EXPECT_EQ(text.contentsFileName(), "Orders.bin");
    TTable binary(fs, "Orders", keyPayload(), true);
    EXPECT_EQ(binary.descFileName(), "Orders.dsb");
    EXPECT_EQ(binary.transFileName(), "Orders.trb");
    EXPECT_EQ(binary.contentsFileName(), "Orders.bin");
    EXPECT_TRUE(fs.exists("Orders.dst") && fs.exists("Orders.dsb"));
    EXPECT_FALSE(fs.exists("Orders.bin"));
    EXPECT_EQ(lowerized("MiXeD_1"), "mixed_1");
}

TEST(TableDefinition, StructureWithoutArgumentsWritesAnEmptyTransformerFile) {
    for (bool binary : {false, true}) {
        Host::MemoryFileSet fs;
        TTable created(fs, "t", keyPayload(), binary);
        EXPECT_EQ(fs.contents(created.transFileName()), "");
        TTable reread(fs, "t", binary);
        EXPECT_EQ(reread.fields().size(), 2u);
        EXPECT_EQ(reread.fields().endOfKey(), 1u);
        EXPECT_FALSE(reread.fields()[0].transformer());
        EXPECT_FALSE(reread.fields()[1].transformer());
    }
}

TEST(TableDefinition, MissingTransformerFileIsNoError) {
    Host::MemoryFileSet fs;
    { TTable created(fs, "t", keyPayload(), false); }
    fs.remove("t.trt");
    TTable t(fs, "t", false);
    EXPECT_EQ(t.fields().size(), 2u);
}

TEST(TableDefinition, MissingStructureFileRaisesNamingIt) {
    Host::MemoryFileSet fs;
    EXPECT_EQ(message([&] { TTable t(fs, "nothing", false); }),
              "Error reading table structure from file nothing.dst");
    EXPECT_EQ(message([&] { TTable t(fs, "nothing", true); }),
              "Error reading table structure from file nothing.dsb");
}

TEST(TableDefinition, TransformersRoundTripInBothForms) {
    for (bool binary : {false, true}) {
        Host::MemoryFileSet fs;
        TFields f;
        f += TField<unsigned int>("a", 4) | TField<int>("b", 4) | TField<unsigned int>("c", 4);
        f[0].transformer(pointer<field_transformer_base::args>(new NoteArgs("first one")));
        f[2].transformer(pointer<field_transformer_base::args>(new NoteArgs("")));
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
    f[10].transformer(pointer<field_transformer_base::args>(new NoteArgs("ten")));
    f[32].transformer(pointer<field_transformer_base::args>(new NoteArgs("space")));
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

TEST(TableDefinition, RereadMakesANewRepresentation) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    TRecord before(t.fields());
    t.reread();
    TRecord after(t.fields());
    EXPECT_EQ(message([&] { before.compareTo(after); }), "Couldn't compare records");
    EXPECT_EQ(after.compareTo(TRecord(t.fields())), 0);
}

// --------------------------------------------------------- damaged definitions

TEST(DamagedDefinition, TransformerFilesFailAsDocumented) {
    struct Case {
        const char* what;
        std::string contents;
        std::string expected;
    };
    const Case cases[] = {
        {"position past the structure", "5\t\"tabletest\"\t\"x\"\t\n", "Index 5 out of valid range."},
        {"unknown category", "0\t\"nosuch\"\t\n", " cannot create transformer args (category: nosuch)"},
        {"category missing", "0\t\n", "Error reading table transformation from file t.trt"},
        {"position not a number", "zero\t\"tabletest\"\t\"x\"\n", "Error reading table transformation from file t.trt"},
        {"arguments cut short", "0\t\"tabletest\"\t\"unclosed\n", "<no error>"},
    };
    for (const Case& c : cases) {
        Host::MemoryFileSet fs;
        { TTable created(fs, "t", keyPayload(), false); }
        fs.put("t.trt", c.contents);
        EXPECT_EQ(message([&] { TTable t(fs, "t", false); }), c.expected) << c.what;
    }
}

TEST(DamagedDefinition, EntriesBeforeADamagedArgumentStayAttached) {
    Host::MemoryFileSet fs;
    { TTable created(fs, "t", keyPayload(), false); }
    fs.put("t.trt", "0\t\"tabletest\"\t\"kept\"\t\n1\t\"tabletest\"\t\"cut");
    TTable t(fs, "t", false);
    EXPECT_EQ(noteOf(t.fields()[0]), "kept");
    EXPECT_EQ(noteOf(t.fields()[1]), "<none>");
}

TEST(DamagedDefinition, StructureFilesRaiseOrStop) {
    const std::pair<std::string, std::string> texts[] = {
        {"", "Error reading table structure from file t.dst"},
        {"2\t2\t\n\"u_int\"\t\"a\"\t8\t\n", "Error reading table structure from file t.dst"},
        {"1\t1\t\n\"float\"\t\"a\"\t8\t\n", "Unknown field type: float"},
    };
    for (const auto& c : texts) {
        Host::MemoryFileSet fs;
        fs.put("t.dst", c.first);
        EXPECT_EQ(message([&] { TTable t(fs, "t", false); }), c.second) << c.first;
    }
    Host::MemoryFileSet fs;
    fs.put("t.dsb", std::string("\x03\x00\x03\x00\x05\x00\x00\x00u_int", 11));
    EXPECT_EQ(message([&] { TTable t(fs, "t", true); }), "Error reading table structure from file t.dsb");
}

// ----------------------------------------------------------------- open table

TEST(OpenTable, NewContentsFileHoldsCountZero) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    { TOpenTable open(t, false); EXPECT_EQ(open.size(), 0u); }
    EXPECT_EQ(fs.contents("t.bin"), le32(0));
}

TEST(OpenTable, StructureWithoutFieldsIsRefused) {
    Host::MemoryFileSet fs;
    TTable t(fs, "empty", TFields(), false);
    EXPECT_EQ(message([&] { TOpenTable open(t, false); }), "Record in table empty hasn't any fields.");
}

TEST(OpenTable, HeaderIsCheckedAgainstTheFileLength) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);  // R = 2
    fs.put("t.bin", le32(2) + "aabbcc");
    { TOpenTable open(t, false); EXPECT_EQ(open.size(), 2u); }
    t.getFileStream().close();
    fs.put("t.bin", le32(2) + "aabbc");
    EXPECT_EQ(message([&] { TOpenTable open(t, false); }), "t.bin file content mismatched with description from t.dst");
    t.getFileStream().close();
    fs.put("t.bin", le32(2) + "aa");
    EXPECT_EQ(message([&] { TOpenTable open(t, false); }), "Table shorter than declared in t.bin");
    t.getFileStream().close();
    fs.put("t.bin", "ab");
    EXPECT_EQ(message([&] { TOpenTable open(t, false); }), "Error reading table size from file t.bin");
}

TEST(OpenTable, PositionsOutOfRangeRaiseWithTheTableName) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    TOpenTable open(t, false);
    fill(open, {1, 2});
    EXPECT_EQ(message([&] { open.at(2); }), "t index out of bounds: 2");
    EXPECT_EQ(message([&] { open.update(5, record(open.fields(), 1)); }), "t index out of bounds: 5");
    EXPECT_EQ(message([&] { open.insert(3, 1, record(open.fields(), 1)); }), "t index out of bounds: 3");
    EXPECT_EQ(message([&] { open.erase(3, 3); }), "t index out of bounds: 3");
    EXPECT_EQ(message([&] { open.erase(2, 1); }), "t index out of bounds: 1");
    EXPECT_THROW(open.at(2), std::out_of_range);
}

TEST(OpenTable, InsertMovesTheTail) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    TOpenTable open(t, false);
    fill(open, {1, 2});
    open.insert(0, 3, record(open.fields(), 9, 9));
    EXPECT_EQ(keys(open), (std::vector<unsigned>{9, 9, 9, 1, 2}));
    open.insert(open.size(), 1, record(open.fields(), 7));
    EXPECT_EQ(keys(open), (std::vector<unsigned>{9, 9, 9, 1, 2, 7}));
}

TEST(OpenTable, LongTailMovesKeepEveryByte) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    TOpenTable open(t, false);
    std::vector<std::pair<unsigned, unsigned>> model;
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

TEST(OpenTable, EraseKeepsTheFileLengthUntilCleared) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    {
        TOpenTable open(t, false);
        fill(open, {0, 1, 2, 3});
        open.erase(2, 2);
        EXPECT_EQ(open.size(), 4u);
        open.erase(1, 3);
        EXPECT_EQ(keys(open), (std::vector<unsigned>{0, 3}));
    }
    EXPECT_EQ(fs.contents("t.bin").size(), 4u + 4 * 2);
    TOpenTable again(t, false);
    EXPECT_EQ(keys(again), (std::vector<unsigned>{0, 3}));
    again.clear();
    EXPECT_EQ(again.size(), 0u);
    EXPECT_EQ(fs.contents("t.bin"), le32(0));
}

TEST(OpenTable, HeaderIsWrittenWhenTheOpenTableGoes) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    { TOpenTable open(t, false); }
    {
        TOpenTable writer(t, false);
        fill(writer, {5});
        TOpenTable second(t, false);
        EXPECT_EQ(second.size(), 0u);  // the header still says 0
    }
    EXPECT_EQ(fs.contents("t.bin").substr(0, 4), le32(1));
    TOpenTable reopened(t, false);
    EXPECT_EQ(keys(reopened), (std::vector<unsigned>{5}));
}

TEST(OpenTable, ClearingFlagEmptiesAnExistingTable) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    { TOpenTable open(t, false); fill(open, {1, 2, 3}); }
    TOpenTable open(t, true);
    EXPECT_EQ(open.size(), 0u);
}

TEST(OpenTable, BinaryBlockRoundTripsAndDamagedBlocksLeaveAnEmptyTable) {
    Host::MemoryFileSet fs;
    TTable a(fs, "a", keyPayload(), true);
    TTable b(fs, "b", keyPayload(), true);
    std::stringstream block;
    {
        TOpenTable source(a, false);
        fill(source, {4, 5, 6});
        EXPECT_EQ(source.serial_size(), 4u + 3 * 2);
        source.serial_write(block);
        EXPECT_EQ(block.str().size(), 10u);
        EXPECT_EQ(keys(source), (std::vector<unsigned>{4, 5, 6}));  // still usable after the block
    }
    TOpenTable target(b, false);
    target.serial_read(block);
    EXPECT_EQ(rows(target), (std::vector<std::pair<unsigned, unsigned>>{{4, 0}, {5, 1}, {6, 2}}));
    std::istringstream damaged(le32(9) + "ab");
    EXPECT_EQ(message([&] { target.serial_read(damaged); }), "Table shorter than declared in b.bin");
    EXPECT_EQ(target.size(), 0u);
}

TEST(OpenTable, TextFormIsOneLinePerRecord) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", keyPayload(), false);
    TOpenTable open(t, false);
    fill(open, {7, 8});
    std::ostringstream text;
    text << open;
    EXPECT_EQ(text.str(), "7\t0\t\n8\t1\t\n");
    std::istringstream in(text.str() + "\n\n");
    TOpenTable copy(t, false);
    in >> copy;
    EXPECT_EQ(rows(copy), (std::vector<std::pair<unsigned, unsigned>>{{7, 0}, {8, 1}}));
    EXPECT_FALSE(in.fail());
    std::istringstream bad("1\t2\t\n3\tx\t\n");
    in.clear();
    bad >> copy;
    EXPECT_TRUE(bad.fail());
    EXPECT_EQ(keys(copy), (std::vector<unsigned>{1}));
}

TEST(OpenTable, CopyToWritesAllThreeFilesIntoAnotherSet) {
    Host::MemoryFileSet fs, other;
    TTable t(fs, "t", keyPayload(), true);
    TOpenTable open(t, false);
    fill(open, {3, 1});
    open.copyTo(other);
    EXPECT_EQ(other.list(), (std::vector<std::string>{"t.bin", "t.dsb", "t.trb"}));
    TTable copied(other, "t", true);
    TOpenTable reopened(copied, false);
    EXPECT_EQ(keys(reopened), (std::vector<unsigned>{3, 1}));
}

// --------------------------------------------------------- sorting, searching

// The sort's steps on an in-memory array, finishing pieces left to right.
struct ModelSort {
    std::vector<std::pair<unsigned, unsigned>>& v;
    bool less(const std::pair<unsigned, unsigned>& a, const std::pair<unsigned, unsigned>& b) const {
        return a.first < b.first;
    }
    void sort(std::size_t from, std::size_t to) {
        std::size_t n = to - from;
        if (n == 2) {
            if (less(v[from + 1], v[from])) std::swap(v[from], v[from + 1]);
        } else if (n == 3) {
            sort3(from);
        } else if (n >= 4) {
            auto pivot = v[from + n / 2];
            std::size_t first = from, last = to;
            for (;;) {
                while (less(v[first], pivot)) ++first;
                --last;
                while (less(pivot, v[last])) --last;
                if (!(first < last)) break;
                std::swap(v[first], v[last]);
                ++first;
            }
            sort(from, first);
            sort(first, to);
        }
    }
    void sort3(std::size_t i) {
        auto x = v[i], y = v[i + 1], z = v[i + 2];
        auto le = [&](const auto& a, const auto& b) { return !less(b, a); };
        if (le(x, y)) {
            if (!le(x, z)) v[i] = z, v[i + 1] = x, v[i + 2] = y;
            else if (!le(y, z)) v[i + 1] = z, v[i + 2] = y;
        } else if (!le(y, z)) {
            v[i] = z, v[i + 2] = x;
        } else if (le(z, x)) {
            v[i] = y, v[i + 1] = z, v[i + 2] = x;
        } else {
            v[i] = y, v[i + 1] = x;
        }
    }
};

class Sorting : public ::testing::Test {
protected:
    Host::MemoryFileSet fs;
    TTable table{fs, "t", keyPayload(), false};
    TOpenTable open{table, false};
};

TEST_F(Sorting, SmallTablesSortAndKeepEqualKeysInOrder) {
    open.sort();
    EXPECT_EQ(open.size(), 0u);
    fill(open, {3});
    open.sort();
    EXPECT_EQ(keys(open), (std::vector<unsigned>{3}));
    open.clear();
    fill(open, {3, 1, 2});
    open.sort();
    EXPECT_EQ(keys(open), (std::vector<unsigned>{1, 2, 3}));
    open.clear();
    fill(open, {2, 2, 1});
    open.sort();
    EXPECT_EQ(rows(open), (std::vector<std::pair<unsigned, unsigned>>{{1, 2}, {2, 0}, {2, 1}}));
    open.clear();
    fill(open, {4, 4});
    open.sort();
    EXPECT_EQ(rows(open), (std::vector<std::pair<unsigned, unsigned>>{{4, 0}, {4, 1}}));
}

TEST_F(Sorting, EveryOrderOfThreeSortsStably) {
    std::vector<unsigned> perm = {1, 1, 2};
    do {
        open.clear();
        fill(open, perm);
        open.partialSort3(0);
        std::vector<std::pair<unsigned, unsigned>> model;
        for (unsigned i = 0; i < 3; ++i) model.emplace_back(perm[i], i);
        std::stable_sort(model.begin(), model.end(), [](auto& a, auto& b) { return a.first < b.first; });
        EXPECT_EQ(rows(open), model);
    } while (std::next_permutation(perm.begin(), perm.end()));
}

TEST_F(Sorting, DescendingEightSortsAscending) {
    fill(open, {8, 7, 6, 5, 4, 3, 2, 1});
    open.sort();
    EXPECT_EQ(keys(open), (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(Sorting, ManyEqualKeysEndWhereThePartitionStepsPutThem) {
    std::mt19937 rng(20261205);
    for (int round = 0; round < 4; ++round) {
        std::vector<std::pair<unsigned, unsigned>> model;
        open.clear();
        for (unsigned i = 0; i < 3000; ++i) {
            unsigned key = rng() % (round == 0 ? 3 : 40);
            open.push_back(record(open.fields(), key, i % 256));
            model.emplace_back(key, i % 256);
        }
        ModelSort{model}.sort(0, model.size());
        open.sort();
        ASSERT_EQ(rows(open), model) << "round " << round;
    }
}

TEST_F(Sorting, PartialSortLeavesTheRestAlone) {
    fill(open, {9, 5, 4, 3, 2, 1, 0});
    open.partialSort(1, 6);
    EXPECT_EQ(keys(open), (std::vector<unsigned>{9, 1, 2, 3, 4, 5, 0}));
    EXPECT_THROW(open.partialSort(2, 8), std::out_of_range);
}

TEST_F(Sorting, MedianPicksTheMiddleKey) {
    fill(open, {5, 1, 9});
    EXPECT_EQ(open.__median(0, 1, 2)[0].get<unsigned int>(), 5u);
    EXPECT_EQ(open.__median(2, 0, 1)[0].get<unsigned int>(), 5u);
    EXPECT_EQ(open.__median(1, 1, 2)[0].get<unsigned int>(), 1u);
}

TEST_F(Sorting, BoundsAndFindHalveTheRange) {
    fill(open, {1, 2, 2, 2, 5});
    auto key = [&](unsigned k) { return record(open.fields(), k, 99); };
    EXPECT_EQ(open.lower_bound(0, 5, key(2)), 1u);
    EXPECT_EQ(open.upper_bound(0, 5, key(2)), 4u);
    EXPECT_EQ(open.lower_bound(0, 5, key(0)), 0u);
    EXPECT_EQ(open.upper_bound(0, 5, key(0)), 0u);
    EXPECT_EQ(open.lower_bound(0, 5, key(9)), 5u);
    EXPECT_EQ(open.upper_bound(0, 5, key(9)), 5u);
    EXPECT_EQ(open.find(0, 5, key(5)), 4u);
    open.clear();
    fill(open, {1, 2, 4});
    EXPECT_EQ(open.find(0, 3, key(3)), 3u);
    open.clear();
    fill(open, {2, 2, 2});
    EXPECT_EQ(open.find(0, 3, key(2)), 1u);
    // Empty ranges read nothing, even far past the end.
    EXPECT_EQ(open.find(50, 50, key(2)), 50u);
    EXPECT_EQ(open.lower_bound(50, 50, key(2)), 50u);
    EXPECT_EQ(open.upper_bound(50, 50, key(2)), 50u);
}

TEST_F(Sorting, ValuesOfAnotherStructureCannotBeCompared) {
    fill(open, {1, 2});
    TRecord foreign = record(keyPayload(), 1);
    EXPECT_EQ(message([&] { open.lower_bound(0, 2, foreign); }), "Couldn't compare records");
}

class RecordingProgress : public Console::TProgress {
public:
    void onStart() override { events.push_back(-1); }
    void onFinish() override { events.push_back(-2); }
    void onUpdate(int percent) override { events.push_back(percent); }
    std::vector<int> events;
};

TEST_F(Sorting, ProgressRisesAndIsBracketedByStartAndFinish) {
    std::mt19937 rng(3);
    for (int i = 0; i < 20000; ++i) open.push_back(record(open.fields(), rng() % 256, 0));
    pointer<RecordingProgress> progress(new RecordingProgress);
    open.progress(progress);
    open.sort();
    const std::vector<int>& e = progress->events;
    ASSERT_GE(e.size(), 2u);
    EXPECT_EQ(e.front(), -1);
    EXPECT_EQ(e.back(), -2);
    EXPECT_TRUE(std::is_sorted(e.begin() + 1, e.end() - 1));
    for (auto it = e.begin() + 1; it != e.end() - 1; ++it) EXPECT_LE(*it, 100);
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

TEST_F(TableSets, EmptySetForms) {
    TTables set(fs);
    std::ostringstream text, binary;
    set.to_stream(text);
    set.serial_write(binary);
    EXPECT_EQ(text.str(), "0\t\n");
    EXPECT_EQ(binary.str(), std::string("\0\0", 2));
    EXPECT_EQ(set.serial_size(), 2u);
}

TEST_F(TableSets, BinaryFormOfTwoTables) {
    TTables set(fs);
    set.append("a", true);
    set.append("bc", false);
    std::ostringstream binary;
    set.serial_write(binary);
    EXPECT_EQ(set.serial_size(), 15u);
    EXPECT_EQ(binary.str(), std::string("\x02\x00" "\x01\0\0\0a\x01" "\x02\0\0\0bc\x00", 15));
}

TEST_F(TableSets, BothFormsReadBackNamesFormsAndOrder) {
    TTables set(fs);
    set.append("bc", false);
    set.append("a", true);
    std::stringstream text, binary;
    set.to_stream(text);
    set.serial_write(binary);
    for (int form = 0; form < 2; ++form) {
        TTables back(fs);
        if (form == 0) back.from_stream(text); else back.serial_read(binary);
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
    EXPECT_EQ(message([&] { set["x"]; }), "Table x doesn't exists");
    EXPECT_THROW(set["x"], std::out_of_range);
    set.erase();
    EXPECT_EQ(set.size(), 2u);
    EXPECT_FALSE(fs.exists("a.dsb"));
}

TEST_F(TableSets, DamagedListsStopOrRaise) {
    {
        TTables set(fs);
        std::istringstream cut("3\t\n\"a\"\t1\t\n\"bc\"");
        set.from_stream(cut);
        EXPECT_EQ(set.size(), 1u);
    }
    {
        TTables set(fs);
        std::istringstream cut(std::string("\x03\x00\x01\0\0\0a\x01\x09\0\0\0bc", 14));
        set.serial_read(cut);
        EXPECT_EQ(set.size(), 1u);
    }
    {
        TTables set(fs);
        std::istringstream missing("2\t\n\"a\"\t1\t\n\"gone\"\t0\t\n");
        EXPECT_EQ(message([&] { set.from_stream(missing); }), "Error reading table structure from file gone.dst");
        EXPECT_EQ(set.size(), 1u);
    }
}

}  // namespace
