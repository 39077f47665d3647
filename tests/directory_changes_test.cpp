// Changes to a directory file set: all or nothing through the rollback
// journal, what a read-only set sees of a change that was cut off, and the
// lock that keeps one writer at a time. A process that dies in the middle of
// a change is a forked child that ends with _exit, running no destructor.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "fileset/vfstream.h"
#include "host/directory_file_set.h"
#include "host/faulty_file_set.h"
#include "host/rollback_journal.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using Host::DirectoryFileSet;
using namespace TestSupport;

namespace {

// Every file of a directory, the set's lock file aside.
Files snapshot(const fs::path& dir) {
    Files files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename() != Host::kLockFileName) files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

DirectoryFileSet::Options options(bool writable, double waitSeconds = 5.0) { return {writable, true, waitSeconds}; }

// Writes `bytes` at `at` in place, or (at < 0) as the whole new content.
bool write(FileSet::TFileSet& set, const std::string& name, const std::string& bytes, std::streamoff at = -1) {
    FileSet::vfstream file(set);
    file.open(name.c_str(), std::ios_base::binary | (at < 0 ? std::ios_base::trunc : std::ios_base::in));
    file.seekp(std::max<std::streamoff>(at, 0));
    return file.write(bytes.data(), std::streamsize(bytes.size())).flush().good();
}

// One change touching files every way a change can: bytes overwritten in
// place, a file grown, one emptied and rewritten shorter, one made, one
// removed (those two under names of a table's files, the only names a
// rollback from a journal found on disk makes or removes).
void changeEverything(FileSet::TFileSet& set) {
    write(set, "a", "XYZ", 3);
    write(set, "b", "grown past the end", 10);
    write(set, "c", "short");
    write(set, "new.bin", "a file of its own");
    set.remove("gone.bin");
}

// Runs `body` in a child process that then dies without cleaning up; its
// exit status once it has, -1 if it did not exit.
int died(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        message([&] { ::_exit(body()); });  // comes back only if body raised
        ::_exit(3);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DirectoryChanges : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir.path() / "a", "0123456789");
        writeFile(dir.path() / "b", "0123456789");
        writeFile(dir.path() / "c", std::string(5000, 'c'));
        writeFile(dir.path() / "gone.bin", "to be removed");
        before = snapshot(dir.path());
    }
    TempDir dir;
    std::string path = dir.path().string();
    Files before;
};

// A rename journals both names first, so that it is rolled back like any
// other change, a target made in the same change included.
// Abandoned while a file is open, a change can't be rolled back at once; it
// must then never commit, and goes with the set.
TEST_F(DirectoryChanges, AnAbandonedChangeIsRolledBackAndACommittedOneStays) {
    enum { commit, leave, abandonWhileOpen };
    for (int ending : {leave, abandonWhileOpen, commit}) {
        {
            DirectoryFileSet set(path);
            set.beginChange();
            changeEverything(set);
            EXPECT_TRUE(set.rename("b", "a"));
            EXPECT_TRUE(set.rename("new.bin", "gone.bin"));
            if (ending == commit) set.endChange();
            if (ending == abandonWhileOpen) {
                std::streambuf* open = set.open("c", std::ios_base::in, 0, 1);
                set.abandonChange();
                EXPECT_NE(message<std::runtime_error>([&] { set.commit(); }).find("; the change will be rolled back"), std::string::npos);
                set.close(open);
            }
        }
        const Files committed = {{"a", "0123456789grown past the end"}, {"c", "short"}, {"gone.bin", "a file of its own"}};
        EXPECT_EQ(snapshot(dir.path()), ending == commit ? committed : before);
    }
}

// The child commits one write (outside a change, closing the last writing
// buffer of a file commits it), then dies with a change cut off at each call
// it makes to the set in turn. A reader then sees the files as they were
// and changes nothing; the next writer rolls the change back.
TEST_F(DirectoryChanges, AChangeCutOffAtAnyStepIsHiddenFromReadersAndRolledBack) {
    before["a"] = "AB23456789";
    int status = 0;
    for (unsigned step = 0; status == 0 && step < 100; ++step) {
        status = died([&] {
            DirectoryFileSet* set = new DirectoryFileSet(path);  // never destroyed
            write(*set, "a", "AB", 0);
            set->beginChange();
            Host::FaultyFileSet* faulty = new Host::FaultyFileSet(*set);
            faulty->cutAfter(step);
            changeEverything(*faulty);
            return faulty->isCut() ? 0 : 1;
        });
        const Files torn = snapshot(dir.path());
        {
            DirectoryFileSet reader(path, options(false));
            Files seen;
            for (const std::string& name : reader.list()) {
                FileSet::ivfstream in(reader, name.c_str(), std::ios_base::binary, false, true);
                seen[name] = std::string(std::istreambuf_iterator<char>(in), {});
            }
            EXPECT_EQ(seen, before) << step;
        }
        EXPECT_EQ(snapshot(dir.path()), torn) << step;
        { DirectoryFileSet writer(path); }
        EXPECT_EQ(snapshot(dir.path()), before) << step;
    }
    EXPECT_EQ(status, 1);
}

