// Every table operation under every failure a file set can give: an open
// refused, reads cut short, writes refused or cut short, a remove that fails,
// and a cut-off after which nothing works. Each operation is run once whole,
// to count its opens, removes, calls and bytes, and then again with the fault
// at each of them in turn. After every run:
// - the operation returned or raised a runtime error (every position it is
//   given is valid), and operations that report nothing raised nothing;
// - the table reopened through the healthy set underneath gives its old
//   records, its new ones, or one of the errors documented for a damaged
//   file; an operation that says it succeeded leaves the new records. A
//   change in place that fails halfway keeps the count but may tear a record,
//   a load that fails may leave the table empty, and a strip always leaves
//   the old table or the new one once the set has recovered;
// - an operation that failed before it changed anything, and a reading one
//   in any case, left every file byte for byte as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/__table.h"
#include "fileset/vfstream.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using TestSupport::argsPtr;

namespace {

using TestSupport::Files;
typedef std::vector<std::string> Rows;

// ------------------------------------------------------------------ the table

const unsigned kRecords = 150;  // enough bytes that tail moves take several chunks

TFields tableFields() {
    TFields f;
    f += TField<unsigned int>("id", 12) | TEndOfKey() | TField<std::string>("name", 6, false) |
         TField<fixed_point>("price", 3, 32);
    f[0].transformer(argsPtr(new range_fixer_args(0L, 4000L)));
    return f;
}

TRecord row(const TFields& f, unsigned id) {
    TRecord r(f);
    r[0] = id;
    r[1] = "n" + std::to_string(id);
    r[2] = fixed_point(3, id * 0.125);  // needs all three places, so a stripped copy prints alike
    return r;
}

// The files of table t, in one form, its ids shuffled so that sorting moves
// every record.
Files tableFiles(bool binary) {
    Host::MemoryFileSet memory;
    {
        TTable t(memory, "t", tableFields(), binary);
        TOpenTable open(t, false);
        for (unsigned i = 0; i < kRecords; ++i) open.push_back(row(open.fields(), (i * 37) % kRecords + 1));
    }
    return TestSupport::filesOf(memory);
}

const Files& pristine(bool binary) {
    static const Files forms[2] = {tableFiles(false), tableFiles(true)};
    return forms[binary];
}

// What opening a table through a set gives: its records as text, or the
// error it raises. Works on a copy, since opening may create a file.
struct Reopened {
    bool opened = false;
    Rows rows;
    std::string error;
};

Reopened reopen(const Files& files, const std::string& name, bool binary) {
    Host::MemoryFileSet copy;
    TestSupport::putFiles(copy, files);
    Reopened result;
    try {
        TTable t(copy, name, binary);
        TOpenTable open(t, false);
        for (unsigned long i = 0; i < open.size(); ++i) {
            std::ostringstream text;
            open.at(i).to_stream(text);
            result.rows.push_back(text.str());
        }
        result.opened = true;
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

// The errors documented for a damaged or missing table file.
bool documentedError(const std::string& message) {
    for (const char* text : {"Error reading table size from file ", " file content mismatched with description from ",
                             "Table shorter than declared in ", "Error reading table structure from file ",
                             "Error reading table transformation from file ", "Couldn't open file: "})
        if (message.find(text) != std::string::npos) return true;
    return false;
}

// ----------------------------------------------------------------- operations

// An operation on table t (or a new table n) through a file set. It calls
// `arm` where the faults begin: what comes before is setting up.
// What an operation's contract lets a failure do.
enum Trait : unsigned {
    Raises = 1,         // it may raise; without, its contract is to report nothing
    ReportsWrites = 2,  // returning means its writes reached the file
    ReadsOnly = 4,      // it never changes a file
    // Changes records where they lie, so a write that fails halfway leaves a
    // torn record or a tail moved in part: no journal can be written when
    // writing fails. The count stays the old one or becomes the new one.
    InPlace = 8,
    EmptiesFirst = 16,  // a failure may leave the table empty
    // A write cut short may leave a file the documented errors refuse: part
    // of an appended record, or a structure file cut short.
    MayLeaveDamage = 32,
    NoContents = 64,  // runs on the table without its contents file
};

struct Operation {
    const char* name;
    const char* table;  // the table it changes
    unsigned traits;
    std::function<void(FileSet::TFileSet&, bool binary, const std::function<void()>& arm)> run;
    bool is(Trait t) const { return (traits & t) != 0; }
};

const std::vector<Operation>& operations() {
    static const std::vector<Operation> all = {
        {"Open", "t", Raises | ReportsWrites | ReadsOnly,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             arm();
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
         }},
        {"OpenNew", "t", Raises | ReportsWrites | NoContents,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             arm();
             TOpenTable open(t, false);
         }},
        {"Read", "t", ReadsOnly,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             arm();
             for (unsigned long i = 0; i < open.size(); ++i) open.at(i);
             std::ostringstream text;
             text << open;
         }},
        {"Update", "t", Raises | ReportsWrites | InPlace,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             arm();
             for (unsigned long i = 0; i < open.size(); i += 10) open.update(i, row(open.fields(), 3000 + i));
         }},
        {"PushBack", "t", MayLeaveDamage,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             arm();
             for (unsigned i = 0; i < 5; ++i) open.push_back(row(open.fields(), 2000 + i));
         }},
        {"Clear", "t", Raises | ReportsWrites,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             arm();
             open.clear();
         }},
        {"Sort", "t", Raises | ReportsWrites | InPlace,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             arm();
             open.sort();
         }},
        // Insert and erase raise nothing of their own: a failed stream stops
        // the tail move and the writes, and the count changes all the same.
        {"Insert", "t", InPlace | MayLeaveDamage,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             arm();
             open.insert(5, 3, row(open.fields(), 2500));
         }},
        {"Erase", "t", InPlace,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             arm();
             open.erase(10, 60);
         }},
        {"LoadText", "t", Raises | EmptiesFirst | MayLeaveDamage,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             std::stringstream text;
             for (unsigned i = 0; i < 20; ++i) {
                 row(open.fields(), 500 + i).to_stream(text);
                 text << '\n';
             }
             arm();
             text >> open;
         }},
        {"LoadBinary", "t", Raises | ReportsWrites | EmptiesFirst,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTable t(fs, "t", binary);
             TOpenTable open(t, false);
             std::string block = TestSupport::le32(20);
             for (unsigned i = 0; i < 20; ++i) {
                 TRecord r = row(open.fields(), 500 + i);
                 block.append(r.data()(0), open.fields().byteSize());
             }
             std::istringstream in(block);
             arm();
             open.serial_read(in);
         }},
        {"Define", "n", MayLeaveDamage,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TFields f = tableFields();
             arm();
             TTable n(fs, "n", f, binary);
         }},
        {"Strip", "t", Raises | ReportsWrites,
         [](FileSet::TFileSet& fs, bool binary, const std::function<void()>& arm) {
             TTables set(fs);
             set.append("t", binary);
             arm();
             set.strip();
         }},
    };
    return all;
}

