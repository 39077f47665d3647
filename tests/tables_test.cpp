// Tables: definitions and their files, open tables, sorting and searching,
// scans and table sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <vector>

#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/__table.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

// key u_int 8 | payload u_int 8: one byte of key, one of payload.
TFields keyPayload() { return fieldsOf(TField<unsigned int>("key", 8) | TEndOfKey() | TField<unsigned int>("payload", 8)); }

TRecord record(const TFields& f, unsigned key, unsigned payload = 0) { return recordOf(f, key, payload); }

// "key key ..." or "key:payload ..." of every record.
std::string keys(const TOpenTable& t, bool withPayload = false) {
    std::string s;
    for (unsigned long i = 0; i < t.size(); ++i)
        s += (i ? " " : "") + std::to_string(t.at(i)[0].get<unsigned int>()) + (withPayload ? ":" + std::to_string(t.at(i)[1].get<unsigned int>()) : "");
    return s;
}

void fill(TOpenTable& t, const std::vector<unsigned>& keyList) {
    unsigned payload = 0;
    for (unsigned k : keyList) t.push_back(record(t.fields(), k, payload++ % 256));
}

std::string refOf(const TFieldInfo& f) { return f.transformer() ? dynamic_cast<ref_fixer_args&>(*f.transformer()).table() : "<none>"; }

// What a file set sees of a new table and of opening it, in both forms:
// each file with its mode and the two stream flags, in order.
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
    EXPECT_EQ(fs.log, (std::vector<std::string>{
                          "t.dsb 20", "flag1 off", "flag2 on", "t.trb 20", "flag1 off", "flag2 on",
                          "t.bin 12", "t.bin 28", "t.bin 28", "t.dst 16", "flag1 off", "flag2 on",
                          "t.trt 16", "flag1 off", "flag2 on", "t.bin 12", "flag1 off", "flag2 on", "t.bin 28"}));
}

// A text-form table "t" of keyPayload() in memory.
class OpenTable : public ::testing::Test {
protected:
    Host::MemoryFileSet fs;
    TTable t{fs, "t", keyPayload(), false};
};

// ------------------------------------------------------------ definitions

TEST(TableDefinition, FilesOfBothFormsReadBackAndEraseRemovesThem) {
    for (bool binary : {false, true}) {
        Host::MemoryFileSet fs;
        TFields f = fieldsOf(TField<unsigned int>("a", 4) | TField<int>("b", 4));
        f[0].transformer(argsPtr(new ref_fixer_args("first one")));
        TTable created(fs, "Orders", f, binary), plain(fs, "p", keyPayload(), binary);
        EXPECT_EQ(created.descFileName() + " " + created.transFileName() + " " + created.contentsFileName(),
                  binary ? "Orders.dsb Orders.trb Orders.bin" : "Orders.dst Orders.trt Orders.bin");
        EXPECT_EQ(fs.contents(plain.transFileName()), "");  // no arguments: empty, and it may go
        fs.remove(plain.transFileName());
        EXPECT_EQ(TTable(fs, "p", binary).fields().endOfKey(), 1u);
        TTable back(fs, "Orders", binary);
        EXPECT_EQ(refOf(back.fields()[0]) + "," + refOf(back.fields()[1]), "first one,<none>");
        created.erase();
        created.erase();  // missing files are no error
        EXPECT_EQ(fs.list(), (std::vector<std::string>{binary ? "p.dsb" : "p.dst"}));
    }
}

