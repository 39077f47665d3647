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

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "fileset/TFileSet.h"
#include "fileset/TProgress.h"
#include "fileset/vfstream.h"
#include "host/directory_file_set.h"
#include "host/faulty_file_set.h"
#include "host/memory_file_set.h"
#include "host/terminal_progress.h"

namespace fs = std::filesystem;
using std::ios_base;

namespace {

// ------------------------------------------------------------------ helpers

// A directory of its own under the system's temporary directory, removed
// with everything in it at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "orvex-fileset-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

std::string readDiskFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeDiskFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path makeDirectory(const fs::path& path) {
    fs::create_directory(path);
    return path;
}

// The set lives in root/set, so a name that escaped it would show up in root.
struct DirectorySetup {
    static constexpr const char* label = "Directory";
    TempDir root;
    fs::path dir = makeDirectory(root.path() / "set");
    Host::DirectoryFileSet files{dir.string()};

    bool exists(const std::string& name) const { return fs::is_regular_file(dir / name); }
    std::string contents(const std::string& name) const { return readDiskFile(dir / name); }
    void put(const std::string& name, const std::string& bytes) { writeDiskFile(dir / name, bytes); }
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> stray;
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
    std::vector<std::string> strayFiles() const { return {}; }
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

std::streamoff tell(std::streambuf* buffer, ios_base::openmode side) {
    return std::streamoff(buffer->pubseekoff(0, ios_base::cur, side));
}

template <class SetKind>
class FileSetContract : public ::testing::Test {
protected:
    SetKind setup;
    FileSet::TFileSet& set() { return setup.files; }
    std::streambuf* open(const std::string& name, ios_base::openmode mode) { return set().open(name, mode, 0, 1); }
};
TYPED_TEST_SUITE(FileSetContract, Setups, SetupNames);

// ------------------------------------------------------ file set contract

TYPED_TEST(FileSetContract, OpeningAMissingFileWithoutWritingGivesNullAndCreatesNothing) {
    for (auto mode : {ios_base::in, ios_base::in | ios_base::binary}) {
        EXPECT_EQ(this->open("missing", mode), nullptr);
    }
    EXPECT_FALSE(this->setup.exists("missing"));
}

TYPED_TEST(FileSetContract, InvalidModesAreRefused) {
    this->setup.put("f", "abc");
    for (auto mode : {ios_base::binary, ios_base::in | ios_base::trunc, ios_base::out | ios_base::app | ios_base::trunc}) {
        EXPECT_EQ(this->open("f", mode), nullptr) << mode;
    }
    EXPECT_EQ(this->setup.contents("f"), "abc");
}

TYPED_TEST(FileSetContract, EveryWritingModeCreatesAMissingFile) {
    const ios_base::openmode modes[] = {ios_base::out, ios_base::out | ios_base::binary, ios_base::out | ios_base::trunc,
                                        ios_base::in | ios_base::out, ios_base::app, ios_base::out | ios_base::app,
                                        ios_base::in | ios_base::app};
    int n = 0;
    for (auto mode : modes) {
        const std::string name = "new" + std::to_string(n++);
        std::streambuf* b = this->open(name, mode);
        ASSERT_NE(b, nullptr) << mode;
        EXPECT_TRUE(this->set().isOpen(b));
        this->set().close(b);
        EXPECT_TRUE(this->setup.exists(name)) << mode;
        EXPECT_EQ(this->setup.contents(name), "") << mode;
    }
}

TYPED_TEST(FileSetContract, ModesOnAnExistingFileEmptyKeepOrAppendAsFilebufDoes) {
    struct Case {
        ios_base::openmode mode;
        const char* after;  // after writing "XY" right after opening
    } cases[] = {
        {ios_base::out, "XY"},
        {ios_base::out | ios_base::trunc, "XY"},
        {ios_base::in | ios_base::out | ios_base::trunc, "XY"},
        {ios_base::in | ios_base::out, "XYcdef"},
        {ios_base::in | ios_base::out | ios_base::binary, "XYcdef"},
        {ios_base::app, "abcdefXY"},
        {ios_base::out | ios_base::app, "abcdefXY"},
        {ios_base::in | ios_base::app, "abcdefXY"},
        {ios_base::in, "abcdef"},  // the write fails
    };
    for (const Case& c : cases) {
        this->setup.put("f", "abcdef");
        std::streambuf* b = this->open("f", c.mode);
        ASSERT_NE(b, nullptr) << c.mode;
        EXPECT_EQ(put(b, "XY"), (c.mode & (ios_base::out | ios_base::app)) ? 2 : 0) << c.mode;
        this->set().close(b);
        EXPECT_EQ(this->setup.contents("f"), c.after) << c.mode;
    }
}

TYPED_TEST(FileSetContract, AppendingWritesAtTheEndWhateverThePosition) {
    this->setup.put("f", "abc");
    std::streambuf* b = this->open("f", ios_base::in | ios_base::app);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::streamoff(b->pubseekpos(1)), 1);
    EXPECT_EQ(b->sgetc(), 'b');
    put(b, "Z");
    EXPECT_EQ(tell(b, ios_base::out), 4);
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "abcZ");
}

