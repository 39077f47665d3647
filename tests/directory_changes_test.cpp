// Changes to a directory file set: all or nothing through the rollback
// journal, what a read-only set sees of a change that was cut off, and the
// lock that keeps one writer at a time. A process that dies in the middle of
// a change is a forked child that ends with _exit, running no destructor.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "fileset/vfstream.h"
#include "host/directory_file_set.h"
#include "host/rollback_journal.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using Host::DirectoryFileSet;
using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

// Every file of a directory, the set's lock file aside.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename() != Host::kLockFileName) files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

DirectoryFileSet::Options options(bool writable, double waitSeconds = 5.0) {
    DirectoryFileSet::Options o;
    o.writable = writable;
    o.waitSeconds = waitSeconds;
    return o;
}

void overwrite(FileSet::TFileSet& set, const std::string& name, std::streamoff at, const std::string& bytes) {
    FileSet::vfstream file(set);
    file.open(name.c_str(), std::ios_base::binary);
    file.seekp(at);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.flush();
    ASSERT_TRUE(file.good()) << name;
}

void replace(FileSet::TFileSet& set, const std::string& name, const std::string& bytes) {
    FileSet::ovfstream file(set, name.c_str(), std::ios_base::binary, false, true);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.flush();
    ASSERT_TRUE(file.good()) << name;
}

// One change touching files every way a change can: bytes overwritten in
// place, a file grown, one emptied and rewritten shorter, one made, one
// removed (those two under names of a table's files, the only names a
// rollback from a journal found on disk makes or removes).
void changeEverything(FileSet::TFileSet& set) {
    overwrite(set, "a", 3, "XYZ");
    overwrite(set, "b", 10, "grown past the end");
    replace(set, "c", "short");
    replace(set, "new.bin", "a file of its own");
    set.remove("gone.bin");
}

// Runs `body` in a child process that then dies without cleaning up;
// returns once it has.
void dieAfter(const std::function<void()>& body) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            body();
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
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
    std::map<std::string, std::string> before;
};

TEST_F(DirectoryChanges, AChangeAbandonedLeavesEveryFileAsItWas) {
    {
        DirectoryFileSet set(dir.path().string());
        set.beginChange();
        changeEverything(set);
        EXPECT_EQ(readFile(dir.path() / "c"), "short");  // written, not yet final
    }
    EXPECT_EQ(snapshot(dir.path()), before);
}

// A rename journals both names first, so a change abandoned after it puts
// back the source and whatever the target was, or removes a target made in
// the same change.
TEST_F(DirectoryChanges, ARenameInsideAnAbandonedChangeIsRolledBack) {
    {
        DirectoryFileSet set(dir.path().string());
        set.beginChange();
        EXPECT_TRUE(set.rename("a", "b"));
        EXPECT_TRUE(set.rename("c", "fresh"));
        replace(set, "made", "made in this change");
        EXPECT_TRUE(set.rename("made", "gone.bin"));
        EXPECT_FALSE(fs::exists(dir.path() / "a"));
        EXPECT_EQ(readFile(dir.path() / "b"), "0123456789");
    }
    EXPECT_EQ(snapshot(dir.path()), before);
}

