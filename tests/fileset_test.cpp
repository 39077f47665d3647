// File sets, the stream adapters over them, and progress reporting.
//
// One contract suite runs against every file set we ship (a directory on
// disk, in a fresh temporary directory per test, and memory); for the
// directory the bytes are checked on disk with plain file reads, not
// through the set itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "fileset/TFileSet.h"
#include "fileset/TProgress.h"
#include "fileset/TRenaming.h"
#include "fileset/vfstream.h"
#include "host/directory_file_set.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "host/terminal_progress.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using std::ios_base;
using namespace TestSupport;

namespace {

typedef std::vector<std::string> Lines;
const auto in = ios_base::in, out = ios_base::out, app = ios_base::app, trunc = ios_base::trunc,
           binary = ios_base::binary;

// ------------------------------------------------------------------ helpers

// The set lives in root/set, so a name that escaped it would show up in root.
struct DirectorySetup {
    static constexpr const char* label = "Directory";
    TempDir root{"orvex-fileset"};
    fs::path dir = root.path() / "set";
    bool made = fs::create_directory(dir);
    Host::DirectoryFileSet files{dir.string()};

    bool exists(const std::string& name) const { return fs::is_regular_file(dir / name); }
    std::string contents(const std::string& name) const { return readFile(dir / name); }
    void put(const std::string& name, const std::string& bytes) { writeFile(dir / name, bytes); }
    // Flushed bytes reach the disk at a commit (or a close).
    void commit() { files.commit(); }
    Lines strayFiles() const {
        Lines stray;
        for (const auto& entry : fs::directory_iterator(root.path()))
            if (entry.path().filename() != "set") stray.push_back(entry.path().filename().string());
        return stray;
    }
};

struct MemorySetup {
    static constexpr const char* label = "Memory";
    Host::MemoryFileSet files;

