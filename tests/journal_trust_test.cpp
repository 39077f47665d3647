// A journal found in a set is a stranger's input: whoever may write the
// directory may leave one. Planted journals of every kind are refused whole,
// by writers, readers and check alike, and change nothing in the set or out
// of it; an honest one still rolls back.
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
#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

std::string le64(std::uint64_t v) { return le32(std::uint32_t(v)) + le32(std::uint32_t(v >> 32)); }

// 'F': the file `name` existed (`number` 1) or not, with `length` bytes.
// 'B': `bytes` saved at offset `number`.
struct Entry {
    char kind;
    std::string name;
    std::uint64_t number, length = 0;
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
        journal += body + le32(::crc32(0, reinterpret_cast<const Bytef*>(covered.data()), static_cast<uInt>(covered.size())));
    }
    return journal;
}

class JournalTrust : public ToolSession {
protected:
    void SetUp() override {
        ok({"create", dir, "t", "id:u_long:32 | v:u_long:32", "--no-sync"});
        ok({"load", dir, "t", "--csv", "--no-sync"}, "id,v\n3,30\n1,10\n2,20\n");
        fs::copy(dir, root / "pristine");
    }

    // Type, mode, owner and bytes of everything under the root, the tool's
    // scratch files and the lock aside.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
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

    fs::path outside = root / "outside", journal = file(Host::kJournalFileName);
};

TEST_F(JournalTrust, APlantedJournalIsRefusedWholeByEveryCommandAndChangesNothing) {
    const std::string notOurs = journal.string() + " is not a journal this set could have written: ";
    const auto names = [&](const std::string& name) { return notOurs + "it names \"" + name + "\", which is not a file of the set"; };
    const struct {
        std::vector<Entry> entries;  // none: no journal
        std::string message;
        std::function<void()> prepare = [] {};
    } cases[] = {
        {{{'F', "../outside", 1, 0}}, names("../outside")},
        {{{'F', "", 1, 0}}, names("")},
        {{{'F', "..", 1, 0}}, names("..")},
        {{{'F', Host::kLockFileName, 1, 0}}, names(Host::kLockFileName)},
        {{{'F', Host::kJournalFileName, 1, 0}}, names(Host::kJournalFileName)},
        {{{'F', "link.bin", 1, 0}}, notOurs + "it would write \"link.bin\", which is not a regular file",
         [&] { fs::create_symlink(outside, file("link.bin")); }},
        {{{'F', "kept.bin", 1, 0}}, notOurs + "it would write \"kept.bin\", which nobody may write",
         [&] { writeFile(file("kept.bin"), "keep"), fs::permissions(file("kept.bin"), fs::perms::owner_read); }},
        {{{'F', "notes.txt", 0}}, notOurs + "it would remove \"notes.txt\", which is no name of a table's file",
         [&] { writeFile(file("notes.txt"), "notes"); }},
        {{{'F', "run.sh", 1, 5}, {'B', "run.sh", 0, 0, "echo!"}},
         notOurs + "it would make \"run.sh\", which is no name of a table's file"},
        {{{'F', "t.bin", 1, 4}, {'B', "t.bin", 2, 0, "abcdef"}},
         notOurs + "it saves 6 bytes at 2 of \"t.bin\", past the length of 4 it noted"},
        {{{'B', "t.bin", 0, 0, "x"}}, notOurs + "it saves bytes of \"t.bin\" before noting"},
        {{{'F', "t.bin", 1, 8}, {'B', "t.bin", std::uint64_t(1) << 62, 0, "x"}},
         notOurs + "it saves 1 bytes at 4611686018427387904 of \"t.bin\""},
        {{{'F', "t.bin", 1, std::uint64_t(1) << 62}}, notOurs + "it gives \"t.bin\" a length of"},
        {{{'F', "t.bin", 1, 0}}, notOurs + "users other than its owner may write it",
         [&] { fs::permissions(journal, fs::perms::others_write, fs::perm_options::add); }},
        {{{'F', "t.bin", 1, 0}}, notOurs + "it has more than one name", [&] { fs::create_hard_link(journal, file("copy.bin")); }},
        {{{'F', "t.bin", 1, 0}}, notOurs + "it belongs to user 65534", [&] { ASSERT_EQ(::chown(journal.c_str(), 65534, 65534), 0); }},
        {{}, journal.string() + " is not a regular file", [&] { ::mkfifo(journal.c_str(), 0600); }},
        {{}, journal.string() + " is not a regular file", [&] { fs::create_symlink(outside, journal); }},
        {{}, file(Host::kLockFileName).string() + " is not a regular file",
         [&] { fs::remove(file(Host::kLockFileName)), ::mkfifo(file(Host::kLockFileName).c_str(), 0600); }},
    };
    for (const auto& planted : cases) {
        SCOPED_TRACE(planted.message);
        fs::remove_all(dir);
        fs::copy(root / "pristine", dir);
        writeFile(outside, "not the set's");
        fs::permissions(outside, fs::perms::owner_read | fs::perms::owner_write);
        if (!planted.entries.empty()) writeFile(journal, forge(planted.entries));
        planted.prepare();
        const auto before = snapshot();
        for (const std::vector<std::string>& args : {std::vector<std::string>{"sort", dir, "t"}, {"dump", dir, "t"}, {"check", dir}}) {
            const ToolOutcome run = orvex(args);
            EXPECT_EQ(run.status, 1) << args[0];
            EXPECT_TRUE(has(run.out + run.err, planted.message));
            if (args[0] != "check" && !planted.entries.empty()) {
                EXPECT_TRUE(has(run.err, "`orvex check " + dir + "` explains it"));
            }
        }
        EXPECT_EQ(snapshot(), before);
    }
}

// A change left by a set that died: readers see the set as before it, and
// the next writer rolls it back.
TEST_F(JournalTrust, AnHonestJournalRollsBackAndReadersSeeTheSetAsItWas) {
    const auto before = snapshot();
    const std::string dumped = dump("t");
    const pid_t child = ::fork();
    if (child == 0) {
        auto* files = new Host::DirectoryFileSet(dir);  // never destroyed: the change is left cut off
        files->beginChange();
        FileSet::ovfstream(*files, "t.bin", std::ios_base::binary, false, true) << "x";
        FileSet::ovfstream(*files, "u.bin", std::ios_base::binary, false, true) << "made";
        ::_exit(files->remove("tables.lst") ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && fs::exists(journal));
    EXPECT_EQ(dump("t"), dumped);
    EXPECT_EQ(orvex({"check", dir}).status, 0);
    EXPECT_TRUE(Host::DirectoryFileSet(dir).recovered());
    EXPECT_EQ(snapshot(), before);
}

}  // namespace
