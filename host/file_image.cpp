#include "host/file_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace Host {

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

OpenRequest readOpenMode(std::ios_base::openmode mode) {
    OpenRequest r;
    const bool in = mode & std::ios_base::in;
    const bool app = mode & std::ios_base::app;
    const bool out = (mode & std::ios_base::out) || app;
    const bool trunc = mode & std::ios_base::trunc;
    if ((!in && !out) || (trunc && (app || !out))) return r;
    r.valid = true;
    r.read = in;
    r.write = out;
    r.append = app;
    r.create = out;
    r.empty = trunc || (out && !in && !app);
    return r;
}

// ----------------------------------------------------------------- FileImage

namespace {

struct FreePages {
    std::mutex lock;
    std::vector<char*> kept;
};

FreePages& freePages() {
    static FreePages* pages = new FreePages;  // never destroyed: images may outlive static destruction
    return *pages;
}

// A page from the pool, or fresh memory mapped for it; `zeroed` tells
// whether it is known to hold only zeros (fresh mappings are, and are
// populated in one go rather than faulted in a piece at a time).
char* takePage(bool& zeroed) {
    FreePages& pages = freePages();
    {
        std::lock_guard<std::mutex> guard(pages.lock);
        if (!pages.kept.empty()) {
            char* page = pages.kept.back();
            pages.kept.pop_back();
            zeroed = false;
            return page;
        }
    }
    void* fresh = ::mmap(nullptr, FileImage::pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                         -1, 0);
    if (fresh == MAP_FAILED) throw std::bad_alloc();
    zeroed = true;
    return static_cast<char*>(fresh);
}

void givePageBack(char* page) { ::munmap(page, FileImage::pageSize); }

}  // namespace

void FileImage::PageRelease::operator()(char* bytes) const {
    FreePages& pages = freePages();
    {
        std::lock_guard<std::mutex> guard(pages.lock);
        if (pages.kept.size() < mostKeptPages) {
            pages.kept.push_back(bytes);
            return;
        }
    }
    givePageBack(bytes);
}

void FileImage::releaseKeptPages() {
    FreePages& pages = freePages();
    std::vector<char*> freed;
    {
        std::lock_guard<std::mutex> guard(pages.lock);
        freed.swap(pages.kept);
    }
    for (char* page : freed) givePageBack(page);
}

FileImage::~FileImage() = default;

bool FileImage::fetch(std::size_t, char*, std::size_t) { return false; }

char* FileImage::pageFor(std::size_t index, std::size_t from, std::size_t to) {
    const std::size_t first = from / blockSize, end = (to + blockSize - 1) / blockSize;
    if (index < m_pages.size()) {
        const std::uint32_t wanted = ((1u << end) - 1) & ~((1u << first) - 1);
        if ((m_pages[index].loaded & wanted) == wanted) return m_pages[index].bytes.get();
    }
    // A jump lands inside a block; reading through reaches the end of the
    // last fetch at or before the read's first byte.
    const std::size_t at = index * pageSize;
    const bool readingOn = m_fetched > 0 && at + from <= m_fetchEnd && m_fetchEnd < at + to;
    return readingOn ? bringIn(index, 0, pageSize) : bringIn(index, from, to);
}