// One case for each message a damaged definition raises.
TEST(TableDefinition, DamagedFilesRaiseAsDocumented) {
    const struct {
        const char* name;  // put in place of the new table's own
        std::string contents, expected;
    } cases[] = {
        {"t.trt", "5\t\"sizeForRef\"\t\"x\"\t\n", "Index 5 out of valid range."},
        {"t.trt", "0\t\"nosuch\"\t\n", " cannot create transformer args (category: nosuch)"},
        {"t.trt", "0\t\n", "Error reading table transformation from file t.trt"},
        {"t.trt", "0\t\"sizeForRef\"\t\"kept\"\t\n1\t\"sizeForRef\"\t\"cut", "kept"},  // entries before the damage stay
        {"t.dst", "2\t2\t\n\"u_int\"\t\"a\"\t8\t\n", "Error reading table structure from file t.dst"},
        {"t.dst", "1\t1\t\n\"float\"\t\"a\"\t8\t\n", "Error converting float to Orvex::TType"},
        {"t.dst", "1\t1\t\n\"integer\"\t\"a\"\t8\t\n", "Unknown field type: integer"},
        {"t.dsb", u16(3) + u16(3) + le32(5) + "u_int", "Error reading table structure from file t.dsb"},
    };
    for (const auto& c : cases) {
        Host::MemoryFileSet fs;
        const bool binary = std::string(c.name) == "t.dsb";
        TTable created(fs, "t", keyPayload(), binary);
        fs.put(c.name, c.contents);
        std::string ref;
        const std::string raised = message([&] { ref = refOf(TTable(fs, "t", binary).fields()[0]); });
        EXPECT_EQ(raised == "<no error>" ? ref : raised, c.expected) << c.contents;
    }
}

// ----------------------------------------------------------------- open table

TEST_F(OpenTable, HeaderIsCheckedAgainstTheFileLength) {
    TTable empty(fs, "empty", TFields(), false);
    EXPECT_EQ(message([&] { TOpenTable open(empty, false); }), "Record in table empty hasn't any fields.");
    const std::pair<std::string, std::string> cases[] = {  // two bytes a record
        {le32(2) + "aabbcc", "<no error>"},
        {le32(2) + "aabbc", "t.bin file content mismatched with description from t.dst"},
        {le32(2) + "aa", "Table shorter than declared in t.bin"},
        {"ab", "Error reading table size from file t.bin"},
    };
    for (const auto& [contents, expected] : cases) {
        fs.put("t.bin", contents);
        EXPECT_EQ(message([&] { EXPECT_EQ(TOpenTable(t, false).size(), 2u); }), expected);
        t.getFileStream().close();
    }
}

TEST_F(OpenTable, PositionsOutOfRangeRaiseWithTheTableName) {
    TOpenTable open(t, false);
    fill(open, {1, 2, 2, 2, 5});
    const TRecord one = record(open.fields(), 1);
    EXPECT_EQ(message<std::out_of_range>([&] { open.at(5); }), "t index out of bounds: 5");
    EXPECT_EQ(message([&] { open.update(5, one); }), "t index out of bounds: 5");
    EXPECT_EQ(message([&] { open.insert(6, 1, one); }), "t index out of bounds: 6");
    EXPECT_EQ(message([&] { open.erase(2, 1); }), "t index out of bounds: 1");
    EXPECT_THROW(open.partialSort(2, 8), std::out_of_range);
    // A search reads no record outside its range; a range past the end is
    // refused at the first record it would read.
    EXPECT_EQ(open.find(50, 50, one), 50u);
    EXPECT_EQ(message([&] { open.lower_bound(5, 6, one); }), "t index out of bounds: 5");
    EXPECT_EQ(message([&] { open.lower_bound(0, 2, record(keyPayload(), 1)); }), "Couldn't compare records");
    EXPECT_EQ(open.__median(4, 0, 3)[0].get<unsigned int>() * 10 + open.__median(0, 0, 4)[0].get<unsigned int>(), 21u);
}

