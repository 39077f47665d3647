// Stripping tables and sets: transformers per field, the temporary files,
// the swap, progress, and failures that must leave the table as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <sstream>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/Stripper.h"
#include "Core/Orvex/__table.h"
#include "host/memory_file_set.h"
#include "support/Tools.h"
#include "support/tabulation.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

// Remembers every name the library opens, and those it opens for writing.
class WatchedFileSet : public Host::MemoryFileSet {
public:
    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int a, int b) override {
        opened.push_back(name);
        if (mode & std::ios_base::out) written.push_back(name);
        return Host::MemoryFileSet::open(name, mode, a, b);
    }
    static bool any(const std::vector<std::string>& names, const std::string& prefix) {
        for (const std::string& n : names)
            if (n.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    bool openedAny(const std::string& prefix) const { return any(opened, prefix); }
    bool writtenAny(const std::string& prefix) const { return any(written, prefix); }
    Files snapshot() const { return filesOf(*this); }
    std::vector<std::string> opened;
    std::vector<std::string> written;
};

// id u_int 32 | qty int 32, price fixed(3) 32, name str 20.
TFields wideOrders() {
    TFields f;
    f += TField<unsigned int>("id", 32) | TEndOfKey() | TField<int>("qty", 32) |
         TField<fixed_point>("price", 3, 32) | TField<std::string>("name", 20, false);
    return f;
}

void addOrder(TOpenTable& t, unsigned id, int qty, double price, const char* name) {
    TRecord r(t.fields());
    r[0] = id;
    r[1] = qty;
    r[2] = fixed_point(3, price);
    r[3] = name;
    t.push_back(r);
}

TEST(Strip, FieldsShrinkToTheirDataAndKeepTheirValues) {
    Host::MemoryFileSet fs;
    TTables set(fs);
    TTable& t = set.append(pointer<TTable>(new TTable(fs, "orders", wideOrders(), false)));
    {
        TOpenTable open(t, false);
        addOrder(open, 200, -3, 1.5, "ab");
        addOrder(open, 5, 7, 2.25, "abcd");
        addOrder(open, 17, 2, 0, "");
    }
    set.strip();
    const TFields& f = t.fields();
    EXPECT_EQ(widthOf(f[0]), Tools::log2(200UL));
    EXPECT_EQ(widthOf(f[1]), Tools::log2(7L, -3L));
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(f[2]).Precision(), 2u);
    EXPECT_EQ(widthOf(f[2]), Tools::log2(225L, 0L));
    EXPECT_EQ(widthOf(f[3]), 4u);
    EXPECT_EQ(f.endOfKey(), 1u);
    EXPECT_EQ(f.bitSize(), 8u + 4 + 9 + 32);
    TOpenTable open(t, false);
    ASSERT_EQ(open.size(), 3u);
    TRecord second = open.at(1);
    EXPECT_EQ(second[0].get<unsigned int>(), 5u);
    EXPECT_EQ(second[1].get<int>(), 7);
    EXPECT_EQ(second[2].get<fixed_point>().raw, 225);
    EXPECT_EQ(second[3].get<std::string>(), "abcd");
    EXPECT_EQ(open.at(0)[1].get<int>(), -3);
    EXPECT_FALSE(fs.exists("temp.dst") || fs.exists("temp.bin") || fs.exists("temp.trt"));
}

// A table already in its stripped layout is left alone: no temporary file
// is written for it, and its files are byte for byte what a rewrite gives, which a
// twin with an erased tail (whose file must shrink, so is rewritten) shows.
TEST(Strip, ATableAlreadyStrippedIsNotRewrittenAndEndsAsARewriteWouldLeaveIt) {
    for (bool binary : {false, true}) {
        WatchedFileSet fs;
        TTables set(fs);
        TTable& kept = set.append(pointer<TTable>(new TTable(fs, "kept", wideOrders(), binary)));
        TTable& twin = set.append(pointer<TTable>(new TTable(fs, "twin", wideOrders(), binary)));
        for (TTable* t : {&kept, &twin}) {
            TOpenTable open(*t, false);
            addOrder(open, 200, -3, 1.5, "ab");
            addOrder(open, 5, 7, 2.25, "abcd");
        }
        set.strip();
        {
            TOpenTable open(twin, false);
            TRecord extra = open.at(0);
            open.push_back(extra);
            open.erase(2, 3);  // the file keeps the erased record's bytes
        }
        const Files before = fs.snapshot();
        const std::string ext = binary ? ".dsb" : ".dst";
        ASSERT_GT(before.at("twin.bin").size(), before.at("kept.bin").size());
        fs.written.clear();
        set.strip();
        const Files after = fs.snapshot();
        EXPECT_EQ(after.at("kept.bin"), before.at("kept.bin"));
        EXPECT_EQ(after.at("kept" + ext), before.at("kept" + ext));
        // One temporary contents file: the twin's rewrite, none for kept.
        EXPECT_EQ(std::count(fs.written.begin(), fs.written.end(), "temp.bin"), 1) << binary;
        EXPECT_EQ(after.at("twin.bin"), after.at("kept.bin")) << binary;
        EXPECT_EQ(after.at("twin" + ext), after.at("kept" + ext)) << binary;
        EXPECT_EQ(after.count("temp.bin") + after.count("temp.jnl"), 0u);
        // The definition was read anew, as after a swap.
        TOpenTable open(kept, false);
        EXPECT_EQ(open.at(1)[3].get<std::string>(), "abcd");
    }
}


