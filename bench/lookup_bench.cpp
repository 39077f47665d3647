// One key of the demo's orders looked up by a fresh process: `orvex find`
// beside the sqlite3 shell's `SELECT * FROM orders WHERE id = K` on the same
// rows (id the INTEGER PRIMARY KEY), as a user would run either.
//
//   lookup_bench [--orders N] [--runs R]
//
// Makes the demo set in a temporary directory (`orvex demo`, which sorts
// orders and records that it did), copies its orders into a SQLite file
// through the shell (`.import` of `orvex dump --csv`), then runs each
// program R times (21 unless given), each run a new process looking up a
// different id, both with the same ids, output thrown away. Prints the
// median and best wall time of each, their ratio, and the bytes each run
// read: rchar from /proc/PID/io, read while the finished child is still a
// zombie (waitid with WNOWAIT), so it counts every read(2) and pread(2) of
// the whole process (its shared libraries' headers, the structure files,
// the table list and the contents file): an upper bound of what it read of
// the contents file. Exit status 1 if the ratio is above 3 or orvex read
// 64 KiB or more.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Run {
    double seconds = 0;
    unsigned long long bytesRead = 0;
};

unsigned long long rchar(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string name;
    unsigned long long value = 0;
    while (io >> name >> value)
        if (name == "rchar:") return value;
    return 0;
}

// Runs `args` with standard output to `out` (input from /dev/null); exits
// the bench if it fails.
Run run(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen("/dev/null", "r", stdin);
        std::freopen(out.c_str(), "w", stdout);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    Run result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.bytesRead = rchar(pid);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "lookup_bench: %s failed\n", args[0].c_str());
        std::exit(2);
    }
    return result;
}

struct Summary {
    double median, best;
    unsigned long long mostRead;
};

Summary summarise(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    Summary s{runs[runs.size() / 2].seconds, runs.front().seconds, 0};
    for (const Run& r : runs) s.mostRead = std::max(s.mostRead, r.bytesRead);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long orders = 1000000;
    int runs = 21;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--orders")
            orders = std::strtoul(argv[i + 1], nullptr, 10);
        else if (flag == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    char tmpl[] = "/tmp/orvex-lookup-XXXXXX";
    if (!::mkdtemp(tmpl)) return 2;
    const std::string root = tmpl, set = root + "/set", csv = root + "/orders.csv", db = root + "/orders.db";
    const std::string tool = ORVEX_TOOL;
    run({tool, "demo", set, "--orders", std::to_string(orders)});
    run({tool, "dump", set, "orders", "--csv"}, csv);
    run({"sqlite3", db,
         "CREATE TABLE orders(id INTEGER PRIMARY KEY, customer INTEGER, qty INTEGER, price REAL, status TEXT, day "
         "INTEGER)",
         ".mode csv", ".import --skip 1 " + csv + " orders"});

    std::mt19937 random(20261206);
    std::uniform_int_distribution<unsigned long> id(1, orders);
    std::vector<Run> found, selected;
    for (int i = 0; i < runs; ++i) {
        const std::string key = std::to_string(id(random));
        found.push_back(run({tool, "find", set, "orders", key}));
        selected.push_back(run({"sqlite3", db, "SELECT * FROM orders WHERE id = " + key}));
    }
    const Summary o = summarise(found), s = summarise(selected);
    std::printf("one key of %lu orders, fresh process, %d runs each\n", orders, runs);
    std::printf("  %-24s median %7.2f ms  best %7.2f ms  read at most %llu bytes\n", "orvex find", o.median * 1e3,
                o.best * 1e3, o.mostRead);
    std::printf("  %-24s median %7.2f ms  best %7.2f ms  read at most %llu bytes\n", "sqlite3 SELECT", s.median * 1e3,
                s.best * 1e3, s.mostRead);
    const double ratio = o.median / s.median;
    std::printf("  ratio (medians) %.2f (target at most 3); orvex read %s 64 KiB\n", ratio,
                o.mostRead < 65536 ? "under" : "NOT under");
    std::filesystem::remove_all(root);
    return ratio <= 3 && o.mostRead < 65536 ? 0 : 1;
}
