// The pieces our file sets share: the rule for file names, the reading of an
// opening mode, the in-memory image of one file, and the stream buffer that
// reads and writes an image.
//
// A record access above a file set is a seek plus a read or write of a few
// bytes, so an open file is served from memory without a system call. The
// image holds the file in pages of `FileImage::pageSize` bytes, each brought
// in the first time it is touched: opening a large table and finding one
// key reads the few pages the search visits, not the whole file, and the
// memory an open file costs grows with what was touched. Touched pages stay
// until the file closes, since a sort or a search comes back to them; a
// reader going through once drops the clean ones as it goes
// (`dropCleanPages`), so that its memory stays flat. Where the bytes
// live for good is the image's business: `fetch` brings a page's bytes in,
// `store()` puts the changed ones back (both do nothing for memory files).
//
// Every buffer over an image keeps its own position (one position for both
// the reading and the writing side, as std::filebuf). Several buffers may
// share one image; each sees the others' writes at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ios>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

namespace Host {

// True for a name that stays inside its file set: not empty, not "." or
// "..", and free of '/', '\\' and NUL.
bool isPlainFileName(const std::string& name);

// What an opening mode asks for, read as std::filebuf reads it, except that
// in|out also creates a missing file. `app` implies writing; a mode with
// neither in, out nor app, or with trunc but no out, or with trunc and app,
// is not valid.
struct OpenRequest {
    bool valid = false;
    bool read = false;    // in
    bool write = false;   // out or app
    bool append = false;  // every write goes to the end
    bool create = false;  // a missing file is made (every writing mode)
    bool empty = false;   // an existing file is emptied (out alone, or trunc)
};
OpenRequest readOpenMode(std::ios_base::openmode mode);

class ImageBuffer;

// The bytes of one file while it is open (or, for memory files, always), in
// pages that stay where they are in memory until the content is replaced
// (`assign`), so that buffers may read and write them in place.
// A file never grows beyond `maxSize` bytes, the largest size that a signed
// 32-bit position reaches: writes beyond it are refused.
class FileImage {
public:
    static constexpr std::size_t maxSize = 0x7FFFFFFF;
    // Large enough that reading a file from end to end costs one system call
    // per 64 KiB (an 11 MB table in under 200), small enough that a search
    // halving a million records touches well under 1 MiB: once the range
    // fits in a page, the remaining halvings stay inside it.
    static constexpr std::size_t pageSize = std::size_t(1) << 16;
    // A read that jumps brings in only the blocks of its page it touches,
    // so that a search in a large file reads some 4 KiB per step rather than
    // a page; one that goes on over the end of the last read from the file
    // is reading through it, and brings in the rest of the page at once.
    static constexpr std::size_t blockSize = std::size_t(1) << 12;

    // A changed range: `length` bytes from `position`, in pieces of pages.
    struct Change {
        std::size_t position = 0;
        std::size_t length = 0;
        std::vector<std::pair<const char*, std::size_t>> pieces;
    };

    // An empty file.
    FileImage() = default;
    FileImage(const FileImage&) = delete;
    FileImage& operator=(const FileImage&) = delete;
    virtual ~FileImage();

    // The file's length, counting what buffers have written so far.
    inline std::size_t size();
    // Copies up to n bytes from `position` on into `to`; returns how many
    // (0 at or past the end; fewer than asked where a page cannot be brought in).
    std::size_t read(std::size_t position, char* to, std::size_t n);
    // Writes n bytes at `position`, growing the file (a gap reads as zeros);
    // returns how many were written, fewer only where `maxSize` stops it or
    // a page cannot be brought in.
    std::size_t write(std::size_t position, const char* from, std::size_t n);
    // Replaces the whole content; every buffer's position stays as it was.
    void assign(const std::string& bytes);
    // The whole content; empty if a page cannot be brought in.
    std::string contents();
    // Reads from the file so far by `fetch`, for tests and measurements.
    std::size_t pagesFetched() const { return m_fetched; }
    // Pages whose memory the image holds, for tests and measurements.
    std::size_t pagesInMemory() const;
    // Gives the memory of every page that holds no change left to store and
    // that no buffer's get or put area points into back to the pool of
    // kept pages; such a page is read again from the kept file (or reads as
    // zeros past its end) when next touched. Returns the bytes given back.
    // Nothing calls it on its own: only the caller knows that it reads
    // through and will not come back.
    std::size_t dropCleanPages();
    // The memory of pages of images that went away is kept for new pages,
    // up to `mostKeptPages` of them (64 MiB), since fresh memory costs a
    // page fault per 4 KiB on first touch and a table's contents are read
    // on every opening. Frees every kept page; safe from any thread.
    static constexpr std::size_t mostKeptPages = 1024;
    static void releaseKeptPages();