TEST_F(OpenTable, InsertAndEraseMoveTheTailKeepEveryByteAndTheFileLength) {
    {
        TOpenTable open(t, false);
        std::vector<unsigned> model(3000);
        for (unsigned i = 0; i < 3000; ++i) model[i] = i % 256;
        fill(open, model);
        open.insert(1000, 1500, record(open.fields(), 255, 5));
        open.erase(10, 2500);
        model.insert(model.begin() + 1000, 1500, 255);
        model.erase(model.begin() + 10, model.begin() + 2500);
        std::string expected;
        for (unsigned k : model) expected += (expected.empty() ? "" : " ") + std::to_string(k);
        EXPECT_EQ(keys(open), expected);
        open.erase(0, open.size() - 1);
        EXPECT_EQ(keys(open, true), "183:183");
    }
    EXPECT_EQ(fs.contents("t.bin").size(), 4u + 4500 * 2);  // erasing keeps the length
    EXPECT_EQ(keys(TOpenTable(t, false)), "183");
    { TOpenTable writer(t, true); fill(writer, {5}); EXPECT_EQ(TOpenTable(t, false).size(), 0u); }  // the header waits for the end
    EXPECT_EQ(fs.contents("t.bin"), le32(1) + bytes({5, 0}));
}

TEST_F(OpenTable, BlockAndTextFormsRoundTrip) {
    TTable a(fs, "a", keyPayload(), true), b(fs, "b", keyPayload(), true);
    TOpenTable source(a, false), target(b, false);
    fill(source, {4, 5, 6});
    std::stringstream block;
    source.serial_write(block);
    target.serial_read(block);
    EXPECT_EQ(keys(target, true), "4:0 5:1 6:2");
    std::istringstream damaged(le32(9) + "ab");
    EXPECT_EQ(message([&] { target.serial_read(damaged); }), "Table shorter than declared in b.bin");
    EXPECT_EQ(target.size(), 0u);
    std::ostringstream text;
    text << source;
    EXPECT_EQ(text.str(), "4\t0\t\n5\t1\t\n6\t2\t\n");
    // A value that does not fit raises; the records read before it stay.
    std::istringstream bad("1\t0\n2\t1\n\n300\t2\n4\t3\n");
    EXPECT_EQ(message<std::out_of_range>([&] { bad >> target; }), "Field key maximum value exceeded: 300");
    EXPECT_EQ(keys(target, true), "1:0 2:1");
}

// A contents file never passes 2^31 - 1 bytes: growth by one record of 3
// bytes past it, or by counts beyond what 32 or 64 bits of bytes hold, is
// refused before anything changes; bytes past a block's records are
// checked whole and dropped.
TEST(Limits, GrowthPastTheLimitIsRefusedWithoutOverflow) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("k", 24)), true);
    TOpenTable open(t, false);
    open.push_back(recordOf(open.fields(), 7u));
    const std::string before = fs.contents("t.bin"), grew = "Table t can't grow past 2147483647 bytes in t.bin";
    for (unsigned long n : {715827881ul, 0xFFFFFFFFul, 0x100000000ul, 1ul << 62, ~0ul})
        EXPECT_EQ(message([&] { open.insert(0, n, recordOf(open.fields(), 9u)); }), grew) << n;
    for (std::uint32_t count : {715827882u, 0xFFFFFFFFu}) {
        std::istringstream block(le32(count) + "abc");
        EXPECT_EQ(message([&] { open.serial_read(block); }), grew) << count;
    }
    EXPECT_EQ(fs.contents("t.bin"), before);
    std::istringstream whole(le32(1) + "abc" + "def"), partial(le32(1) + "abc" + "de");
    open.serial_read(whole);
    EXPECT_EQ(fs.contents("t.bin"), le32(1) + "abc");
    EXPECT_EQ(message([&] { open.serial_read(partial); }), "t.bin file content mismatched with description from t.dsb");
}

// A stream failing under an update: it raises and leaves the header and
// the stream alone, so the set sees no reopening.
TEST(FailingStreams, AnUpdateRaisesAndLeavesTheStreamFailed) {
    Host::MemoryFileSet memory;
    {
        TTable t(memory, "t", keyPayload(), true);
        TOpenTable(t, false).push_back(record(t.fields(), 1));
    }
    Host::FaultyFileSet faulty(memory);
    TTable t(faulty, "t", true);
    unsigned opens = 0;
    {
        TOpenTable open(t, false);
        faulty.failWritesAfter(0);
        EXPECT_EQ(message([&] { open.update(0, record(open.fields(), 9)); }), "Couldn't refresh file content: t.bin");
        opens = faulty.opens();
    }
    EXPECT_EQ(faulty.opens(), opens);
    EXPECT_TRUE(t.getFileStream().fail());
}

