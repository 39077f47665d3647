// Strips cut off at every file-set call, and the recovery that the next use
// of the set makes: the table comes back whole, old or new, byte for byte,
// and no temporary file or journal survives.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/__table.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

// A set of two tables: "orders", which gets stripped (one field with a
// declared range, so it has a transformer file), and "notes", which must
// never change.
Files startingSet(bool binDesc) {
    Host::MemoryFileSet fs;
    TTables set(fs);
    TFields orders;
    orders += TField<unsigned int>("id", 32) | TEndOfKey() | TField<int>("qty", 32) |
              TField<std::string>("name", 12, false);
    orders[1].transformer(argsPtr(new range_fixer_args(-50L, 50L)));
    TTable& t = set.append(pointer<TTable>(new TTable(fs, "orders", orders, binDesc)));
    TFields notes;
    notes += TField<unsigned long>("n", 32);
    TTable& n = set.append(pointer<TTable>(new TTable(fs, "notes", notes, binDesc)));
    {
        TOpenTable open(t, false);
        for (unsigned i = 0; i < 40; ++i) open.push_back(recordOf(t.fields(), i * 7, static_cast<int>(i) - 20, "n" + std::to_string(i)));
        TOpenTable other(n, false);
        other.push_back(recordOf(n.fields(), 99UL));
    }
    return filesOf(fs);
}

Files strippedSet(const Files& start, bool binDesc) {
    Host::MemoryFileSet fs;
    putFiles(fs, start);
    TTables set(fs);
    set.append("orders", binDesc).strip(set, pointer<Console::TProgress>());
    return filesOf(fs);
}

// Counted calls of a whole strip through a faulty set, with no fault.
unsigned callsOfAStrip(const Files& start, bool binDesc) {
    Host::MemoryFileSet inner;
    putFiles(inner, start);
    Host::FaultyFileSet faulty(inner);
    TTables set(faulty);
    TTable& t = set.append("orders", binDesc);
    const unsigned before = faulty.calls();
    t.strip(set, pointer<Console::TProgress>());
    return faulty.calls() - before;
}

// Runs a strip whose file set is cut off after `cut` calls, and leaves in
// `inner` what reached it. True when the strip went through.
bool stripCutOff(Host::MemoryFileSet& inner, unsigned cut, bool binDesc) {
    Host::FaultyFileSet faulty(inner);
    TTables set(faulty);
    TTable& t = set.append("orders", binDesc);
    faulty.cutAfter(cut);
    try {
        t.strip(set, pointer<Console::TProgress>());
        return true;
    } catch (const std::runtime_error&) {
        EXPECT_TRUE(faulty.isCut()) << "cut after " << cut;
        return false;
    }
}

class CutOffStrip : public ::testing::TestWithParam<bool> {};

TEST_P(CutOffStrip, NextUseOfTheSetFindsTheOldTableOrTheNewOneWhole) {
    const bool binDesc = GetParam();
    const Files start = startingSet(binDesc);
    const Files stripped = strippedSet(start, binDesc);
    ASSERT_NE(start, stripped);
    const unsigned total = callsOfAStrip(start, binDesc);
    unsigned sawOld = 0, sawNew = 0;
    for (unsigned cut = 0; cut <= total; ++cut) {
        Host::MemoryFileSet inner;
        putFiles(inner, start);
        // A cut among the last calls (closing streams) may go unnoticed.
        const bool finished = stripCutOff(inner, cut, binDesc);
        if (cut == total) {
            EXPECT_TRUE(finished);
        }

        TTables set(inner);  // the next use
        const Files after = filesOf(inner);
        if (after == start) {
            ++sawOld;
        } else {
            EXPECT_EQ(after, stripped) << "cut after " << cut;
            ++sawNew;
        }
        TTable& t = set.append("orders", binDesc);
        TOpenTable open(t, false);
        ASSERT_EQ(open.size(), 40u) << "cut after " << cut;
        for (unsigned i = 0; i < 40; ++i) {
            EXPECT_EQ(open.at(i)[0].get<unsigned int>(), i * 7) << "cut after " << cut;
            EXPECT_EQ(open.at(i)[1].get<int>(), static_cast<int>(i) - 20) << "cut after " << cut;
        }
    }
    // Cuts before the swap give the old table back, cuts inside it the new.
    EXPECT_GT(sawOld, 5u);
    EXPECT_GT(sawNew, 3u);
}

