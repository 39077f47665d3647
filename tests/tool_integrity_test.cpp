// The orvex program keeps a table set whole: a command that fails changes
// nothing, one writer works at a time, readers change nothing and need no
// right to write, and a failure to write the output is a failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "host/directory_file_set.h"
#include "tests/test_support.h"
#include "tests/tool_runner.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

class ToolIntegrity : public ::testing::Test {
protected:
    Outcome orvex(const std::vector<std::string>& args, const std::string& input = "", const std::string& prefix = "") {
        return runOrvex(root, args, input, prefix);
    }
    void ok(const std::vector<std::string>& args, const std::string& input = "") {
        const Outcome run = orvex(args, input);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    void fails(const std::vector<std::string>& args, const std::string& message, const std::string& input = "",
               const std::string& prefix = "") {
        const Outcome run = orvex(args, input, prefix);
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_EQ(run.err, "orvex: " + message + "\n");
    }
    fs::path file(const std::string& name) const { return fs::path(dir) / name; }

    void makeOrders() {
        ok({"create", dir, "orders", "id:u_long:32 | qty:int:16 note:str:8"});
        std::string csv = "id,qty,note\n";
        for (int i = 0; i < 500; ++i) csv += std::to_string((i * 7919) % 1000) + "," + std::to_string(i) + ",n\n";
        ok({"load", dir, "orders", "--csv"}, csv);
    }

    TempDir tmp{"orvex-integrity-test"};
    fs::path root = tmp.path();
    std::string dir = (root / "db").string();
};

TEST_F(ToolIntegrity, ACommandThatFailsHalfWayChangesNothing) {
    makeOrders();
    const auto before = directorySnapshot(dir);

    // A bad value on the last line: the records before it were written, then
    // the whole load was taken back.
    fails({"load", dir, "orders", "--csv"}, "line 3, field qty: 70000 does not fit (int of 16 bits holds -32768..32767)",
          "id,qty,note\n1,1,a\n2,70000,b\n");
    EXPECT_TRUE(sameFiles(before, directorySnapshot(dir)));

    // A definition the library refuses after starting to write its files;
    // too many words for a shell command, so the program is run directly.
    std::vector<std::string> args = {ORVEX_TOOL, "create", dir, "wide"};
    for (int i = 0; i < 65536; ++i) args.push_back("f" + std::to_string(i) + ":int:1");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::freopen("/dev/null", "w", stdout);
        ::freopen("/dev/null", "w", stderr);
        ::execv(ORVEX_TOOL, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_TRUE(sameFiles(before, directorySnapshot(dir)));
    ok({"create", dir, "wide", "f:int:1"});  // the name is free
}

TEST_F(ToolIntegrity, AFullDiskFailsTheCommandAndKeepsTheOldTable) {
    makeOrders();
    const auto before = directorySnapshot(dir);
    std::string csv = "id,qty,note\n";
    for (int i = 0; i < 20000; ++i) csv += std::to_string(i) + ",1,abcdefgh\n";
    const std::string oldRecords = orvex({"dump", dir, "orders"}).out;
    // Files may not grow past 32 KiB (ulimit counts 512-byte blocks in sh):
    // room for the old table and its journal, not for the new records.
    Outcome run = orvex({"load", dir, "orders", "--csv"}, csv, "trap '' XFSZ; ulimit -f 64;");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(has(run.err, "Couldn't write the files of " + dir));
    EXPECT_TRUE(sameFiles(before, directorySnapshot(dir)));

    // Past 2 KiB not even the journal fits: what it could not save was never
    // touched, readers see the old records, and the next writer tidies up.
    run = orvex({"load", dir, "orders", "--csv"}, csv, "trap '' XFSZ; ulimit -f 4;");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(orvex({"dump", dir, "orders"}).out, oldRecords);
    ok({"sort", dir, "orders"});
    ok({"check", dir});
    EXPECT_FALSE(fs::exists(file(Host::kJournalFileName)));
}

TEST_F(ToolIntegrity, AWriterWaitsForTheSetThenNamesIt) {
    makeOrders();
    {
        Host::DirectoryFileSet held(dir);  // another writer, as far as the program can tell
        fails({"sort", dir, "orders", "--wait", "0.2"}, "table set " + dir + " is in use by another process");
        fails({"dump", dir, "orders", "--wait=0"}, "table set " + dir + " is in use by another process");
    }
    ok({"sort", dir, "orders", "--wait", "0"});
    const Outcome bad = orvex({"sort", dir, "orders", "--wait", "soon"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "orvex: --wait must be a number of seconds from 0 to 86400\n");
    ok({"sort", dir, "orders", "--no-sync"});
}

TEST_F(ToolIntegrity, ReadersChangeNothingAndNeedNoRightToWrite) {
    makeOrders();
    ok({"sort", dir, "orders"});
    const auto before = directorySnapshot(dir);
    for (const std::vector<std::string>& reader : std::vector<std::vector<std::string>>{
             {"info", dir}, {"info", dir, "orders"}, {"dump", dir, "orders"}, {"find", dir, "orders", "7"}, {"check", dir}})
        ok(reader);
    EXPECT_TRUE(sameFiles(before, directorySnapshot(dir)));

    if (::geteuid() != 0 || std::system("command -v runuser >/dev/null && id nobody >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and runuser to run as a user who may only read";
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    // The build tree may lie where the other user cannot reach (a private
    // temporary folder): that user runs a copy of the program and its
    // libraries placed beside the set.
    const fs::path bin = root / "bin";
    fs::create_directory(bin);
    fs::copy_file(ORVEX_TOOL, bin / "orvex");
    std::stringstream libraries(ORVEX_LIBRARIES);
    for (std::string library; std::getline(libraries, library, ':');)
        fs::copy_file(library, bin / fs::path(library).filename());
    const std::string asReader = "runuser -u nobody -- env LD_LIBRARY_PATH=" + shellQuoted(bin.string());
    const std::string program = (bin / "orvex").string();
    for (const std::vector<std::string>& reader : std::vector<std::vector<std::string>>{
             {"info", dir, "orders"}, {"dump", dir, "orders", "--csv"}, {"find", dir, "orders", "7"}, {"check", dir}}) {
        const Outcome run = runOrvex(root, reader, "", asReader, "", program);
        EXPECT_EQ(run.status, 0) << reader[0] << ": " << run.err;
    }
    const Outcome sort = runOrvex(root, {"sort", dir, "orders"}, "", asReader, "", program);
    EXPECT_EQ(sort.status, 1);
    EXPECT_EQ(sort.err, "orvex: Couldn't open " + dir + "/.orvex-lock: Permission denied\n");
    EXPECT_TRUE(sameFiles(before, directorySnapshot(dir)));
}

TEST_F(ToolIntegrity, WriteProtectedFilesAreRefusedNotReplaced) {
    makeOrders();
    fs::permissions(file("orders.bin"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const auto before = directorySnapshot(dir);
    EXPECT_EQ(orvex({"load", dir, "orders", "--csv"}, "id,qty,note\n1,1,a\n").status, 1);
    EXPECT_EQ(orvex({"sort", dir, "orders"}).status, 1);
    EXPECT_TRUE(sameFiles(before, directorySnapshot(dir)));
    EXPECT_EQ(fs::status(file("orders.bin")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(ToolIntegrity, OutputThatCannotBeWrittenIsAFailure) {
    makeOrders();
    for (const std::vector<std::string>& reader : std::vector<std::vector<std::string>>{
             {"info", dir}, {"check", dir}, {"dump", dir, "orders"}, {"find", dir, "orders", "7", "--scan"}}) {
        const Outcome run = runOrvex(root, reader, "", "", "/dev/full");
        EXPECT_EQ(run.status, 1) << reader[0];
        EXPECT_EQ(run.err, "orvex: Couldn't write to standard output: no space left on device\n") << reader[0];
    }
}

TEST_F(ToolIntegrity, InputThatIsADirectoryIsNamedSo) {
    makeOrders();
    const std::string command = shellQuoted(ORVEX_TOOL) + " load " + shellQuoted(dir) + " orders <" +
                          shellQuoted(root.string()) + " 2>" + shellQuoted((root / "err").string());
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(root / "err"), "orvex: standard input is a directory, not a file of records\n");
}

}  // namespace