TYPED_TEST(FileSetContract, SeekAndTellShareOnePositionOnBothSides) {
    std::streambuf* b = this->open("f", ios_base::in | ios_base::out);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(tell(b, ios_base::in), 0);
    put(b, "0123456789");
    EXPECT_EQ(tell(b, ios_base::out), 10);
    EXPECT_EQ(tell(b, ios_base::in), 10);

    EXPECT_EQ(std::streamoff(b->pubseekoff(-3, ios_base::end, ios_base::in)), 7);
    char got[3];
    ASSERT_EQ(b->sgetn(got, 3), 3);
    EXPECT_EQ(std::string(got, 3), "789");

    EXPECT_EQ(std::streamoff(b->pubseekpos(2, ios_base::out)), 2);
    put(b, "ab");
    EXPECT_EQ(std::streamoff(b->pubseekoff(1, ios_base::cur, ios_base::in)), 5);
    EXPECT_EQ(b->sgetc(), '5');

    // A seek before the start fails and leaves the position alone.
    EXPECT_EQ(std::streamoff(b->pubseekpos(-1)), -1);
    EXPECT_EQ(std::streamoff(b->pubseekoff(-6, ios_base::cur, ios_base::out)), -1);
    EXPECT_EQ(tell(b, ios_base::in), 5);

    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "01ab456789");
}

TYPED_TEST(FileSetContract, ReadingPastTheEndGivesEofAndWritingThereExtendsWithZeros) {
    this->setup.put("f", "abc");
    std::streambuf* b = this->open("f", ios_base::in | ios_base::out);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::streamoff(b->pubseekoff(0, ios_base::end)), 3);
    EXPECT_EQ(b->sgetc(), std::char_traits<char>::eof());
    EXPECT_EQ(std::streamoff(b->pubseekpos(10)), 10);
    char got[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(b->sgetn(got, 4), 0);
    EXPECT_EQ(std::string(got, 4), "xxxx");
    EXPECT_EQ(b->sputc('Z'), 'Z');
    EXPECT_EQ(std::streamoff(b->pubseekoff(0, ios_base::end)), 11);
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), std::string("abc") + std::string(7, '\0') + "Z");
}

TYPED_TEST(FileSetContract, AReadingOnlyBufferCannotWriteAndAWritingOnlyOneCannotRead) {
    this->setup.put("f", "abc");
    std::streambuf* reader = this->open("f", ios_base::in);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->sputc('Z'), std::char_traits<char>::eof());
    EXPECT_EQ(put(reader, "ZZ"), 0);
    this->set().close(reader);

    std::streambuf* writer = this->open("f", ios_base::out | ios_base::app);
    ASSERT_NE(writer, nullptr);
    writer->pubseekpos(0);
    char got[3];
    EXPECT_EQ(writer->sgetn(got, 3), 0);
    EXPECT_EQ(writer->sgetc(), std::char_traits<char>::eof());
    this->set().close(writer);
    EXPECT_EQ(this->setup.contents("f"), "abc");
}

