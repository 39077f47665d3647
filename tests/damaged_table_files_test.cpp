// Damaged files: whatever is done to the bytes of a table set, using it reads
// or raises a clear error. (Failures of the file set itself are in
// file_set_faults_test.cpp.)
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/__table.h"
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
