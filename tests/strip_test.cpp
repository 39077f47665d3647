// Stripping tables and sets: widths per field and transformer, the
// temporary files, failures that must leave every file as it was, and the
// recovery that the next use of the set makes of a strip cut off.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/Stripper.h"
#include "Core/Orvex/__table.h"
#include "Core/Orvex/strip_journal.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

// Remembers every name the library opens for writing.
class WatchedFileSet : public Host::MemoryFileSet {
public:
    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int a, int b) override {
        if (mode & std::ios_base::out) written.push_back(name);
        return Host::MemoryFileSet::open(name, mode, a, b);
    }
    bool wrote(const std::string& prefix) const {
        return std::any_of(written.begin(), written.end(), [&](const std::string& n) { return n.rfind(prefix, 0) == 0; });
    }
    std::vector<std::string> written;
};

// id u_int 32 | qty int 32, price fixed(3) 32, name str 20.
TFields wideOrders() {
    return fieldsOf(TField<unsigned int>("id", 32) | TEndOfKey() | TField<int>("qty", 32) | TField<fixed_point>("price", 3, 32) |
                    TField<std::string>("name", 20, false));
}

TTable& orders(TTables& set, const std::string& name, bool binary, const TFields& f = wideOrders()) {
    TTable& t = set.append(pointer<TTable>(new TTable(set.fileSet(), name, f, binary)));
    TOpenTable open(t, false);
    open.push_back(recordOf(t.fields(), 200u, -3, fixed_point(3, 1.5), std::string("ab")));
    open.push_back(recordOf(t.fields(), 5u, 7, fixed_point(3, 2.25), std::string("abcd")));
    return t;
}

std::string shapes(const TFields& f) {
    std::string s;
    for (unsigned i = 0; i < f.size(); ++i) s += (i ? ", " : "") + shapeOf(f[i]);
    return s;
}

TEST(Strip, FieldsShrinkToTheirDataThroughTemporaryFilesOfTheirForm) {
    for (bool binary : {false, true}) {
        WatchedFileSet fs;
        TTables set(fs);
        TTable& t = orders(set, "orders", binary);
        set.strip();
        EXPECT_EQ(shapes(t.fields()), "id u_int 8, qty int 4, price fixed 9.2, name str 4");
        EXPECT_EQ(t.fields().endOfKey(), 1u);
        TOpenTable open(t, false);
        const TRecord second = open.at(1);
        EXPECT_EQ(textOf(second), "5\t7\t2.25\t\"abcd\"\t");
        EXPECT_EQ(open.at(0)[1].get<int>(), -3);
        EXPECT_TRUE(fs.wrote(binary ? "temp.dsb" : "temp.dst") && fs.wrote(binary ? "temp.trb" : "temp.trt") && fs.wrote("temp.bin"));
        EXPECT_FALSE(fs.wrote(binary ? "temp.dst" : "temp.dsb"));
        EXPECT_EQ(fs.list(), (std::vector<std::string>{"orders.bin", binary ? "orders.dsb" : "orders.dst", binary ? "orders.trb" : "orders.trt"}));
    }
}

// A table already in its stripped layout is left alone, byte for byte what
// a rewrite gives, which a twin with an erased tail (whose file must shrink,
// so is rewritten) shows.
TEST(Strip, ATableAlreadyStrippedIsNotRewritten) {
    for (bool binary : {false, true}) {
        WatchedFileSet fs;
        TTables set(fs);
        TTable &kept = orders(set, "kept", binary), &twin = orders(set, "twin", binary);
        set.strip();
        {
            TOpenTable open(twin, false);
            open.push_back(open.at(0));
            open.erase(2, 3);  // the file keeps the erased record's bytes
        }
        const Files before = filesOf(fs);
        fs.written.clear();
        set.strip();
        const Files after = filesOf(fs);
        const std::string desc = binary ? ".dsb" : ".dst";
        EXPECT_EQ(std::count(fs.written.begin(), fs.written.end(), "temp.bin"), 1) << binary;  // the twin's only
        EXPECT_EQ(after.at("kept.bin") + after.at("kept" + desc), before.at("kept.bin") + before.at("kept" + desc));
        EXPECT_EQ(after.at("twin.bin") + after.at("twin" + desc), after.at("kept.bin") + after.at("kept" + desc));
        EXPECT_EQ(textOf(TOpenTable(kept, false).at(1)), "5\t7\t2.25\t\"abcd\"\t");
    }
}

