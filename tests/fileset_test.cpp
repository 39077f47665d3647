// The file-set contract, run over every file set we have: a directory on
// disk (its bytes checked with plain file reads), memory, and the faulty set
// with no fault planned. The stream adapters run over each of them too, and
// the page images under the directory and memory sets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fileset/TAtomicChanges.h"
#include "fileset/TRenaming.h"
#include "fileset/vfstream.h"
#include "host/directory_file_set.h"
#include "host/faulty_file_set.h"
#include "host/file_image.h"
#include "host/memory_file_set.h"
#include "host/terminal_progress.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using std::ios_base;
using namespace TestSupport;

namespace {

typedef std::vector<std::string> Lines;
const auto in = ios_base::in, out = ios_base::out, app = ios_base::app, trunc = ios_base::trunc, binary = ios_base::binary;
const int eof = std::char_traits<char>::eof();
const std::size_t page = Host::FileImage::pageSize;

// The set lives in root/set, so a name that escaped it would show up in root.
struct DirectorySetup {
    TempDir root{"orvex-fileset"};
    fs::path dir = root.path() / "set";
    bool made = fs::create_directory(dir);
    Host::DirectoryFileSet files{dir.string()};

    bool exists(const std::string& name) const { return fs::is_regular_file(dir / name); }
    std::string contents(const std::string& name) const { return readFile(dir / name); }
    void put(const std::string& name, const std::string& bytes) { writeFile(dir / name, bytes); }
    Lines list() const {
        Lines names;
        for (const auto& entry : fs::recursive_directory_iterator(root.path()))
            if (entry.path().filename() != "set" && entry.path().filename() != Host::kLockFileName)
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

struct MemorySetup {
    Host::MemoryFileSet memory;
    Host::MemoryFileSet& files = memory;

    bool exists(const std::string& name) const { return memory.exists(name); }
    std::string contents(const std::string& name) const { return memory.contents(name); }
    void put(const std::string& name, const std::string& bytes) { memory.put(name, bytes); }
    Lines list() const { return memory.list(); }
};

// The faulty set over memory, passing renames and changes on.
struct FaultySetup : MemorySetup {
    Host::FaultyFileSet files{memory};
    bool offered = (files.offerRename(true), files.offerChanges(true), true);
};

using Setups = ::testing::Types<DirectorySetup, MemorySetup, FaultySetup>;

std::string drain(std::streambuf* b) {
    std::string all;
    for (int c; all.size() < 100000 && (c = b->sbumpc()) != eof;) all += static_cast<char>(c);
    return all;
}
std::streamsize put(std::streambuf* b, const std::string& bytes) {
    return b->sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
std::streamoff seek(std::streambuf* b, std::streamoff off, ios_base::seekdir dir = ios_base::beg,
                    ios_base::openmode side = in | out) {
    return std::streamoff(b->pubseekoff(off, dir, side));
}

// Bytes that differ from page to page and within a page, so that a byte read
// from the wrong place shows.
std::string pattern(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

template <class SetKind>
class FileSetContract : public ::testing::Test {
protected:
    SetKind setup;
    FileSet::TFileSet& set() { return setup.files; }
    std::string bytes(const std::string& name) { return setup.exists(name) ? setup.contents(name) : "<none>"; }
    // A null buffer ends the test.
    std::streambuf* open(const std::string& name, ios_base::openmode mode) {
        std::streambuf* b = set().open(name, mode, 0, 1);
        if (!b) throw std::runtime_error("cannot open " + name);
        return b;
    }
};
TYPED_TEST_SUITE(FileSetContract, Setups);

// As std::filebuf, except that in|out creates a missing file. "XY" is written
// right after opening a missing file and one holding "abcdef".
TYPED_TEST(FileSetContract, ModesCreateEmptyKeepOrAppendAsFilebufDoes) {
    const struct {
        ios_base::openmode mode;
        const char *missing, *existing;  // the bytes after; null: refused
    } cases[] = {
        {in, nullptr, "abcdef"}, {out, "XY", "XY"}, {out | trunc, "XY", "XY"}, {in | out | trunc, "XY", "XY"},
        {in | out, "XY", "XYcdef"}, {in | out | binary, "XY", "XYcdef"}, {app, "XY", "abcdefXY"},
        {out | app, "XY", "abcdefXY"}, {in | app, "XY", "abcdefXY"}, {binary, nullptr, nullptr},
        {in | trunc, nullptr, nullptr}, {out | app | trunc, nullptr, nullptr},
    };
    for (const auto& c : cases)
        for (const char* before : {(const char*)nullptr, "abcdef"}) {
            SCOPED_TRACE(::testing::Message() << c.mode << (before ? " existing" : " missing"));
            this->set().remove("f");
            if (before) this->setup.put("f", before);
            const char* after = before ? c.existing : c.missing;
            std::streambuf* b = this->set().open("f", c.mode, 0, 1);
            ASSERT_EQ(b != nullptr, after != nullptr);
            EXPECT_EQ(b ? put(b, "XY") : 0, b && (c.mode & (out | app)) ? 2 : 0);
            if (b) this->set().close(b);
            EXPECT_EQ(this->bytes("f"), after ? after : before ? before : "<none>");
        }
}

TYPED_TEST(FileSetContract, OnePositionForBothSidesAndAppendsAlwaysAtTheEnd) {
    this->setup.put("f", "abc");
    std::streambuf* a = this->open("f", in | app);
    EXPECT_EQ(seek(a, 1), 1);
    EXPECT_EQ(a->sgetc(), 'b');
    put(a, "Z");
    EXPECT_EQ(seek(a, 0, ios_base::cur, out), 4);
    this->set().close(a);

    std::streambuf* b = this->open("f", in | out);
    put(b, "0123456789");
    EXPECT_EQ(seek(b, -3, ios_base::end, in), 7);
    EXPECT_EQ(drain(b), "789");
    EXPECT_EQ(seek(b, 2, ios_base::beg, out), 2);
    put(b, "ab");
    EXPECT_EQ(seek(b, 1, ios_base::cur, in), 5);
    EXPECT_EQ(b->sgetc(), '5');
    EXPECT_EQ(std::streamoff(b->pubseekpos(-1)), -1);  // before the start: fails, the position stays
    EXPECT_EQ(seek(b, -6, ios_base::cur, out), -1);
    EXPECT_EQ(seek(b, 0, ios_base::cur, in), 5);
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "01ab456789");
}

// A writes, one character at a time (through its put area) or in blocks; b
// reads, after a seek or on from where it is (in the page it holds). Each
// sees the other's bytes at once, across page ends, in gaps (zeros) and past
// the end the other last saw. The pages may be reused ones, of a file that
// went away: none of their old bytes may show.
TYPED_TEST(FileSetContract, TwoBuffersSeeEachOthersBytesAtOnce) {
    this->setup.put("old", std::string(4 * page, 'x'));
    this->set().remove("old");
    const struct {
        char op;  // w: a writes a block, c: characters, r: b reads, n: b reads on
        std::size_t at, n;
    } steps[] = {
        {'w', page - 3, page + 7}, {'r', page - 5, 20}, {'c', page + 17, 3},       {'n', 0, 5},
        {'c', 2 * page + 6, 2},    {'r', 2 * page, 9},  {'w', 2 * page + 5, page}, {'r', 0, 4 * page},
        {'c', 0, 2 * page + 1},    {'r', page - 3, 1},  {'w', page - 1, 2},        {'n', 0, 4},
    };
    std::string model;
    std::size_t bAt = 0;
    std::streambuf* a = this->open("f", in | out);
    std::streambuf* b = this->open("f", in);
    for (const auto& s : steps) {
        SCOPED_TRACE(::testing::Message() << s.op << " " << s.at << " " << s.n);
        if (s.op == 'r' || s.op == 'n') {
            if (s.op == 'r') bAt = std::size_t(seek(b, std::streamoff(s.at)));
            std::string got(s.n, '\0');
            for (char& c : got) c = static_cast<char>(b->sbumpc());
            EXPECT_EQ(got, (model + std::string(s.n, char(eof))).substr(bAt, s.n));
            bAt += s.n;
            continue;
        }
        const std::string bytes = pattern(s.n, unsigned(s.at));
        ASSERT_EQ(seek(a, std::streamoff(s.at)), std::streamoff(s.at));
        if (s.op == 'w') {
            ASSERT_EQ(put(a, bytes), std::streamsize(s.n));
        } else {
            for (char c : bytes) ASSERT_EQ(a->sputc(c), std::char_traits<char>::to_int_type(c));
        }
        model.resize(std::max(model.size(), s.at + s.n), '\0');
        model.replace(s.at, s.n, bytes);
    }
    EXPECT_EQ(seek(b, 0, ios_base::end), std::streamoff(model.size()));
    this->set().close(a);
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), model);
}

// An open that empties a file empties it for every buffer on it; a removed
// file stays gone while its buffers keep the old bytes.
TYPED_TEST(FileSetContract, BuffersOnOneFileShareItsBytesUntilItGoes) {
    std::streambuf* a = this->open("f", in | out);
    put(a, "hello world");
    std::streambuf* b = this->open("f", in);
    EXPECT_EQ(b->sbumpc(), 'h');
    ASSERT_EQ(a->pubsync(), 0);
    this->set().close(this->open("f", out));
    EXPECT_EQ(this->setup.contents("f"), "");
    EXPECT_EQ(b->sgetc(), eof);  // its area was dropped
    put(a, "!");
    EXPECT_TRUE(this->set().remove("f"));
    seek(b, 11);
    EXPECT_EQ(drain(b), "!");
    EXPECT_EQ(a->pubsync(), 0);
    this->set().close(a);
    this->set().close(b);
    EXPECT_EQ(this->bytes("f"), "<none>");
    this->set().close(this->open("f", in | out));  // a new file of that name starts afresh
    EXPECT_EQ(this->bytes("f"), "");
}

TYPED_TEST(FileSetContract, NamesThatWouldLeaveTheSetAreRefused) {
    this->setup.put("kept", "x");
    for (const std::string& name : {std::string(), std::string("."), std::string(".."), std::string("../out"),
                                    std::string("a/b"), std::string("/tmp/out"), std::string("a\\b"),
                                    std::string("a\0b", 3)}) {
        EXPECT_EQ(this->set().open(name, in | out, 0, 1), nullptr) << name;
        EXPECT_FALSE(this->set().remove(name)) << name;
        EXPECT_FALSE(FileSet::renamingOf(this->set())->rename("kept", name)) << name;
    }
    this->set().close(this->open("..a.b..", out));  // dots inside a name are fine
    EXPECT_EQ(this->setup.list(), (Lines{"..a.b..", "kept"}));
}

// Rename replaces the target and refuses (false, nothing changed) what it
// can't do; buffers open on a replaced target keep the bytes they had. A move
// renames where the set can and copies where it can't (the faulty set
// offering no rename stands for such a set).
TYPED_TEST(FileSetContract, RenameAndMove) {
    FileSet::TRenaming& renaming = *FileSet::renamingOf(this->set());
    this->setup.put("a", "first");
    this->setup.put("b", "second");
    std::streambuf* old = this->open("b", in);
    EXPECT_TRUE(renaming.rename("a", "b"));
    EXPECT_EQ(drain(old), "second");
    this->set().close(old);
    EXPECT_EQ(this->setup.list(), Lines{"b"});
    EXPECT_EQ(this->setup.contents("b"), "first");
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{{"missing", "d"}, {"b", "b"}})
        EXPECT_FALSE(renaming.rename(from, to)) << from << " -> " << to;

