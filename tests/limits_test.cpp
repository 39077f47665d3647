// Limits: a contents file never passes 2^31 - 1 bytes. Appending, inserting
// and loading that would pass it raise a clear error and leave the table as
// it was; opening a file whose count already passes it is refused. Tables
// near the limit live in a sparse file set, with records of the largest size
// a structure allows, so that they cost kilobytes.
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

const std::uint64_t kLimit = 0x7FFFFFFF;

// Two strings of 65535 characters: 1048560 bits, just under the 1 Mi bits a
// record may take.
TFields wideFields() {
    return fieldsOf(TField<std::string>("a", 65535, false) | TEndOfKey() | TField<std::string>("b", 65535, false));
}
const std::uint64_t kWide = 131070;                   // bytes of a wide record
const unsigned long kFull = (kLimit - 4) / kWide;     // records of a full table: 16384

std::uint64_t bytesFor(std::uint64_t records) { return 4 + records * kWide; }

std::string grew(const std::string& table) {
    return "Table " + table + " can't grow past 2147483647 bytes in " + table + ".bin";
}

// A table "w" of wide records in a sparse set, its contents file `records`
// long; record i starts with the text "r<i>" for the first, second and last
// records, zeros elsewhere.
class NearTheLimit : public ::testing::Test {
protected:
    void make(unsigned long records) {
        fs.put("w.bin", le32(static_cast<std::uint32_t>(records)), bytesFor(records));
        for (unsigned long i : {0ul, 1ul, records - 1})
            if (i < records) fs.poke("w.bin", bytesFor(i), "r" + std::to_string(i));
    }
    std::string firstChars(TOpenTable& open, unsigned long i) { return open.at(i)[0].get<std::string>().substr(0, 8); }

    SparseFileSet fs;
    TTable w{fs, "w", wideFields(), true};
};

TEST_F(NearTheLimit, AFullTableRefusesAppendsAndInsertsAndKeepsEveryByte) {
    make(kFull);
    ASSERT_LT(bytesFor(kFull), kLimit);
    ASSERT_GT(bytesFor(kFull + 1), kLimit);
    const SparseFileSet::File before = fs.snapshot("w.bin");
    {
        TOpenTable open(w, false);
        ASSERT_EQ(open.size(), kFull);
        const TRecord r = recordOf(open.fields(), std::string("new"));
        EXPECT_EQ(message([&] { open.push_back(r); }), grew("w"));
        EXPECT_EQ(message([&] { open.insert(0, 1, r); }), grew("w"));
        EXPECT_EQ(message([&] { open.insert(kFull, 1, r); }), grew("w"));
        EXPECT_EQ(message([&] { open.insert(1, 0, r); }), "<no error>");
        EXPECT_EQ(open.size(), kFull);
        EXPECT_EQ(firstChars(open, kFull - 1), "r16383");
    }
    EXPECT_TRUE(fs.snapshot("w.bin") == before);
}

TEST_F(NearTheLimit, TheLastRecordThatFitsIsTakenAndTheNextOneIsNot) {
    make(kFull - 2);
    TOpenTable open(w, false);
    const TRecord r = recordOf(open.fields(), std::string("new"));
    open.insert(kFull - 3, 1, r);  // moves only the last record
    open.push_back(r);
    EXPECT_EQ(open.size(), kFull);
    EXPECT_EQ(firstChars(open, 1) + firstChars(open, kFull - 3) + firstChars(open, kFull - 2) +
                  firstChars(open, kFull - 1),
              "r1" "new" "r16381" "new");
    EXPECT_EQ(message([&] { open.push_back(r); }), grew("w"));
    EXPECT_EQ(fs.snapshot("w.bin").size, bytesFor(kFull));
}

TEST_F(NearTheLimit, AFileWhoseCountPassesTheLimitIsRefusedOnOpening) {
    make(kFull + 1);
    EXPECT_EQ(message([&] { TOpenTable open(w, false); }), "Table w passes 2147483647 bytes in w.bin");
}

// Growth counted in records beyond what 64 bits of bytes hold must not wrap
// around into a size that seems to fit.
TEST(Limits, HugeInsertCountsAreRefusedWithoutOverflow) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("k", 16)), true);
    TOpenTable open(t, false);
    open.push_back(recordOf(open.fields(), 7u));
    const std::string before = fs.contents("t.bin");
    for (unsigned long n : {0x80000000ul, 0xFFFFFFFFul, 0x100000000ul, 1ul << 62, ~0ul}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(message([&] { open.insert(0, n, recordOf(open.fields(), 9u)); }), grew("t"));
    }
    EXPECT_EQ(open.size(), 1u);
    EXPECT_EQ(fs.contents("t.bin"), before);
}

// ------------------------------------------------------------------- loads

TEST_F(NearTheLimit, ABlockDeclaringMoreThanTheLimitLeavesTheTableAsItWas) {
    make(3);
    const SparseFileSet::File before = fs.snapshot("w.bin");
    TOpenTable open(w, false);
    std::istringstream block(le32(static_cast<std::uint32_t>(kFull + 1)) + "r0");
    EXPECT_EQ(message([&] { open.serial_read(block); }), grew("w"));
    EXPECT_EQ(open.size(), 3u);
    EXPECT_EQ(firstChars(open, 2), "r2");
    EXPECT_TRUE(fs.snapshot("w.bin") == before);
}

TEST(Limits, BlockCountsBeyond32BitsOfBytesAreRefusedBeforeTheTableChanges) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("k", 16)), true);
    {
        TOpenTable open(t, false);
        open.push_back(recordOf(open.fields(), 7u));
    }
    const std::string before = fs.contents("t.bin");
    TOpenTable open(t, false);
    for (std::uint32_t count : {0x40000000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        std::istringstream block(le32(count) + "ab");
        EXPECT_EQ(message([&] { open.serial_read(block); }), grew("t"));
        EXPECT_EQ(open.size(), 1u);
    }
    EXPECT_EQ(fs.contents("t.bin"), before);
}

// Bytes past a block's declared records are the part of a contents file
// that every reader ignores: whole records are checked and dropped, a
// partial one is the mismatch it is on opening.
TEST(Limits, BytesPastABlocksRecordsAreCheckedButNotKept) {
    Host::MemoryFileSet fs;
    TTable t(fs, "t", fieldsOf(TField<unsigned int>("k", 16)), true);
    TOpenTable open(t, false);
    std::istringstream whole(le32(1) + "ab" + "cdef");
    open.serial_read(whole);
    EXPECT_EQ(open.size(), 1u);
    EXPECT_EQ(fs.contents("t.bin"), le32(1) + "ab");
    std::istringstream partial(le32(1) + "ab" + "cde");
    EXPECT_EQ(message([&] { open.serial_read(partial); }), "t.bin file content mismatched with description from t.dsb");
}

// The text form clears the table and appends record by record: the record
// that would pass the limit raises, and the table holds those read before.
TEST_F(NearTheLimit, ATextLoadPassingTheLimitKeepsTheRecordsReadBeforeItAndMakesNoOtherFile) {
    make(3);
    const std::size_t files = fs.fileCount();
    std::string text;
    for (unsigned long i = 0; i <= kFull; ++i) text += "\"\"\t\"\"\n";
    std::istringstream in(text);
    TOpenTable open(w, false);
    EXPECT_EQ(message([&] { in >> open; }), grew("w"));
    EXPECT_EQ(open.size(), kFull);
    EXPECT_EQ(firstChars(open, 1), "");
    EXPECT_EQ(fs.fileCount(), files);
}

}  // namespace