    bool exists(const std::string& name) const { return files.exists(name); }
    std::string contents(const std::string& name) const { return files.contents(name); }
    void put(const std::string& name, const std::string& bytes) { files.put(name, bytes); }
    void commit() {}
    Lines strayFiles() const { return {}; }
};

struct SetupNames {
    template <class T>
    static std::string GetName(int) { return T::label; }
};
using Setups = ::testing::Types<DirectorySetup, MemorySetup>;

std::string drain(std::streambuf* buffer) {
    std::string all;
    char chunk[100];
    for (std::streamsize n; (n = buffer->sgetn(chunk, sizeof chunk)) > 0;) all.append(chunk, static_cast<std::size_t>(n));
    return all;
}

std::streamsize put(std::streambuf* buffer, const std::string& bytes) {
    return buffer->sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::streamoff seekTo(std::streambuf* buffer, std::streamoff pos, ios_base::openmode side = in | out) {
    return std::streamoff(buffer->pubseekpos(pos, side));
}

std::streamoff seekBy(std::streambuf* buffer, std::streamoff off, ios_base::seekdir dir,
                      ios_base::openmode side = in | out) {
    return std::streamoff(buffer->pubseekoff(off, dir, side));
}

std::streamoff tell(std::streambuf* buffer, ios_base::openmode side) { return seekBy(buffer, 0, ios_base::cur, side); }

const int eof = std::char_traits<char>::eof();

template <class SetKind>
class FileSetContract : public ::testing::Test {
protected:
    SetKind setup;
    FileSet::TFileSet& set() { return setup.files; }
    std::streambuf* open(const std::string& name, ios_base::openmode mode) { return set().open(name, mode, 0, 1); }
    // An open that must succeed: a null buffer ends the test.
    std::streambuf* mustOpen(const std::string& name, ios_base::openmode mode) {
        std::streambuf* b = open(name, mode);
        if (!b) throw std::runtime_error("cannot open " + name);
        return b;
    }
};
TYPED_TEST_SUITE(FileSetContract, Setups, SetupNames);

// ------------------------------------------------------ file set contract

TYPED_TEST(FileSetContract, AMissingFileIsCreatedEmptyByEveryWritingModeAndByNoOther) {
    const std::pair<ios_base::openmode, bool> cases[] = {
        {in, false},       {in | binary, false}, {out, true},      {out | binary, true}, {out | trunc, true},
        {in | out, true}, {app, true},          {out | app, true}, {in | app, true}};
    int n = 0;
    for (auto [mode, creates] : cases) {
        const std::string name = "new" + std::to_string(n++);
        std::streambuf* b = this->open(name, mode);
        EXPECT_EQ(b != nullptr, creates) << mode;
        if (b) {
            EXPECT_TRUE(this->set().isOpen(b));
            this->set().close(b);
            EXPECT_EQ(this->setup.contents(name), "") << mode;
        }
        EXPECT_EQ(this->setup.exists(name), creates) << mode;
    }
}

TYPED_TEST(FileSetContract, ModesOnAnExistingFileEmptyKeepOrAppendAsFilebufDoesOrAreRefused) {
    const struct {
        ios_base::openmode mode;
        const char* after;  // after writing "XY" right after opening; null for a refused mode
    } cases[] = {
        {out, "XY"},
        {out | trunc, "XY"},
        {in | out | trunc, "XY"},
        {in | out, "XYcdef"},
        {in | out | binary, "XYcdef"},
        {app, "abcdefXY"},
        {out | app, "abcdefXY"},
        {in | app, "abcdefXY"},
        {in, "abcdef"},  // the write fails
        {binary, nullptr},
        {in | trunc, nullptr},
        {out | app | trunc, nullptr},
    };
    for (const auto& c : cases) {
        this->setup.put("f", "abcdef");
        std::streambuf* b = this->open("f", c.mode);
        EXPECT_EQ(b != nullptr, c.after != nullptr) << c.mode;
        if (b) {
            EXPECT_EQ(put(b, "XY"), (c.mode & (out | app)) ? 2 : 0) << c.mode;
            this->set().close(b);
        }
        EXPECT_EQ(this->setup.contents("f"), c.after ? c.after : "abcdef") << c.mode;
    }
}

TYPED_TEST(FileSetContract, AppendingWritesAtTheEndWhateverThePosition) {
    this->setup.put("f", "abc");
    std::streambuf* b = this->mustOpen("f", in | app);
    EXPECT_EQ(seekTo(b, 1), 1);
    EXPECT_EQ(b->sgetc(), 'b');
    put(b, "Z");
    EXPECT_EQ(tell(b, out), 4);
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "abcZ");
}

TYPED_TEST(FileSetContract, SeekAndTellShareOnePositionOnBothSides) {
    std::streambuf* b = this->mustOpen("f", in | out);
    EXPECT_EQ(tell(b, in), 0);
    put(b, "0123456789");
    EXPECT_EQ(tell(b, out), 10);
    EXPECT_EQ(tell(b, in), 10);
    EXPECT_EQ(seekBy(b, -3, ios_base::end, in), 7);
    EXPECT_EQ(drain(b), "789");
    EXPECT_EQ(seekTo(b, 2, out), 2);
    put(b, "ab");
    EXPECT_EQ(seekBy(b, 1, ios_base::cur, in), 5);
    EXPECT_EQ(b->sgetc(), '5');
    // A seek before the start fails and leaves the position alone.
    EXPECT_EQ(seekTo(b, -1), -1);
    EXPECT_EQ(seekBy(b, -6, ios_base::cur, out), -1);
    EXPECT_EQ(tell(b, in), 5);
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "01ab456789");
}