TEST(Strip, EmptyTablesGetTheWidthsOfNothing) {
    Host::MemoryFileSet fs;
    TTables set(fs);
    TTable& customers = set.append(pointer<TTable>(new TTable(fs, "customers", fieldsOf(TField<unsigned int>("c", 8)), true)));
    TFields f = wideOrders();
    f += TField<unsigned long>("customer", 32);
    f[4].transformer(argsPtr(new ref_fixer_args("customers")));
    TTable& t = set.append(pointer<TTable>(new TTable(fs, "t", f, true)));
    { TOpenTable open(t, false), other(customers, false); }
    pointer<RecordingProgress> progress(new RecordingProgress);
    t.strip(set, progress);
    EXPECT_EQ(progress->calls, std::vector<std::string>{"finish"});
    EXPECT_EQ(shapes(t.fields()), "id u_int 0, qty int 0, price fixed 0.0, name str 0, customer u_long 0");
    EXPECT_EQ(fs.contents("t.bin"), le32(0));
    fs.remove("t.trb");
    set.strip();
    EXPECT_FALSE(fs.exists("t.trb"));  // an absent transformer file stays absent
    EXPECT_EQ(TTable(fs, "t", true).fields().size(), 5u);
}

TEST(Strip, TransformerFileIsKeptByteForByteWithItsArguments) {
    for (bool binary : {false, true}) {
        Host::MemoryFileSet fs;
        TTables set(fs);
        TTable& customers = set.append(pointer<TTable>(new TTable(fs, "customers", fieldsOf(TField<unsigned int>("c", 8)), binary)));
        {
            TOpenTable open(customers, false);
            for (unsigned i = 0; i < 1000; ++i) open.push_back(recordOf(open.fields(), i % 256));
        }
        TFields of = fieldsOf(TField<unsigned long>("customer", 32) | TEndOfKey() | TField<int>("qty", 32));
        of[0].transformer(argsPtr(new ref_fixer_args("customers")));
        of[1].transformer(argsPtr(new range_fixer_args(-5L, 5L)));
        TTable& t = set.append(pointer<TTable>(new TTable(fs, "orders", of, binary)));
        { TOpenTable open(t, false); open.push_back(recordOf(open.fields(), 999UL, -5)); }
        const std::string transformers = fs.contents(t.transFileName());
        for (int pass = 0; pass < 2; ++pass) {  // the same arguments give the same widths again
            set.strip();
            EXPECT_EQ(fs.contents(t.transFileName()), transformers);
            EXPECT_EQ(shapes(t.fields()), "customer u_long 10, qty int 4");
            EXPECT_EQ(t.fields()[0].transformer()->category() + t.fields()[1].transformer()->category(), "sizeForRefsizeForRange");
        }
        EXPECT_EQ(textOf(TOpenTable(t, false).at(0)), "999\t-5\t");
    }
}

// Records of 0 bytes are never counted, so records whose values would all
// strip to zero-width fields would be lost: that strip is refused.
TEST(Strip, AllZeroValuesInRecordsAreRefusedRatherThanLost) {
    Host::MemoryFileSet fs;
    TTables set(fs);
    TTable& t = set.append(pointer<TTable>(new TTable(fs, "t", fieldsOf(TField<int>("a", 5) | TEndOfKey() | TField<unsigned long>("b", 7)), false)));
    {
        TOpenTable open(t, false);
        for (int i = 0; i < 3; ++i) open.push_back(TRecord(t.fields()));
    }
    const Files before = filesOf(fs);
    EXPECT_EQ(message<std::runtime_error>([&] { set.strip(); }),
              "Can't strip table t: its 3 records would take 0 bytes each, and a table of such records opens empty");
    EXPECT_EQ(filesOf(fs), before);
    EXPECT_EQ(t.fields().byteSize(), 2u);
}