TYPED_TEST(FileSetContract, PuttingBackStepsOverTheByteThatIsThere) {
    this->setup.put("f", "ab");
    std::streambuf* b = this->open("f", ios_base::in);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->sbumpc(), 'a');
    EXPECT_EQ(b->sputbackc('x'), std::char_traits<char>::eof());  // would change the file
    EXPECT_EQ(b->sputbackc('a'), 'a');
    EXPECT_EQ(b->sungetc(), std::char_traits<char>::eof());  // already at the start
    EXPECT_EQ(drain(b), "ab");
    this->set().close(b);
}

// The access pattern of an open table: records read and written in place at
// random positions, with flushes now and then. Checked against a plain
// string after every step, on disk at every flush, and after reopening.
TYPED_TEST(FileSetContract, RandomReadsAndWritesRoundTripThroughFlushAndReopen) {
    std::mt19937 rng(12345);
    std::string model;
    std::streambuf* b = this->open("table.bin", ios_base::in | ios_base::out | ios_base::binary);
    ASSERT_NE(b, nullptr);
    for (int step = 0; step < 3000; ++step) {
        const std::size_t at = rng() % 5000;
        const std::size_t n = 1 + rng() % 40;
        ASSERT_EQ(std::streamoff(b->pubseekpos(static_cast<std::streamoff>(at))), static_cast<std::streamoff>(at));
        if (rng() % 2) {
            std::string bytes(n, '\0');
            for (char& c : bytes) c = static_cast<char>(rng());
            ASSERT_EQ(put(b, bytes), static_cast<std::streamsize>(n));
            if (model.size() < at + n) model.resize(at + n, '\0');
            model.replace(at, n, bytes);
        } else {
            std::string got(n, '\0');
            const std::streamsize read = b->sgetn(got.data(), static_cast<std::streamsize>(n));
            const std::string expected = at < model.size() ? model.substr(at, n) : "";
            ASSERT_EQ(got.substr(0, static_cast<std::size_t>(read)), expected) << "step " << step;
        }
        if (step % 250 == 249) {
            ASSERT_EQ(b->pubsync(), 0);
            ASSERT_EQ(this->setup.contents("table.bin"), model) << "step " << step;
        }
    }
    this->set().close(b);
    EXPECT_FALSE(this->set().isOpen(b));
    EXPECT_EQ(this->setup.contents("table.bin"), model);

    b = this->open("table.bin", ios_base::in | ios_base::binary);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(drain(b), model);
    this->set().close(b);
}

TYPED_TEST(FileSetContract, ClosingKeepsWhatWasWritten) {
    std::streambuf* b = this->open("f", ios_base::out);
    ASSERT_NE(b, nullptr);
    put(b, "kept");
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "kept");
    b = this->open("f", ios_base::in);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(drain(b), "kept");
    this->set().close(b);
}

TYPED_TEST(FileSetContract, TwoBuffersOnOneFileSeeEachOthersWritesAtOnce) {
    std::streambuf* a = this->open("f", ios_base::in | ios_base::out);
    ASSERT_NE(a, nullptr);
    put(a, "hello");
    std::streambuf* b = this->open("f", ios_base::in);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(a, b);
    EXPECT_EQ(drain(b), "hello");
    put(a, " world");  // a's position is its own: still 5
    EXPECT_EQ(drain(b), " world");
    this->set().close(a);
    EXPECT_TRUE(this->set().isOpen(b));
    b->pubseekpos(0);
    EXPECT_EQ(drain(b), "hello world");
    this->set().close(b);
    EXPECT_EQ(this->setup.contents("f"), "hello world");
}

TYPED_TEST(FileSetContract, EmptyingAnOpenFileEmptiesItForEveryBuffer) {
    std::streambuf* a = this->open("f", ios_base::in | ios_base::out);
    ASSERT_NE(a, nullptr);
    put(a, "abcdef");
    ASSERT_EQ(a->pubsync(), 0);
    std::streambuf* b = this->open("f", ios_base::out);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(this->setup.contents("f"), "");
    a->pubseekpos(0);
    EXPECT_EQ(drain(a), "");
    put(b, "xy");
    this->set().close(b);
    this->set().close(a);
    EXPECT_EQ(this->setup.contents("f"), "xy");
}