TYPED_TEST(FileSetContract, ReadingPastTheEndGivesEofAndWritingThereExtendsWithZeros) {
    this->setup.put("f", "abc");
    std::streambuf* b = this->mustOpen("f", in | out);
    EXPECT_EQ(seekBy(b, 0, ios_base::end), 3);
    EXPECT_EQ(b->sgetc(), eof);
    EXPECT_EQ(seekTo(b, 10), 10);
    char got[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(b->sgetn(got, 4), 0);
    EXPECT_EQ(std::string(got, 4), "xxxx");
    EXPECT_EQ(b->sputc('Z'), 'Z');
    EXPECT_EQ(seekBy(b, 0, ios_base::end), 11);
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), std::string("abc") + std::string(7, '\0') + "Z");
}

TYPED_TEST(FileSetContract, AReadingOnlyBufferCannotWriteAndAWritingOnlyOneCannotRead) {
    this->setup.put("f", "abc");
    std::streambuf* reader = this->mustOpen("f", in);
    EXPECT_EQ(reader->sputc('Z'), eof);
    EXPECT_EQ(put(reader, "ZZ"), 0);
    this->set().close(reader);
    std::streambuf* writer = this->mustOpen("f", out | app);
    seekTo(writer, 0);
    char got[3];
    EXPECT_EQ(writer->sgetn(got, 3), 0);
    EXPECT_EQ(writer->sgetc(), eof);
    this->set().close(writer);
    EXPECT_EQ(this->setup.contents("f"), "abc");
}

// The access pattern of an open table: records read and written in place at
// random positions, with flushes and commits now and then. Checked against a
// plain string after every step, on disk at every commit, and after
// reopening.
TYPED_TEST(FileSetContract, RandomReadsAndWritesRoundTripThroughFlushAndReopen) {
    std::mt19937 rng(12345);
    std::string model;
    std::streambuf* b = this->mustOpen("table.bin", in | out | binary);
    for (int step = 0; step < 3000; ++step) {
        const std::size_t at = rng() % 5000, n = 1 + rng() % 40;
        ASSERT_EQ(seekTo(b, static_cast<std::streamoff>(at)), static_cast<std::streamoff>(at));
        if (rng() % 2) {
            std::string bytes(n, '\0');
            for (char& c : bytes) c = static_cast<char>(rng());
            ASSERT_EQ(put(b, bytes), static_cast<std::streamsize>(n));
            if (model.size() < at + n) model.resize(at + n, '\0');
            model.replace(at, n, bytes);
        } else {
            std::string got(n, '\0');
            const std::streamsize read = b->sgetn(got.data(), static_cast<std::streamsize>(n));
            ASSERT_EQ(got.substr(0, static_cast<std::size_t>(read)), at < model.size() ? model.substr(at, n) : "")
                << "step " << step;
        }
        if (step % 250 == 249) {
            ASSERT_EQ(b->pubsync(), 0);
            this->setup.commit();
            ASSERT_EQ(this->setup.contents("table.bin"), model) << "step " << step;
        }
    }
    this->set().close(b);
    EXPECT_FALSE(this->set().isOpen(b));
    EXPECT_EQ(this->setup.contents("table.bin"), model);
    b = this->mustOpen("table.bin", in | binary);
    EXPECT_EQ(drain(b), model);
    this->set().close(b);
}

TYPED_TEST(FileSetContract, TwoBuffersOnOneFileSeeEachOthersWritesAtOnce) {
    std::streambuf* a = this->mustOpen("f", in | out);
    put(a, "hello");
    std::streambuf* b = this->mustOpen("f", in);
    ASSERT_NE(a, b);
    EXPECT_EQ(drain(b), "hello");
    put(a, " world");  // a's position is its own: still 5
    EXPECT_EQ(drain(b), " world");
    this->set().close(a);
    EXPECT_TRUE(this->set().isOpen(b));
    seekTo(b, 0);
    EXPECT_EQ(drain(b), "hello world");
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "hello world");
}