// Each case makes the strip fail before the swap.
TEST(Strip, FailuresBeforeTheSwapLeaveEveryFileAsItWas) {
    const struct {
        std::function<void(TFields&)> attach;
        const char* otherTable;
        std::string expected;
        bool temporaryWritten;
    } cases[] = {
        {[](TFields& f) { f[1].transformer(argsPtr(new ref_fixer_args("customers"))); }, "a",
         " cannot create transformer (category: sizeForRef , type int)", false},
        {[](TFields& f) { f[4].transformer(argsPtr(new ref_fixer_args("nobody"))); }, "a", "Table nobody doesn't exists", false},
        {[](TFields& f) { f[1].transformer(argsPtr(new range_fixer_args(1L))); }, "a", "Field qty maximum value exceeded: -3", true},
        {[](TFields&) {}, "temp", "Can't strip: a table named temp would be overwritten by the temporary files of stripping; rename it first", false},
    };
    for (const auto& c : cases) {
        WatchedFileSet fs;
        TTables set(fs);
        TFields f = wideOrders();
        f += TField<unsigned long>("customer", 32);
        c.attach(f);
        TTable& t = orders(set, "orders", false, f);
        orders(set, c.otherTable, false);
        const Files before = filesOf(fs);
        const unsigned bits = t.fields().bitSize();
        fs.written.clear();
        EXPECT_EQ(message([&] { set.strip(); }), c.expected);
        EXPECT_EQ(filesOf(fs), before) << c.expected;
        EXPECT_EQ(fs.wrote("temp"), c.temporaryWritten) << c.expected;
        EXPECT_EQ(t.fields().bitSize(), bits) << c.expected;
    }
}

// ------------------------------------------------------------------ recovery

// "orders" (with a declared range, so a transformer file) gets stripped;
// "notes" must never change.
Files startingSet(bool binary) {
    Host::MemoryFileSet fs;
    {
        TTables set(fs);
        TFields f = fieldsOf(TField<unsigned int>("id", 32) | TEndOfKey() | TField<int>("qty", 32) | TField<std::string>("name", 12, false));
        f[1].transformer(argsPtr(new range_fixer_args(-50L, 50L)));
        TTable &t = set.append(pointer<TTable>(new TTable(fs, "orders", f, binary))),
               &n = set.append(pointer<TTable>(new TTable(fs, "notes", fieldsOf(TField<unsigned long>("n", 32)), binary)));
        TOpenTable open(t, false), other(n, false);
        for (unsigned i = 0; i < 40; ++i) open.push_back(recordOf(t.fields(), i * 7, static_cast<int>(i) - 20, "n" + std::to_string(i)));
        other.push_back(recordOf(n.fields(), 99UL));
    }
    return filesOf(fs);
}

// Strips "orders" of `files` through a set cut off after `cut` calls (none
// when cut is ~0u); gives what reached the files, and the calls it made.
Files stripCutOff(const Files& files, bool binary, unsigned cut, unsigned* calls = nullptr) {
    Host::MemoryFileSet inner;
    putFiles(inner, files);
    {
        Host::FaultyFileSet faulty(inner);
        TTables set(faulty);
        TTable& t = set.append("orders", binary);
        const unsigned before = faulty.calls();
        if (cut != ~0u) faulty.cutAfter(cut);
        try {
            t.strip(set, pointer<Console::TProgress>());
        } catch (const std::runtime_error&) {
            EXPECT_TRUE(faulty.isCut()) << "cut after " << cut;
        }
        if (calls) *calls = faulty.calls() - before;
    }
    return filesOf(inner);
}

// A strip cut off at any call: the next use of the set finds the old table
// or the new one, whole, byte for byte, and no temporary file or journal.
TEST(Recovery, AStripCutOffAnywhereIsUndoneOrFinishedByTheNextUse) {
    for (bool binary : {false, true}) {
        unsigned total = 0, sawOld = 0, sawNew = 0;
        const Files start = startingSet(binary), stripped = stripCutOff(start, binary, ~0u, &total);
        ASSERT_NE(start, stripped);
        for (unsigned cut = 0; cut <= total; ++cut) {
            Host::MemoryFileSet fs;
            putFiles(fs, stripCutOff(start, binary, cut));
            TTables set(fs);  // the next use
            const Files after = filesOf(fs);
            sawOld += after == start;
            sawNew += after == stripped;
            EXPECT_TRUE(after == start || after == stripped) << "cut after " << cut;
            TOpenTable open(set.append("orders", binary), false);
            ASSERT_EQ(open.size(), 40u) << "cut after " << cut;
            EXPECT_EQ(textOf(open.at(39)), "273\t19\t\"n39\"\t") << "cut after " << cut;
        }
        EXPECT_GT(sawOld, 5u);  // cuts before the swap give the old table back, cuts inside it the new
        EXPECT_GT(sawNew, 3u);
    }
}