char* FileImage::bringIn(std::size_t index, std::size_t from, std::size_t to) {
    if (index >= m_pages.size()) m_pages.resize(index + 1);
    Page& p = m_pages[index];
    if (!p.bytes) p.bytes.reset(takePage(p.zeroed));
    const std::size_t start = index * pageSize;
    const std::size_t kept = start < m_kept ? std::min(pageSize, m_kept - start) : 0;
    // Each run of missing blocks is one read.
    for (std::size_t block = from / blockSize, last = (to + blockSize - 1) / blockSize; block < last;) {
        if (p.loaded >> block & 1) {
            ++block;
            continue;
        }
        std::size_t end = block;
        while (end < last && !(p.loaded >> end & 1)) ++end;
        const std::size_t a = block * blockSize, b = end * blockSize;
        if (a < kept) {
            const std::size_t n = std::min(b, kept) - a;
            if (!fetch(start + a, p.bytes.get() + a, n)) return nullptr;
            ++m_fetched;
            m_fetchEnd = start + a + n;
        }
        // Bytes past the end of the file are zeros, so that a write past the
        // end leaves a gap of zeros without writing it.
        const std::size_t zeros = std::max(a, kept);
        if (b > zeros && !p.zeroed) std::memset(p.bytes.get() + zeros, 0, b - zeros);
        for (; block < end; ++block) p.loaded = static_cast<std::uint16_t>(p.loaded | 1u << block);
    }
    return p.bytes.get();
}

void FileImage::changed(std::size_t index, std::size_t from, std::size_t to) {
    if (from >= to) return;
    Page& p = m_pages[index];
    if (p.changedFrom >= p.changedTo) {
        p.changedFrom = static_cast<std::uint32_t>(from);
        p.changedTo = static_cast<std::uint32_t>(to);
    } else {
        p.changedFrom = std::min(p.changedFrom, static_cast<std::uint32_t>(from));
        p.changedTo = std::max(p.changedTo, static_cast<std::uint32_t>(to));
    }
    m_size = std::max(m_size, index * pageSize + to);
}

std::size_t FileImage::pagesInMemory() const {
    return static_cast<std::size_t>(
        std::count_if(m_pages.begin(), m_pages.end(), [](const Page& p) { return p.bytes != nullptr; }));
}

// A page is read again as a whole from what it was made of: the kept file
// below keptSize(), zeros above. A page with a change left to store differs
// from that, and one under a buffer's area may hold writes not handed over
// yet, or be read in place by whoever holds the area.
std::size_t FileImage::dropCleanPages() {
    std::vector<bool> underArea(m_pages.size());
    for (const ImageBuffer* buffer : m_buffers)
        if ((buffer->gptr() || buffer->pptr()) && buffer->m_areaPage < underArea.size())
            underArea[buffer->m_areaPage] = true;
    std::size_t released = 0;
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        Page& p = m_pages[i];
        if (!p.bytes || underArea[i] || p.changedFrom < p.changedTo) continue;
        p = Page();
        released += pageSize;
    }
    return released;
}

void FileImage::attach(ImageBuffer* buffer) { m_buffers.push_back(buffer); }

void FileImage::detach(ImageBuffer* buffer) { m_buffers.erase(std::find(m_buffers.begin(), m_buffers.end(), buffer)); }

void FileImage::collectSizes() {
    for (ImageBuffer* buffer : m_buffers) buffer->handOverWrites();
}

std::size_t FileImage::read(std::size_t position, char* to, std::size_t n) {
    const std::size_t end = size();
    if (position >= end) return 0;
    n = std::min(n, end - position);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t at = position + done;
        const std::size_t offset = at % pageSize;
        const std::size_t chunk = std::min(n - done, pageSize - offset);
        const char* bytes = pageFor(at / pageSize, offset, offset + chunk);
        if (!bytes) break;
        std::memcpy(to + done, bytes + offset, chunk);
        done += chunk;
    }
    return done;
}

std::size_t FileImage::write(std::size_t position, const char* from, std::size_t n) {
    if (position >= maxSize) return 0;
    n = std::min(n, maxSize - position);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t at = position + done;
        const std::size_t index = at / pageSize;
        char* bytes = page(index);
        if (!bytes) break;
        const std::size_t offset = at % pageSize;
        const std::size_t chunk = std::min(n - done, pageSize - offset);
        std::memcpy(bytes + offset, from + done, chunk);
        changed(index, offset, offset + chunk);
        done += chunk;
    }
    return done;
}

