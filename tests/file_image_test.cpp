// File images in pages: a page comes in only when first touched, and buffers
// over one image read and write the shared pages in place.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "host/directory_file_set.h"
#include "host/file_image.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

using Host::FileImage;
using std::ios_base;
using namespace TestSupport;

namespace {

const std::size_t page = FileImage::pageSize;
const auto in = ios_base::in, out = ios_base::out;
const int eof = std::char_traits<char>::eof();

// Bytes that differ from page to page and within a page, so that a byte read
// from the wrong place shows.
std::string pattern(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

std::string readAt(std::streambuf* b, std::size_t at, std::size_t n) {
    std::string got(n, '\0');
    b->pubseekpos(std::streamoff(at));
    got.resize(std::size_t(b->sgetn(got.data(), std::streamsize(n))));
    return got;
}

TEST(FileImagePages, EachPageIsReadOnceWhenFirstTouchedAndOnlyChangedBytesAreStored) {
    TempDir dir;
    const std::string disk = pattern(10 * page + 123, 1);
    writeFile(dir.path() / "big", disk);
    Host::DirectoryFileSet set(dir.path().string());
    std::streambuf* b = set.open("big", in, 0, 1);
    std::streambuf* w = set.open("big", in | out, 0, 1);
    ASSERT_TRUE(b && w);
    const FileImage& image = dynamic_cast<Host::ImageBuffer&>(*b).image();
    EXPECT_EQ(b->pubseekoff(0, ios_base::end), std::streamoff(disk.size()));  // the length needs no page
    const struct {
        std::streambuf* buffer;
        std::size_t at, n, fetched;
    } reads[] = {
        {b, 0, 0, 0},
        {b, 7 * page + 5, 11, 1},
        {b, 7 * page + 1000, 11, 1},  // the same page
        {b, 3 * page - 4, 8, 3},      // across two pages
        {b, 10 * page + 100, 50, 4},  // the short last page
        {w, 7 * page, page, 4},       // another buffer shares the pages in
    };
    for (const auto& r : reads) {
        if (r.n) {
            EXPECT_EQ(readAt(r.buffer, r.at, r.n), disk.substr(r.at, r.n)) << r.at;
        }
        EXPECT_EQ(image.pagesFetched(), r.fetched) << r.at;
    }
    w->pubseekpos(std::streamoff(5 * page + 10));
    ASSERT_EQ(w->sputn("changed", 7), 7);
    EXPECT_EQ(image.pagesFetched(), 5u);  // a write reads its page first
    set.close(w);
    set.close(b);
    std::string expected = disk;
    expected.replace(5 * page + 10, 7, "changed");
    EXPECT_EQ(readFile(dir.path() / "big"), expected);
}

// What one buffer writes a character at a time (in its put area, before any
// flush) another reads at once from the page it holds, across page ends and
// past the end the other last saw. The pages are reused ones, of a file that
// went away: none of their old bytes may show in a gap or past the end.
TEST(FileImagePages, BuffersOverOneImageSeeEachOthersBytesInPlace) {
    FileImage::releaseKeptPages();
    Host::MemoryFileSet files;
    files.put("old", std::string(4 * page, 'x'));
    ASSERT_TRUE(files.remove("old"));
    std::streambuf* a = files.open("s", in | out, 0, 1);
    std::streambuf* b = files.open("s", in, 0, 1);
    const std::string first = pattern(page + 7, 2);
    a->pubseekpos(std::streamoff(page - 3));
    for (char c : first) ASSERT_EQ(a->sputc(c), std::char_traits<char>::to_int_type(c));
    EXPECT_EQ(readAt(b, page - 3, 10), first.substr(0, 10));
    a->pubseekpos(std::streamoff(page + 7));
    a->sputc('x');
    EXPECT_EQ(b->sbumpc(), 'x');  // b sits in the page it read
    a->pubseekpos(std::streamoff(2 * page + 6));
    a->sputc('y');
    EXPECT_EQ(readAt(b, 2 * page + 4, 3), std::string("\0\0y", 3));
    EXPECT_EQ(b->sgetc(), eof);
    EXPECT_EQ(b->pubseekoff(0, ios_base::end), std::streamoff(2 * page + 7));
    EXPECT_EQ(readAt(b, 0, page - 3), std::string(page - 3, '\0'));
    // An open that empties the file drops the areas of every buffer over it;
    // each keeps its position.
    std::streambuf* emptying = files.open("s", out, 0, 1);
    EXPECT_EQ(b->sgetc(), eof);
    a->sputc('v');
    files.close(emptying);
    files.close(b);
    files.close(a);
    EXPECT_EQ(files.contents("s"), std::string(2 * page + 7, '\0') + "v");
    FileImage::releaseKeptPages();
}

}  // namespace