// --------------------------------------------------------------------- faults

enum Kind { OpenRefused, OpensRefusedFromThen, ReadsCut, WritesCut, RemoveFails, RemovesFailFromThen, CutOff };
const char* const kKindNames[] = {"OpenRefused", "OpensRefusedFromThen", "ReadsCut", "WritesCut",
                                  "RemoveFails", "RemovesFailFromThen", "CutOff"};

void plan(Host::FaultyFileSet& fs, Kind kind, std::size_t at) {
    switch (kind) {
        case OpenRefused: fs.failOpen(static_cast<unsigned>(at)); break;
        case OpensRefusedFromThen: fs.failOpen(static_cast<unsigned>(at), true); break;
        case ReadsCut: fs.failReadsAfter(at); break;
        case WritesCut: fs.failWritesAfter(at); break;
        case RemoveFails: fs.failRemove(static_cast<unsigned>(at)); break;
        case RemovesFailFromThen: fs.failRemove(static_cast<unsigned>(at), true); break;
        case CutOff: fs.cutAfter(static_cast<unsigned>(at)); break;
    }
}

// What a whole run of an operation does, counted from `arm`.
struct Counts {
    unsigned opens = 0, removes = 0, calls = 0;
    std::size_t read = 0, written = 0;
};

// Where to put the fault: every open, remove or call; for bytes the first
// few, every boundary of a record's worth around the header, and then
// evenly spread positions up to the last byte.
std::vector<std::size_t> positions(Kind kind, const Counts& c) {
    std::vector<std::size_t> at;
    auto every = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k <= to; ++k) at.push_back(k);
    };
    auto bytes = [&](std::size_t total) {
        if (total == 0) return;
        every(0, std::min<std::size_t>(total - 1, 9));
        const std::size_t step = std::max<std::size_t>(1, total / 40);
        for (std::size_t b = 10; b < total; b += step) at.push_back(b);
        at.push_back(total - 1);
    };
    switch (kind) {
        case OpenRefused:
        case OpensRefusedFromThen: every(1, c.opens); break;
        case RemoveFails:
        case RemovesFailFromThen: every(1, c.removes); break;
        case CutOff:
            if (c.calls) every(0, c.calls - 1);
            break;
        case ReadsCut: bytes(c.read); break;
        case WritesCut: bytes(c.written); break;
    }
    return at;
}