TYPED_TEST(FileSetContract, EmptyingAnOpenFileEmptiesItForEveryBuffer) {
    std::streambuf* a = this->mustOpen("f", in | out);
    put(a, "abcdef");
    ASSERT_EQ(a->pubsync(), 0);
    std::streambuf* b = this->mustOpen("f", out);
    EXPECT_EQ(this->setup.contents("f"), "");
    seekTo(a, 0);
    EXPECT_EQ(drain(a), "");
    put(b, "xy");
    this->set().close(b);
    this->set().close(a);
    EXPECT_EQ(this->setup.contents("f"), "xy");
}

TYPED_TEST(FileSetContract, RemovedFileIsGoneAndAnOpenBufferOnItNeverBringsItBack) {
    this->setup.put("f", "abc");
    this->setup.put("other", "x");
    EXPECT_FALSE(this->set().remove("missing"));  // harmless
    EXPECT_FALSE(this->setup.exists("missing"));
    EXPECT_TRUE(this->set().remove("f"));
    EXPECT_FALSE(this->setup.exists("f"));
    EXPECT_EQ(this->open("f", in), nullptr);

    std::streambuf* b = this->mustOpen("g", in | out);
    put(b, "abc");
    EXPECT_TRUE(this->set().remove("g"));
    EXPECT_FALSE(this->setup.exists("g"));
    put(b, "def");  // still usable on the old bytes
    seekTo(b, 0);
    EXPECT_EQ(drain(b), "abcdef");
    EXPECT_EQ(b->pubsync(), 0);
    this->set().close(b);
    EXPECT_FALSE(this->setup.exists("g"));
    b = this->mustOpen("g", in | out);  // a new file of that name starts afresh
    EXPECT_EQ(drain(b), "");
    this->set().close(b);
    EXPECT_EQ(this->setup.files.list(), (Lines{"g", "other"}));
    EXPECT_EQ(this->setup.contents("other"), "x");
}

TYPED_TEST(FileSetContract, NamesThatWouldLeaveTheSetAreRefused) {
    const std::string names[] = {"", ".", "..", "../escaped", "a/b", "/tmp/escaped", "a\\b", "..\\escaped",
                                 std::string("a\0b", 3)};
    for (const std::string& name : names) {
        EXPECT_EQ(this->open(name, out), nullptr) << name;
        EXPECT_EQ(this->open(name, in | out), nullptr) << name;
        EXPECT_FALSE(this->set().remove(name)) << name;
        EXPECT_FALSE(this->setup.files.exists(name)) << name;
    }
    EXPECT_TRUE(this->setup.files.list().empty());
    EXPECT_TRUE(this->setup.strayFiles().empty());
    this->set().close(this->mustOpen("..a.b..", out));  // dots inside a name are fine
    EXPECT_TRUE(this->setup.exists("..a.b.."));
}

// Rename, offered beside the six operations: it replaces the target, and
// refuses (false, nothing changed) what it can't do.
TYPED_TEST(FileSetContract, RenameReplacesTheTargetAndRefusesWhatItCannotDo) {
    FileSet::TRenaming* renaming = FileSet::renamingOf(this->set());
    ASSERT_NE(renaming, nullptr);
    this->setup.put("a", "first");
    this->setup.put("b", "second");
    EXPECT_TRUE(renaming->rename("a", "b"));
    EXPECT_FALSE(this->setup.exists("a"));
    EXPECT_EQ(this->setup.contents("b"), "first");
    EXPECT_TRUE(renaming->rename("b", "c"));
    EXPECT_EQ(this->setup.contents("c"), "first");
    EXPECT_FALSE(this->setup.exists("b"));
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"missing", "d"}, {"c", "c"}, {"c", "../out"}, {"c", "x/y"}, {"c", ""}, {"../c", "d"}}) {
        EXPECT_FALSE(renaming->rename(from, to)) << from << " -> " << to;
        EXPECT_EQ(this->setup.contents("c"), "first") << from << " -> " << to;
    }
    EXPECT_EQ(this->set().open("d", in, 0, 1), nullptr);
    EXPECT_EQ(this->setup.strayFiles(), Lines{});
}