    // Puts the changed bytes where they are kept; true on success. Called
    // when a buffer closes and when a change is committed. Memory files keep
    // them where they are.
    virtual bool store() { return true; }
    // Whether a flush of a buffer over the image succeeds: true unless the
    // image holds changes that can never be stored. A flush only hands the
    // bytes to the image; `store` puts them away later.
    virtual bool flushable() { return true; }

protected:
    // An image of a kept file of `keptSize` bytes, brought in by `fetch`.
    explicit FileImage(std::size_t keptSize) : m_size(keptSize), m_kept(keptSize) {}

    // Fills `to` with the n kept bytes from `position` on (all below
    // `keptSize()`); false when they cannot be read.
    virtual bool fetch(std::size_t position, char* to, std::size_t n);

    // The bytes [0, keptSize()) of a page not yet in memory are the kept
    // ones; those beyond read as zeros (the file was emptied or grown).
    std::size_t keptSize() const { return m_kept; }
    // Every buffer hands over what it wrote and gives up its put area, so
    // that the changed ranges are complete and later writes are seen.
    void collectWrites();
    // True if a byte changed since the last `markStored`.
    bool anyChange() const;
    // Calls fn(change) for each changed range, in file order, joining
    // ranges that meet across a page boundary; stops at the first false.
    template <class Fn>
    bool forEachChange(Fn fn) const;
    // The kept file is now the image.
    void markStored();

private:
    friend class ImageBuffer;
    // Gives a page's memory back to the pool of free pages.
    struct PageRelease {
        void operator()(char* bytes) const;
    };
    static constexpr std::uint16_t allBlocks = 0xFFFF;
    static_assert(pageSize / blockSize == 16, "one bit of `loaded` per block");
    struct Page {
        std::unique_ptr<char[], PageRelease> bytes;
        std::uint16_t loaded = 0;  // the blocks in memory; a page with changes has them all
        bool zeroed = false;       // blocks not loaded hold zeros
        std::uint32_t changedFrom = 0;  // changed offsets, none when from >= to
        std::uint32_t changedTo = 0;
    };

    // The page in memory, brought in if needed; null when it cannot be.
    char* page(std::size_t index) {
        return index < m_pages.size() && m_pages[index].loaded == allBlocks ? m_pages[index].bytes.get()
                                                                            : bringIn(index, 0, pageSize);
    }
    // The page with at least its bytes [from, to) in memory, for reading.
    char* pageFor(std::size_t index, std::size_t from, std::size_t to);
    char* bringIn(std::size_t index, std::size_t from, std::size_t to);
    // Notes that [from, to) of the page changed and that the file is now at
    // least `pageIndex * pageSize + to` long.
    void changed(std::size_t index, std::size_t from, std::size_t to);
    void collectSizes();
    void attach(ImageBuffer* buffer);
    void detach(ImageBuffer* buffer);

    std::vector<Page> m_pages;
    std::size_t m_size = 0;
    std::size_t m_kept = 0;
    std::size_t m_fetched = 0;
    std::size_t m_fetchEnd = 0;  // where the last fetch ended
    std::vector<ImageBuffer*> m_buffers;
    // Buffers with a put area open, whose writes `size()` must collect.
    std::size_t m_openPutAreas = 0;
};

template <class Fn>
bool FileImage::forEachChange(Fn fn) const {
    Change change;
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        const Page& p = m_pages[i];
        if (p.changedFrom >= p.changedTo) continue;
        const std::size_t from = i * pageSize + p.changedFrom;
        if (change.length > 0 && change.position + change.length != from) {
            if (!fn(change)) return false;
            change = Change();
        }
        if (change.length == 0) change.position = from;
        change.pieces.emplace_back(p.bytes.get() + p.changedFrom, std::size_t(p.changedTo - p.changedFrom));
        change.length += p.changedTo - p.changedFrom;
    }
    return change.length == 0 || fn(change);
}