void FileImage::assign(const std::string& bytes) {
    for (ImageBuffer* buffer : m_buffers) buffer->dropAreas();
    m_pages.clear();
    m_size = 0;
    m_kept = 0;
    write(0, bytes.data(), bytes.size());
}

std::string FileImage::contents() {
    std::string all(size(), '\0');
    return read(0, all.data(), all.size()) == all.size() ? all : std::string();
}

void FileImage::collectWrites() {
    for (ImageBuffer* buffer : m_buffers) buffer->dropAreas();
}

bool FileImage::anyChange() const {
    return std::any_of(m_pages.begin(), m_pages.end(), [](const Page& p) { return p.changedFrom < p.changedTo; });
}

void FileImage::markStored() {
    for (Page& p : m_pages) p.changedFrom = p.changedTo = 0;
    m_kept = m_size;
}

// --------------------------------------------------------------- ImageBuffer

ImageBuffer::ImageBuffer(std::shared_ptr<FileImage> image, const OpenRequest& request)
    : m_image(std::move(image)), m_read(request.read), m_write(request.write), m_append(request.append) {
    m_image->attach(this);
}

ImageBuffer::~ImageBuffer() {
    dropAreas();
    m_image->detach(this);
}

bool ImageBuffer::openGetArea() {
    const std::size_t size = m_image->size();
    if (!m_read || m_position >= size) return false;
    const std::size_t index = m_position / FileImage::pageSize;
    const std::size_t base = index * FileImage::pageSize, offset = m_position - base;
    char* bytes = m_image->pageFor(index, offset, offset + 1);
    if (!bytes) return false;
    // The area covers the run of blocks in memory around the position.
    const std::uint16_t loaded = m_image->m_pages[index].loaded;
    std::size_t first = offset / FileImage::blockSize, end = first + 1;
    while (first > 0 && (loaded >> (first - 1) & 1)) --first;
    while (end < FileImage::pageSize / FileImage::blockSize && (loaded >> end & 1)) ++end;
    m_getFrom = first * FileImage::blockSize;
    setg(bytes + m_getFrom, bytes + offset, bytes + std::min(end * FileImage::blockSize, size - base));
    m_areaPage = index;
    return true;
}

// An appending buffer gets no put area: another buffer may move the end
// while the area is open, and the next write must land at the new end.
bool ImageBuffer::openPutArea() {
    if (!m_write || m_append || m_position >= FileImage::maxSize) return false;
    const std::size_t index = m_position / FileImage::pageSize;
    char* bytes = m_image->page(index);
    if (!bytes) return false;
    const std::size_t base = index * FileImage::pageSize;
    m_putFrom = m_position - base;
    setp(bytes, bytes + std::min(FileImage::pageSize, FileImage::maxSize - base));
    pbump(static_cast<int>(m_putFrom));
    m_areaPage = index;
    ++m_image->m_openPutAreas;
    return true;
}

ImageBuffer::int_type ImageBuffer::underflow() {
    if (gptr() && gptr() < egptr()) return traits_type::to_int_type(*gptr());
    dropAreas();
    return openGetArea() ? traits_type::to_int_type(*gptr()) : traits_type::eof();
}

// Stepping back is allowed over the byte that is there; putting back a
// different byte would change the file, which a reading buffer must not do.
ImageBuffer::int_type ImageBuffer::pbackfail(int_type c) {
    if (!m_read) return traits_type::eof();
    dropAreas();
    char previous = 0;
    if (m_position == 0 || m_position > m_image->size() || m_image->read(m_position - 1, &previous, 1) != 1)
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof()) && !traits_type::eq(traits_type::to_char_type(c), previous))
        return traits_type::eof();
    --m_position;
    return traits_type::to_int_type(previous);
}

std::streamsize ImageBuffer::showmanyc() {
    const std::size_t at = position();
    const std::size_t size = m_image->size();
    if (!m_read || at >= size) return -1;
    return static_cast<std::streamsize>(size - at);
}

