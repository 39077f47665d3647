// The orvex program run as a child process with its own environment, for
// the tests that preload a library into it or run many of it at once. The
// program is started directly (no shell), so what is put in its environment
// reaches it and nothing else.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

extern char** environ;

namespace TestSupport {

struct ToolOutcome {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out, err;
};

// One run of the program: its arguments, what it reads on standard input,
// and variables added to (or replacing those of) the test's environment.
struct ToolCall {
    std::vector<std::string> args;
    std::string input;
    std::map<std::string, std::string> env;
};

// A run started and not yet waited for; its output goes to files in a
// scratch directory of its own.
class ToolProcess {
public:
    // Starts `program` as `call` says, keeping its files under `scratch`
    // (created). Raises std::runtime_error if it cannot be started.
    ToolProcess(const std::string& program, const ToolCall& call, const std::filesystem::path& scratch)
        : m_scratch(scratch) {
        std::filesystem::create_directories(scratch);
        writeFile(scratch / "stdin", call.input);
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), call.args.begin(), call.args.end());
        const std::vector<std::string> envp = environment(call.env);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, (scratch / "stdin").c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (scratch / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (scratch / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argPointers = pointers(argv), envPointers = pointers(envp);
        const int error = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argPointers.data(), envPointers.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) throw std::runtime_error("cannot start " + program);
    }
    ~ToolProcess() { if (m_pid > 0) ::waitpid(m_pid, nullptr, 0); }

    // Waits for the program and gives what it did.
    const ToolOutcome& outcome() {
        if (m_pid > 0) {
            int raw = 0;
            while (::waitpid(m_pid, &raw, 0) < 0 && errno == EINTR) {
            }
            collect(raw);
        }
        return m_outcome;
    }

private:
    static std::vector<std::string> environment(const std::map<std::string, std::string>& added) {
        std::vector<std::string> env;
        for (char** entry = environ; *entry; ++entry) {
            const std::string line = *entry;
            if (!added.count(line.substr(0, line.find('=')))) env.push_back(line);
        }
        for (const auto& variable : added) env.push_back(variable.first + "=" + variable.second);
        return env;
    }

    static std::vector<char*> pointers(const std::vector<std::string>& words) {
        std::vector<char*> list;
        for (const std::string& w : words) list.push_back(const_cast<char*>(w.c_str()));
        list.push_back(nullptr);
        return list;
    }

    void collect(int raw) {
        m_pid = 0;
        m_outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        m_outcome.out = readFile(m_scratch / "stdout");
        m_outcome.err = readFile(m_scratch / "stderr");
    }

    std::filesystem::path m_scratch;
    pid_t m_pid = 0;
    ToolOutcome m_outcome;
};

// Runs `program` once to its end.
inline ToolOutcome runTool(const std::string& program, const ToolCall& call, const std::filesystem::path& scratch) {
    ToolProcess process(program, call, scratch);
    return process.outcome();
}

// Passes when `part` occurs in `text`; a failure shows both.
inline ::testing::AssertionResult has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

// Every file of a directory with its bytes (symlinks and FIFOs by kind
// only), the set's lock file aside.
inline std::map<std::string, std::string> directorySnapshot(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name == ".orvex-lock") continue;
        files[name] = fs::is_regular_file(fs::symlink_status(e.path())) ? readFile(e.path()) : "<not regular>";
    }
    return files;
}

#ifdef ORVEX_TOOL
// A fixture driving the built program on table sets in a fresh directory:
// run it, expect success, or a status and exactly one error line with the
// set's files as they were.
class ToolSession : public ::testing::Test {
protected:
    ToolOutcome orvex(const std::vector<std::string>& args, const std::string& input = "") {
        return runTool(ORVEX_TOOL, {args, input, {}}, root / "run");
    }
    std::string ok(const std::vector<std::string>& args, const std::string& input = "") {
        const ToolOutcome run = orvex(args, input);
        EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
        return run.out;
    }
    void fails(const std::vector<std::string>& args, const std::string& message, const std::string& input = "",
               int status = 1) {
        const bool inDir = std::filesystem::is_directory(dir);
        const auto before = inDir ? directorySnapshot(dir) : std::map<std::string, std::string>();
        const ToolOutcome run = orvex(args, input);
        EXPECT_EQ(run.status, status) << message << "\n" << run.out;
        EXPECT_EQ(run.err, "orvex: " + message + "\n");
        if (inDir) {
            EXPECT_EQ(directorySnapshot(dir), before) << message;
        }
    }
    std::filesystem::path file(const std::string& name) const { return std::filesystem::path(dir) / name; }

    // customers 0..3 (ids 1, 2, 3, 4, sorted) and orders referring to them,
    // loaded out of key order.
    void makeShop() {
        ok({"create", dir, "customers", "id:u_long:32 | name:str:24 city:str:12:packed"});
        ok({"create", dir, "orders",
            "id:u_long:32 | customer:u_long:32@ref=customers qty:int:16@range=1..500 price:fixed:2:32"});
        ok({"load", dir, "customers", "--csv"},
           "id,name,city\n1,Ada Lovelace,London\n2,\"Dubois, Ben\",Lyon\n3,Chloé Park,Oslo\n4,Dan,Rome\n");
        ok({"load", dir, "orders", "--csv"},
           "id,customer,qty,price\n1003,2,1,19.99\n1001,0,12,4.50\n1004,1,3,120.00\n1002,2,250,0.75\n");
    }
    std::string dump(const std::string& table) { return ok({"dump", dir, table, "--csv"}); }
    // Runs each (args, input, message, status) row: the table's shape of a refusal.
    struct Refusal {
        std::vector<std::string> args;
        std::string input, message;
        int status = 1;
    };
    void refuses(const std::vector<Refusal>& rows) {
        for (const Refusal& r : rows) fails(r.args, r.message, r.input, r.status);
    }

    TempDir tmp{"orvex-tool"};
    std::filesystem::path root = tmp.path();
    std::string dir = (root / "shop").string();
};
#endif

}  // namespace TestSupport