// The states a strip can be cut off in, and what recovering from each gives.
TEST(Recovery, EachStateAStripLeavesIsRecoveredAsItsJournalSays) {
    const Files start = startingSet(false), stripped = stripCutOff(start, false, ~0u);
    unsigned total = 0;
    stripCutOff(start, false, ~0u, &total);
    Files half;  // the journal says "swapping" and one of the table's files is already the new one
    for (unsigned cut = total; half.empty() && cut-- > 0;) {
        Files left = stripCutOff(start, false, cut);
        if (left.count("temp.jnl") && left.count("temp.bin") && !left.count("temp.dst") &&
            left["orders.dst"] == stripped.at("orders.dst") && left["orders.bin"] == start.at("orders.bin"))
            half = left;
    }
    ASSERT_FALSE(half.empty());
    Files halfChanged = half, journalOnly = start, tempBinOnly = start;
    halfChanged["temp.bin"].back() ^= 1;
    journalOnly["temp.dst"] = stripped.at("orders.dst");
    journalOnly["temp.bin"] = "partial";
    tempBinOnly["temp.bin"] = "somebody's";
    const std::string notTheJournals =
        "Can't finish the interrupted strip of table orders: temp.bin isn't the file the journal describes; its files and temp.jnl are left as they are";
    const struct {
        const char* what;
        Files state;
        const char* journal;  // put in temp.jnl when not null
        std::string result;
        Files expected;
    } cases[] = {
        {"nothing to recover", start, nullptr, "none", start},
        {"journal empty", journalOnly, "", "recovered", start},
        {"journal cut in its line", journalOnly, "\"orders\"\t0\tswapping\t12", "recovered", start},
        {"journal prepared, no end", journalOnly, "\"orders\"\t0\tprepared\tend\n", "recovered", start},
        {"swap half done", half, nullptr, "recovered", stripped},
        {"swap half done, temp.bin changed", halfChanged, nullptr, notTheJournals, halfChanged},
        {"temp.bin without a journal", tempBinOnly, nullptr, "none", tempBinOnly},
    };
    for (const auto& c : cases) {
        Host::MemoryFileSet fs;
        putFiles(fs, c.state);
        if (c.journal) fs.put("temp.jnl", c.journal);
        bool recovered = false;
        const std::string raised = message<std::runtime_error>([&] { recovered = recoverInterruptedStrip(fs); });
        EXPECT_EQ(raised != "<no error>" ? raised : recovered ? "recovered" : "none", c.result) << c.what;
        Files expected = c.expected;
        if (c.result != "recovered" && c.journal) expected["temp.jnl"] = c.journal;
        EXPECT_EQ(filesOf(fs), expected) << c.what;
    }
    // Nor does a strip overwrite that temp.bin.
    Host::MemoryFileSet fs;
    putFiles(fs, tempBinOnly);
    TTables set(fs);
    EXPECT_EQ(message<std::runtime_error>([&] { set.append("orders", false).strip(set, pointer<Console::TProgress>()); }),
              "Can't strip: temp.bin would be overwritten by the temporary files of stripping; rename or remove it first");
    EXPECT_EQ(filesOf(fs), tempBinOnly);

    // A recovery cut off at any call is finished by the next one.
    for (unsigned cut = 0, recovered = 0; !recovered; ++cut) {
        Host::MemoryFileSet inner;
        putFiles(inner, half);
        {
            Host::FaultyFileSet faulty(inner);
            faulty.cutAfter(cut);
            message<std::runtime_error>([&] { recovered = recoverInterruptedStrip(faulty); });
        }
        EXPECT_TRUE(recoverInterruptedStrip(inner) || recovered) << "cut after " << cut;
        EXPECT_EQ(filesOf(inner), stripped) << "cut after " << cut;
        ASSERT_LT(cut, 200u);
    }
}

}  // namespace