// --------------------------------------------------------- sorting, searching

// How the key fields of record i of n are drawn.
typedef std::function<unsigned(unsigned i, unsigned n, std::mt19937& rng)> KeyAt;
// `count` values: up to four the extremes and middle of the field, else 0..count-1.
KeyAt spread(unsigned count) {
    return [count](unsigned, unsigned, std::mt19937& rng) {
        const unsigned pool[4] = {~0u, 0, 1, ~0u / 2};
        return count <= 4 ? pool[rng() % count] : unsigned(rng() % count);
    };
}

// Unsigned fields of these widths, the first `keyFields` of them the key.
struct Shape {
    std::vector<unsigned> widths;
    unsigned keyFields;
    TFields fields() const {
        TFields f;
        for (unsigned i = 0; i < widths.size(); ++i) {
            if (i == keyFields) f += TEndOfKey();
            f += TField<unsigned int>("f" + std::to_string(i), widths[i]);
        }
        return f;
    }
    // The bytes of n records, their other fields random.
    std::vector<std::string> records(unsigned n, const KeyAt& keyAt, std::mt19937& rng) const {
        const TFields f = fields();
        std::vector<std::string> out;
        for (unsigned i = 0; i < n; ++i) {
            TRecord r(f);
            for (unsigned k = 0; k < widths.size(); ++k)
                r[k] = (k < keyFields ? keyAt(i, n, rng) : unsigned(rng())) & (widths[k] == 32 ? ~0u : (1u << widths[k]) - 1);
            out.emplace_back(r.data()(0), f.byteSize());
        }
        return out;
    }
};

// Records as their bytes, ordered by TRecord::compareTo, which shares
// nothing with the sort's and the searches' own key code.
struct ByRecordKey {
    const TFields* fields;
    TRecord operator()(const std::string& bytes) const {
        TRecord r(*fields);
        std::copy(bytes.begin(), bytes.end(), r.data()(0));
        return r;
    }
    bool operator()(const std::string& a, const std::string& b) const { return (*this)(a).compareTo((*this)(b)) < 0; }
};

// A slow, plain reference of the sort's documented steps, on an array,
// recursing left to right.
struct DocumentedSort {
    std::vector<std::string>& v;
    ByRecordKey less;
    bool le(const std::string& a, const std::string& b) const { return !less(b, a); }

    void partialSort(std::size_t from, std::size_t to) {
        const std::size_t n = to - from;
        if (n == 2 && less(v[from + 1], v[from])) std::swap(v[from], v[from + 1]);
        if (n == 3) partialSort3(from);
        if (n < 4) return;
        const std::string pivot = v[from + n / 2];
        std::size_t first = from, last = to;
        for (;; ++first) {  // the unguarded partition
            while (less(v[first], pivot)) ++first;
            while (less(pivot, v[--last])) {}
            if (!(first < last)) break;
            std::swap(v[first], v[last]);
        }
        partialSort(from, first);
        partialSort(first, to);
    }
    // The table of six cases, tested in its order.
    void partialSort3(std::size_t i) {
        const std::string x = v[i], y = v[i + 1], z = v[i + 2];
        std::vector<std::string> out = {y, x, z};
        if (le(x, y) && !le(x, z)) out = {z, x, y};
        else if (le(x, y) && le(x, z) && !le(y, z)) out = {x, z, y};
        else if (le(x, y) && le(y, z)) out = {x, y, z};
        else if (!le(x, y) && !le(y, z)) out = {z, y, x};
        else if (!le(x, y) && le(y, z) && le(z, x)) out = {y, z, x};
        std::copy(out.begin(), out.end(), v.begin() + static_cast<std::ptrdiff_t>(i));
    }
};

std::vector<std::string> recordBytes(const TOpenTable& t) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < t.size(); ++i) out.emplace_back(t.at(i).data()(0), t.fields().byteSize());
    return out;
}

