// Failures injected into the file set: moves and strips must never lose a
// byte, whichever open or write fails.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/__table.h"
#include "fileset/vfstream.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "test_support.h"

using namespace Orvex;
using TestSupport::argsPtr;
using TestSupport::recordOf;

namespace {

typedef std::map<std::string, std::string> Files;

Files snapshot(const Host::MemoryFileSet& fs) {
    Files files;
    for (const std::string& n : fs.list()) files[n] = fs.contents(n);
    return files;
}

TEST(FaultyMove, RefusedTargetKeepsTheSource) {
    Host::MemoryFileSet memory;
    memory.put("from", "payload");
    memory.put("to", "old");
    Host::FaultyFileSet faulty(memory);
    faulty.failOpen(2);  // the source opens, the target does not
    EXPECT_THROW(FileSet::moveFile(faulty, "from", "to"), std::runtime_error);
    EXPECT_EQ(memory.contents("from"), "payload");
}

TEST(FaultyMove, FailedWritesKeepTheSource) {
    Host::MemoryFileSet memory;
    memory.put("from", std::string(5000, 'x'));
    Host::FaultyFileSet faulty(memory);
    faulty.failWritesAfter(3000);
    EXPECT_THROW(FileSet::moveFile(faulty, "from", "to"), std::runtime_error);
    EXPECT_EQ(memory.contents("from"), std::string(5000, 'x'));
}

// The values of every record, as text.
std::vector<std::string> values(FileSet::TFileSet& fs, const std::string& name) {
    TTable t(fs, name, false);
    TOpenTable open(t, false);
    std::vector<std::string> rows;
    for (unsigned long i = 0; i < open.size(); ++i) {
        std::ostringstream row;
        open.at(i).to_stream(row);
        rows.push_back(row.str());
    }
    return rows;
}

// Whether some structure file and some contents file among those left
// behind (under the table's name or the temporary one) still give `rows`.
bool recoverable(const Files& files, const std::vector<std::string>& rows) {
    for (const char* structure : {"t.dst", "temp.dst"}) {
        for (const char* contents : {"t.bin", "temp.bin"}) {
            if (!files.count(structure) || !files.count(contents)) continue;
            Host::MemoryFileSet trial;
            trial.put("r.dst", files.at(structure));
            trial.put("r.bin", files.at(contents));
            try {
                if (values(trial, "r") == rows) return true;
            } catch (const std::exception&) {
            }
        }
    }
    return false;
}

// A table of 40 records in text form, named t.
void makeTable(Host::MemoryFileSet& memory) {
    TFields f;
    f += TField<unsigned int>("id", 32) | TEndOfKey() | TField<std::string>("name", 16, false) |
         TField<fixed_point>("price", 3, 32);
    TTable t(memory, "t", f, false);
    TOpenTable open(t, false);
    TRecord r(open.fields());
    for (unsigned i = 0; i < 40; ++i) {
        r[0] = 1000 - i;
        r[1] = "item " + std::to_string(i);
        r[2] = fixed_point(3, i * 0.125);  // needs all three places, so strips print alike
        open.push_back(r);
    }
}

// Strips t with the nth open refused (0: none) or writes failing after
// `bytes`; returns whether it completed and counts the opens it asked for.
bool stripWithFault(Host::MemoryFileSet& memory, unsigned n, std::size_t bytes, unsigned& opens) {
    Host::FaultyFileSet faulty(memory);
    bool completed = false;
    try {
        TTables set(faulty);
        set.append("t", false);
        const unsigned start = faulty.opens();
        faulty.failOpen(n);
        if (bytes) faulty.failWritesAfter(bytes);
        try {
            set.strip();
            completed = true;
        } catch (const std::exception&) {
        }
        opens = faulty.opens() - start;
    } catch (const std::exception&) {
    }
    faulty.heal();
    return completed;
}

TEST(FaultyStrip, EveryRefusedOpenLeavesTheTableOrItsStrippedCopy) {
    unsigned total = 0;
    {
        Host::MemoryFileSet memory;
        makeTable(memory);
        ASSERT_TRUE(stripWithFault(memory, 0, 0, total));
    }
    ASSERT_GT(total, 5u);
    for (unsigned n = 1; n <= total; ++n) {
        Host::MemoryFileSet memory;
        makeTable(memory);
        const std::vector<std::string> rows = values(memory, "t");
        const Files before = snapshot(memory);
        unsigned opens = 0;
        const bool completed = stripWithFault(memory, n, 0, opens);
        const Files after = snapshot(memory);
        if (completed) {
            EXPECT_EQ(values(memory, "t"), rows) << "open " << n << " refused";
        } else if (after != before) {
            EXPECT_TRUE(recoverable(after, rows)) << "open " << n << " refused";
        }
    }
}

TEST(FaultyStrip, WritesFailingAnywhereLeaveTheTableOrItsStrippedCopy) {
    unsigned opens = 0;
    bool sawCompletion = false;
    for (std::size_t bytes = 1; bytes < 3000; bytes += 37) {
        Host::MemoryFileSet memory;
        makeTable(memory);
        const std::vector<std::string> rows = values(memory, "t");
        const Files before = snapshot(memory);
        const bool completed = stripWithFault(memory, 0, bytes, opens);
        sawCompletion |= completed;
        const Files after = snapshot(memory);
        if (completed) {
            EXPECT_EQ(values(memory, "t"), rows) << "writes failing after " << bytes << " bytes";
        } else if (after != before) {
            EXPECT_TRUE(recoverable(after, rows)) << "writes failing after " << bytes << " bytes";
        }
    }
    EXPECT_TRUE(sawCompletion);
}

// A set of two tables, one in each form, with arguments attached, and its
// list in both forms.
void makeSet(Host::MemoryFileSet& memory) {
    TFields cf;
    cf += TField<unsigned int>("id", 20) | TEndOfKey() | TField<std::string>("name", 6, true);
    cf[0].transformer(argsPtr(new range_fixer_args(0L, 900000L)));
    TTables set(memory);
    TTable& c = set.append(pointer<TTable>(new TTable(memory, "c", cf, true)));
    TFields of;
    of += TField<unsigned long>("customer", 16) | TField<fixed_point>("price", 2, 24);
    of[0].transformer(argsPtr(new ref_fixer_args("c")));
    TTable& o = set.append(pointer<TTable>(new TTable(memory, "o", of, false)));
    {
        TOpenTable customers(c, false), orders(o, false);
        for (unsigned i = 0; i < 30; ++i) {
            customers.push_back(recordOf(customers.fields(), 30 - i, "C" + std::to_string(i)));
            orders.push_back(recordOf(orders.fields(), static_cast<unsigned long>(i), fixed_point(2, i * 1.5)));
        }
    }
    std::ostringstream text, binary;
    set.to_stream(text);
    set.serial_write(binary);
    memory.put("list.txt", text.str());
    memory.put("list.bin", binary.str());
}

// Everything a user might do with a set read from `list`.
void useSet(Host::MemoryFileSet& memory, const std::string& list) {
    TTables set(memory);
    std::istringstream in(memory.contents(list));
    if (list == "list.bin")
        set.serial_read(in);
    else
        set.from_stream(in);
    for (unsigned i = 0; i < set.size(); ++i) {
        TOpenTable open(set.at(i), false);
        ASSERT_LE(4 + open.size() * open.fields().byteSize(), memory.contents(set.at(i).contentsFileName()).size());
        std::ostringstream sink;
        sink << open;
        open.sort();
    }
    set.strip();
}

TEST(DamagedFiles, RandomDamageEitherReadsOrRaisesAClearError) {
    std::mt19937 rng(20261205);
    Host::MemoryFileSet pristine;
    makeSet(pristine);
    const Files original = snapshot(pristine);
    int raised = 0, survived = 0;
    for (int round = 0; round < 600; ++round) {
        Host::MemoryFileSet memory;
        for (const auto& file : original) memory.put(file.first, file.second);
        auto victim = original.begin();
        std::advance(victim, rng() % original.size());
        std::string bytes = victim->second;
        switch (rng() % 4) {
            case 0:  // flip a byte
                if (!bytes.empty()) bytes[rng() % bytes.size()] ^= static_cast<char>(1 + rng() % 255);
                break;
            case 1:  // cut the file short
                bytes.resize(bytes.empty() ? 0 : rng() % bytes.size());
                break;
            case 2:  // a byte more
                bytes.insert(bytes.begin() + (bytes.empty() ? 0 : rng() % bytes.size()), static_cast<char>(rng()));
                break;
            default:  // a huge count or length
                if (bytes.size() >= 4) bytes.replace(rng() % (bytes.size() - 3), 4, "\xff\xff\xff\x7f");
        }
        memory.put(victim->first, bytes);
        const std::string list = rng() % 2 ? "list.bin" : "list.txt";
        try {
            useSet(memory, list);
            ++survived;
        } catch (const std::exception&) {
            ++raised;
        }
    }
    // Both outcomes occur, so the damage reached the readers.
    EXPECT_GT(raised, 50);
    EXPECT_GT(survived, 50);
}

}  // namespace