// One run: the operation on a fresh copy of the table through a faulty set.
struct Outcome {
    std::string raised;  // "" when it returned
    bool changedAnything = true;
    Counts counts;
    Files before, after;
};

Outcome runOnce(const Operation& op, bool binary, bool faulty, Kind kind, std::size_t at) {
    Host::MemoryFileSet memory;
    TestSupport::putFiles(memory, pristine(binary));
    if (op.is(NoContents)) memory.remove("t.bin");
    Outcome run;
    run.before = TestSupport::filesOf(memory);
    {
        Host::FaultyFileSet fs(memory);
        Counts start;
        auto arm = [&] {
            start.opens = fs.opens();
            start.removes = fs.removes();
            start.calls = fs.calls();
            start.read = fs.bytesRead();
            start.written = fs.bytesWritten();
            if (faulty) plan(fs, kind, at);
        };
        try {
            op.run(fs, binary, arm);
        } catch (const std::out_of_range& e) {
            run.raised = std::string("out_of_range: ") + e.what();
        } catch (const std::runtime_error& e) {
            run.raised = std::string("runtime_error: ") + e.what();
        } catch (const std::exception& e) {
            run.raised = std::string("UNEXPECTED: ") + e.what();
        } catch (...) {
            run.raised = "UNEXPECTED: not a std::exception";
        }
        run.changedAnything = fs.mayHaveChanged();
        run.counts.opens = fs.opens() - start.opens;
        run.counts.removes = fs.removes() - start.removes;
        run.counts.calls = fs.calls() - start.calls;
        run.counts.read = fs.bytesRead() - start.read;
        run.counts.written = fs.bytesWritten() - start.written;
    }
    run.after = TestSupport::filesOf(memory);
    return run;
}

class TableFaults : public ::testing::TestWithParam<std::tuple<int, bool, Kind>> {};

