// A journal found in a set is a stranger's input: whoever may write the
// directory may leave one. Planted journals of every kind are refused whole,
// by writers, readers and check alike, and change nothing in the set or out
// of it; an honest one still rolls back, and readers see the set as it was
// or refuse, never half a change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fileset/vfstream.h"
#include "host/directory_file_set.h"
#include "tests/test_support.h"
#include "tests/tool_process.h"

#ifndef ORVEX_TOOL
#error "ORVEX_TOOL must name the orvex program"
#endif

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

const uid_t kNobody = 65534;

std::string le64(std::uint64_t v) { return le32(std::uint32_t(v)) + le32(std::uint32_t(v >> 32)); }

// 'F': the file `name` existed (`number` 1) or not, with `length` bytes.
// 'B': `bytes` saved at offset `number`.
struct Entry {
    char kind;
    std::string name;
    std::uint64_t number;
    std::uint64_t length = 0;
    std::string bytes = {};
};

// A journal holding `entries`, each passing its CRC.
std::string forge(const std::vector<Entry>& entries) {
    const std::string salt = le64(12345);
    std::string journal = "ORVEXJNL" + le32(1) + le32(0) + salt;
    for (const Entry& e : entries) {
        std::string body = std::string(1, e.kind) + le32(static_cast<std::uint32_t>(e.name.size())) + e.name;
        body += e.kind == 'F' ? std::string(1, static_cast<char>(e.number)) + le64(e.length)
                              : le64(e.number) + le64(e.bytes.size()) + e.bytes;
        const std::string covered = salt + body;
        const uLong crc = ::crc32(0, reinterpret_cast<const Bytef*>(covered.data()), static_cast<uInt>(covered.size()));
        journal += body + le32(static_cast<std::uint32_t>(crc));
    }
    return journal;
}

// Runs `body` in a child process, as user nobody when `nobody`; its exit
// status (-1 when it did not exit, as after an exception).
int inChild(bool nobody, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (nobody && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class JournalTrust : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(set);
        ASSERT_EQ(tool({"create", dir(), "t", "id:u_long:32 | v:u_long:32", "--no-sync"}).status, 0);
        ASSERT_EQ(tool({"load", dir(), "t", "--csv", "--no-sync"}, "id,v\n3,30\n1,10\n2,20\n").status, 0);
        dumped = tool({"dump", dir(), "t"}).out;
        fs::copy(set, pristine);
    }

    ToolOutcome tool(std::vector<std::string> args, const std::string& input = std::string()) {
        args.insert(args.end(), {"--wait", "1"});
        return runTool(ORVEX_TOOL, {args, input, {}}, root.path() / "run");
    }
    std::string dir() const { return set.string(); }

    // The set as it was made, and a file of the same user beside it.
    void reset() {
        fs::remove_all(set);
        fs::copy(pristine, set);
        writeFile(outside, "not the set's");
        fs::permissions(outside, fs::perms::owner_read | fs::perms::owner_write);
    }

    // Type, mode, owner and bytes of everything under the root, the tool's
    // scratch files and the lock aside.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (auto it = fs::recursive_directory_iterator(root.path()); it != fs::recursive_directory_iterator(); ++it) {
                const fs::path name = it->path().filename();
            if (name == "run") it.disable_recursion_pending();
            if (name == "run" || name == Host::kLockFileName) continue;
            struct stat st;
            ::lstat(it->path().c_str(), &st);
            files[it->path().string()] = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                                         (S_ISREG(st.st_mode) ? readFile(it->path()) : std::string());
        }
        return files;
    }

    TempDir root;
    fs::path set = root.path() / "set", pristine = root.path() / "pristine", outside = root.path() / "outside";
    fs::path journal = set / Host::kJournalFileName;
    std::string dumped;
};