void putRecords(FileSet::TFileSet& fs, const TFields& fields, const std::vector<std::string>& input) {
    TTable t(fs, "t", fields, true);
    TOpenTable open(t, false);
    for (const std::string& bytes : input) open.push_back(ByRecordKey{&fields}(bytes));
}

// Budgets of exactly the records and their entries (8 bytes each for a key
// of up to 32 bits, 12 for a longer one), which sorts in memory reading the
// range once, and of a byte less, which sorts record by record.
const std::size_t kFits = ~std::size_t(0), kByteLess = kFits - 1;

// Keys of every width the sort holds differently (one word up to 32 bits, a
// 64-bit prefix then the bytes beyond), partial bytes shared with the
// payload, the whole record as key and no key; every size up to 40 and some
// past the partitions' block size; few key values, so that equal keys
// abound; inputs whose partitions stop on one side far more often than on
// the other; a middle range.
TEST(Sorting, EndsWhereTheDocumentedStepsPutTheRecords) {
    std::vector<unsigned> small = {127, 128, 129, 1000};
    for (unsigned n = 0; n <= 40; ++n) small.push_back(n);
    const std::vector<KeyAt> spreads = {spread(1), spread(2), spread(4), spread(40)}, skewed = {
        [](unsigned i, unsigned, std::mt19937&) { return i; },
        [](unsigned i, unsigned n, std::mt19937&) { return n - i; },
        [](unsigned i, unsigned n, std::mt19937&) { return i < n / 2 ? 200u : 3u; },
        [](unsigned i, unsigned, std::mt19937&) { return i % 5 * 40; },
        [](unsigned i, unsigned n, std::mt19937&) { return i == n / 3 ? 255u : i % 2; }};
    const std::vector<std::size_t> both = {TOpenTable::kDefaultSortBudget, 0}, edge = {kFits, kByteLess};
    const struct {
        Shape shape;
        std::vector<unsigned> sizes;
        std::vector<KeyAt> keys;
        std::vector<std::size_t> budgets;
        unsigned long from = 0, to = 0;  // a partial sort when to is not 0
    } cases[] = {
        {{{8, 8}, 1}, small, spreads, both},         {{{12, 12}, 1}, small, spreads, both},
        {{{32, 8}, 1}, small, spreads, both},        {{{32, 1, 7}, 2}, small, spreads, both},
        {{{32, 28, 12}, 2}, small, spreads, both},   {{{32, 32, 8}, 2}, small, spreads, both},
        {{{32, 32, 12, 20}, 3}, small, spreads, both}, {{{5, 6}, 2}, small, spreads, both},
        {{{16}, 0}, small, spreads, both},
        {{{8, 8}, 1}, {64, 127, 128, 129, 191, 256, 257, 1000, 5000}, skewed, both},
        {{{8, 8}, 1}, {300}, {spread(7)}, both, 50, 250},
        {{{32, 8}, 1}, {500}, {spread(50)}, edge},   {{{32, 4, 4}, 2}, {500}, {spread(50)}, edge},
    };
    std::mt19937 rng(1405);
    for (const auto& c : cases)
        for (unsigned size : c.sizes)
            for (const KeyAt& keyAt : c.keys) {
                const TFields fields = c.shape.fields();
                const ByRecordKey less{&fields};
                const std::vector<std::string> input = c.shape.records(size, keyAt, rng);
                std::vector<std::string> reference = input;
                const unsigned long to = c.to ? c.to : size;
                DocumentedSort{reference, less}.partialSort(c.from, to);
                const std::size_t record = fields.byteSize(), keyBits = c.shape.widths[0] + (c.shape.keyFields > 1 ? c.shape.widths[1] : 0);
                for (std::size_t budget : c.budgets) {
                    Host::MemoryFileSet memory;
                    putRecords(memory, fields, input);
                    Host::FaultyFileSet counting(memory);
                    TTable t(counting, "t", true);
                    TOpenTable open(t, false);
                    const std::size_t fits = size * (record + (keyBits <= 32 ? 8 : 12));
                    open.sortMemoryBudget(budget == kFits ? fits : budget == kByteLess ? fits - 1 : budget);
                    const std::size_t read = counting.bytesRead(), written = counting.bytesWritten();
                    if (c.to) open.partialSort(c.from, to); else open.sort();
                    const std::size_t sortRead = counting.bytesRead() - read;
                    ASSERT_EQ(recordBytes(open), reference) << fields.bitSize() << " bits, size " << size << ", budget " << budget;
                    if (budget == kFits) { EXPECT_EQ(sortRead, size * record); }
                    if (budget == kByteLess) { EXPECT_GT(sortRead, 4 * size * record); }
                    if (budget && std::adjacent_find(input.begin(), input.end(), [&](auto& a, auto& b) { return !less(a, b); }) == input.end()) {
                        EXPECT_EQ(counting.bytesWritten(), written);  // strictly ascending: nothing moves, nothing is written
                    }
                }
            }
}