TYPED_TEST(FileSetContract, RemovingAMissingFileIsHarmless) {
    this->setup.put("other", "x");
    EXPECT_FALSE(this->set().remove("missing"));
    EXPECT_FALSE(this->setup.exists("missing"));
    EXPECT_EQ(this->setup.contents("other"), "x");
}

TYPED_TEST(FileSetContract, RemovedFileIsGoneAndAnOpenBufferOnItNeverBringsItBack) {
    this->setup.put("f", "abc");
    EXPECT_TRUE(this->set().remove("f"));
    EXPECT_FALSE(this->setup.exists("f"));
    EXPECT_EQ(this->open("f", ios_base::in), nullptr);

    std::streambuf* b = this->open("g", ios_base::in | ios_base::out);
    ASSERT_NE(b, nullptr);
    put(b, "abc");
    EXPECT_TRUE(this->set().remove("g"));
    EXPECT_FALSE(this->setup.exists("g"));
    put(b, "def");  // still usable on the old bytes
    b->pubseekpos(0);
    EXPECT_EQ(drain(b), "abcdef");
    EXPECT_EQ(b->pubsync(), 0);
    this->set().close(b);
    EXPECT_FALSE(this->setup.exists("g"));
    // A new file of that name starts afresh.
    b = this->open("g", ios_base::in | ios_base::out);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(drain(b), "");
    this->set().close(b);
}

TYPED_TEST(FileSetContract, NamesThatWouldLeaveTheSetAreRefused) {
    const std::string names[] = {"", ".", "..", "../escaped", "a/b", "/tmp/escaped", "a\\b", "..\\escaped",
                                 std::string("a\0b", 3)};
    for (const std::string& name : names) {
        EXPECT_EQ(this->open(name, ios_base::out), nullptr) << name;
        EXPECT_EQ(this->open(name, ios_base::in | ios_base::out), nullptr) << name;
        EXPECT_FALSE(this->set().remove(name)) << name;
        EXPECT_FALSE(this->setup.files.exists(name)) << name;
    }
    EXPECT_TRUE(this->setup.files.list().empty());
    EXPECT_TRUE(this->setup.strayFiles().empty());
    // Dots inside a name are fine.
    std::streambuf* b = this->open("..a.b..", ios_base::out);
    ASSERT_NE(b, nullptr);
    this->set().close(b);
    EXPECT_TRUE(this->setup.exists("..a.b.."));
}

TYPED_TEST(FileSetContract, ExistsAndListSeeTheFilesOfTheSet) {
    for (const char* name : {"b.bin", "a.dst", "c"}) {
        std::streambuf* b = this->open(name, ios_base::out);
        ASSERT_NE(b, nullptr);
        this->set().close(b);
    }
    EXPECT_EQ(this->setup.files.list(), (std::vector<std::string>{"a.dst", "b.bin", "c"}));
    EXPECT_TRUE(this->setup.files.exists("c"));
    this->set().remove("c");
    EXPECT_FALSE(this->setup.files.exists("c"));
    EXPECT_EQ(this->setup.files.list(), (std::vector<std::string>{"a.dst", "b.bin"}));
}

TYPED_TEST(FileSetContract, UnknownBuffersAreNotOpenAndClosingThemDoesNothing) {
    std::stringbuf stranger;
    EXPECT_FALSE(this->set().isOpen(&stranger));
    EXPECT_FALSE(this->set().isOpen(nullptr));
    this->set().close(&stranger);
    this->set().close(nullptr);
}

// ------------------------------------------------------- directory file set

TEST(DirectoryFileSet, RefusesAPathThatIsNotADirectory) {
    TempDir root;
    EXPECT_THROW(Host::DirectoryFileSet((root.path() / "missing").string()), std::runtime_error);
    writeDiskFile(root.path() / "plain", "x");
    EXPECT_THROW(Host::DirectoryFileSet((root.path() / "plain").string()), std::runtime_error);
    Host::DirectoryFileSet set(root.path().string());
    EXPECT_EQ(set.path(), root.path().string());
}

