// Every change the orvex tool makes to a table set is all or nothing: the
// real program, with the crash shim preloaded, is stopped at each of its
// file-changing calls in turn (a write cut after half its bytes), and after
// each stop the set must pass `check` and show exactly the old or the new
// data, with no file left over once a writing command has run. The same
// walk runs again as a power cut: every write not yet synced is dropped and
// the set is rebuilt from what the shim saw made durable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

const int kCustomers = 40;

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

// Every file of a set, its lock included.
Files readSet(const fs::path& dir) {
    Files files;
    for (const auto& entry : fs::directory_iterator(dir)) files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

void writeSet(const fs::path& dir, const Files& files) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const auto& file : files) writeFile(dir / file.first, file.second);
}

std::string namesOf(const fs::path& dir) {
    std::string names;
    for (const auto& file : directorySnapshot(dir)) names += file.first + " ";
    return names;
}

// What a power cut leaves, from the shim's log (see crash_shim.cpp): the
// directory as last synced, each file as last synced, both as they began if
// never; a file created during the run and never synced is empty.
Files powerCutLeaves(const fs::path& log) {
    Files files;
    std::istringstream listing(readFile(log / "listing"));
    std::string id, name;
    while (std::getline(listing, id, '\t') && std::getline(listing, name))
        files[name] = fs::exists(log / ("content." + id)) ? readFile(log / ("content." + id)) : "";
    return files;
}

// One writing command on one set, and the commands whose output shows the set's state.
struct Scenario {
    std::string name;
    Files set;
    ToolCall command;
    std::vector<std::vector<std::string>> views;
};

enum Seen { Old, New, Neither };

class CrashTest : public ToolSession, public ::testing::WithParamInterface<std::tuple<const char*, bool>> {
protected:
    ToolOutcome runUnderShim(const Scenario& s, long cutAt) {
        fs::remove_all(logDir);
        fs::create_directories(logDir);
        ToolCall call = s.command;
        const char* asan = std::getenv("ASAN_OPTIONS");
        // A program built with AddressSanitizer wants its runtime first in
        // the list of libraries; the shim comes before it.
        call.env = {{"LD_PRELOAD", ORVEX_CRASH_SHIM}, {"ORVEX_CRASH_DIR", dir}, {"ORVEX_CRASH_LOG", logDir.string()},
                    {"ORVEX_CRASH_COUNT", (root / "count").string()}, {"ORVEX_CRASH_AT", std::to_string(cutAt)},
                    {"ASAN_OPTIONS", std::string(asan && *asan ? asan + std::string(":") : "") + "verify_asan_link_order=0"}};
        return runTool(ORVEX_TOOL, call, root / "run");
    }

    // Every view of the scenario, run side by side (they only read), as one text.
    std::string view(const Scenario& s) {
        std::vector<std::unique_ptr<ToolProcess>> runs;
        for (std::size_t i = 0; i < s.views.size(); ++i)
            runs.push_back(std::make_unique<ToolProcess>(ORVEX_TOOL, ToolCall{s.views[i], "", {}}, root / std::to_string(i)));
        std::string text;
        for (const auto& run : runs)
            text += "[exit " + std::to_string(run->outcome().status) + "]\n" + run->outcome().out + run->outcome().err;
        return text;
    }

    // A writing command that leaves every view as it was: it must finish
    // whatever recovery a cut left to the next writer.
    ToolOutcome probe() { return orvex({"sort", dir, "customers", "--no-sync"}); }

    Files customersOnly() {
        writeSet(dir, {});
        ok({"create", dir, "customers", "id:u_long:32 | name:str:24 city:str:12:packed"});
        std::string csv = "id,name,city\n";
        for (int i = 1; i <= kCustomers; ++i)
            csv += std::to_string(i) + ",Customer " + std::to_string(i) + "," + std::string("OSLOLYONGENTROMA", i % 4 * 4, 4) + "\n";
        ok({"load", dir, "customers", "--csv"}, csv);
        return readSet(dir);
    }

    // Customers sorted, 300 orders far from sorted.
    Files shop() {
        customersOnly();
        ok({"create", dir, "orders", "id:u_long:32 | customer:u_long:32@ref=customers qty:int:16@range=1..500 price:fixed:2:32"});
        ok({"load", dir, "orders", "--csv"}, ordersCsv(300, 0));
        return readSet(dir);
    }