    Host::FaultyFileSet copying(this->set());
    const std::string bytes(70000, 'm');
    for (FileSet::TFileSet* set : {&this->set(), static_cast<FileSet::TFileSet*>(&copying)}) {
        this->setup.put("from", bytes);
        FileSet::moveFile(*set, "from", "b");
        EXPECT_EQ(this->setup.list(), Lines{"b"});
        EXPECT_EQ(this->setup.contents("b"), bytes);
        EXPECT_EQ(message<std::runtime_error>([&] { FileSet::moveFile(*set, "missing", "b"); }),
                  "Couldn't move file missing to b: missing can't be opened");
        EXPECT_EQ(this->setup.contents("b"), bytes);
    }
}

// Only the outermost abandon undoes, and it undoes every kind of change, a
// write through a buffer opened before the change began included; a
// committed change stays.
TYPED_TEST(FileSetContract, AnAbandonedChangeIsUndoneByTheOutermostScopeOnly) {
    auto& changes = dynamic_cast<FileSet::TAtomicChanges&>(this->set());
    for (bool commit : {false, true}) {
        for (const char* name : {"a.bin", "b.bin", "c.bin"}) this->setup.put(name, name);
        std::streambuf* early = this->open("a.bin", in | out);
        changes.beginChange();
        put(early, "AA");
        this->set().close(early);
        changes.beginChange();
        this->set().close(this->open("made.bin", out));
        this->set().remove("b.bin");
        EXPECT_TRUE(FileSet::renamingOf(this->set())->rename("c.bin", "moved.bin"));
        commit ? changes.endChange() : changes.abandonChange();
        EXPECT_TRUE(this->setup.exists("made.bin") && this->setup.exists("moved.bin") && !this->setup.exists("b.bin"));
        commit ? changes.endChange() : changes.abandonChange();
        EXPECT_EQ(this->setup.list(), commit ? (Lines{"a.bin", "made.bin", "moved.bin"}) : (Lines{"a.bin", "b.bin", "c.bin"}));
        EXPECT_EQ(this->bytes("a.bin"), commit ? "AAbin" : "a.bin");
    }
}

// Each adapter opens with its own side added, fails (raising nothing) where
// the set refuses, and is open only while the set says its buffer is.
TYPED_TEST(FileSetContract, StreamAdapters) {
    FileSet::ivfstream missing(this->set(), "missing", binary, false, true);
    EXPECT_TRUE(!missing.is_open() && missing.fail());
    FileSet::vfstream both(this->set());
    both.open("t", binary);
    both << "0123456789";
    char got[2];
    EXPECT_TRUE(both.seekg(3).read(got, 2));
    EXPECT_EQ(std::string(got, 2), "34");
    both.seekp(8) << "XYZ";
    both.close();
    EXPECT_FALSE((both << "lost").good());
    EXPECT_EQ(this->setup.contents("t"), "01234567XYZ");

    Host::FaultyFileSet faulty(this->set());
    faulty.failReadsAfter(3);
    FileSet::ivfstream i(faulty, "t", binary, false, true);
    std::string read;
    for (char c; read.size() < 10 && i.get(c);) read += c;
    EXPECT_EQ(read, "012");  // a read the set cuts short ends the stream
    faulty.cutAfter(0);
    EXPECT_FALSE(i.is_open());
}

TEST(FileImagePages, EachPageIsReadOnceWhenFirstTouchedAndOnlyChangedBytesAreStored) {
    TempDir dir;
    const std::string disk = pattern(10 * page + 123, 1);
    writeFile(dir.path() / "big", disk);
    Host::DirectoryFileSet set(dir.path().string());
    std::streambuf* b = set.open("big", in, 0, 1);
    std::streambuf* w = set.open("big", in | out, 0, 1);
    ASSERT_TRUE(b && w);
    const Host::FileImage& image = dynamic_cast<Host::ImageBuffer&>(*b).image();
    EXPECT_EQ(seek(b, 0, ios_base::end), std::streamoff(disk.size()));  // the length needs no page
    const struct {
        std::streambuf* buffer;
        std::size_t at, n, fetched;
    } reads[] = {
        {b, 0, 0, 0},
        {b, 7 * page + 5, 11, 1},
        {b, 7 * page + 1000, 11, 1},  // the same page
        {b, 3 * page - 4, 8, 3},      // across two pages
        {b, 10 * page + 100, 50, 4},  // the short last page
        {w, 7 * page + 20, 11, 4},    // another buffer shares the pages in
        {b, 7 * page + 5000, 11, 5},  // a jump reads one more block of the page
        {b, 7 * page + 8190, 11, 6},  // and reading on over its end, the rest of it
        {b, 7 * page + 60000, 11, 6},
    };
    for (const auto& r : reads) {
        std::string got(r.n, '\0');
        seek(r.buffer, std::streamoff(r.at));
        got.resize(std::size_t(r.buffer->sgetn(got.data(), std::streamsize(r.n))));
        EXPECT_EQ(got, disk.substr(r.at, r.n)) << r.at;
        EXPECT_EQ(image.pagesFetched(), r.fetched) << r.at;
    }
    seek(w, std::streamoff(5 * page + 10));
    ASSERT_EQ(put(w, "changed"), 7);
    EXPECT_EQ(image.pagesFetched(), 7u);  // a write reads its page first
    set.close(w);
    set.close(b);
    std::string expected = disk;
    expected.replace(5 * page + 10, 7, "changed");
    EXPECT_EQ(readFile(dir.path() / "big"), expected);
}

// A drop gives back the clean pages no area is on; they read again from the
// file, or as zeros past its kept end. A change not yet stored stays, and so
// does the page under an area: a reader's (read in place) or a writer's
// (writes not yet handed over). Page memory goes back to a pool and is reused
// at once, so a page dropped while in use would show another page's bytes.
TEST(FileImagePages, DroppingCleanPagesKeepsChangesAndAreasAndReadsTheRestAgain) {
    TempDir dir;
    const std::string disk = pattern(6 * page + 100, 2);
    writeFile(dir.path() / "big", disk);
    Host::DirectoryFileSet set(dir.path().string());
    std::streambuf* b = set.open("big", in, 0, 1);
    std::streambuf* w = set.open("big", in | out, 0, 1);
    std::streambuf* r = set.open("big", in, 0, 1);
    ASSERT_TRUE(b && w && r);
    const Host::FileImage& image = dynamic_cast<Host::ImageBuffer&>(*b).image();
    const auto readAll = [&](std::streambuf* from) {
        std::string all(std::size_t(seek(from, 0, ios_base::end)), '\0');
        seek(from, 0);
        all.resize(std::size_t(from->sgetn(all.data(), std::streamsize(all.size()))));
        return all;
    };
    const auto readAt = [](std::streambuf* from, std::size_t at, std::size_t n) {
        std::string got(n, '\0');
        seek(from, std::streamoff(at));
        got.resize(std::size_t(from->sgetn(got.data(), std::streamsize(n))));
        return got;
    };
    ASSERT_EQ(readAll(r), disk);
    seek(w, std::streamoff(9 * page + 5));  // pages 7 and 8 are a gap of zeros
    put(w, "far");
    seek(w, std::streamoff(6 * page + 200));  // stored only at the commit
    put(w, "tail");
    EXPECT_EQ(readAt(r, 7 * page + 3, 10), std::string(10, '\0'));  // a clean page past the kept end
    seek(b, std::streamoff(4 * page + 50));
    ASSERT_EQ(b->sgetc(), static_cast<unsigned char>(disk[4 * page + 50]));  // b reads page 4 in place
    seek(w, std::streamoff(2 * page + 10));  // the writes stay in w's put area until the image asks for them
    put(w, "changed");
    std::string expected = disk;
    expected.replace(2 * page + 10, 7, "changed");
    expected.resize(6 * page + 200);
    expected += "tail" + std::string(3 * page - 204 + 5, '\0') + "far";
    EXPECT_EQ(image.pagesInMemory(), 9u);

    EXPECT_EQ(set.dropCleanPages("big"), 5 * page);  // 0, 1, 3, 5 and 7
    EXPECT_EQ(set.dropCleanPages("not open"), 0u);
    EXPECT_EQ(image.pagesInMemory(), 4u);  // 6 and 9 changed, 2 and 4 under areas
    const std::size_t fetched = image.pagesFetched();
    EXPECT_EQ(readAll(r), expected);
    EXPECT_GT(image.pagesFetched(), fetched);
    const std::size_t refetched = image.pagesFetched();
    EXPECT_EQ(readAt(b, 4 * page + 60, 5000), disk.substr(4 * page + 60, 5000));
    EXPECT_EQ(image.pagesFetched(), refetched);

    set.commit();  // stores every change and closes every area
    EXPECT_EQ(readFile(dir.path() / "big"), expected);
    EXPECT_EQ(set.dropCleanPages("big"), 10 * page);
    EXPECT_EQ(readAll(r), expected);
    for (std::streambuf* buffer : {b, w, r}) set.close(buffer);
    EXPECT_EQ(readFile(dir.path() / "big"), expected);
}

// ------------------------------------------------------------------ progress

// Spends CPU time: the reporter's clock is the process's CPU time, not the wall's.
void burnCpu(double seconds) {
    const std::clock_t start = std::clock();
    while (static_cast<double>(std::clock() - start) < seconds * CLOCKS_PER_SEC) {
    }
}

// Reports come at most once per tenth of a second, never twice for one
// percentage, clamped to 0..100; a run without records calls only onFinish.
TEST(Progress, ReportsFollowTimePercentageAndRun) {
    const std::pair<std::vector<std::string>, std::vector<std::string>> scripts[] = {
        {{"start 0", "wait", "1", "-1", "finish"}, {"finish"}},
        {{"start 100", "50", "wait", "10", "20", "30", "wait", "40", "finish"}, {"start", "10", "40", "finish"}},
        {{"start 1000", "wait", "100", "wait", "wait", "100", "109", "110"}, {"start", "10", "11"}},
        // No overflow in position * 100; a new run starts counting afresh.
        {{"start 10", "wait", "-3", "wait", "25", "wait", "2000000000", "start 4", "wait", "4"},
         {"start", "0", "100", "start", "100"}},
    };
    for (const auto& [steps, calls] : scripts) {
        RecordingProgress p;
        for (const std::string& step : steps) {
            if (step == "wait") burnCpu(0.12);
            else if (step == "finish") p.finish();
            else if (step.compare(0, 6, "start ") == 0) p.start(std::stoi(step.substr(6)));
            else p.update(std::stoi(step));
        }
        EXPECT_EQ(p.calls, calls) << ::testing::PrintToString(steps);
    }
}

TEST(TerminalProgress, DrawsABarOnATerminalAndEndsTheLine) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal here";
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    {
        Host::TerminalProgress p("Stripping", terminal);
        EXPECT_TRUE(p.drawing());
        p.start(4);
        burnCpu(0.12);
        p.update(2);
        p.finish();
    }
    std::string shown;
    char chunk[512];
    for (pollfd in{master, POLLIN, 0}; ::poll(&in, 1, 100) > 0 && (in.revents & POLLIN);) {
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n <= 0) break;
        shown.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_NE(shown.find("\rStripping [------------------------------]   0%"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\rStripping [###############---------------]  50%"), std::string::npos) << shown;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), '\n');
    ::close(terminal);
    ::close(master);
    const int notATerminal = ::open("/dev/null", O_WRONLY);
    EXPECT_FALSE(Host::TerminalProgress("Stripping", notATerminal).drawing());
    ::close(notATerminal);
}

}  // namespace
