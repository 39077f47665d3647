// Limits: a contents file never passes 2^31 - 1 bytes. Growth that would
// pass it raises and leaves the table as it was; a file whose count already
// passes it is refused. Tables near the limit live in a sparse file set,
// with records of the largest size a structure allows.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "Core/Orvex/__table.h"
#include "host/memory_file_set.h"
#include "tests/sparse_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

const std::uint64_t kLimit = 0x7FFFFFFF, kWide = 131070;  // bytes of a record of two strings of 65535
const unsigned long kFull = (kLimit - 4) / kWide;          // records of a full table: 16384

std::uint64_t bytesFor(std::uint64_t records) { return 4 + records * kWide; }

std::string grew(const std::string& table) { return "Table " + table + " can't grow past 2147483647 bytes in " + table + ".bin"; }

// A table "w" of wide records in a sparse set, `records` long; record i
// starts with "r<i>" for the first, second and last records.
class NearTheLimit : public ::testing::Test {
protected:
    void make(unsigned long records) {
        fs.put("w.bin", bytesFor(records), le32(static_cast<std::uint32_t>(records)));
        for (unsigned long i : {0ul, 1ul, records - 1}) fs.poke("w.bin", bytesFor(i), "r" + std::to_string(i));
    }
    std::string firstChars(TOpenTable& open, unsigned long i) { return open.at(i)[0].get<std::string>().substr(0, 8); }

    SparseFileSet fs;
    TTable w{fs, "w", fieldsOf(TField<std::string>("a", 65535, false) | TEndOfKey() | TField<std::string>("b", 65535, false)), true};
};

TEST_F(NearTheLimit, TheLastRecordThatFitsIsTakenAndGrowthPastItChangesNothing) {
    make(kFull - 2);
    TOpenTable open(w, false);
    const TRecord r = recordOf(open.fields(), std::string("new"));
    open.insert(kFull - 3, 1, r);  // moves only the last record
    open.push_back(r);
    EXPECT_EQ(firstChars(open, 1) + firstChars(open, kFull - 3) + firstChars(open, kFull - 2) + firstChars(open, kFull - 1),
              "r1" "new" "r16381" "new");
    const SparseFileSet::File before = fs.snapshot("w.bin");
    EXPECT_EQ(message([&] { open.push_back(r); }), grew("w"));
    EXPECT_EQ(message([&] { open.insert(0, 1, r); }), grew("w"));
    EXPECT_EQ(message([&] { open.insert(kFull, 1, r); }), grew("w"));
    std::istringstream block(le32(static_cast<std::uint32_t>(kFull + 1)) + "r0");
    EXPECT_EQ(message([&] { open.serial_read(block); }), grew("w"));
    EXPECT_EQ(message([&] { open.insert(1, 0, r); }), "<no error>");
    EXPECT_EQ(open.size(), kFull);
    EXPECT_TRUE(fs.snapshot("w.bin") == before);
    EXPECT_EQ(before.size, bytesFor(kFull));
    // The text form clears the table and appends record by record: the
    // record that would pass the limit raises, those read before it stay.
    std::string text;
    for (unsigned long i = 0; i <= kFull; ++i) text += "\"\"\t\"\"\n";
    std::istringstream in(text);
    EXPECT_EQ(message([&] { in >> open; }), grew("w"));
    EXPECT_EQ(open.size() + fs.fileCount(), kFull + 3);
    EXPECT_EQ(firstChars(open, 1), "");
}

TEST_F(NearTheLimit, AFileWhoseCountPassesTheLimitIsRefusedOnOpening) {
    make(kFull + 1);
    EXPECT_EQ(message([&] { TOpenTable open(w, false); }), "Table w passes 2147483647 bytes in w.bin");
}

// Counts beyond what 32 or 64 bits of bytes hold must not wrap around into
// a size that seems to fit; bytes past a block's records are checked whole
// and dropped.
TEST(Limits, HugeCountsAreRefusedWithoutOverflowAndBlockTailsAreDropped) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("k", 16)), true);
    TOpenTable open(t, false);
    open.push_back(recordOf(open.fields(), 7u));
    const std::string before = fs.contents("t.bin");
    for (unsigned long n : {0x80000000ul, 0xFFFFFFFFul, 0x100000000ul, 1ul << 62, ~0ul})
        EXPECT_EQ(message([&] { open.insert(0, n, recordOf(open.fields(), 9u)); }), grew("t")) << n;
    for (std::uint32_t count : {0x40000000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        std::istringstream block(le32(count) + "ab");
        EXPECT_EQ(message([&] { open.serial_read(block); }), grew("t")) << count;
    }
    EXPECT_EQ(fs.contents("t.bin"), before);
    std::istringstream whole(le32(1) + "ab" + "cdef"), partial(le32(1) + "ab" + "cde");
    open.serial_read(whole);
    EXPECT_EQ(fs.contents("t.bin"), le32(1) + "ab");
    EXPECT_EQ(message([&] { open.serial_read(partial); }), "t.bin file content mismatched with description from t.dsb");
}

}  // namespace