// Removes that stop working part-way: whatever a strip could not clean up
// is cleaned up by the next use, and the table is old or new.
TEST_P(CutOffStrip, RemovesFailingFromAnyPointAreMadeGoodByTheNextUse) {
    const bool binDesc = GetParam();
    const Files start = startingSet(binDesc);
    const Files stripped = strippedSet(start, binDesc);
    unsigned leftBehind = 0, outcomes[2] = {0, 0};
    for (unsigned failing = 1; failing <= 12; ++failing) {
        Host::MemoryFileSet inner;
        putFiles(inner, start);
        {
            Host::FaultyFileSet faulty(inner);
            TTables set(faulty);
            TTable& t = set.append("orders", binDesc);
            faulty.failRemove(failing, true);
            faulty.failWritesAfter(300 + 20 * failing);  // and the copy may fail too
            try {
                t.strip(set, pointer<Console::TProgress>());
            } catch (const std::runtime_error&) {
            }
        }
        leftBehind += inner.exists("temp.jnl");
        TTables set(inner);
        const Files after = filesOf(inner);
        EXPECT_TRUE(after == start || after == stripped) << "remove " << failing << " failing";
        ++outcomes[after == stripped];
    }
    EXPECT_GT(leftBehind, 0u);
    EXPECT_GT(outcomes[0], 0u);
    EXPECT_GT(outcomes[1], 0u);
}

INSTANTIATE_TEST_SUITE_P(BothForms, CutOffStrip, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "binary" : "text"; });

// Finds a cut that leaves a swap half done: the journal says "swapping" and
// one of the table's files is already the new one.
Files halfSwapped(const Files& start, const Files& stripped, bool binDesc) {
    const unsigned total = callsOfAStrip(start, binDesc);
    for (unsigned cut = total; cut-- > 0;) {
        Host::MemoryFileSet inner;
        putFiles(inner, start);
        stripCutOff(inner, cut, binDesc);
        Files left = filesOf(inner);
        if (left.count("temp.jnl") && left.count("temp.bin") && !left.count("temp.dst") &&
            left["orders.dst"] == stripped.at("orders.dst") && left["orders.bin"] == start.at("orders.bin"))
            return left;
    }
    return Files();
}

TEST(Recovery, ARecoveryCutOffIsFinishedByTheNextOne) {
    const Files start = startingSet(false);
    const Files stripped = strippedSet(start, false);
    const Files half = halfSwapped(start, stripped, false);
    ASSERT_FALSE(half.empty());
    EXPECT_NE(half.at("orders.bin"), stripped.at("orders.bin"));

    for (unsigned cut = 0;; ++cut) {
        Host::MemoryFileSet inner;
        putFiles(inner, half);
        bool recovered = false;
        {
            Host::FaultyFileSet faulty(inner);
            faulty.cutAfter(cut);
            try {
                recovered = recoverInterruptedStrip(faulty);
            } catch (const std::runtime_error&) {
            }
        }
        EXPECT_TRUE(recoverInterruptedStrip(inner) || recovered) << "cut after " << cut;
        EXPECT_EQ(filesOf(inner), stripped) << "cut after " << cut;
        if (recovered) break;
        ASSERT_LT(cut, 200u);
    }
}

TEST(Recovery, NothingToRecoverLeavesTheSetAlone) {
    Host::MemoryFileSet fs;
    const Files start = startingSet(false);
    putFiles(fs, start);
    EXPECT_FALSE(recoverInterruptedStrip(fs));
    EXPECT_EQ(filesOf(fs), start);
}

TEST(Recovery, AJournalNotWrittenWholeUndoesTheStrip) {
    const Files start = startingSet(true);
    const Files stripped = strippedSet(start, true);
    for (const std::string& journal : {std::string(), std::string("\"orders\"\t1\tswapping\t12"),
                                      std::string("\"orders\"\t1\tprepared\tend\n")}) {
        Host::MemoryFileSet fs;
        putFiles(fs, start);
        fs.put("temp.jnl", journal);
        fs.put("temp.dsb", stripped.at("orders.dsb"));
        fs.put("temp.bin", "partial");
        EXPECT_TRUE(recoverInterruptedStrip(fs)) << journal;
        EXPECT_EQ(filesOf(fs), start) << journal;
    }
}

TEST(Recovery, ATemporaryFileThatIsNotTheJournalsIsLeftAndReported) {
    const Files start = startingSet(false);
    const Files stripped = strippedSet(start, false);
    const Files half = halfSwapped(start, stripped, false);
    ASSERT_FALSE(half.empty());
    Host::MemoryFileSet fs;
    putFiles(fs, half);
    std::string changed = half.at("temp.bin");
    changed[changed.size() - 1] ^= 1;
    fs.put("temp.bin", changed);
    const Files before = filesOf(fs);
    EXPECT_EQ(message<std::runtime_error>([&] { TTables set(fs); }),
              "Can't finish the interrupted strip of table orders: temp.bin isn't the file the journal describes; "
              "its files and temp.jnl are left as they are");
    EXPECT_EQ(filesOf(fs), before);
}

TEST(Recovery, TemporaryFilesWithoutAJournalAreNotTheStripsToOverwrite) {
    const Files start = startingSet(false);
    Host::MemoryFileSet fs;
    putFiles(fs, start);
    fs.put("temp.bin", "somebody's");
    const Files before = filesOf(fs);
    TTables set(fs);
    TTable& t = set.append("orders", false);
    EXPECT_EQ(message<std::runtime_error>([&] { t.strip(set, pointer<Console::TProgress>()); }),
              "Can't strip: temp.bin would be overwritten by the temporary files of stripping; rename or remove it first");
    EXPECT_EQ(filesOf(fs), before);
}

}  // namespace