std::streamsize ImageBuffer::xsgetn(char* to, std::streamsize n) {
    if (n > 0 && egptr() - gptr() >= n) {
        std::memcpy(to, gptr(), static_cast<std::size_t>(n));
        gbump(static_cast<int>(n));
        return n;
    }
    if (!m_read || n <= 0) return 0;
    // A record read right after a seek: copied straight from its page, with
    // no get area set up for it, the shortest way for random reads.
    if (!gptr() && !pptr()) {
        const std::size_t offset = m_position % FileImage::pageSize;
        const std::size_t count = static_cast<std::size_t>(n);
        if (offset + count <= FileImage::pageSize && m_position + count <= m_image->size()) {
            if (const char* bytes = m_image->pageFor(m_position / FileImage::pageSize, offset, offset + count)) {
                std::memcpy(to, bytes + offset, count);
                m_position += count;
                return n;
            }
        }
    }
    std::streamsize done = 0;
    while (done < n) {
        if (!gptr() || gptr() == egptr()) {
            dropAreas();
            if (!openGetArea()) break;
        }
        const std::streamsize chunk = std::min<std::streamsize>(n - done, egptr() - gptr());
        std::memcpy(to + done, gptr(), static_cast<std::size_t>(chunk));
        gbump(static_cast<int>(chunk));
        done += chunk;
    }
    return done;
}

ImageBuffer::int_type ImageBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (!m_write) return traits_type::eof();
    dropAreas();
    if (!openPutArea()) {
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

// The put area serves characters put one at a time (overflow opens it) and
// blocks that fit in the page where they start (this opens it); longer
// blocks go straight into the pages.
std::streamsize ImageBuffer::xsputn(const char* from, std::streamsize n) {
    if (n > 0 && epptr() - pptr() >= n) {
        std::memcpy(pptr(), from, static_cast<std::size_t>(n));
        pbump(static_cast<int>(n));
        return n;
    }
    if (!m_write || n <= 0) return 0;
    dropAreas();
    // A write that fits in the page where it starts opens a put area there,
    // so that the next write after it (a run of records) is a plain copy.
    const std::size_t offset = m_position % FileImage::pageSize, base = m_position - offset;
    if (!m_append && base < FileImage::maxSize &&
        offset + static_cast<std::size_t>(n) <= std::min(FileImage::pageSize, FileImage::maxSize - base) &&
        openPutArea()) {
        std::memcpy(pptr(), from, static_cast<std::size_t>(n));
        pbump(static_cast<int>(n));
        return n;
    }
    if (m_append) m_position = m_image->size();
    const std::size_t put = m_image->write(m_position, from, static_cast<std::size_t>(n));
    m_position += put;
    return static_cast<std::streamsize>(put);
}

ImageBuffer::pos_type ImageBuffer::seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode) {
    const std::size_t current = position();
    if (offset == 0 && from == std::ios_base::cur) {
        handOverWrites();
        return pos_type(static_cast<off_type>(current));
    }
    off_type base = 0;
    if (from == std::ios_base::cur)
        base = static_cast<off_type>(current);
    else if (from == std::ios_base::end)
        base = static_cast<off_type>(m_image->size());
    const off_type limit = static_cast<off_type>(FileImage::maxSize);
    // Checked without forming base + offset, which could overflow.
    if (offset < -base || offset > limit - base) return pos_type(off_type(-1));
    moveTo(static_cast<std::size_t>(base + offset));
    return pos_type(base + offset);
}

ImageBuffer::pos_type ImageBuffer::seekpos(pos_type position, std::ios_base::openmode) {
    const off_type target = off_type(position);
    if (target < 0 || target > static_cast<off_type>(FileImage::maxSize)) return pos_type(off_type(-1));
    moveTo(static_cast<std::size_t>(target));
    return position;
}

int ImageBuffer::sync() {
    handOverWrites();
    return m_image->flushable() ? 0 : -1;
}

}  // namespace Host