// A stream buffer over a shared image. Its get and put areas are the page
// under its position, so reading and writing inside a page costs no virtual
// call; since the areas are the image's own bytes, other buffers see a write
// at once. A buffer opened without reading fails every read; one opened
// without writing fails every write; an appending buffer writes at the end
// whatever its position. Seeking before the start or beyond `maxSize` fails
// and leaves the position as it was; seeking past the end is allowed and
// reading there gives end of file. A sync hands the writes to the image and
// fails only when `FileImage::flushable` says so.
class ImageBuffer final : public std::streambuf {
public:
    ImageBuffer(std::shared_ptr<FileImage> image, const OpenRequest& request);
    ~ImageBuffer() override;

    FileImage& image() const { return *m_image; }

protected:
    int_type underflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char* to, std::streamsize n) override;
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* from, std::streamsize n) override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
    int sync() override;

private:
    friend class FileImage;
    std::size_t position() const;
    // Leaves the buffer at `target` (a valid position).
    void moveTo(std::size_t target);
    // Tells the image what the put area holds so far; keeps the area.
    void handOverWrites();
    // Hands over the writes and leaves the buffer with no get or put area,
    // its position kept in m_position.
    void dropAreas();
    bool openGetArea();
    bool openPutArea();

    std::shared_ptr<FileImage> m_image;
    std::size_t m_position = 0;  // while no area is open
    std::size_t m_areaPage = 0;  // the page the open area covers
    std::size_t m_getFrom = 0;   // offset in the page where the get area begins: blocks before may be missing
    std::size_t m_putFrom = 0;   // offset in the page where the put area's writes began
    bool m_read;
    bool m_write;
    bool m_append;
};

// Kept inline: a record read or written is a seek and a copy, and these
// run on every one of them.

inline std::size_t ImageBuffer::position() const {
    const std::size_t base = m_areaPage * FileImage::pageSize;
    if (gptr()) return base + m_getFrom + static_cast<std::size_t>(gptr() - eback());
    if (pptr()) return base + static_cast<std::size_t>(pptr() - pbase());
    return m_position;
}

inline void ImageBuffer::handOverWrites() {
    if (pptr()) m_image->changed(m_areaPage, m_putFrom, static_cast<std::size_t>(pptr() - pbase()));
}

inline void ImageBuffer::dropAreas() {
    if (gptr()) {
        m_position = position();
        setg(nullptr, nullptr, nullptr);
    } else if (pptr()) {
        handOverWrites();
        m_position = position();
        setp(nullptr, nullptr);
        --m_image->m_openPutAreas;
    }
}

inline void ImageBuffer::moveTo(std::size_t target) {
    // A seek inside the page being read or written keeps the area; one to
    // where writing stands (the next record of a run) changes nothing.
    const std::size_t areaBase = m_areaPage * FileImage::pageSize;
    const std::size_t getBase = areaBase + m_getFrom;
    if (gptr() && target >= getBase && target <= getBase + static_cast<std::size_t>(egptr() - eback())) {
        setg(eback(), eback() + (target - getBase), egptr());
        return;
    }
    if (pptr() && target >= areaBase && target <= areaBase + static_cast<std::size_t>(epptr() - pbase())) {
        const std::size_t offset = target - areaBase;
        const std::size_t current = static_cast<std::size_t>(pptr() - pbase());
        if (offset != current) {
            handOverWrites();
            pbump(static_cast<int>(offset) - static_cast<int>(current));
            m_putFrom = offset;
        }
        return;
    }
    dropAreas();
    m_position = target;
}

inline std::size_t FileImage::size() {
    if (m_openPutAreas > 0) collectSizes();
    return m_size;
}

}  // namespace Host