// The file-size limit makes the write back at close fail (EFBIG); the flush
// before it succeeds, as it writes nothing to the disk.
TEST_F(DirectoryChanges, AWriteBackThatFailsFailsTheCommitWhichRollsBack) {
    EXPECT_EQ(died([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1 << 16, 1 << 16};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        DirectoryFileSet set(path);
        set.beginChange();
        if (!write(set, "a", "changed", 0) || !write(set, "c", std::string(1 << 17, 'x'))) return 2;
        const std::string raised = message<std::runtime_error>([&] { set.endChange(); });
        return raised.find("; the change will be rolled back: file too large") != std::string::npos ? 0 : 1;
    }), 0);
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(DirectoryChanges, ADamagedJournalRestoresWhatItSavedInFullOrIsDropped) {
    // A large overwrite saves its original in several entries; the journal is
    // cut inside the last one, as a crash while writing it would. big itself
    // was overwritten only after its whole original was durable, so it was
    // never touched: it is put back as it was.
    const std::string big(3 << 20, 'o');
    writeFile(dir.path() / "big", big);
    ASSERT_EQ(died([&] {
        DirectoryFileSet* set = new DirectoryFileSet(path);
        set->beginChange();
        return write(*set, "a", "first", 0) && write(*set, "big", std::string(big.size(), 'n')) ? 0 : 1;
    }), 0);
    const fs::path journal = dir.path() / Host::kJournalFileName;
    fs::resize_file(journal, fs::file_size(journal) - 100);
    writeFile(dir.path() / "big", big);
    before["big"] = big;
    { DirectoryFileSet set(path); }
    EXPECT_EQ(snapshot(dir.path()), before);
    writeFile(journal, "ORVEXJN");  // cut inside its header
    fs::permissions(journal, fs::perms::group_write, fs::perm_options::add);
    errno = ENOENT;  // left over from the host, it must not pass for a missing journal
    EXPECT_NE(message([&] { DirectoryFileSet set(path); }).find("users other than its owner may write it"), std::string::npos);
    fs::permissions(journal, fs::perms::group_write, fs::perm_options::remove);
    { DirectoryFileSet set(path); }
    EXPECT_EQ(snapshot(dir.path()), before);
}

// A read-only set, a symbolic link and a file nobody may write change
// nothing; the bytes a read-only set takes are refused at the flush.
TEST_F(DirectoryChanges, ReadOnlySetsLinksAndWriteProtectedFilesAreNotWrittenThrough) {
    writeFile(dir.path() / "outside", "not ours");
    fs::create_symlink(dir.path() / "outside", dir.path() / "link");
    fs::permissions(dir.path() / "gone.bin", fs::perms::owner_read | fs::perms::group_read);
    before = snapshot(dir.path());
    const auto in = std::ios_base::in, out = std::ios_base::out;
    const std::pair<const char*, std::ios_base::openmode> refused[] = {
        {"gone.bin", out}, {"link", in | out}, {"a", out}, {"new.bin", in | out}};
    for (bool writable : {false, true}) {
        DirectoryFileSet set(path, options(writable));
        for (std::size_t i = 0; i < (writable ? 2 : 4); ++i)  // the last two only when read only
            EXPECT_EQ(set.open(refused[i].first, refused[i].second, 0, 1), nullptr) << refused[i].first;
        EXPECT_FALSE(set.remove("gone.bin"));
        FileSet::ivfstream open(set, "b", std::ios_base::binary, false, true);
        EXPECT_FALSE(set.rename("b", "moved"));  // its unwritten bytes would follow it
        EXPECT_TRUE(writable || !write(set, "b", "zz", 0));
    }
    EXPECT_EQ(snapshot(dir.path()), before);
}

// Another process gets a set (0) or is refused with a message naming it (1).
TEST_F(DirectoryChanges, OneWriterAtATimeAndReadersOnlyBesideReaders) {
    const struct {
        int holder;  // 1: a writer, 0: a reader, -1: none
        bool writable;
        int status;
    } cases[] = {{1, true, 1}, {1, false, 1}, {0, false, 0}, {0, true, 1}, {-1, true, 0}};
    for (const auto& c : cases) {
        auto held = c.holder < 0 ? nullptr : std::make_unique<DirectoryFileSet>(path, options(c.holder == 1));
        EXPECT_EQ(died([&] {
            const std::string raised = message<std::runtime_error>([&] { DirectoryFileSet(path, options(c.writable, 0.1)); });
            return raised == "<no error>" ? 0 : raised == "table set " + path + " is in use by another process" ? 1 : 2;
        }), c.status) << c.holder << c.writable;
    }
    DirectoryFileSet writer(path), again(path, options(true, 0));  // within a process the lock is shared
}

}  // namespace
