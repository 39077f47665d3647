#include "host/file_image.h"

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

// ---------------------------------------------------------------- BufferPool

namespace {
const std::size_t kSmallestKept = std::size_t(1) << 20;
const std::size_t kMostKept = 4;
const std::size_t kMostKeptBytes = std::size_t(256) << 20;

struct Pool {
    std::mutex lock;
    std::vector<std::vector<char>> kept;
    std::size_t bytes = 0;
};

Pool& pool() {
    static Pool* p = new Pool;  // never destroyed: images may outlive static destruction
    return *p;
}
}  // namespace

std::vector<char> BufferPool::take(std::size_t capacity) {
    if (capacity >= kSmallestKept) {
        Pool& p = pool();
        std::lock_guard<std::mutex> guard(p.lock);
        auto best = p.kept.end();
        for (auto it = p.kept.begin(); it != p.kept.end(); ++it)
            if (it->capacity() >= capacity && (best == p.kept.end() || it->capacity() < best->capacity())) best = it;
        if (best != p.kept.end()) {
            std::vector<char> found = std::move(*best);
            p.kept.erase(best);
            p.bytes -= found.capacity();
            return found;
        }
    }
    std::vector<char> fresh;
    fresh.reserve(capacity);
    return fresh;
}

void BufferPool::give(std::vector<char>&& bytes) {
    std::vector<char> released = std::move(bytes);
    if (released.capacity() < kSmallestKept) return;
    released.clear();
    Pool& p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    if (released.capacity() > kMostKeptBytes) return;
    // Make room by dropping the smallest kept vectors.
    while (!p.kept.empty() && (p.kept.size() >= kMostKept || p.bytes + released.capacity() > kMostKeptBytes)) {
        auto smallest = std::min_element(p.kept.begin(), p.kept.end(),
                                         [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
        if (smallest->capacity() >= released.capacity()) return;  // keep the larger ones
        p.bytes -= smallest->capacity();
        p.kept.erase(smallest);
    }
    p.bytes += released.capacity();
    p.kept.push_back(std::move(released));
}

void BufferPool::release() {
    Pool& p = pool();
    std::vector<std::vector<char>> freed;
    std::lock_guard<std::mutex> guard(p.lock);
    freed.swap(p.kept);
    p.bytes = 0;
}

// ----------------------------------------------------------------- FileImage

std::size_t FileImage::read(std::size_t position, char* to, std::size_t n) const {
    if (position >= m_bytes.size()) return 0;
    n = std::min(n, m_bytes.size() - position);
    std::memcpy(to, m_bytes.data() + position, n);
    return n;
}

std::size_t FileImage::write(std::size_t position, const char* from, std::size_t n) {
    if (position >= maxSize) return 0;
    n = std::min(n, maxSize - position);
    if (n == 0) return 0;
    const std::size_t oldSize = m_bytes.size();
    if (position + n > m_bytes.capacity()) {
        std::vector<char> bigger = BufferPool::take(std::max(position + n, 2 * m_bytes.capacity()));
        bigger.assign(m_bytes.begin(), m_bytes.end());
        BufferPool::give(std::move(m_bytes));
        m_bytes.swap(bigger);
    }
    if (position + n > oldSize) m_bytes.resize(position + n);
    std::memcpy(m_bytes.data() + position, from, n);
    // A gap left by writing past the end is part of what changed.
    const std::size_t changedFrom = std::min(position, oldSize);
    if (m_dirtyFrom >= m_dirtyTo) {
        m_dirtyFrom = changedFrom;
        m_dirtyTo = position + n;
    } else {
        m_dirtyFrom = std::min(m_dirtyFrom, changedFrom);
        m_dirtyTo = std::max(m_dirtyTo, position + n);
    }
    return n;
}

void FileImage::assign(std::vector<char> bytes) {
    BufferPool::give(std::move(m_bytes));
    m_bytes = std::move(bytes);
    m_dirtyFrom = 0;
    m_dirtyTo = m_bytes.size();
}

// --------------------------------------------------------------- ImageBuffer

ImageBuffer::ImageBuffer(std::shared_ptr<FileImage> image, const OpenRequest& request)
    : m_image(std::move(image)), m_read(request.read), m_write(request.write), m_append(request.append) {}

ImageBuffer::int_type ImageBuffer::underflow() {
    if (!m_read || m_position >= m_image->size()) return traits_type::eof();
    return traits_type::to_int_type(m_image->bytes()[m_position]);
}

ImageBuffer::int_type ImageBuffer::uflow() {
    const int_type c = underflow();
    if (!traits_type::eq_int_type(c, traits_type::eof())) ++m_position;
    return c;
}

// Stepping back is allowed over the byte that is there; putting back a
// different byte would change the file, which a reading buffer must not do.
ImageBuffer::int_type ImageBuffer::pbackfail(int_type c) {
    if (!m_read || m_position == 0 || m_position > m_image->size()) return traits_type::eof();
    const char previous = m_image->bytes()[m_position - 1];
    if (!traits_type::eq_int_type(c, traits_type::eof()) && !traits_type::eq(traits_type::to_char_type(c), previous))
        return traits_type::eof();
    --m_position;
    return traits_type::to_int_type(previous);
}

std::streamsize ImageBuffer::showmanyc() {
    if (!m_read || m_position >= m_image->size()) return -1;
    return static_cast<std::streamsize>(m_image->size() - m_position);
}

std::streamsize ImageBuffer::xsgetn(char* to, std::streamsize n) {
    if (!m_read || n <= 0) return 0;
    const std::size_t got = m_image->read(m_position, to, static_cast<std::size_t>(n));
    m_position += got;
    return static_cast<std::streamsize>(got);
}

ImageBuffer::int_type ImageBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

std::streamsize ImageBuffer::xsputn(const char* from, std::streamsize n) {
    if (!m_write || n <= 0) return 0;
    if (m_append) m_position = m_image->size();
    const std::size_t put = m_image->write(m_position, from, static_cast<std::size_t>(n));
    m_position += put;
    return static_cast<std::streamsize>(put);
}

ImageBuffer::pos_type ImageBuffer::seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode) {
    off_type base = 0;
    if (from == std::ios_base::cur)
        base = static_cast<off_type>(m_position);
    else if (from == std::ios_base::end)
        base = static_cast<off_type>(m_image->size());
    const off_type limit = static_cast<off_type>(FileImage::maxSize);
    // Checked without forming base + offset, which could overflow.
    if (offset < -base || offset > limit - base) return pos_type(off_type(-1));
    m_position = static_cast<std::size_t>(base + offset);
    return pos_type(static_cast<off_type>(m_position));
}

ImageBuffer::pos_type ImageBuffer::seekpos(pos_type position, std::ios_base::openmode which) {
    return seekoff(off_type(position), std::ios_base::beg, which);
}

int ImageBuffer::sync() { return m_image->store() ? 0 : -1; }

}  // namespace Host
