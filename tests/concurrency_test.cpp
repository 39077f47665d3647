// Many orvex processes on one table set at once: creating tables, loading,
// sorting and stripping one table, and reading it. Every command that
// succeeds has its effect, the set stays whole, and a reader sees a state
// that some writer made, never one half made.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"
#include "tests/tool_process.h"

#ifndef ORVEX_TOOL
#error "ORVEX_TOOL must name the orvex program"
#endif

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

const int kVersions = 8;      // loads, each of its own records
const int kCreates = 12;      // tables created, each of its own name
const int kSorts = 4;  // shuffled in, and two more at the end
const int kStrips = 3;
const int kDumps = 8;
const int kChecks = 3;
const int kAtOnce = 12;       // processes running at the same time
const int kRounds = 3;

// Version k of the shared table, ids descending. Every version holds the
// same largest id and value, so that a strip in between never makes a later
// load's values too wide.
std::string versionCsv(int k) {
    std::ostringstream csv;
    csv << "id,v\n1000,999\n";
    for (int id = 40 + k; id >= 1; --id) csv << id << "," << (id * 7 + k * 3) % 900 << "\n";
    return csv.str();
}

enum class Kind { Create, Load, Sort, Strip, Dump, Check };

struct Job {
    Kind kind;
    int number;  // table number of a create, version of a load
    ToolCall call;
    bool afterLoads = false;      // not started before every load has ended
    long started = 0, ended = 0;  // on one clock of spawns and reaps
    ToolOutcome outcome;
    bool succeeded() const { return outcome.status == 0; }
};

Job makeJob(Kind kind, int number, std::vector<std::string> args, std::string input = std::string()) {
    Job job{kind, number, {std::move(args), std::move(input), {}}, false, 0, 0, {}};
    return job;
}

std::string tableName(int number) { return "t" + std::to_string(number); }

std::string describe(const Job& job) {
    std::string text = "orvex";
    for (const std::string& a : job.call.args) text += " " + a;
    return text;
}

class ConcurrencyTest : public ::testing::Test {
protected:
    ToolOutcome tool(const std::vector<std::string>& args, const std::string& input = std::string()) {
        return runTool(ORVEX_TOOL, {args, input, {}}, root / "run");
    }

    // Commands queue for the set rather than fail at once.
    std::vector<std::string> waiting(std::vector<std::string> args) const {
        args.push_back("--wait");
        args.push_back("30");
        return args;
    }

    std::string dir() const { return setDir.string(); }

    // Setting up needs no syncing: no power is cut.
    void makeSet() {
        fs::remove_all(setDir);
        fs::create_directories(setDir);
        ASSERT_EQ(tool({"create", dir(), "data", "id:u_long:32 | v:u_long:32", "--no-sync"}).status, 0);
        ASSERT_EQ(tool({"load", dir(), "data", "--csv", "--no-sync"}, versionCsv(0)).status, 0);
    }

    // What `dump` shows of every version, as loaded and sorted, made one at a
    // time beforehand.
    void learnDumps() {
        for (int k = 0; k <= kVersions; ++k) {
            makeSet();
            ASSERT_EQ(tool({"load", dir(), "data", "--csv", "--no-sync"}, versionCsv(k)).status, 0);
            asLoaded[k] = tool({"dump", dir(), "data"}).out;
            ASSERT_EQ(tool({"sort", dir(), "data", "--no-sync"}).status, 0);
            asSorted[k] = tool({"dump", dir(), "data"}).out;
            ASSERT_NE(asLoaded[k], asSorted[k]);
        }
    }

    // True if `dump` is what some version looked like, loaded or sorted.
    bool madeByAWriter(const std::string& dump) const {
        for (int k = 0; k <= kVersions; ++k)
            if (dump == asLoaded.at(k) || dump == asSorted.at(k)) return true;
        return false;
    }

    std::vector<Job> workload(unsigned seed) const {
        std::vector<Job> jobs;
        for (int i = 0; i < kCreates; ++i)
            jobs.push_back(makeJob(Kind::Create, i, waiting({"create", dir(), tableName(i), "id:u_long:32 | w:u_long:16"})));
        for (int k = 1; k <= kVersions; ++k)
            jobs.push_back(makeJob(Kind::Load, k, waiting({"load", dir(), "data", "--csv"}), versionCsv(k)));
        for (int i = 0; i < kSorts; ++i) jobs.push_back(makeJob(Kind::Sort, 0, waiting({"sort", dir(), "data"})));
        for (int i = 0; i < kStrips; ++i) jobs.push_back(makeJob(Kind::Strip, 0, waiting({"strip", dir()})));
        for (int i = 0; i < kDumps; ++i) jobs.push_back(makeJob(Kind::Dump, 0, waiting({"dump", dir(), "data"})));
        for (int i = 0; i < kChecks; ++i) jobs.push_back(makeJob(Kind::Check, 0, waiting({"check", dir()})));
        std::shuffle(jobs.begin(), jobs.end(), std::mt19937(seed));
        // Two more sorts go last and wait for every load to end, so that the
        // effect of a sort can be asked for; the rest still runs beside them.
        for (int i = 0; i < 2; ++i) {
            jobs.push_back(makeJob(Kind::Sort, 0, waiting({"sort", dir(), "data"})));
            jobs.back().afterLoads = true;
        }
        return jobs;
    }