// Every probe over [first, last) of a sorted table, twice (the second pass
// meets what the first kept), against a linear scan of the records as they
// are now: the bounds count those below and not above the probe, and find
// gives one equal to it, or `last`.
void expectSearches(const TOpenTable& open, const std::vector<std::string>& probes, const std::string& what,
                    unsigned long first = 0, unsigned long last = ~0UL) {
    const ByRecordKey asRecord{&open.fields()};
    std::vector<TRecord> records;
    for (const std::string& bytes : recordBytes(open)) records.push_back(asRecord(bytes));
    last = std::min<unsigned long>(last, records.size());
    for (int pass = 0; pass < 2; ++pass)
        for (const std::string& p : probes) {
            const TRecord value = asRecord(p);
            unsigned long below = first, notAbove = first;
            for (unsigned long i = first; i < last; ++i) {
                const int c = records[i].compareTo(value);
                below += c < 0, notAbove += c <= 0;
            }
            ASSERT_EQ(open.lower_bound(first, last, value), below) << what;
            ASSERT_EQ(open.upper_bound(first, last, value), notAbove) << what;
            const unsigned long found = open.find(first, last, value);
            ASSERT_TRUE(below == notAbove ? found == last : found >= below && found < notAbove) << what;
        }
}

// Key shapes (a byte, longer than eight bytes ending in a partial byte,
// seven bytes sharing the last), every range of small tables, and tables
// whose wide records leave few to the tail read whole, so that searches
// walk every kept level; on memory, and through a set whose buffers hold
// nothing ready.
TEST(Searching, EveryKeyShapeAndRangeAgreesWithALinearScan) {
    const struct {
        Shape shape;
        std::vector<unsigned> sizes;
        unsigned values;
    } cases[] = {
        {{{8, 8}, 1}, {0, 1, 2, 3, 5, 8, 13, 24}, 5},  // every range
        {{{8, 8}, 1}, {257, 1000, 40000, 70001}, 7},
        {{{8, 8}, 1}, {40000}, 256},
        {{{32, 32, 12, 20}, 3}, {300}, 2},
        {{{32, 19, 5}, 2}, {6000}, 4},
        {{{24, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 8}, 1}, {300000}, 100000},
    };
    std::mt19937 rng(41);
    for (const auto& c : cases) {
        const std::vector<std::string> probes = c.shape.records(std::min(2 * c.values + 2, 40u), spread(c.values + 1), rng);
        for (unsigned size : c.sizes) {
            Host::MemoryFileSet memory;
            putRecords(memory, c.shape.fields(), c.shape.records(size, spread(c.values), rng));
            Host::FaultyFileSet unbuffered(memory);
            for (FileSet::TFileSet* fs : {static_cast<FileSet::TFileSet*>(&memory), static_cast<FileSet::TFileSet*>(&unbuffered)}) {
                TTable t(*fs, "t", true);
                TOpenTable open(t, false);
                open.sort();
                const std::string what = std::to_string(open.fields().bitSize()) + " bits, size " + std::to_string(size);
                for (unsigned first = 0; first <= (size < 25 ? size : 0); ++first)
                    for (unsigned last = size < 25 ? first : size; last <= size; ++last) expectSearches(open, probes, what, first, last);
            }
        }
    }
}

