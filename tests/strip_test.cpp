// Stripping tables and sets: widths per field and transformer, the
// temporary files, and failures, a cut-off included, that must leave every
// file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/Stripper.h"
#include "Core/Orvex/__table.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

// Remembers every name the library opens for writing.
struct WatchedFileSet : Host::MemoryFileSet {
    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int a, int b) override {
        if (mode & std::ios_base::out) written += name + " ";
        return Host::MemoryFileSet::open(name, mode, a, b);
    }
    std::string written;
};

// id u_int 32 | qty int 32, price fixed(3) 32, name str 20, customer u_long 32;
// the transformer `args` (when not null) on field `at`.
TTable& orders(TTables& set, const std::string& name, bool binary, field_transformer_base::args* args = nullptr, unsigned at = 4) {
    TFields f = fieldsOf(TField<unsigned int>("id", 32) | TEndOfKey() | TField<int>("qty", 32) | TField<fixed_point>("price", 3, 32) |
                         TField<std::string>("name", 20, false) | TField<unsigned long>("customer", 32));
    if (args) f[at].transformer(argsPtr(args));
    TTable& t = set.append(pointer<TTable>(new TTable(set.fileSet(), name, f, binary)));
    TOpenTable open(t, false);
    if (name == "empty") return t;
    open.push_back(recordOf(t.fields(), 200u, -3, fixed_point(3, 1.5), std::string("ab")));
    open.push_back(recordOf(t.fields(), 5u, 7, fixed_point(3, 2.25), std::string("abcd")));
    return t;
}

std::string shapes(const TFields& f) {
    std::string s;
    for (unsigned i = 0; i < f.size(); ++i) s += (i ? ", " : "") + shapeOf(f[i]);
    return s;
}

// A reference is as wide as the referenced table's count needs, and its
// transformer file stays byte for byte; a second strip gives the same.
TEST(Strip, FieldsShrinkToTheirDataThroughTemporaryFilesOfTheirForm) {
    for (bool binary : {false, true}) {
        WatchedFileSet fs;
        TTables set(fs);
        TTable &empty = orders(set, "empty", binary, new ref_fixer_args("orders")), &t = orders(set, "orders", binary, new ref_fixer_args("empty"));
        const std::string transformers = fs.contents(t.transFileName());
        set.strip();
        set.strip();
        EXPECT_EQ(shapes(t.fields()), "id u_int 8, qty int 4, price fixed 9.2, name str 4, customer u_long 0");
        EXPECT_EQ(shapes(empty.fields()), "id u_int 0, qty int 0, price fixed 0.0, name str 0, customer u_long 2");
        EXPECT_EQ(fs.contents(t.transFileName()), transformers);
        EXPECT_EQ(t.fields().endOfKey(), 1u);
        TOpenTable open(t, false);
        EXPECT_EQ(textOf(open.at(0)) + textOf(open.at(1)), "200\t-3\t1.50\t\"ab\"\t0\t5\t7\t2.25\t\"abcd\"\t0\t");
        EXPECT_EQ(fs.written.find(binary ? "temp.dst" : "temp.dsb"), std::string::npos);
        for (const char* temporary : {binary ? "temp.dsb" : "temp.dst", binary ? "temp.trb" : "temp.trt", "temp.bin"})
            EXPECT_NE(fs.written.find(temporary), std::string::npos) << temporary;
        EXPECT_EQ(fs.list().size(), 6u);  // no temporary file left
        EXPECT_EQ(fs.contents("empty.bin"), le32(0));
    }
}

// Each case makes the strip fail before the swap; records whose values
// would all strip to zero-width fields would be lost (records of 0 bytes
// are never counted), so that strip is refused too.
TEST(Strip, FailuresBeforeTheSwapLeaveEveryFileAsItWas) {
    const struct {
        std::function<void(TTables&)> make;
        std::string expected;
        bool temporaryWritten;
    } cases[] = {
        {[](TTables& s) { orders(s, "orders", false, new ref_fixer_args("customers"), 1); }, " cannot create transformer (category: sizeForRef , type int)", false},
        {[](TTables& s) { orders(s, "orders", false, new ref_fixer_args("nobody")); }, "Table nobody doesn't exists", false},
        {[](TTables& s) { orders(s, "orders", false, new range_fixer_args(1L), 1); },
         "Field qty maximum value exceeded: -3", true},
        {[](TTables& s) { orders(s, "orders", false), orders(s, "temp", false); },
         "Can't strip: a table named temp would be overwritten by the temporary files of stripping; rename it first", false},
        {[](TTables& s) {
             TTable& t = s.append(pointer<TTable>(new TTable(s.fileSet(), "t", fieldsOf(TField<int>("a", 5) | TField<unsigned long>("b", 7)), false)));
             TOpenTable open(t, false);
             for (int i = 0; i < 3; ++i) open.push_back(TRecord(t.fields()));
         },
         "Can't strip table t: its 3 records would take 0 bytes each, and a table of such records opens empty", false},
    };
    for (const auto& c : cases) {
        WatchedFileSet fs;
        TTables set(fs);
        c.make(set);
        const Files before = filesOf(fs);
        const unsigned bits = set.at(0).fields().bitSize();
        fs.written.clear();
        EXPECT_EQ(message([&] { set.strip(); }), c.expected);
        EXPECT_EQ(filesOf(fs), before) << c.expected;
        EXPECT_EQ(fs.written.find("temp") != std::string::npos, c.temporaryWritten) << c.expected;
        EXPECT_EQ(set.at(0).fields().bitSize(), bits) << c.expected;
    }
}

// ------------------------------------------------------------------ cut off

// Strips "orders" of `files` through a set offering atomic changes and cut
// off after `cut` calls (none when cut is ~0u); whether it failed, and in
// `left` what reached the files.
bool stripCutOff(const Files& files, unsigned cut, bool renames, Files& left) {
    Host::MemoryFileSet inner;
    putFiles(inner, files);
    bool failed = false;
    {
        Host::FaultyFileSet faulty(inner);
        faulty.offerChanges(true);
        faulty.offerRename(renames);
        TTables set(faulty);
        TTable& t = set.append("orders", false);
        if (cut != ~0u) faulty.cutAfter(cut);
        failed = message<std::runtime_error>([&] { t.strip(set, pointer<Console::TProgress>()); }) != "<no error>";
    }
    left = filesOf(inner);
    return failed;
}

// Moved by renames or copied, a strip cut off at any call leaves the old
// files; the first one the cut misses leaves what an uncut one does.
TEST(Strip, ACutOffStripOnAnAtomicSetLeavesTheOldFiles) {
    Host::MemoryFileSet fs;
    TTables made(fs);
    orders(made, "orders", false, new range_fixer_args(-50L, 50L), 1);
    const Files start = filesOf(fs);
    for (bool renames : {false, true}) {
        Files stripped, left;
        stripCutOff(start, ~0u, renames, stripped);
        ASSERT_NE(stripped.at("orders.dst"), start.at("orders.dst"));
        for (unsigned cut = 0; stripCutOff(start, cut, renames, left); ++cut) {
            EXPECT_EQ(left, start) << "cut after " << cut;
            ASSERT_LT(cut, 300u);
        }
        EXPECT_EQ(left, stripped);
    }
}

}  // namespace