TEST(Strip, EmptyTableGetsTheWidthsOfNothingAndAnEmptyContentsFile) {
    Host::MemoryFileSet fs;
    TTables set(fs);
    TTable& t = set.append(pointer<TTable>(new TTable(fs, "t", wideOrders(), true)));
    { TOpenTable open(t, false); }
    fs.remove("t.trb");
    class Counting : public Console::TProgress {
    public:
        void onStart() override { ++starts; }
        void onFinish() override { ++finishes; }
        void onUpdate(int) override { ++updates; }
        int starts = 0, finishes = 0, updates = 0;
    };
    pointer<Counting> progress(new Counting);
    t.strip(set, progress);
    EXPECT_EQ(progress->starts, 0);
    EXPECT_EQ(progress->updates, 0);
    EXPECT_EQ(progress->finishes, 1);
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(widthOf(t.fields()[i]), 0u) << i;
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(t.fields()[2]).Precision(), 0u);
    EXPECT_EQ(fs.contents("t.bin"), std::string(4, '\0'));
    EXPECT_FALSE(fs.exists("t.trb"));  // an absent transformer file stays absent
    TTable back(fs, "t", true);        // the new structure reads back in binary form
    EXPECT_EQ(back.fields().size(), 4u);
}

TEST(Strip, BinaryTablesGoThroughTemporaryFilesOfTheirForm) {
    WatchedFileSet fs;
    TTables set(fs);
    TTable& t = set.append(pointer<TTable>(new TTable(fs, "t", wideOrders(), true)));
    { TOpenTable open(t, false); addOrder(open, 1, 1, 1, "x"); }
    set.strip();
    EXPECT_TRUE(fs.writtenAny("temp.dsb"));
    EXPECT_TRUE(fs.writtenAny("temp.trb"));
    EXPECT_TRUE(fs.writtenAny("temp.bin"));
    EXPECT_FALSE(fs.writtenAny("temp.dst"));
    EXPECT_EQ(fs.list(), (std::vector<std::string>{"t.bin", "t.dsb", "t.trb"}));
}

TEST(Strip, TransformerFileIsKeptByteForByteWithItsArguments) {
    for (bool binary : {false, true}) {
        Host::MemoryFileSet fs;
        TTables set(fs);
        TFields cf;
        cf += TField<unsigned int>("c", 8);
        TTable& customers = set.append(pointer<TTable>(new TTable(fs, "customers", cf, binary)));
        {
            TOpenTable open(customers, false);
            TRecord r(open.fields());
            for (unsigned i = 0; i < 1000; ++i) {
                r[0] = i % 256;
                open.push_back(r);
            }
        }
        TFields of;
        of += TField<unsigned long>("customer", 32) | TEndOfKey() | TField<int>("qty", 32);
        of[0].transformer(argsPtr(new ref_fixer_args("customers")));
        of[1].transformer(argsPtr(new range_fixer_args(-5L, 5L)));
        TTable& orders = set.append(pointer<TTable>(new TTable(fs, "orders", of, binary)));
        {
            TOpenTable open(orders, false);
            TRecord r(open.fields());
            r[0] = 999UL;
            r[1] = -5;
            open.push_back(r);
        }
        const std::string transformers = fs.contents(orders.transFileName());
        set.strip();
        EXPECT_EQ(fs.contents(orders.transFileName()), transformers);
        EXPECT_EQ(widthOf(orders.fields()[0]), 10u);
        EXPECT_EQ(widthOf(orders.fields()[1]), Tools::log2(5L, -5L));
        ASSERT_TRUE(orders.fields()[0].transformer());
        EXPECT_EQ(orders.fields()[0].transformer()->category(), "sizeForRef");
        EXPECT_EQ(orders.fields()[1].transformer()->category(), "sizeForRange");
        set.strip();  // the same arguments give the same widths again
        EXPECT_EQ(widthOf(orders.fields()[0]), 10u);
        TOpenTable open(orders, false);
        EXPECT_EQ(open.at(0)[0].get<unsigned long>(), 999UL);
        EXPECT_EQ(open.at(0)[1].get<int>(), -5);
    }
}

TEST(Strip, ReferenceIntoAnEmptyTableIsZeroBitsWide) {
    Host::MemoryFileSet fs;
    TTables set(fs);
    TFields cf;
    cf += TField<unsigned int>("c", 8);
    set.append(pointer<TTable>(new TTable(fs, "customers", cf, false)));
    TFields of;
    of += TField<unsigned long>("customer", 32);
    of[0].transformer(argsPtr(new ref_fixer_args("customers")));
    TTable& orders = set.append(pointer<TTable>(new TTable(fs, "orders", of, false)));
    set.strip();
    EXPECT_EQ(widthOf(orders.fields()[0]), 0u);
}