// What the searches keep of the records is forgotten when they change,
// through another open table of the same definition or through the stream.
TEST_F(OpenTable, SearchesSeeChangesMadeElsewhere) {
    TOpenTable open(t, false);
    for (unsigned i = 0; i < 20000; ++i) open.push_back(record(open.fields(), i * 200 / 20000, i % 256));
    std::vector<std::string> probes;
    for (unsigned k = 0; k < 256; k += 5) probes.push_back(std::string(1, char(k)) + '\x4d');
    expectSearches(open, probes, "before");
    {
        TOpenTable other(t, false);
        for (unsigned long i = 0; i < other.size(); ++i) other.update(i, record(open.fields(), other.at(i)[0].get<unsigned int>() + 50));
    }
    expectSearches(open, probes, "after another open table's updates");
    for (unsigned long i = 0; i < open.size(); ++i) t.getFileStream().seekp(4 + 2 * i).put(static_cast<char>(i * 250 / open.size()));
    expectSearches(open, probes, "after writes through the stream");
}

// A scan visits every record of its range once, in order, as `at` reads it,
// across the blocks it reads (a record of 3 bytes does not divide them).
TEST(Scans, VisitTheRangeInOrderAsAtReadsIt) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("key", 20) | TEndOfKey() | TField<unsigned int>("payload", 4)), true);
    TOpenTable open(t, false);
    const unsigned long n = 200000;
    for (unsigned long i = 0; i < n; ++i) open.push_back(recordOf(open.fields(), unsigned(i * 7 % (1u << 20)), unsigned(i % 16)));
    for (auto [from, to] : {std::pair<unsigned long, unsigned long>{0, n}, {12345, 100001}, {5, 5}, {n - 1, n}}) {
        unsigned long next = from, nextBytes = from;
        open.forEach(from, to, [&](unsigned long i, const TRecord& r) { ASSERT_TRUE(i == next++ && r.compareTo(open.at(i)) == 0); });
        open.forEachBytes(from, to, [&](unsigned long i, const unsigned char* bytes) {
            ASSERT_TRUE(i == nextBytes++ && std::memcmp(bytes, open.at(i).bytes(), 3) == 0);
        });
        EXPECT_EQ(next + nextBytes, 2 * to);
    }
    EXPECT_EQ(message([&] { open.forEach(0, n + 1, [](unsigned long, const TRecord&) {}); }), "t index out of bounds: 200001");
}

// ----------------------------------------------------------------- table sets

TEST(TableSets, ListsReadBackAndLookupsNameWhatIsMissing) {
    Host::MemoryFileSet fs;
    TTable a(fs, "a", keyPayload(), true), bc(fs, "bc", keyPayload(), false);
    TTables set(fs);
    set.append("a", true);
    set.append("bc", false);
    EXPECT_EQ(binaryOf(set), u16(2) + sstr("a") + '\x01' + sstr("bc") + '\x00');
    for (const std::string& list : {textOf(set), binaryOf(set), std::string("3\t\n\"a\"\t1\t\n\"bc\"\t0\t\n\"c")}) {
        TTables back(fs);  // a damaged list stops at the damage
        std::istringstream in(list);
        if (list[0] == '\x02') back.serial_read(in); else back.from_stream(in);
        ASSERT_EQ(back.size(), 2u);
        EXPECT_EQ(back.at(0).name() + std::to_string(back.at(0).binDesc()) + back.at(1).name() + std::to_string(back.at(1).binDesc()), "a1bc0");
    }
    EXPECT_EQ(message([&] { set.at(2); }), "Table set index out of bounds: 2");
    EXPECT_EQ(message<std::out_of_range>([&] { set["x"]; }), "Table x doesn't exists");
    set.erase();
    EXPECT_EQ(fs.list(), std::vector<std::string>{});
}

}  // namespace