// Buffers open on a replaced target keep the bytes they had, as after remove;
// a new open of the name sees the renamed file.
TYPED_TEST(FileSetContract, RenameOverAnOpenFileLeavesItsBuffersTheOldBytes) {
    FileSet::TRenaming* renaming = FileSet::renamingOf(this->set());
    ASSERT_NE(renaming, nullptr);
    this->setup.put("old", "old bytes");
    this->setup.put("new", "new bytes");
    std::streambuf* b = this->mustOpen("old", in);
    EXPECT_TRUE(renaming->rename("new", "old"));
    EXPECT_EQ(drain(b), "old bytes");
    this->set().close(b);
    std::streambuf* again = this->mustOpen("old", in);
    EXPECT_EQ(drain(again), "new bytes");
    this->set().close(again);
}

// A move uses rename where the set offers it: the bytes arrive, the source
// goes, and nothing is copied through a stream.
TYPED_TEST(FileSetContract, MoveFileRenamesWhereItCan) {
    const std::string bytes(5000, 'm');
    this->setup.put("from", bytes);
    this->setup.put("to", "replaced");
    FileSet::moveFile(this->set(), "from", "to");
    EXPECT_FALSE(this->setup.exists("from"));
    EXPECT_EQ(this->setup.contents("to"), bytes);
}

// ------------------------------------------------------- directory file set

TEST(DirectoryFileSet, OpeningToWriteEmptiesTheDiskFileAtOnceAndBuffersLeftOpenAreWrittenWhenTheSetGoes) {
    TempDir root;
    writeFile(root.path() / "f", "old bytes");
    {
        Host::DirectoryFileSet set(root.path().string());
        std::streambuf* b = set.open("f", out, 0, 1);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(readFile(root.path() / "f"), "");
        put(b, "unclosed");
    }
    EXPECT_EQ(readFile(root.path() / "f"), "unclosed");
}

// ---------------------------------------------------------- stream adapters

// Passes everything to another set and writes down what the adapters asked.
class RecordingFileSet : public FileSet::TFileSet {
public:
    explicit RecordingFileSet(FileSet::TFileSet& inner) : m_inner(inner) {}
    Lines log;

    std::streambuf* open(const std::string& name, ios_base::openmode mode, int a, int b) override {
        log.push_back("open " + name + " " + describe(mode) + " " + std::to_string(a) + std::to_string(b));
        std::streambuf* buffer = m_inner.open(name, mode, a, b);
        if (buffer) m_names[buffer] = name;
        return buffer;
    }
    bool isOpen(std::streambuf* buffer) override { return m_inner.isOpen(buffer); }
    void close(std::streambuf* buffer) override {
        log.push_back("close " + m_names[buffer]);
        m_inner.close(buffer);
    }
    void setStreamFlag1(std::streambuf* buffer, bool flag) override { logFlag("flag1 ", buffer, flag); }
    void setStreamFlag2(std::streambuf* buffer, bool flag) override { logFlag("flag2 ", buffer, flag); }
    bool remove(const std::string& name) override {
        log.push_back("remove " + name);
        return m_inner.remove(name);
    }

private:
    void logFlag(const char* which, std::streambuf* buffer, bool flag) {
        log.push_back(which + m_names[buffer] + (flag ? " true" : " false"));
    }
    static std::string describe(ios_base::openmode mode) {
        std::string s;
        for (auto [bit, name] : {std::pair{in, "in"}, {out, "out"}, {app, "app"}, {trunc, "trunc"}, {binary, "binary"}})
            if (mode & bit) s += (s.empty() ? "" : "|") + std::string(name);
        return s;
    }
    FileSet::TFileSet& m_inner;
    std::map<std::streambuf*, std::string> m_names;
};