// Found by fuzzing: all-zero values strip every field to width 0, so the
// records take no bytes; the contents header alone keeps how many there are.
// Records of 0 bytes are never counted, so records whose values would all
// strip to zero-width fields would be lost: the strip is refused instead,
// before anything is written. Without records the strip goes through.
TEST(Strip, AllZeroValuesInRecordsAreRefusedRatherThanLost) {
    Host::MemoryFileSet fs;
    TTables set(fs);
    TFields f;
    f += TField<int>("a", 5) | TEndOfKey() | TField<unsigned long>("b", 7);
    TTable& t = set.append(pointer<TTable>(new TTable(fs, "t", f, false)));
    {
        TOpenTable open(t, false);
        for (int i = 0; i < 3; ++i) open.push_back(TRecord(t.fields()));
    }
    const Files before = filesOf(fs);
    EXPECT_EQ(message<std::runtime_error>([&] { set.strip(); }),
              "Can't strip table t: its 3 records would take 0 bytes each, and a table of such records opens empty");
    EXPECT_EQ(filesOf(fs), before);
    EXPECT_EQ(t.fields().byteSize(), 2u);

    TTable& empty = set.append(pointer<TTable>(new TTable(fs, "e", f, false)));
    empty.strip(set, pointer<Console::TProgress>());
    EXPECT_EQ(empty.fields().byteSize(), 0u);
    EXPECT_EQ(fs.contents("e.bin"), le32(0));
}

// Each case makes the strip fail somewhere before the swap.
TEST(Strip, FailuresBeforeTheSwapLeaveEveryFileAsItWas) {
    struct Case {
        const char* what;
        std::function<void(TFields&)> attach;
        std::string expected;
        bool temporaryTouched;
    };
    const Case cases[] = {
        {"reference on an int field", [](TFields& f) { f[1].transformer(argsPtr(new ref_fixer_args("customers"))); },
         " cannot create transformer (category: sizeForRef , type int)", false},
        {"reference to an unknown table", [](TFields& f) { f[4].transformer(argsPtr(new ref_fixer_args("nobody"))); },
         "Table nobody doesn't exists", false},
        {"declared range narrower than the data", [](TFields& f) { f[1].transformer(argsPtr(new range_fixer_args(1L))); },
         "Field qty maximum value exceeded: -3", true},
    };
    for (const Case& c : cases) {
        WatchedFileSet fs;
        TTables set(fs);
        TFields f = wideOrders();
        f += TField<unsigned long>("customer", 32);
        f[0].transformer(argsPtr(new range_fixer_args(1000UL)));
        c.attach(f);
        TTable& t = set.append(pointer<TTable>(new TTable(fs, "orders", f, false)));
        { TOpenTable open(t, false); addOrder(open, 200, -3, 1.5, "ab"); }
        const auto before = fs.snapshot();
        const unsigned bits = t.fields().bitSize();
        EXPECT_EQ(message([&] { set.strip(); }), c.expected) << c.what;
        EXPECT_EQ(fs.snapshot(), before) << c.what;
        EXPECT_EQ(fs.writtenAny("temp"), c.temporaryTouched) << c.what;
        EXPECT_EQ(t.fields().bitSize(), bits) << c.what;
    }
}

TEST(Strip, ATableNamedTempIsRefusedBeforeAnythingIsWritten) {
    WatchedFileSet fs;
    TTables set(fs);
    set.append(pointer<TTable>(new TTable(fs, "a", wideOrders(), false)));
    set.append(pointer<TTable>(new TTable(fs, "temp", wideOrders(), false)));
    const auto before = fs.snapshot();
    fs.opened.clear();
    EXPECT_THROW(set.strip(), std::runtime_error);
    EXPECT_EQ(fs.snapshot(), before);
    EXPECT_TRUE(fs.opened.empty());
}


TEST(ReferenceArguments, TextFormIsOneTokenThatReadsBack) {
    ref_fixer_args a("customers of 2026");
    std::ostringstream text;
    a.to_stream(text);
    EXPECT_EQ(text.str(), "\"customers of 2026\"\t");
    std::istringstream in(text.str());
    pointer<field_transformer_base::args> back = field_transformer_manager::instance().createArgs("sizeForRef", in, false);
    EXPECT_EQ(dynamic_cast<ref_fixer_args&>(*back).table(), "customers of 2026");
    std::stringstream binary;
    a.serial_write(binary);
    pointer<field_transformer_base::args> fromBinary =
        field_transformer_manager::instance().createArgs("sizeForRef", binary, true);
    EXPECT_EQ(dynamic_cast<ref_fixer_args&>(*fromBinary).table(), "customers of 2026");
}

}  // namespace