    Scenario scenario(const std::string& name) {
        if (name == "create")
            return {name, customersOnly(), {{"create", dir, "returns", "id:u_long:32 | order:u_long:32 reason:str:16"}, "", {}},
                    {{"info", dir}, {"info", dir, "returns"}, {"dump", dir, "customers"}, {"dump", dir, "returns"}}};
        std::string ordersText;
        if (name == "load") {
            writeSet(dir, shop());
            ok({"load", dir, "orders", "--csv"}, ordersCsv(280, 5));
            ordersText = ok({"dump", dir, "orders"});
        }
        Scenario s{name, shop(), {{name, dir}, "", {}}, {{"info", dir}, {"dump", dir, "customers"}, {"dump", dir, "orders"}}};
        if (name == "sort") s.command.args.push_back("orders");
        if (name == "load") s.command = {{"load", dir, "orders"}, ordersText, {}};
        if (name == "load_csv") s.command = {{"load", dir, "orders", "--csv"}, ordersCsv(280, 9), {}};
        if (name == "strip") s.views.insert(s.views.end(), {{"info", dir, "customers"}, {"info", dir, "orders"}});
        return s;
    }

    // Judges the set left at one point: check, views old or new, views
    // unchanged by a writer's recovery, and no file beyond the state's own.
    // Many points leave the same files, and the verdict depends on nothing else.
    Seen judge(const Scenario& s, const std::string& where) {
        const auto known = verdicts.find(readSet(dir));
        if (known != verdicts.end()) return known->second;
        Seen& verdict = verdicts[readSet(dir)];
        const ToolOutcome check = orvex({"check", dir});
        EXPECT_EQ(check.status, 0) << where << ": check failed:\n" << check.out << check.err;
        const std::string seen = view(s);
        verdict = seen == views[Old] ? Old : seen == views[New] ? New : Neither;
        if (verdict == Neither) {
            ADD_FAILURE() << where << ": neither the old nor the new state:\n" << seen.substr(0, 2000);
            return verdict;
        }
        EXPECT_EQ(probe().status, 0) << where << ": a writing command after the cut failed";
        EXPECT_EQ(view(s), seen) << where << ": the state changed once a writing command ran";
        EXPECT_EQ(namesOf(dir), names[verdict]) << where << ": files other than the state's own";
        return verdict;
    }

    // Every point, or with ORVEX_CRASH_STRIDE=K every K-th (the sanitizer
    // build, where each run costs far more), always with the last; with
    // ORVEX_CRASH_PART=K/N only every N-th of those from the K-th, the
    // first and the last: long walks split over CTest entries.
    static std::vector<long> pointsUpTo(long last) {
        const char *stride = std::getenv("ORVEX_CRASH_STRIDE"), *part = std::getenv("ORVEX_CRASH_PART");
        const long step = stride ? std::max(1L, std::atol(stride)) : 1;
        const long k = part ? std::atol(part) : 0, n = part ? std::max(1L, std::atol(std::strchr(part, '/') + 1)) : 1;
        std::vector<long> points;
        for (long i = 0, p = 1; p < last + step; ++i, p += step)
            if (i % n == k || i == 0 || p >= last) points.push_back(std::min(p, last));
        return points;
    }

    fs::path logDir = root / "log";
    std::string views[2], names[2];
    std::map<Files, Seen> verdicts;
};

// Every writing command, stopped at every point as by a crash and as by a
// power cut (and, for the power cut, once after it succeeded).
TEST_P(CrashTest, IsOldOrNewWhereverCut) {
    const bool powerCut = std::get<1>(GetParam());
    const Scenario s = scenario(std::get<0>(GetParam()));
    for (Seen state : {Old, New}) {
        writeSet(dir, s.set);
        ASSERT_EQ(state == Old ? 0 : runUnderShim(s, 0).status, 0);
        views[state] = view(s);
        ASSERT_EQ(probe().status, 0);
        names[state] = namesOf(dir);
    }
    ASSERT_NE(views[Old], views[New]) << s.name << " changes nothing to compare";
    const long last = std::stol(readFile(root / "count"));
    std::vector<long> points = pointsUpTo(last);
    if (powerCut) points.push_back(last + 1);
    int count[3] = {0, 0, 0};
    Seen seen = Neither;
    for (long n : points) {
        writeSet(dir, s.set);
        const ToolOutcome run = runUnderShim(s, n);
        const std::string where = s.name + (powerCut ? ", power cut at " : ", crash at ") + std::to_string(n);
        EXPECT_EQ(run.status, n > last ? 0 : 137) << where << ": " << run.err;
        if (powerCut) writeSet(dir, powerCutLeaves(logDir));
        ++count[seen = judge(s, where)];
    }
    EXPECT_EQ(count[Neither], 0);
    EXPECT_GT(count[Old], 0) << s.name << ": no cut left the old state";
    EXPECT_GT(count[New], 0) << s.name << ": no cut left the new state";
    EXPECT_EQ(powerCut ? seen : New, New) << s.name << ": a power cut after success lost the change";
}

INSTANTIATE_TEST_SUITE_P(Commands, CrashTest,
                         ::testing::Combine(::testing::Values("sort", "load", "load_csv", "strip", "create"), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<CrashTest::ParamType>& info) {
                             return std::string(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_power_cut" : "_crash");
                         });

}  // namespace