// Rename refuses what remove refuses, and a source with buffers open (their
// unwritten bytes would follow it unjournaled); the set's own files and a
// read-only set change nothing.
TEST_F(DirectoryChanges, RenameRefusesProtectedReservedOpenAndReadOnly) {
    fs::permissions(dir.path() / "gone.bin", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    {
        DirectoryFileSet set(dir.path().string());
        EXPECT_FALSE(set.rename("gone.bin", "elsewhere"));
        EXPECT_FALSE(set.rename("a", "gone.bin"));
        EXPECT_FALSE(set.rename("a", Host::kJournalFileName));
        EXPECT_FALSE(set.rename(Host::kLockFileName, "a"));
        FileSet::ivfstream open(set, "a", std::ios_base::binary, false, true);
        EXPECT_FALSE(set.rename("a", "moved"));
        open.close();
        EXPECT_TRUE(set.rename("a", "moved"));
        EXPECT_TRUE(set.rename("moved", "a"));
    }
    {
        DirectoryFileSet reader(dir.path().string(), options(false));
        EXPECT_FALSE(reader.rename("a", "b"));
    }
    fs::permissions(dir.path() / "gone.bin", fs::perms::owner_all);
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(DirectoryChanges, ACommittedChangeStaysAndLeavesNoJournal) {
    {
        DirectoryFileSet set(dir.path().string());
        set.beginChange();
        changeEverything(set);
        set.endChange();
    }
    auto after = snapshot(dir.path());
    EXPECT_EQ(after.count(Host::kJournalFileName), 0u);
    EXPECT_EQ(after.count("gone.bin"), 0u);
    EXPECT_EQ(after["a"], "012XYZ6789");
    EXPECT_EQ(after["b"], "0123456789grown past the end");
    EXPECT_EQ(after["c"], "short");
    EXPECT_EQ(after["new.bin"], "a file of its own");
}

TEST_F(DirectoryChanges, AChangeCutOffByADeathIsRolledBackByTheNextWriterAndHiddenFromReaders) {
    dieAfter([&] {
        DirectoryFileSet* set = new DirectoryFileSet(dir.path().string());  // never destroyed
        set->beginChange();
        changeEverything(*set);
    });
    ASSERT_TRUE(fs::exists(dir.path() / Host::kJournalFileName));
    const auto torn = snapshot(dir.path());
    {
        // A reader sees the files as they were and changes nothing.
        DirectoryFileSet reader(dir.path().string(), options(false));
        EXPECT_FALSE(reader.recovered());
        for (const auto& file : before) {
            FileSet::ivfstream in(reader, file.first.c_str(), std::ios_base::binary, false, true);
            ASSERT_TRUE(in.is_open()) << file.first;
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), file.second) << file.first;
        }
        EXPECT_FALSE(reader.exists("new.bin"));
        EXPECT_TRUE(reader.exists("gone.bin"));
        std::vector<std::string> names;
        for (const auto& file : before) names.push_back(file.first);
        EXPECT_EQ(reader.list(), names);
    }
    EXPECT_EQ(snapshot(dir.path()), torn);
    {
        DirectoryFileSet writer(dir.path().string());
        EXPECT_TRUE(writer.recovered());
    }
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(DirectoryChanges, OutsideAScopeClosingTheLastWritingFileCommits) {
    dieAfter([&] {
        DirectoryFileSet* set = new DirectoryFileSet(dir.path().string());
        overwrite(*set, "a", 0, "AB");
        set->remove("gone.bin");
        {
            // Two buffers on one file: the change is final only once both close.
            FileSet::vfstream first(*set);
            first.open("b", std::ios_base::binary);
            overwrite(*set, "b", 0, "first");
            first.seekp(5);
            first.write("second", 6);
        }
    });
    EXPECT_FALSE(fs::exists(dir.path() / Host::kJournalFileName));
    DirectoryFileSet set(dir.path().string());
    EXPECT_FALSE(set.recovered());
    EXPECT_EQ(readFile(dir.path() / "a"), "AB23456789");
    EXPECT_EQ(readFile(dir.path() / "b"), "firstsecond");
    EXPECT_FALSE(fs::exists(dir.path() / "gone.bin"));
}

TEST_F(DirectoryChanges, ADeathBetweenAFlushAndTheCommitLosesThatChangeAndNothingElse) {
    dieAfter([&] {
        DirectoryFileSet* set = new DirectoryFileSet(dir.path().string());
        overwrite(*set, "a", 0, "AB");  // closed outside a scope: committed
        FileSet::vfstream* open = new FileSet::vfstream(*set);  // never closed
        open->open("b", std::ios_base::binary);
        open->seekp(4);
        open->write("lost", 4);
        open->flush();
        if (!open->good()) throw std::runtime_error("flush failed");
        set->beginChange();
        overwrite(*set, "c", 0, "also lost");  // written back at its close, not committed
    });
    DirectoryFileSet set(dir.path().string());
    EXPECT_TRUE(set.recovered());
    auto expected = before;
    expected["a"] = "AB23456789";
    EXPECT_EQ(snapshot(dir.path()), expected);
}

TEST_F(DirectoryChanges, AWriteBackThatFailsAtCloseFailsTheChangeWhichCommitRaisesAndRollsBack) {
    // The file-size limit makes writing past 64 KiB fail (EFBIG) at the
    // write back; the flush before it succeeds, as it writes nothing.
    dieAfter([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1 << 16, 1 << 16};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit");
        DirectoryFileSet set(dir.path().string());
        set.beginChange();
        overwrite(set, "a", 0, "changed");
        {
            FileSet::ovfstream big(set, "c", std::ios_base::binary, false, true);
            const std::string bytes(1 << 17, 'x');
            big.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            big.flush();
            if (!big.good()) throw std::runtime_error("the flush failed");
        }
        try {
            set.endChange();
        } catch (const std::runtime_error& e) {
            if (std::string(e.what()).find("the change will be rolled back: file too large") != std::string::npos) return;
        }
        throw std::runtime_error("the commit did not raise");
    });
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(DirectoryChanges, AJournalWithADamagedTailRestoresWhatItSavedInFull) {
    // A large overwrite saves its original in several entries; cut the
    // journal inside the last one, as a crash while writing it would.
    writeFile(dir.path() / "big", std::string(3 << 20, 'o'));
    dieAfter([&] {
        DirectoryFileSet* set = new DirectoryFileSet(dir.path().string());
        set->beginChange();
        overwrite(*set, "a", 0, "first");
        replace(*set, "big", std::string(3 << 20, 'n'));
    });
    const fs::path journal = dir.path() / Host::kJournalFileName;
    fs::resize_file(journal, fs::file_size(journal) - 100);
    // The overwrite of big happened only after its whole original was
    // durable, so a damaged tail means big was never touched: put it back.
    writeFile(dir.path() / "big", std::string(3 << 20, 'o'));
    { DirectoryFileSet set(dir.path().string()); }
    EXPECT_EQ(readFile(dir.path() / "a"), "0123456789");
    EXPECT_EQ(readFile(dir.path() / "big"), std::string(3 << 20, 'o'));
    EXPECT_FALSE(fs::exists(journal));
}

TEST_F(DirectoryChanges, AJournalWithoutAValidHeaderIsDroppedUntouched) {
    writeFile(dir.path() / Host::kJournalFileName, "ORVEXJN");  // cut inside its header
    { DirectoryFileSet set(dir.path().string()); }
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(DirectoryChanges, AReadOnlySetRefusesEveryChange) {
    DirectoryFileSet set(dir.path().string(), options(false));
    EXPECT_EQ(set.open("new.bin", std::ios_base::in | std::ios_base::out, 0, 1), nullptr);
    EXPECT_EQ(set.open("a", std::ios_base::out, 0, 1), nullptr);
    EXPECT_FALSE(set.remove("gone.bin"));
    {
        // Tables open their contents for reading and writing: that works,
        // but nothing written reaches the disk.
        FileSet::vfstream file(set);
        file.open("a", std::ios_base::binary);
        ASSERT_TRUE(file.is_open());
        file.write("zz", 2);
        file.flush();
        EXPECT_FALSE(file.good());
    }
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(DirectoryChanges, SymlinksAndWriteProtectedFilesAreNotWrittenThrough) {
    writeFile(dir.path() / "outside", "not ours");
    fs::create_symlink(dir.path() / "outside", dir.path() / "link");
    writeFile(dir.path() / "locked", "keep");
    fs::permissions(dir.path() / "locked", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    DirectoryFileSet set(dir.path().string());
    EXPECT_EQ(set.open("link", std::ios_base::in | std::ios_base::out, 0, 1), nullptr);
    EXPECT_FALSE(set.exists("link"));
    EXPECT_EQ(set.open("locked", std::ios_base::out, 0, 1), nullptr);
    EXPECT_EQ(set.open("locked", std::ios_base::in | std::ios_base::out, 0, 1), nullptr);
    EXPECT_FALSE(set.remove("locked"));
    EXPECT_NE(set.open("locked", std::ios_base::in, 0, 1), nullptr);
    EXPECT_EQ(readFile(dir.path() / "locked"), "keep");
    EXPECT_EQ(readFile(dir.path() / "outside"), "not ours");
}

// ------------------------------------------------------------------ locks

// Whether a set of this kind can be had from another process within `wait`.
bool otherProcessGets(const fs::path& dir, bool writable, double wait) {
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            DirectoryFileSet set(dir.string(), options(writable, wait));
        } catch (const std::runtime_error& e) {
            const std::string expected = "table set " + dir.string() + " is in use by another process";
            ::_exit(e.what() == expected ? 1 : 2);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "a refusal must name the set";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(DirectoryChanges, OneWriterAtATimeAndReadersOnlyBesideReaders) {
    {
        DirectoryFileSet writer(dir.path().string());
        EXPECT_FALSE(otherProcessGets(dir.path(), true, 0.1));
        EXPECT_FALSE(otherProcessGets(dir.path(), false, 0.1));
        // Within the process, a second set on the directory shares the lock.
        DirectoryFileSet again(dir.path().string(), options(true, 0));
    }
    {
        DirectoryFileSet reader(dir.path().string(), options(false));
        EXPECT_TRUE(otherProcessGets(dir.path(), false, 0.1));
        EXPECT_FALSE(otherProcessGets(dir.path(), true, 0.1));
    }
    EXPECT_TRUE(otherProcessGets(dir.path(), true, 0));
}

}  // namespace