TEST(DirectoryFileSet, SubdirectoriesAreNotFiles) {
    TempDir root;
    fs::create_directory(root.path() / "sub");
    Host::DirectoryFileSet set(root.path().string());
    EXPECT_EQ(set.open("sub", ios_base::in, 0, 1), nullptr);
    EXPECT_EQ(set.open("sub", ios_base::in | ios_base::out, 0, 1), nullptr);
    EXPECT_FALSE(set.exists("sub"));
    EXPECT_TRUE(set.list().empty());
    EXPECT_FALSE(set.remove("sub"));
    EXPECT_TRUE(fs::is_directory(root.path() / "sub"));
}

TEST(DirectoryFileSet, BuffersLeftOpenAreWrittenBackWhenTheSetGoes) {
    TempDir root;
    {
        Host::DirectoryFileSet set(root.path().string());
        std::streambuf* b = set.open("f", ios_base::out, 0, 1);
        ASSERT_NE(b, nullptr);
        put(b, "unclosed");
    }
    EXPECT_EQ(readDiskFile(root.path() / "f"), "unclosed");
}

TEST(DirectoryFileSet, OpeningToWriteEmptiesTheFileOnDiskAtOnce) {
    TempDir root;
    writeDiskFile(root.path() / "f", "old bytes");
    Host::DirectoryFileSet set(root.path().string());
    std::streambuf* b = set.open("f", ios_base::out, 0, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(readDiskFile(root.path() / "f"), "");
    set.close(b);
}

// ---------------------------------------------------------- faulty file set

TEST(FaultyFileSet, FailsTheChosenOpenOnceOrFromThenOn) {
    Host::MemoryFileSet memory;
    Host::FaultyFileSet faulty(memory);
    faulty.failOpen(2);
    std::streambuf* first = faulty.open("a", ios_base::out, 0, 1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(faulty.open("b", ios_base::out, 0, 1), nullptr);
    EXPECT_FALSE(memory.exists("b"));
    std::streambuf* third = faulty.open("c", ios_base::out, 0, 1);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(faulty.opens(), 3u);

    faulty.failOpen(1, true);
    EXPECT_EQ(faulty.open("d", ios_base::out, 0, 1), nullptr);
    EXPECT_EQ(faulty.open("e", ios_base::out, 0, 1), nullptr);
    faulty.heal();
    std::streambuf* healed = faulty.open("e", ios_base::out, 0, 1);
    EXPECT_NE(healed, nullptr);
    for (std::streambuf* b : {first, third, healed}) faulty.close(b);
    EXPECT_EQ(memory.list(), (std::vector<std::string>{"a", "c", "e"}));
}

TEST(FaultyFileSet, WritesFailOnceTheLimitIsReachedAndWhatFitIsKept) {
    Host::MemoryFileSet memory;
    Host::FaultyFileSet faulty(memory);
    faulty.failWritesAfter(5);
    {
        FileSet::ovfstream out(faulty, "f", ios_base::binary, false, true);
        ASSERT_TRUE(out.is_open());
        out.write("hello world", 11);
        EXPECT_TRUE(out.bad());
    }
    EXPECT_EQ(memory.contents("f"), "hello");
    faulty.heal();
    FileSet::ovfstream out(faulty, "f", ios_base::app | ios_base::binary, false, true);
    out << " again";
    out.close();
    EXPECT_EQ(memory.contents("f"), "hello again");
}

TEST(FaultyFileSet, PassesReadsAndSeeksThrough) {
    Host::MemoryFileSet memory;
    memory.put("f", "0123456789");
    Host::FaultyFileSet faulty(memory);
    FileSet::vfstream stream(faulty);
    stream.open("f", ios_base::binary);
    ASSERT_TRUE(stream.is_open());
    stream.seekg(4);
    char got[3];
    stream.read(got, 3);
    EXPECT_EQ(std::string(got, 3), "456");
    EXPECT_EQ(stream.tellg(), 7);
    stream.seekp(0);
    stream << "ab";
    stream.close();
    EXPECT_FALSE(stream.is_open());
    EXPECT_EQ(memory.contents("f"), "ab23456789");
}

// ---------------------------------------------------------- stream adapters

// Passes everything to another set and writes down what the adapters asked.
class RecordingFileSet : public FileSet::TFileSet {
public:
    explicit RecordingFileSet(FileSet::TFileSet& inner) : m_inner(inner) {}
    std::vector<std::string> log;

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
    void setStreamFlag1(std::streambuf* buffer, bool flag) override {
        log.push_back("flag1 " + m_names[buffer] + (flag ? " true" : " false"));
    }
    void setStreamFlag2(std::streambuf* buffer, bool flag) override {
        log.push_back("flag2 " + m_names[buffer] + (flag ? " true" : " false"));
    }
    bool remove(const std::string& name) override {
        log.push_back("remove " + name);
        return m_inner.remove(name);
    }

private:
    static std::string describe(ios_base::openmode mode) {
        std::string s;
        for (auto [bit, name] : {std::pair{ios_base::in, "in"}, {ios_base::out, "out"}, {ios_base::app, "app"},
                                 {ios_base::trunc, "trunc"}, {ios_base::binary, "binary"}})
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
    FileSet::ivfstream in(this->setup.files, "missing", ios_base::binary, false, true);
    EXPECT_FALSE(in.is_open());
    EXPECT_TRUE(in.fail());
    char got[4] = {'x', 'x', 'x', 'x'};
    in.clear();  // even a cleared stream has nothing to read from
    in.read(got, 4);
    EXPECT_TRUE(in.fail());
    EXPECT_EQ(in.gcount(), 0);
    EXPECT_EQ(std::string(got, 4), "xxxx");
    EXPECT_FALSE(this->setup.exists("missing"));
}

TYPED_TEST(StreamAdapters, ConstructorsOpenThenSetBothFlagsOnceOnSuccessOnly) {
    this->setup.put("a", "abc");
    { FileSet::ivfstream in(this->recording, "a", ios_base::binary, false, true); }
    { FileSet::ovfstream out(this->recording, "b", ios_base::binary, false, true); }
    { FileSet::ivfstream in(this->recording, "missing", ios_base::binary, false, true); }
    EXPECT_EQ(this->recording.log, (std::vector<std::string>{
                                       "open a in|binary 01", "flag1 a false", "flag2 a true", "close a",
                                       "open b out|binary 01", "flag1 b false", "flag2 b true", "close b",
                                       "open missing in|binary 01"}));
}

TYPED_TEST(StreamAdapters, ClosingAnUnopenedAdapterDoesNothing) {
    FileSet::ivfstream in(this->recording);
    FileSet::ovfstream out(this->recording);
    FileSet::vfstream both(this->recording);
    in.close();
    out.close();
    both.close();
    EXPECT_TRUE(this->recording.log.empty());
    EXPECT_TRUE(in.good() && out.good() && both.good());

    in.open("missing", ios_base::binary);
    in.close();
    EXPECT_EQ(this->recording.log, (std::vector<std::string>{"open missing in|binary 01"}));
}

TYPED_TEST(StreamAdapters, OpeningAnOpenAdapterClosesTheFirstFileAndKeepsItsBytes) {
    FileSet::ovfstream out(this->recording, "a", ios_base::binary, false, true);
    out << "first";
    out.open("b", ios_base::binary);
    EXPECT_TRUE(out.is_open());
    EXPECT_EQ(this->recording.log, (std::vector<std::string>{"open a out|binary 01", "flag1 a false", "flag2 a true",
                                                             "close a", "open b out|binary 01"}));
    EXPECT_EQ(this->setup.contents("a"), "first");
}

TYPED_TEST(StreamAdapters, ReadWriteStreamCreatesSeeksAndClosesCleanly) {
    FileSet::vfstream stream(this->recording);
    stream.open("table.bin", ios_base::binary);
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

    FileSet::ivfstream in(this->setup.files, "f", ios_base::binary, false, true);
    ASSERT_TRUE(in.is_open());
    CountingBuffer counting;
    std::ostream out(&counting);
    FileSet::copyStream(out, in);
    EXPECT_EQ(counting.writes, (std::vector<std::streamsize>{2048, 2048, 904}));
    EXPECT_EQ(counting.bytes, data);
    EXPECT_TRUE(in.fail());
    EXPECT_TRUE(out.good());
}

TYPED_TEST(StreamAdapters, MoveFileReplacesTheTargetAndRemovesTheSource) {
    std::string data(5000, 'q');
    data[0] = '\0';
    data[4999] = 'z';
    this->setup.put("from", data);
    this->setup.put("to", "older and longer than nothing");
    FileSet::moveFile(this->setup.files, "from", "to");
    EXPECT_EQ(this->setup.contents("to"), data);
    EXPECT_FALSE(this->setup.exists("from"));
}

TYPED_TEST(StreamAdapters, MoveFileFromAMissingSourceRaisesAndLeavesTheTarget) {
    this->setup.put("to", "keep me");
    EXPECT_THROW(FileSet::moveFile(this->recording, "missing", "to"), std::runtime_error);
    EXPECT_EQ(this->setup.contents("to"), "keep me");
    EXPECT_EQ(this->recording.log, (std::vector<std::string>{"open missing in|binary 01"}));
}

// ------------------------------------------------------------------ progress

// Spends CPU time: clock() measures the process's CPU time, not the wall's.
void burnCpu(double seconds) {
    const std::clock_t start = std::clock();
    while (static_cast<double>(std::clock() - start) < seconds * CLOCKS_PER_SEC) {
    }
}

class RecordingProgress : public Console::TProgress {
public:
    std::vector<std::string> calls;
    void onStart() override { calls.push_back("start"); }
    void onFinish() override { calls.push_back("finish"); }
    void onUpdate(int percent) override { calls.push_back(std::to_string(percent)); }
};

using Calls = std::vector<std::string>;

TEST(Progress, AnEmptyRunCallsOnlyOnFinish) {
    for (int total : {0, -5}) {
        RecordingProgress p;
        p.start(total);
        burnCpu(0.12);
        p.update(1);
        p.update(-1);
        p.finish();
        EXPECT_EQ(p.calls, (Calls{"finish"})) << total;
    }
}

TEST(Progress, ReportsAtMostOncePerTenthOfASecondCountedFromStart) {
    RecordingProgress p;
    p.start(100);
    p.update(50);  // too soon after start
    EXPECT_EQ(p.calls, (Calls{"start"}));
    burnCpu(0.12);
    p.update(10);
    p.update(20);  // too soon after the last report
    p.update(30);
    EXPECT_EQ(p.calls, (Calls{"start", "10"}));
    burnCpu(0.12);
    p.update(40);
    p.finish();
    EXPECT_EQ(p.calls, (Calls{"start", "10", "40", "finish"}));
}

TEST(Progress, TheSamePercentageIsNeverReportedTwice) {
    RecordingProgress p;
    p.start(1000);
    burnCpu(0.12);
    p.update(100);
    burnCpu(0.25);
    p.update(100);
    p.update(109);  // still 10%
    EXPECT_EQ(p.calls, (Calls{"start", "10"}));
    p.update(110);
    EXPECT_EQ(p.calls, (Calls{"start", "10", "11"}));
}

TEST(Progress, PositionsOutsideTheRunReportZeroOrAHundred) {
    RecordingProgress p;
    p.start(10);
    burnCpu(0.12);
    p.update(-3);
    burnCpu(0.12);
    p.update(25);
    burnCpu(0.12);
    p.update(2000000000);  // no overflow in position * 100
    EXPECT_EQ(p.calls, (Calls{"start", "0", "100"}));
    // A new run starts counting afresh.
    p.start(4);
    burnCpu(0.12);
    p.update(4);
    EXPECT_EQ(p.calls, (Calls{"start", "0", "100", "start", "100"}));
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

TEST(TerminalProgress, IsSilentWhenTheOutputIsNoTerminal) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        Host::TerminalProgress p("Stripping", fds[1]);
        EXPECT_FALSE(p.drawing());
        p.start(10);
        burnCpu(0.12);
        p.update(5);
        p.finish();
    }
    ::close(fds[1]);
    EXPECT_EQ(readAvailable(fds[0]), "");
    ::close(fds[0]);
}

TEST(TerminalProgress, DrawsABarWithThePercentageOnATerminalAndEndsTheLine) {
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
    const std::string shown = readAvailable(master);
    EXPECT_NE(shown.find("\rStripping [------------------------------]   0%"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\rStripping [###############---------------]  50%"), std::string::npos) << shown;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), '\n');
    ::close(terminal);
    ::close(master);
}

}  // namespace
