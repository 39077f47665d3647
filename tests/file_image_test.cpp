// File images in pages: pages come in only when touched, files grow page by
// page, and buffers over one image read and write the shared pages in place.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "Core/Orvex/__table.h"
#include "host/directory_file_set.h"
#include "host/file_image.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using Host::FileImage;
using Host::ImageBuffer;
using std::ios_base;
using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

const std::size_t page = FileImage::pageSize;
const auto in = ios_base::in, out = ios_base::out, binary = ios_base::binary;

FileImage& imageOf(std::streambuf* buffer) { return dynamic_cast<ImageBuffer&>(*buffer).image(); }

// Bytes that differ from page to page and within a page, so that a byte
// read from the wrong place shows.
std::string pattern(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

std::string readAt(std::streambuf* buffer, std::size_t at, std::size_t n) {
    std::string got(n, '\0');
    buffer->pubseekpos(static_cast<std::streamoff>(at));
    got.resize(static_cast<std::size_t>(buffer->sgetn(got.data(), static_cast<std::streamsize>(n))));
    return got;
}

TEST(FileImagePages, OpeningReadsNothingAndEachPageIsReadOnceWhenFirstTouched) {
    TempDir dir;
    const std::string disk = pattern(10 * page + 123, 1);
    writeFile(dir.path() / "big", disk);
    Host::DirectoryFileSet set(dir.path().string());
    std::streambuf* b = set.open("big", in | binary, 0, 1);
    ASSERT_NE(b, nullptr);
    FileImage& image = imageOf(b);
    EXPECT_EQ(image.pagesFetched(), 0u);
    EXPECT_EQ(b->pubseekoff(0, ios_base::end), static_cast<std::streamoff>(disk.size()));  // the length needs no page
    EXPECT_EQ(image.pagesFetched(), 0u);

    EXPECT_EQ(readAt(b, 7 * page + 5, 11), disk.substr(7 * page + 5, 11));
    EXPECT_EQ(image.pagesFetched(), 1u);
    EXPECT_EQ(readAt(b, 7 * page + 1000, 11), disk.substr(7 * page + 1000, 11));  // same page
    EXPECT_EQ(image.pagesFetched(), 1u);
    EXPECT_EQ(readAt(b, 3 * page - 4, 8), disk.substr(3 * page - 4, 8));  // across pages 2 and 3
    EXPECT_EQ(image.pagesFetched(), 3u);
    EXPECT_EQ(readAt(b, 10 * page + 100, 50), disk.substr(10 * page + 100));  // the short last page
    EXPECT_EQ(image.pagesFetched(), 4u);

    // A second buffer shares the pages already in.
    std::streambuf* second = set.open("big", in | binary, 0, 1);
    EXPECT_EQ(readAt(second, 7 * page, page), disk.substr(7 * page, page));
    EXPECT_EQ(image.pagesFetched(), 4u);
    set.close(second);
    set.close(b);
}

TEST(FileImagePages, AWriteReadsItsPageFirstAndStoresOnlyWhatChanged) {
    TempDir dir;
    const std::string disk = pattern(4 * page, 2);
    writeFile(dir.path() / "f", disk);
    Host::DirectoryFileSet set(dir.path().string());
    std::streambuf* b = set.open("f", in | out | binary, 0, 1);
    ASSERT_NE(b, nullptr);
    b->pubseekpos(static_cast<std::streamoff>(2 * page + 10));
    ASSERT_EQ(b->sputn("changed", 7), 7);
    EXPECT_EQ(imageOf(b).pagesFetched(), 1u);
    set.close(b);
    std::string expected = disk;
    expected.replace(2 * page + 10, 7, "changed");
    EXPECT_EQ(readFile(dir.path() / "f"), expected);
}

// Written a character at a time (through the put area) and in blocks, from
// before a page boundary to past several, after a gap past the end; checked
// against a plain string through a reading buffer, and on disk after close.
template <class Files>
void growAcrossPages(Files& files, const std::function<std::string()>& stored) {
    std::streambuf* w = files.open("g", in | out | binary, 0, 1);
    ASSERT_NE(w, nullptr);
    std::string model = pattern(page - 3, 3);
    ASSERT_EQ(w->sputn(model.data(), static_cast<std::streamsize>(model.size())),
              static_cast<std::streamsize>(model.size()));
    const std::string chars = pattern(2 * page + 17, 4);
    for (char c : chars) ASSERT_EQ(w->sputc(c), std::char_traits<char>::to_int_type(c));
    model += chars;
    // A gap of zeros up to the middle of a later page, then a block that
    // ends inside the page after it.
    const std::size_t gapTo = 5 * page + page / 2;
    const std::string block = pattern(page, 5);
    ASSERT_EQ(w->pubseekpos(static_cast<std::streamoff>(gapTo)), static_cast<std::streamoff>(gapTo));
    ASSERT_EQ(w->sputn(block.data(), static_cast<std::streamsize>(block.size())),
              static_cast<std::streamsize>(block.size()));
    model.resize(gapTo, '\0');
    model += block;

    std::streambuf* r = files.open("g", in | binary, 0, 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->pubseekoff(0, ios_base::end), static_cast<std::streamoff>(model.size()));
    EXPECT_EQ(readAt(r, 0, model.size() + 10), model);
    EXPECT_EQ(imageOf(r).size(), model.size());
    files.close(r);
    files.close(w);
    EXPECT_EQ(stored(), model);
}

TEST(FileImagePages, FilesGrowAcrossPageBoundariesAndGapsReadAsZeros) {
    {
        Host::MemoryFileSet files;
        growAcrossPages(files, [&] { return files.contents("g"); });
    }
    {
        TempDir dir;
        Host::DirectoryFileSet files(dir.path().string());
        growAcrossPages(files, [&] { return readFile(dir.path() / "g"); });
    }
}

// Buffers over one image write and read the shared page in place: what one
// writes a character at a time, before any flush, the other reads from
// the page it already holds, and a file grown by one is as long for the
// other.
template <class Files>
void shareOneImage(Files& files) {
    std::streambuf* a = files.open("s", in | out | binary, 0, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->sputn("0123456789", 10), 10);
    std::streambuf* b = files.open("s", in | binary, 0, 1);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(b->sbumpc(), '0');  // b now reads from the page
    a->pubseekpos(1);
    a->sputc('x');
    a->sputc('y');
    EXPECT_EQ(b->sbumpc(), 'x');
    EXPECT_EQ(b->sgetc(), 'y');
    // a writes past b's end of the page it read: b finds the new bytes
    // when it reaches its end.
    a->pubseekpos(10);
    for (char c : std::string("abc")) a->sputc(c);
    b->pubseekpos(9);
    EXPECT_EQ(b->sbumpc(), '9');
    EXPECT_EQ(b->sbumpc(), 'a');
    EXPECT_EQ(b->pubseekoff(0, ios_base::end), 13);
    // And the other way round: b reads what a writes into a later page.
    a->pubseekpos(static_cast<std::streamoff>(2 * page));
    a->sputc('z');
    EXPECT_EQ(b->pubseekoff(0, ios_base::end), static_cast<std::streamoff>(2 * page + 1));
    b->pubseekpos(static_cast<std::streamoff>(2 * page - 1));
    EXPECT_EQ(b->sbumpc(), 0);
    EXPECT_EQ(b->sbumpc(), 'z');
    EXPECT_EQ(b->sbumpc(), std::char_traits<char>::eof());
    files.close(b);
    files.close(a);
}

// Records written after seeks, as appends and a sort write them: runs one
// after another (across page boundaries too), steps back over what was just
// written, jumps elsewhere and past the end. Another buffer reads each at
// once, and closing stores exactly what was written, the original bytes
// around it kept.
TEST(FileImagePages, RecordWritesAfterSeeksAreReadAtOnceAndStoredExactly) {
    TempDir dir;
    std::string model = pattern(3 * page, 6);
    writeFile(dir.path() / "r", model);
    Host::DirectoryFileSet set(dir.path().string());
    std::streambuf* w = set.open("r", in | out | binary, 0, 1);
    std::streambuf* r = set.open("r", in | binary, 0, 1);
    ASSERT_NE(w, nullptr);
    ASSERT_NE(r, nullptr);
    std::mt19937 rng(8);
    std::size_t at = page - 40;
    for (unsigned i = 0; i < 3000; ++i) {
        const std::string record = pattern(11, i);
        ASSERT_EQ(w->pubseekpos(static_cast<std::streamoff>(at)), static_cast<std::streamoff>(at));
        ASSERT_EQ(w->sputn(record.data(), 11), 11);
        if (model.size() < at + 11) model.resize(at + 11, '\0');
        model.replace(at, 11, record);
        if (i % 5 == 0) {
            ASSERT_EQ(readAt(r, at, 11), record) << i;
        }
        const unsigned move = static_cast<unsigned>(rng() % 20);
        at = move == 0 ? rng() % (4 * page) : move == 1 && at >= 30 ? at - 30 : at + 11;
    }
    EXPECT_EQ(readAt(r, 0, model.size() + 5), model);
    set.close(r);
    set.close(w);
    EXPECT_EQ(readFile(dir.path() / "r"), model);
}

TEST(FileImagePages, EmptyingAFileDropsTheAreasOfEveryBufferOverIt) {
    Host::MemoryFileSet files;
    files.put("f", pattern(3 * page, 6));
    std::streambuf* r = files.open("f", in, 0, 1);
    std::streambuf* w = files.open("f", in | out, 0, 1);
    r->pubseekpos(static_cast<std::streamoff>(page));
    r->sbumpc();
    w->pubseekpos(10);
    w->sputc('w');
    std::streambuf* emptying = files.open("f", out, 0, 1);
    EXPECT_EQ(r->sgetc(), std::char_traits<char>::eof());
    w->sputc('v');  // its position was kept: 11
    files.close(emptying);
    files.close(w);
    files.close(r);
    EXPECT_EQ(files.contents("f"), std::string(11, '\0') + "v");
}

// Pages of images that went away are reused; a reused page must not show
// its old bytes in a gap or past the end of the file that takes it.
TEST(FileImagePages, AReusedPageShowsNoneOfItsOldBytes) {
    FileImage::releaseKeptPages();
    Host::MemoryFileSet files;
    files.put("old", std::string(4 * page, 'x'));
    ASSERT_TRUE(files.remove("old"));  // its pages go back for reuse
    std::streambuf* b = files.open("new", in | out, 0, 1);
    b->pubseekpos(static_cast<std::streamoff>(2 * page + 7));
    b->sputc('y');
    EXPECT_EQ(readAt(b, 0, 3 * page), std::string(2 * page + 7, '\0') + "y");
    EXPECT_EQ(b->pubseekoff(0, ios_base::end), static_cast<std::streamoff>(2 * page + 8));
    files.close(b);
    FileImage::releaseKeptPages();
}

}  // namespace
