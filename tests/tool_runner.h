// Running the orvex program from a test as a user runs it: arguments,
// standard input, an optional shell prefix (environment, ulimit, another
// user), then its exit status, standard output and standard error.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/test_support.h"

#ifndef ORVEX_TOOL
#error "ORVEX_TOOL must name the orvex program"
#endif

namespace TestSupport {

struct Outcome {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out, err;
};

// `word` as one word of a POSIX shell command.
inline std::string shellQuoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Passes when `part` occurs in `text`; a failure shows both.
inline ::testing::AssertionResult has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

// Runs orvex with `args`; its standard streams go through files in
// `scratch`. `prefix` comes before the program in the shell command
// ("ulimit -f 1;", "runuser -u nobody --"); `program` is the built one
// unless another copy is named.
inline Outcome runOrvex(const std::filesystem::path& scratch, const std::vector<std::string>& args,
                        const std::string& input = std::string(), const std::string& prefix = std::string(),
                        const std::string& standardOutput = std::string(),
                        const std::string& program = ORVEX_TOOL) {
    writeFile(scratch / "stdin", input);
    std::string command = prefix + " " + shellQuoted(program);
    for (const std::string& a : args) command += " " + shellQuoted(a);
    const std::string out = standardOutput.empty() ? (scratch / "stdout").string() : standardOutput;
    command += " <" + shellQuoted((scratch / "stdin").string()) + " >" + shellQuoted(out) + " 2>" +
               shellQuoted((scratch / "stderr").string());
    Outcome run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = standardOutput.empty() ? readFile(scratch / "stdout") : std::string();
    run.err = readFile(scratch / "stderr");
    return run;
}

// Every file of a directory with its bytes (symlinks and FIFOs by kind
// only), the set's lock file aside.
inline std::map<std::string, std::string> directorySnapshot(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name == ".orvex-lock") continue;
        const fs::file_status s = fs::symlink_status(e.path());
        files[name] = fs::is_regular_file(s) ? readFile(e.path()) : "<not regular>";
    }
    return files;
}

// Passes when two snapshots hold the same files with the same bytes; a
// failure names the files that differ and their sizes, not their bytes.
inline ::testing::AssertionResult sameFiles(const std::map<std::string, std::string>& expected,
                                            const std::map<std::string, std::string>& actual) {
    std::string differences;
    for (const auto& file : expected) {
        const auto found = actual.find(file.first);
        if (found == actual.end())
            differences += " " + file.first + " is gone;";
        else if (found->second != file.second)
            differences += " " + file.first + " changed (" + std::to_string(file.second.size()) + " -> " +
                           std::to_string(found->second.size()) + " bytes);";
    }
    for (const auto& file : actual)
        if (!expected.count(file.first)) differences += " " + file.first + " appeared;";
    if (differences.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "files differ:" << differences;
}

}  // namespace TestSupport
