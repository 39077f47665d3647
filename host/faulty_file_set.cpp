#include "host/faulty_file_set.h"

#include <algorithm>
#include <streambuf>

namespace Host {

// Forwards every operation to the wrapped buffer through its public face,
// so it works whatever buffering the wrapped buffer does; only writing asks
// the set for permission.
class FaultyFileSet::Buffer : public std::streambuf {
public:
    Buffer(FaultyFileSet& set, std::streambuf* inner) : m_set(set), m_inner(inner) {}
    std::streambuf* inner() const { return m_inner; }

protected:
    int_type underflow() override { return m_inner->sgetc(); }
    int_type uflow() override { return m_inner->sbumpc(); }
    int_type pbackfail(int_type c) override {
        return traits_type::eq_int_type(c, traits_type::eof()) ? m_inner->sungetc()
                                                               : m_inner->sputbackc(traits_type::to_char_type(c));
    }
    std::streamsize showmanyc() override { return m_inner->in_avail(); }
    std::streamsize xsgetn(char* to, std::streamsize n) override { return m_inner->sgetn(to, n); }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        if (m_set.allowWrite(1) == 0) return traits_type::eof();
        return m_inner->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* from, std::streamsize n) override {
        if (n <= 0) return 0;
        const std::size_t allowed = m_set.allowWrite(static_cast<std::size_t>(n));
        return allowed == 0 ? 0 : m_inner->sputn(from, static_cast<std::streamsize>(allowed));
    }

    pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode which) override {
        return m_inner->pubseekoff(offset, from, which);
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
        return m_inner->pubseekpos(position, which);
    }
    int sync() override { return m_inner->pubsync(); }

private:
    FaultyFileSet& m_set;
    std::streambuf* m_inner;
};

FaultyFileSet::FaultyFileSet(FileSet::TFileSet& inner) : m_inner(inner) {}

FaultyFileSet::~FaultyFileSet() {
    for (auto& buffer : m_buffers) m_inner.close(buffer.second->inner());
}

void FaultyFileSet::failOpen(unsigned n, bool persistent) {
    m_failAt = n == 0 ? 0 : m_opens + n;
    m_failFromThen = persistent;
}

void FaultyFileSet::failWritesAfter(std::size_t bytes) {
    m_limitWrites = true;
    m_writesLeft = bytes;
}

void FaultyFileSet::heal() {
    m_failAt = 0;
    m_failFromThen = false;
    m_limitWrites = false;
}

std::size_t FaultyFileSet::allowWrite(std::size_t n) {
    if (!m_limitWrites) return n;
    n = std::min(n, m_writesLeft);
    m_writesLeft -= n;
    return n;
}

std::streambuf* FaultyFileSet::inner(std::streambuf* buffer) const {
    auto found = m_buffers.find(buffer);
    return found == m_buffers.end() ? nullptr : found->second->inner();
}

std::streambuf* FaultyFileSet::open(const std::string& name, std::ios_base::openmode mode, int a, int b) {
    ++m_opens;
    if (m_failAt != 0 && (m_opens == m_failAt || (m_failFromThen && m_opens > m_failAt))) return nullptr;
    std::streambuf* opened = m_inner.open(name, mode, a, b);
    if (!opened) return nullptr;
    auto buffer = std::make_unique<Buffer>(*this, opened);
    std::streambuf* handle = buffer.get();
    m_buffers.emplace(handle, std::move(buffer));
    return handle;
}

bool FaultyFileSet::isOpen(std::streambuf* buffer) {
    std::streambuf* wrapped = inner(buffer);
    return wrapped && m_inner.isOpen(wrapped);
}

void FaultyFileSet::close(std::streambuf* buffer) {
    auto found = m_buffers.find(buffer);
    if (found == m_buffers.end()) return;
    m_inner.close(found->second->inner());
    m_buffers.erase(found);
}

void FaultyFileSet::setStreamFlag1(std::streambuf* buffer, bool flag) {
    if (std::streambuf* wrapped = inner(buffer)) m_inner.setStreamFlag1(wrapped, flag);
}

void FaultyFileSet::setStreamFlag2(std::streambuf* buffer, bool flag) {
    if (std::streambuf* wrapped = inner(buffer)) m_inner.setStreamFlag2(wrapped, flag);
}

bool FaultyFileSet::remove(const std::string& name) { return m_inner.remove(name); }

}  // namespace Host