TEST_P(TableFaults, GiveTheDocumentedResultAndLeaveARecoverableTable) {
    const Operation& op = operations()[std::get<0>(GetParam())];
    const bool binary = std::get<1>(GetParam());
    const Kind kind = std::get<2>(GetParam());

    const Outcome whole = runOnce(op, binary, false, kind, 0);
    ASSERT_EQ(whole.raised, "");
    const Reopened oldTable = reopen(whole.before, op.table, binary);
    const Reopened newTable = reopen(whole.after, op.table, binary);
    ASSERT_TRUE(newTable.opened) << newTable.error;
    ASSERT_EQ(oldTable.rows.size(), op.table == std::string("t") && !op.is(NoContents) ? kRecords : 0u);

    const std::vector<std::size_t> at = positions(kind, whole.counts);
    for (std::size_t k : at) {
        SCOPED_TRACE(std::string(kKindNames[kind]) + " at " + std::to_string(k));
        const Outcome run = runOnce(op, binary, true, kind, k);
        // Every position given is valid, so a failing file is a runtime error.
        EXPECT_TRUE(run.raised.empty() || run.raised.rfind("runtime_error: ", 0) == 0) << run.raised;
        if (!op.is(Raises) && kind != CutOff) {
            EXPECT_EQ(run.raised, "");
        }
        // A crash can't take back the empty file an opening made.
        if (op.is(ReadsOnly) || (!run.raised.empty() && !run.changedAnything && kind != CutOff)) {
            EXPECT_TRUE(run.after == run.before) << "files changed; raised: " << run.raised;
        }
        const Reopened now = reopen(run.after, op.table, binary);
        if (std::string(op.name) == "Strip" && run.raised.empty()) {
            for (const auto& file : run.after) EXPECT_NE(file.first.rfind("temp.", 0), 0u) << file.first << " outlived the strip";
        }
        const bool oldOrNew = now.opened && (now.rows == newTable.rows || (oldTable.opened && now.rows == oldTable.rows) ||
                                             (op.is(EmptiesFirst) && now.rows.empty()));
        if (std::string(op.name) == "Strip") {
            // Stripping promises the old table or the new one, whatever
            // fails: defining the table again recovers an interrupted swap.
            EXPECT_TRUE(oldOrNew) << "raised: " << run.raised << "; reopened: "
                                  << (now.opened ? std::to_string(now.rows.size()) + " other records" : now.error);
        } else if (kind == CutOff) {
            // A crash in the middle of a change in place may tear it; the
            // table still opens or gives a documented error.
            EXPECT_TRUE(now.opened || documentedError(now.error)) << now.error;
        } else if (run.raised.empty() && op.is(ReportsWrites)) {
            EXPECT_TRUE(now.opened && now.rows == newTable.rows)
                << "succeeded but left " << (now.opened ? std::to_string(now.rows.size()) + " other records" : now.error);
        } else if (op.is(InPlace) && now.opened) {
            EXPECT_TRUE(now.rows.size() == oldTable.rows.size() || now.rows.size() == newTable.rows.size())
                << "raised: " << run.raised << "; reopened " << now.rows.size() << " records";
            if (kind == ReadsCut) {
                // Nothing is written after a failed read, so no record is lost;
                // a sort may stop part way.
                Rows got = now.rows, had = oldTable.rows;
                std::sort(got.begin(), got.end());
                std::sort(had.begin(), had.end());
                EXPECT_TRUE(got == had) << "raised: " << run.raised << "; records lost";
            }
        } else {
            EXPECT_TRUE(oldOrNew || (op.is(MayLeaveDamage) && !now.opened && documentedError(now.error)))
                << "raised: " << run.raised << "; reopened: "
                << (now.opened ? std::to_string(now.rows.size()) + " records, neither old nor new" : now.error);
        }
    }
}

// Moving a file under every fault, at every position: either every byte
// reaches the target, or the move raises and the source is kept. A read that
// stops short of the source's end looks like its end; the move must not take
// it for one.
TEST(FaultyMove, EitherMovesEveryByteOrRaisesAndKeepsTheSource) {
    std::string bytes;
    for (unsigned i = 0; i < 5000; ++i) bytes += static_cast<char>(i * 7);
    for (Kind kind : {OpenRefused, OpensRefusedFromThen, ReadsCut, WritesCut, RemoveFails, RemovesFailFromThen}) {
        Counts whole;
        {
            Host::MemoryFileSet memory;
            memory.put("from", bytes);
            Host::FaultyFileSet faulty(memory);
            FileSet::moveFile(faulty, "from", "to");
            whole = {faulty.opens(), faulty.removes(), faulty.calls(), faulty.bytesRead(), faulty.bytesWritten()};
        }
        for (std::size_t k : positions(kind, whole)) {
            SCOPED_TRACE(std::string(kKindNames[kind]) + " at " + std::to_string(k));
            Host::MemoryFileSet memory;
            memory.put("from", bytes);
            memory.put("to", "old");
            std::string raised;
            {
                Host::FaultyFileSet faulty(memory);
                plan(faulty, kind, k);
                raised = TestSupport::message<std::runtime_error>([&] { FileSet::moveFile(faulty, "from", "to"); });
            }
            if (raised == "<no error>") {
                EXPECT_EQ(memory.contents("to"), bytes);
            } else {
                EXPECT_EQ(memory.contents("from"), bytes) << raised;
            }
            if (kind == ReadsCut) {
                EXPECT_EQ(raised, "Couldn't move file from to to: reading from failed");
            }
        }
    }
}

std::string caseName(const ::testing::TestParamInfo<TableFaults::ParamType>& info) {
    return std::string(operations()[std::get<0>(info.param)].name) + (std::get<1>(info.param) ? "Binary" : "Text") +
           kKindNames[std::get<2>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, TableFaults,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(operations().size())), ::testing::Bool(),
                                            ::testing::Values(OpenRefused, OpensRefusedFromThen, ReadsCut, WritesCut,
                                                              RemoveFails, RemovesFailFromThen, CutOff)),
                         caseName);

}  // namespace