// Writes down the size of every write it is given.
class CountingBuffer : public std::streambuf {
public:
    std::vector<std::streamsize> writes;
    std::string bytes;

protected:
    std::streamsize xsputn(const char* from, std::streamsize n) override {
        writes.push_back(n);
        bytes.append(from, static_cast<std::size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        writes.push_back(1);
        bytes.push_back(traits_type::to_char_type(c));
        return c;
    }
};

template <class SetKind>
class StreamAdapters : public ::testing::Test {
protected:
    SetKind setup;
    RecordingFileSet recording{setup.files};
};
TYPED_TEST_SUITE(StreamAdapters, Setups, SetupNames);

TYPED_TEST(StreamAdapters, InputOnAMissingFileIsFailedAndReadsChangeNothing) {
    FileSet::ivfstream i(this->setup.files, "missing", binary, false, true);
    EXPECT_FALSE(i.is_open());
    EXPECT_TRUE(i.fail());
    char got[4] = {'x', 'x', 'x', 'x'};
    i.clear();  // even a cleared stream has nothing to read from
    i.read(got, 4);
    EXPECT_TRUE(i.fail());
    EXPECT_EQ(i.gcount(), 0);
    EXPECT_EQ(std::string(got, 4), "xxxx");
    EXPECT_FALSE(this->setup.exists("missing"));
}

TYPED_TEST(StreamAdapters, ConstructorsOpenThenSetBothFlagsOnceOnSuccessOnlyAndCloseWhatTheyOpened) {
    this->setup.put("a", "abc");
    { FileSet::ivfstream i(this->recording, "a", binary, false, true); }
    { FileSet::ovfstream o(this->recording, "b", binary, false, true); }
    { FileSet::ivfstream i(this->recording, "missing", binary, false, true); }
    // Closing an adapter that opened nothing does nothing.
    FileSet::ivfstream i(this->recording);
    FileSet::ovfstream none(this->recording);
    FileSet::vfstream both(this->recording);
    i.close();
    none.close();
    both.close();
    EXPECT_TRUE(i.good() && none.good() && both.good());
    i.open("missing", binary);
    i.close();
    // Opening an open adapter closes the first file and keeps its bytes.
    FileSet::ovfstream o(this->recording, "c", binary, false, true);
    o << "first";
    o.open("d", binary);
    EXPECT_TRUE(o.is_open());
    EXPECT_EQ(this->setup.contents("c"), "first");
    EXPECT_EQ(this->recording.log,
              (Lines{"open a in|binary 01", "flag1 a false", "flag2 a true", "close a", "open b out|binary 01",
                     "flag1 b false", "flag2 b true", "close b", "open missing in|binary 01",
                     "open missing in|binary 01", "open c out|binary 01", "flag1 c false", "flag2 c true", "close c",
                     "open d out|binary 01"}));
}

TYPED_TEST(StreamAdapters, ReadWriteStreamCreatesSeeksAndClosesCleanly) {
    FileSet::vfstream stream(this->recording);
    stream.open("table.bin", binary);
    ASSERT_TRUE(stream.is_open());
    EXPECT_EQ(this->recording.log.front(), "open table.bin in|out|binary 01");
    stream << "0123456789";
    stream.seekg(3);
    char got[2];
    stream.read(got, 2);
    EXPECT_EQ(std::string(got, 2), "34");
    stream.seekp(8);
    stream << "XYZ";
    stream.read(got, 1);  // at the end now
    EXPECT_TRUE(stream.eof());
    stream.close();
    EXPECT_FALSE(stream.is_open());
    EXPECT_TRUE(stream.good());  // closing clears the state
    stream << "lost";
    EXPECT_TRUE(stream.fail());  // on the unopened buffer
    EXPECT_EQ(this->setup.contents("table.bin"), "01234567XYZ");
}

TYPED_TEST(StreamAdapters, CopyStreamWritesWhatEachChunkReadAndFailsOnlyTheInput) {
    std::string data(2048 + 2048 + 904, '\0');
    std::mt19937 rng(3);
    for (char& c : data) c = static_cast<char>(rng());
    this->setup.put("f", data);
    FileSet::ivfstream i(this->setup.files, "f", binary, false, true);
    ASSERT_TRUE(i.is_open());
    CountingBuffer counting;
    std::ostream o(&counting);
    FileSet::copyStream(o, i);
    EXPECT_EQ(counting.writes, (std::vector<std::streamsize>{2048, 2048, 904}));
    EXPECT_EQ(counting.bytes, data);
    EXPECT_TRUE(i.fail());
    EXPECT_TRUE(o.good());
}

TYPED_TEST(StreamAdapters, MoveFileReplacesTheTargetAndRemovesTheSourceOrRaisesWithoutOne) {
    std::string data(5000, 'q');
    data[0] = '\0';
    data[4999] = 'z';
    this->setup.put("from", data);
    this->setup.put("to", "older and longer than nothing");
    FileSet::moveFile(this->setup.files, "from", "to");
    EXPECT_EQ(this->setup.contents("to"), data);
    EXPECT_FALSE(this->setup.exists("from"));

    this->setup.put("to", "keep me");
    EXPECT_THROW(FileSet::moveFile(this->recording, "missing", "to"), std::runtime_error);
    EXPECT_EQ(this->setup.contents("to"), "keep me");
    EXPECT_EQ(this->recording.log, Lines{"open missing in|binary 01"});
}

// ------------------------------------------------------------------ progress

// Spends CPU time: clock() measures the process's CPU time, not the wall's.
void burnCpu(double seconds) {
    const std::clock_t start = std::clock();
    while (static_cast<double>(std::clock() - start) < seconds * CLOCKS_PER_SEC) {
    }
}

// Reports come at most once per tenth of a second, counted from the start
// and from the last report, never twice for one percentage, clamped to
// 0..100; a run without records calls only onFinish. Each script is run
// step by step: "start N", "finish", "wait" (a little over a tenth of a
// second) or a position.
TEST(Progress, ReportsFollowTimePercentageAndRun) {
    const std::pair<Lines, Lines> scripts[] = {
        {{"start 0", "wait", "1", "-1", "finish"}, {"finish"}},
        {{"start -5", "wait", "1", "-1", "finish"}, {"finish"}},
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

std::string readAvailable(int fd) {
    std::string all;
    char chunk[512];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 100) > 0 && (p.revents & POLLIN)) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

// Half a run of four drawn on `fd`.
void halfARun(int fd, bool drawing) {
    Host::TerminalProgress p("Stripping", fd);
    EXPECT_EQ(p.drawing(), drawing);
    p.start(4);
    burnCpu(0.12);
    p.update(2);
    p.finish();
}

TEST(TerminalProgress, DrawsABarWithThePercentageOnATerminalAndEndsTheLine) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal here";
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    halfARun(terminal, true);
    const std::string shown = readAvailable(master);
    EXPECT_NE(shown.find("\rStripping [------------------------------]   0%"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\rStripping [###############---------------]  50%"), std::string::npos) << shown;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), '\n');
    ::close(terminal);
    ::close(master);
}

// A stream is open only while its set says its buffer is, and its reads
// stop where the set stops giving bytes, as at the end of the file.
TEST(FaultyStreams, AreOpenOnlyWhileTheSetSaysSoAndReadsStopWhereItStops) {
    Host::MemoryFileSet memory;
    memory.put("f", "0123456789");
    Host::FaultyFileSet faulty(memory);
    faulty.failReadsAfter(3);
    FileSet::ivfstream i(faulty, "f", binary, false, true);
    ASSERT_TRUE(i.is_open());
    std::string got;
    for (char c; i.get(c);) got += c;
    EXPECT_EQ(got, "012");
    faulty.cutAfter(0);
    EXPECT_FALSE(i.is_open());
}

}  // namespace