TEST_F(JournalTrust, APlantedJournalIsRefusedWholeByEveryCommandAndChangesNothing) {
    const std::string notOurs = journal.string() + " is not a journal this set could have written: ";
    struct Planted {
        std::string label;
        std::vector<Entry> entries;  // none: no journal
        std::string message;
        std::function<void()> prepare = [] {};
    };
    const auto names = [&](const std::string& name) {
        return notOurs + "it names \"" + name + "\", which is not a file of the set";
    };
    const std::vector<Planted> cases = {
        {"a file emptied out of the set", {{'F', "../outside", 1, 0}}, names("../outside")},
        {"a file made out of the set", {{'F', "../../x", 1, 4}, {'B', "../../x", 0, 0, "evil"}}, names("../../x")},
        {"a file removed out of the set", {{'F', "../outside", 0}}, names("../outside")},
        {"a subdirectory", {{'F', "a/b.bin", 1, 0}}, names("a/b.bin")},
        {"an empty name", {{'F', "", 1, 0}}, names("")},
        {"the directory", {{'F', ".", 1, 0}}, names(".")},
        {"its parent", {{'F', "..", 1, 0}}, names("..")},
        {"the lock", {{'F', Host::kLockFileName, 1, 0}}, names(Host::kLockFileName)},
        {"a symlink to a file out of the set", {{'F', "link.bin", 1, 0}},
         notOurs + "it would write \"link.bin\", which is not a regular file",
         [&] { fs::create_symlink(outside, set / "link.bin"); }},
        {"a file nobody may write", {{'F', "kept.bin", 1, 0}},
         notOurs + "it would write \"kept.bin\", which nobody may write", [&] {
             writeFile(set / "kept.bin", "keep"), fs::permissions(set / "kept.bin", fs::perms::owner_read);
         }},
        {"a file no table has, removed", {{'F', "notes.txt", 0}},
         notOurs + "it would remove \"notes.txt\", which is no name of a table's file",
         [&] { writeFile(set / "notes.txt", "notes"); }},
        {"a file no table has, made", {{'F', "run.sh", 1, 5}, {'B', "run.sh", 0, 0, "echo!"}},
         notOurs + "it would make \"run.sh\", which is no name of a table's file"},
        {"bytes past the noted length", {{'F', "t.bin", 1, 4}, {'B', "t.bin", 2, 0, "abcdef"}},
         notOurs + "it saves 6 bytes at 2 of \"t.bin\", past the length of 4 it noted"},
        {"bytes before the file is noted", {{'B', "t.bin", 0, 0, "x"}},
         notOurs + "it saves bytes of \"t.bin\" before noting"},
        {"an offset of 2^62", {{'F', "t.bin", 1, 8}, {'B', "t.bin", std::uint64_t(1) << 62, 0, "x"}},
         notOurs + "it saves 1 bytes at 4611686018427387904 of \"t.bin\""},
        {"a length of 2^62", {{'F', "t.bin", 1, std::uint64_t(1) << 62}}, notOurs + "it gives \"t.bin\" a length of"},
        {"a journal others may write", {{'F', "t.bin", 1, 0}}, notOurs + "users other than its owner may write it",
         [&] { fs::permissions(journal, fs::perms::others_write, fs::perm_options::add); }},
        {"a journal with a second name", {{'F', "t.bin", 1, 0}}, notOurs + "it has more than one name",
         [&] { fs::create_hard_link(journal, set / "copy.bin"); }},
        {"a journal of another user", {{'F', "t.bin", 1, 0}}, notOurs + "it belongs to user 65534",
         [&] { ASSERT_EQ(::chown(journal.c_str(), kNobody, kNobody), 0) << "run as root"; }},
        {"a FIFO journal", {}, journal.string() + " is not a regular file", [&] { ::mkfifo(journal.c_str(), 0600); }},
        {"a FIFO lock", {}, (set / Host::kLockFileName).string() + " is not a regular file", [&] {
             fs::remove(set / Host::kLockFileName), ::mkfifo((set / Host::kLockFileName).c_str(), 0600);
         }},
    };
    for (const Planted& planted : cases) {
        SCOPED_TRACE(planted.label);
        reset();
        if (!planted.entries.empty()) writeFile(journal, forge(planted.entries));
        planted.prepare();
        const auto before = snapshot();
        for (const std::vector<std::string>& args : {std::vector<std::string>{"sort", dir(), "t"}, {"dump", dir(), "t"},
                                                       {"check", dir()}}) {
            const ToolOutcome run = tool(args);
            EXPECT_EQ(run.status, 1) << args[0];
            EXPECT_NE((run.out + run.err).find(planted.message), std::string::npos) << run.out << run.err;
            if (args[0] != "check" && !planted.entries.empty()) {
                EXPECT_NE(run.err.find("`orvex check " + dir() + "` explains it"), std::string::npos) << run.err;
            }
        }
        EXPECT_EQ(snapshot(), before);
    }
}

// A change left by a set that died: readers (nobody among them, as the
// journal is as readable as the files it saved) see the set as before it,
// a reader who may not read the journal refuses, and the next writer rolls
// it back.
TEST_F(JournalTrust, AnHonestJournalRollsBackAndReadersSeeTheSetAsItWasOrRefuse) {
    fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const auto before = snapshot();
    ASSERT_EQ(inChild(false, [&] {
                  auto* files = new Host::DirectoryFileSet(dir());  // never destroyed
                  files->beginChange();
                  FileSet::ovfstream(*files, "t.bin", std::ios_base::binary, false, true) << "x";
                  FileSet::ovfstream(*files, "u.bin", std::ios_base::binary, false, true) << "made";
                  return files->remove("tables.lst") ? 0 : 1;
              }),
              0);
    ASSERT_TRUE(fs::exists(journal));
    struct stat st, saved;
    ::stat(journal.c_str(), &st);
    ::stat((pristine / "t.bin").c_str(), &saved);
    EXPECT_EQ(st.st_mode & 0777, 0600 | (saved.st_mode & 0444));
    EXPECT_EQ(tool({"dump", dir(), "t"}).out, dumped);
    EXPECT_EQ(tool({"check", dir()}).status, 0);

    if (::geteuid() == 0) {
        const std::string unreadable =
            "a change to " + dir() + " was cut off and its journal can't be read: permission denied";
        const auto readAsNobody = [&] {
            return inChild(true, [&] {
                Host::DirectoryFileSet::Options readOnly;
                readOnly.writable = false;
                try {
                    Host::DirectoryFileSet files(dir(), readOnly);
                    FileSet::ivfstream in(files, "t.bin", std::ios_base::binary, false, true);
                    return std::string(std::istreambuf_iterator<char>(in), {}) == readFile(pristine / "t.bin") ? 0 : 1;
                } catch (const std::runtime_error& e) {
                    return std::string(e.what()).rfind(unreadable, 0) == 0 ? 2 : 3;
                }
            });
        };
        EXPECT_EQ(readAsNobody(), (saved.st_mode & S_IROTH) ? 0 : 2);
        fs::permissions(journal, fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(readAsNobody(), 2);
        fs::permissions(journal, static_cast<fs::perms>(st.st_mode & 0777));
    }

    {
        Host::DirectoryFileSet writer(dir());
        EXPECT_TRUE(writer.recovered());
    }
    EXPECT_EQ(snapshot(), before);
}

}  // namespace