    // Runs the jobs, at most kAtOnce at a time, noting when each started and
    // when it was seen to end.
    void runAll(std::vector<Job>& jobs) {
        long clock = 0;
        std::size_t next = 0;
        std::map<std::size_t, std::unique_ptr<ToolProcess>> running;
        while (next < jobs.size() || !running.empty()) {
            const auto loading = [&] {
                return std::any_of(running.begin(), running.end(),
                                   [&](const auto& run) { return jobs[run.first].kind == Kind::Load; });
            };
            while (running.size() < kAtOnce && next < jobs.size() && !(jobs[next].afterLoads && loading())) {
                jobs[next].started = ++clock;
                running[next] = std::make_unique<ToolProcess>(ORVEX_TOOL, jobs[next].call,
                                                              root / ("job" + std::to_string(next)));
                ++next;
            }
            bool reaped = false;
            for (auto it = running.begin(); it != running.end();) {
                if (!it->second->finished()) {
                    ++it;
                    continue;
                }
                jobs[it->first].ended = ++clock;
                jobs[it->first].outcome = it->second->outcome();
                it = running.erase(it);
                reaped = true;
            }
            if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // The line of `table` in `orvex info DIR`, empty if it is not listed.
    static std::string infoLine(const std::string& info, const std::string& table) {
        std::istringstream lines(info);
        const std::regex row("^  " + table + " +(binary|text) .*");
        for (std::string line; std::getline(lines, line);)
            if (std::regex_match(line, row)) return line;
        return "";
    }

    // Bits per record of `table` in the line of `orvex info DIR`.
    static int bitsPerRecord(const std::string& line) {
        std::istringstream words(line);
        std::string name, form;
        long records = 0;
        int bits = -1;
        words >> name >> form >> records >> bits;
        return bits;
    }

    void judgeRound(const std::vector<Job>& jobs) {
        for (const Job& job : jobs) {
            const bool busy = job.outcome.err.find("is in use by another process") != std::string::npos;
            EXPECT_TRUE(job.succeeded() || (job.outcome.status == 1 && busy))
                << describe(job) << " exited " << job.outcome.status << ": " << job.outcome.err;
            if (job.kind == Kind::Dump && job.succeeded()) {
                EXPECT_TRUE(madeByAWriter(job.outcome.out)) << describe(job) << " saw a state no writer made:\n"
                                                           << job.outcome.out;
            }
        }

        const ToolOutcome check = tool({"check", dir()});
        EXPECT_EQ(check.status, 0) << "check after the round:\n" << check.out << check.err;
        const ToolOutcome info = tool({"info", dir()});
        EXPECT_EQ(info.status, 0) << info.err;
        for (const Job& job : jobs)
            if (job.kind == Kind::Create && job.succeeded()) {
                EXPECT_NE(infoLine(info.out, tableName(job.number)), "")
                    << describe(job) << " exited 0 but its table is not in the set:\n" << info.out;
            }

        // The last load to commit is one that succeeded, and not one that had
        // ended before another successful load began.
        std::vector<const Job*> loads;
        for (const Job& job : jobs)
            if (job.kind == Kind::Load && job.succeeded()) loads.push_back(&job);
        std::set<int> possible;
        for (const Job* load : loads)
            if (std::none_of(loads.begin(), loads.end(), [&](const Job* other) { return other->started > load->ended; }))
                possible.insert(load->number);
        if (loads.empty()) possible.insert(0);

        const ToolOutcome dump = tool({"dump", dir(), "data"});
        EXPECT_EQ(dump.status, 0) << dump.err;
        int found = -1;
        for (int k : possible)
            if (dump.out == asLoaded.at(k) || dump.out == asSorted.at(k)) found = k;
        EXPECT_NE(found, -1) << "the table holds none of the versions that may have been loaded last:\n" << dump.out;

        // A sort begun after every successful load had ended sorted the last.
        const bool sortedLast = std::any_of(jobs.begin(), jobs.end(), [&](const Job& job) {
            return job.kind == Kind::Sort && job.succeeded() &&
                   std::all_of(loads.begin(), loads.end(), [&](const Job* load) { return job.started > load->ended; });
        });
        if (sortedLast && found != -1) {
            EXPECT_EQ(dump.out, asSorted.at(found)) << "a sort that exited 0 after the last load is lost";
        }
        if (sortedLast) ++sortsJudged;

        const bool stripped = std::any_of(jobs.begin(), jobs.end(),
                                          [](const Job& job) { return job.kind == Kind::Strip && job.succeeded(); });
        if (stripped) {
            EXPECT_LT(bitsPerRecord(infoLine(info.out, "data")), 64) << "a strip that exited 0 is lost:\n" << info.out;
        }
    }

    TempDir tmp{"orvex-concurrency-test"};
    fs::path root = tmp.path();
    fs::path setDir = root / "shop";
    std::map<int, std::string> asLoaded, asSorted;
    int sortsJudged = 0;
};

TEST_F(ConcurrencyTest, WritersAndReadersAtOnceLoseNothingAndSeeNoHalfMadeChange) {
    learnDumps();
    int runs = 0, succeeded = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        makeSet();
        std::vector<Job> jobs = workload(static_cast<unsigned>(round));
        runAll(jobs);
        judgeRound(jobs);
        runs += static_cast<int>(jobs.size());
        succeeded += static_cast<int>(std::count_if(jobs.begin(), jobs.end(), [](const Job& j) { return j.succeeded(); }));
    }
    std::cout << runs << " runs with --wait 30, " << kAtOnce << " at a time, " << succeeded << " exited 0; rounds where a sort came after "
              << "every load: " << sortsJudged << std::endl;
}

}  // namespace
