// Every change the orvex tool makes to a table set is all or nothing: the
// real program, with the crash shim preloaded, is stopped at each of its
// file-changing calls in turn (a write cut after half its bytes), and after
// each stop the set must pass `check` and show exactly the old or the new
// data, with no file left over once a writing command has run. The same
// matrix runs again as a power cut: every write not yet synced is dropped
// and the set is rebuilt from what the shim saw made durable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/test_support.h"
#include "tests/tool_process.h"

#ifndef ORVEX_TOOL
#error "ORVEX_TOOL must name the orvex program"
#endif
#ifndef ORVEX_CRASH_SHIM
#error "ORVEX_CRASH_SHIM must name the crash shim library"
#endif

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

const char* const kLockFile = ".orvex-lock";

// ------------------------------------------------------------ sample data

const char* const kCustomersSyntax = "id:u_long:32 | name:str:24 city:str:12:packed";
const char* const kOrdersSyntax =
    "id:u_long:32 | customer:u_long:32@ref=customers qty:int:16@range=1..500 price:fixed:2:32";
const int kCustomers = 40;

std::string customersCsv() {
    static const char* const cities[] = {"OSLO", "LYON", "GENT", "ROMA"};
    std::ostringstream csv;
    csv << "id,name,city\n";
    for (int i = 1; i <= kCustomers; ++i) csv << i << ",Customer " << i << "," << cities[i % 4] << "\n";
    return csv.str();
}

// `count` orders whose ids are far from sorted; `seed` makes each batch differ.
std::string ordersCsv(int count, int seed) {
    std::ostringstream csv;
    csv << "id,customer,qty,price\n";
    for (int i = 0; i < count; ++i) {
        const int cents = (i * 37 + seed * 11) % 100000;
        csv << (i * 7919 + seed) % 100000 + 1 << "," << (i + seed) % kCustomers << "," << 1 + (i * 13 + seed) % 500 << ","
            << cents / 100 << "." << cents % 100 / 10 << cents % 10 << "\n";
    }
    return csv.str();
}

// ------------------------------------------------------------ set files

// The regular files of a directory by name.
Files readSet(const fs::path& dir) {
    Files files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

// Makes `dir` hold exactly `files`, each a fresh file.
void writeSet(const fs::path& dir, const Files& files) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const auto& file : files) writeFile(dir / file.first, file.second);
}

std::set<std::string> namesWithoutLock(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename() != kLockFile) names.insert(entry.path().filename().string());
    return names;
}

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : " ") + n;
    return text;
}

// ------------------------------------------------------------ power cut

// The set as the run began: which inode each name had and what each held.
struct StartingState {
    std::map<std::string, std::string> idByName;
    std::map<std::string, std::string> contentById;
};

StartingState startingState(const fs::path& dir) {
    StartingState start;
    for (const auto& file : readSet(dir)) {
        struct stat st;
        if (::stat((dir / file.first).c_str(), &st) != 0) throw std::runtime_error("cannot stat " + file.first);
        const std::string id = std::to_string(st.st_ino);
        start.idByName[file.first] = id;
        start.contentById[id] = file.second;
    }
    return start;
}

// What a power cut leaves, from the shim's log (see crash_shim.cpp): the
// directory as last synced (as it began if never), each file as last synced
// (as it began if never; empty if created during the run and never synced).
Files powerCutLeaves(const StartingState& start, const fs::path& log) {
    std::map<std::string, std::string> idByName = start.idByName;
    if (fs::exists(log / "listing")) {
        idByName.clear();
        std::istringstream listing(readFile(log / "listing"));
        std::string id, name;
        while (std::getline(listing, id, '\t') && std::getline(listing, name)) idByName[name] = id;
    }
    Files files;
    for (const auto& entry : idByName) {
        const fs::path synced = log / ("content." + entry.second);
        const auto original = start.contentById.find(entry.second);
        if (fs::exists(synced))
            files[entry.first] = readFile(synced);
        else if (original != start.contentById.end())
            files[entry.first] = original->second;
        else
            files[entry.first] = "";
    }
    return files;
}

// ------------------------------------------------------------ scenarios

// One command of the tool on one set, and what of the set to compare.
struct Scenario {
    std::string name;
    Files set;                                  // the set before the command
    ToolCall command;                           // run with the set directory in its arguments
    std::vector<std::vector<std::string>> views;  // commands whose output shows the set's state
};

enum class Seen { Old, New, Neither };

const char* nameOf(Seen seen) { return seen == Seen::Old ? "old" : seen == Seen::New ? "new" : "neither"; }

// "old 1-5, new 6-9": which state each point left, in runs.
std::string runsOf(const std::vector<Seen>& seen) {
    std::string text;
    for (std::size_t i = 0; i < seen.size();) {
        std::size_t j = i;
        while (j + 1 < seen.size() && seen[j + 1] == seen[i]) ++j;
        text += (text.empty() ? "" : ", ") + std::string(nameOf(seen[i])) + " " + std::to_string(i + 1) +
                (j > i ? "-" + std::to_string(j + 1) : "");
        i = j + 1;
    }
    return text;
}

// The first line where two views part, for a readable failure.
std::string firstDifference(const std::string& actual, const std::string& expected) {
    std::istringstream a(actual), e(expected);
    std::string lineA, lineE;
    for (int line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(a, lineA)), moreE = static_cast<bool>(std::getline(e, lineE));
        if (!moreA && !moreE) return "no difference";
        if (!moreA || !moreE || lineA != lineE)
            return "line " + std::to_string(line) + ": got \"" + (moreA ? lineA : "<end>") + "\", expected \"" +
                   (moreE ? lineE : "<end>") + "\"";
    }
}

// A sanitizer's option list with one option more.
std::string withOption(const char* options, const std::string& option) {
    return options && *options ? std::string(options) + ":" + option : option;
}

class CrashTest : public ::testing::Test {
protected:
    // ---------------------------------------------------- running the tool

    ToolOutcome tool(const std::vector<std::string>& args, const std::string& input = std::string()) {
        return runTool(ORVEX_TOOL, {args, input, {}}, root / "run");
    }

    // The shim's variables for a run that stops at `cutAt` (0: never).
    std::map<std::string, std::string> shimEnvironment(long cutAt) const {
        std::map<std::string, std::string> env = {
            {"LD_PRELOAD", ORVEX_CRASH_SHIM},
            {"ORVEX_CRASH_DIR", setDir.string()},
            {"ORVEX_CRASH_COUNT", (root / "count").string()},
            {"ORVEX_CRASH_LOG", logDir.string()},
            // A program built with AddressSanitizer wants its runtime first
            // in the list of libraries; the shim comes before it.
            {"ASAN_OPTIONS", withOption(std::getenv("ASAN_OPTIONS"), "verify_asan_link_order=0")},
        };
        if (cutAt > 0) env["ORVEX_CRASH_AT"] = std::to_string(cutAt);
        return env;
    }

    ToolOutcome runUnderShim(const Scenario& scenario, long cutAt) {
        fs::remove_all(logDir);
        fs::create_directories(logDir);
        fs::remove(root / "count");
        ToolCall call = scenario.command;
        call.env = shimEnvironment(cutAt);
        return runTool(ORVEX_TOOL, call, root / "run");
    }

    // Every view of the scenario, run side by side (they only read), as one text.
    std::string view(const Scenario& scenario) {
        std::vector<std::unique_ptr<ToolProcess>> runs;
        for (std::size_t i = 0; i < scenario.views.size(); ++i)
            runs.push_back(std::make_unique<ToolProcess>(ORVEX_TOOL, ToolCall{scenario.views[i], "", {}},
                                                          root / ("view" + std::to_string(i))));
        std::string text;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const ToolOutcome& run = runs[i]->outcome();
            text += "$ orvex";
            for (const std::string& a : scenario.views[i]) text += " " + a;
            text += "\n[exit " + std::to_string(run.status) + "]\n" + run.out + run.err;
        }
        return text;
    }

    // A writing command that leaves every view as it was: it must finish
    // whatever recovery a cut left to the next writer. Whether it syncs
    // does not matter here: nothing cuts it.
    ToolOutcome probe() { return tool({"sort", setDir.string(), "customers", "--no-sync"}); }

    // ---------------------------------------------------- sample sets

    std::string dir() const { return setDir.string(); }

    Files customersOnly() {
        writeSet(setDir, {});
        EXPECT_EQ(tool({"create", dir(), "customers", kCustomersSyntax}).status, 0);
        EXPECT_EQ(tool({"load", dir(), "customers", "--csv"}, customersCsv()).status, 0);
        return readSet(setDir);
    }

    // Customers sorted, 300 orders far from sorted.
    Files shop() {
        customersOnly();
        EXPECT_EQ(tool({"create", dir(), "orders", kOrdersSyntax}).status, 0);
        EXPECT_EQ(tool({"load", dir(), "orders", "--csv"}, ordersCsv(300, 0)).status, 0);
        return readSet(setDir);
    }

    // Orders in the tool's text form, as `dump` writes them.
    std::string ordersText(int count, int seed) {
        writeSet(setDir, shop());
        EXPECT_EQ(tool({"load", dir(), "orders", "--csv"}, ordersCsv(count, seed)).status, 0);
        const ToolOutcome dump = tool({"dump", dir(), "orders"});
        EXPECT_EQ(dump.status, 0) << dump.err;
        return dump.out;
    }

    std::vector<std::vector<std::string>> shopViews() const {
        return {{"info", dir()}, {"dump", dir(), "customers"}, {"dump", dir(), "orders"}};
    }

    // ---------------------------------------------------- the matrix

    // What the views show before the command and after it ran to its end,
    // the files each state has once a writer has run, and the command's
    // number of points.
    struct Ends {
        std::string oldView, newView;
        std::set<std::string> oldNames, newNames;  // files once a writer has run
        long points = 0;
    };

    Ends ends(const Scenario& scenario) {
        Ends e;
        writeSet(setDir, scenario.set);
        e.oldView = view(scenario);
        EXPECT_EQ(probe().status, 0);
        e.oldNames = namesWithoutLock(setDir);

        writeSet(setDir, scenario.set);
        const ToolOutcome run = runUnderShim(scenario, 0);
        EXPECT_EQ(run.status, 0) << run.err;
        e.points = std::stol(readFile(root / "count"));
        e.newView = view(scenario);
        EXPECT_EQ(probe().status, 0);
        e.newNames = namesWithoutLock(setDir);
        EXPECT_NE(e.oldView, e.newView) << scenario.name << " changes nothing to compare";
        return e;
    }

    // Judges the set left at one point: check, views old or new, views
    // unchanged by a writer's recovery, and no file beyond the state's own.
    Seen judge(const Scenario& scenario, const Ends& e, const std::string& where) {
        const ToolOutcome check = tool({"check", dir()});
        EXPECT_EQ(check.status, 0) << where << ": check failed:\n" << check.out << check.err;
        const std::string seen = view(scenario);
        const Seen state = seen == e.oldView ? Seen::Old : seen == e.newView ? Seen::New : Seen::Neither;
        if (state == Seen::Neither) {
            ADD_FAILURE() << where << ": neither the old nor the new state\n  against old: "
                          << firstDifference(seen, e.oldView) << "\n  against new: " << firstDifference(seen, e.newView);
            return state;
        }
        const ToolOutcome written = probe();
        EXPECT_EQ(written.status, 0) << where << ": a writing command after the cut failed: " << written.err;
        EXPECT_EQ(view(scenario), seen) << where << ": the " << nameOf(state)
                                        << " state changed once a writing command ran";
        const std::set<std::string> names = namesWithoutLock(setDir);
        const std::set<std::string>& expected = state == Seen::Old ? e.oldNames : e.newNames;
        EXPECT_EQ(joined(names), joined(expected)) << where << ": files other than the " << nameOf(state)
                                                   << " state's own";
        return state;
    }

    // judge(), once for each distinct set of files: many points leave the
    // same files (a power cut keeps only what was synced), and the
    // judgement depends on nothing else.
    Seen judgeOnce(const Scenario& scenario, const Ends& e, const std::string& where) {
        const Files left = readSet(setDir);
        const auto known = verdicts.find(left);
        if (known != verdicts.end()) return known->second;
        const Seen seen = judge(scenario, e, where);
        verdicts[left] = seen;
        return seen;
    }

    // The points to stop at: every one, or with ORVEX_CRASH_STRIDE=K every
    // K-th from the first (the sanitizer build, where each run of the
    // program costs far more), always with the last.
    static std::vector<long> pointsUpTo(long last) {
        const char* stride = std::getenv("ORVEX_CRASH_STRIDE");
        const long step = stride ? std::max(1L, std::atol(stride)) : 1;
        std::vector<long> points;
        for (long n = 1; n <= last; n += step) points.push_back(n);
        if (points.empty() || points.back() != last) points.push_back(last);
        // With ORVEX_CRASH_PART=K/N, every N-th from the K-th, the first and
        // the last: long walks split over CTest entries that run side by side.
        if (const char* part = std::getenv("ORVEX_CRASH_PART")) {
            const std::size_t k = std::atol(part), n = std::max(1L, std::atol(std::strchr(part, '/') + 1));
            std::vector<long> mine;
            for (std::size_t i = 0; i < points.size(); ++i)
                if (i % n == k || i == 0 || i + 1 == points.size()) mine.push_back(points[i]);
            points = mine;
        }
        return points;
    }

    // Stops the command at every point in turn, killed as by a crash.
    void crashAtEveryPoint(const Scenario& scenario, const Ends& e) {
        verdicts.clear();
        std::vector<Seen> seen;
        for (long n : pointsUpTo(e.points)) {
            writeSet(setDir, scenario.set);
            const ToolOutcome run = runUnderShim(scenario, n);
            const std::string where = scenario.name + ", crash at point " + std::to_string(n);
            EXPECT_EQ(run.status, 137) << where << ": the command was not stopped there";
            seen.push_back(judgeOnce(scenario, e, where));
        }
        std::cout << scenario.name << ", crash: " << e.points << " points, " << verdicts.size()
                  << " distinct sets: " << runsOf(seen) << std::endl;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), Seen::Neither), 0);
        EXPECT_GT(std::count(seen.begin(), seen.end(), Seen::Old), 0) << scenario.name << ": no cut left the old state";
        EXPECT_GT(std::count(seen.begin(), seen.end(), Seen::New), 0) << scenario.name << ": no cut left the new state";
    }

    // Stops the command at every point in turn as a power cut would, and
    // once after it succeeded: every write not synced is lost.
    void powerCutAtEveryPoint(const Scenario& scenario, const Ends& e) {
        verdicts.clear();
        std::vector<Seen> seen;
        std::vector<long> points = pointsUpTo(e.points);
        points.push_back(e.points + 1);
        for (long n : points) {
            writeSet(setDir, scenario.set);
            const StartingState start = startingState(setDir);
            const ToolOutcome run = runUnderShim(scenario, n);
            const bool completed = n > e.points;
            const std::string where = scenario.name + ", power cut " +
                                      (completed ? "after success" : "at point " + std::to_string(n));
            EXPECT_EQ(run.status, completed ? 0 : 137) << where << ": " << run.err;
            writeSet(setDir, powerCutLeaves(start, logDir));
            seen.push_back(judgeOnce(scenario, e, where));
        }
        std::cout << scenario.name << ", power cut: " << e.points << " points and after success, " << verdicts.size()
                  << " distinct sets: " << runsOf(seen) << std::endl;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), Seen::Neither), 0);
        EXPECT_EQ(seen.back(), Seen::New) << scenario.name << ": a power cut after success lost the change";
        EXPECT_GT(std::count(seen.begin(), seen.end() - 1, Seen::Old), 0)
            << scenario.name << ": no power cut left the old state";
    }

    // The writing command of that name on the shop (create on customers alone).
    Scenario scenario(const std::string& name) {
        if (name == "create")
            return {name, customersOnly(), {{"create", dir(), "returns", "id:u_long:32 | order:u_long:32 reason:str:16"}, "", {}},
                    {{"info", dir()}, {"info", dir(), "returns"}, {"dump", dir(), "customers"}, {"dump", dir(), "returns"}}};
        const std::string text = name == "load" ? ordersText(280, 5) : std::string();
        Scenario s{name, shop(), {{name, dir()}, "", {}}, shopViews()};
        if (name == "sort") s.command.args.push_back("orders");
        if (name == "load") s.command = {{"load", dir(), "orders"}, text, {}};
        if (name == "load_csv") s.command = {{"load", dir(), "orders", "--csv"}, ordersCsv(280, 9), {}};
        if (name == "strip") s.views.insert(s.views.end(), {{"info", dir(), "customers"}, {"info", dir(), "orders"}});
        return s;
    }
    TempDir tmp{"orvex-crash-test"};
    fs::path root = tmp.path();
    fs::path setDir = root / "set";
    fs::path logDir = root / "log";
    std::map<Files, Seen> verdicts;
};

// Every writing command, stopped at every point as by a crash and as by a
// power cut; one CTest entry each, so that they run side by side.
class EveryWritingCommand : public CrashTest, public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(EveryWritingCommand, IsOldOrNewWhereverCut) {
    const Scenario s = scenario(std::get<0>(GetParam()));
    const Ends e = ends(s);
    ASSERT_GT(e.points, 0) << s.name << " changed no file under the shim";
    if (std::get<1>(GetParam()))
        powerCutAtEveryPoint(s, e);
    else
        crashAtEveryPoint(s, e);
}

INSTANTIATE_TEST_SUITE_P(Commands, EveryWritingCommand,
                         ::testing::Combine(::testing::Values("sort", "load", "load_csv", "strip", "create"),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<EveryWritingCommand::ParamType>& info) {
                             return std::string(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_power_cut" : "_crash");
                         });

}  // namespace
