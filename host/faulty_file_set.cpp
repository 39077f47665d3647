#include "host/faulty_file_set.h"

#include <algorithm>
#include <streambuf>

namespace Host {

// Forwards every operation to the wrapped buffer through its public face,
// so it works whatever buffering the wrapped buffer does; reading, writing,
// seeking and syncing ask the set first.
class FaultyFileSet::Buffer : public std::streambuf {
public:
    Buffer(FaultyFileSet& set, std::streambuf* inner) : m_set(set), m_inner(inner) {}
    std::streambuf* inner() const { return m_inner; }

protected:
    int_type underflow() override {
        return m_set.readable(1) == 0 ? traits_type::eof() : m_inner->sgetc();
    }
    int_type uflow() override {
        if (m_set.readable(1) == 0) return traits_type::eof();
        const int_type c = m_inner->sbumpc();
        if (!traits_type::eq_int_type(c, traits_type::eof())) m_set.read(1);
        return c;
    }
    int_type pbackfail(int_type c) override {
        if (m_set.m_cut) return traits_type::eof();
        return traits_type::eq_int_type(c, traits_type::eof()) ? m_inner->sungetc()
                                                               : m_inner->sputbackc(traits_type::to_char_type(c));
    }
    std::streamsize showmanyc() override {
        const std::size_t left = m_set.readable(static_cast<std::size_t>(-1));
        if (left == 0) return -1;
        const std::streamsize available = m_inner->in_avail();
        return available <= 0 ? available : static_cast<std::streamsize>(std::min<std::size_t>(available, left));
    }
    std::streamsize xsgetn(char* to, std::streamsize n) override {
        if (n <= 0) return 0;
        const std::size_t allowed = m_set.readable(static_cast<std::size_t>(n));
        if (allowed == 0) return 0;
        const std::streamsize got = m_inner->sgetn(to, static_cast<std::streamsize>(allowed));
        if (got > 0) m_set.read(static_cast<std::size_t>(got));
        return got;
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        if (m_set.writable(1) == 0) return traits_type::eof();
        const int_type put = m_inner->sputc(traits_type::to_char_type(c));
        if (!traits_type::eq_int_type(put, traits_type::eof())) m_set.wrote(1);
        return put;
    }
    std::streamsize xsputn(const char* from, std::streamsize n) override {
        if (n <= 0) return 0;
        const std::size_t allowed = m_set.writable(static_cast<std::size_t>(n));
        if (allowed == 0) return 0;
        const std::streamsize put = m_inner->sputn(from, static_cast<std::streamsize>(allowed));
        if (put > 0) m_set.wrote(static_cast<std::size_t>(put));
        return put;
    }

    pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode which) override {
        return m_set.m_cut ? pos_type(off_type(-1)) : m_inner->pubseekoff(offset, from, which);
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
        return m_set.m_cut ? pos_type(off_type(-1)) : m_inner->pubseekpos(position, which);
    }
    int sync() override { return m_set.call() ? m_inner->pubsync() : -1; }

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

void FaultyFileSet::failReadsAfter(std::size_t bytes) {
    m_limitReads = true;
    m_readsLeft = bytes;
}

void FaultyFileSet::failWritesAfter(std::size_t bytes) {
    m_limitWrites = true;
    m_writesLeft = bytes;
}

void FaultyFileSet::failRemove(unsigned n, bool persistent) {
    m_failRemoveAt = n == 0 ? 0 : m_removes + n;
    m_failRemovesFromThen = persistent;
}

void FaultyFileSet::cutAfter(unsigned n) {
    m_cutPlanned = true;
    m_cutAt = m_calls + n;
    m_cut = false;
}

void FaultyFileSet::heal() {
    m_failAt = 0;
    m_failFromThen = false;
    m_failRemoveAt = 0;
    m_failRemovesFromThen = false;
    m_failRenameAt = 0;
    m_failRenamesFromThen = false;
    m_limitReads = false;
    m_limitWrites = false;
    m_cutPlanned = false;
    m_cut = false;
}

bool FaultyFileSet::call() {
    ++m_calls;
    if (m_cutPlanned && m_calls > m_cutAt) m_cut = true;
    return !m_cut;
}

std::size_t FaultyFileSet::readable(std::size_t n) const {
    if (m_cut) return 0;
    return m_limitReads ? std::min(n, m_readsLeft) : n;
}

void FaultyFileSet::read(std::size_t n) {
    m_bytesRead += n;
    if (m_limitReads) m_readsLeft -= std::min(n, m_readsLeft);
}

std::size_t FaultyFileSet::writable(std::size_t n) const {
    if (m_cut) return 0;
    return m_limitWrites ? std::min(n, m_writesLeft) : n;
}

void FaultyFileSet::wrote(std::size_t n) {
    m_bytesWritten += n;
    if (n > 0) m_changed = true;
    if (m_limitWrites) m_writesLeft -= std::min(n, m_writesLeft);
}

std::streambuf* FaultyFileSet::inner(std::streambuf* buffer) const {
    auto found = m_buffers.find(buffer);
    return found == m_buffers.end() ? nullptr : found->second->inner();
}

std::streambuf* FaultyFileSet::open(const std::string& name, std::ios_base::openmode mode, int a, int b) {
    ++m_opens;
    if (!call()) return nullptr;
    if (m_failAt != 0 && (m_opens == m_failAt || (m_failFromThen && m_opens > m_failAt))) return nullptr;
    std::streambuf* opened = m_inner.open(name, mode, a, b);
    if (!opened) return nullptr;
    const bool empties = (mode & std::ios_base::trunc) ||
                         ((mode & std::ios_base::out) && !(mode & (std::ios_base::in | std::ios_base::app)));
    if (empties) m_changed = true;
    auto buffer = std::make_unique<Buffer>(*this, opened);
    std::streambuf* handle = buffer.get();
    m_buffers.emplace(handle, std::move(buffer));
    return handle;
}

bool FaultyFileSet::isOpen(std::streambuf* buffer) {
    if (!call()) return false;
    std::streambuf* wrapped = inner(buffer);
    return wrapped && m_inner.isOpen(wrapped);
}

void FaultyFileSet::close(std::streambuf* buffer) {
    call();
    auto found = m_buffers.find(buffer);
    if (found == m_buffers.end()) return;
    m_inner.close(found->second->inner());
    m_buffers.erase(found);
}

void FaultyFileSet::setStreamFlag1(std::streambuf* buffer, bool flag) {
    if (!call()) return;
    if (std::streambuf* wrapped = inner(buffer)) m_inner.setStreamFlag1(wrapped, flag);
}

void FaultyFileSet::setStreamFlag2(std::streambuf* buffer, bool flag) {
    if (!call()) return;
    if (std::streambuf* wrapped = inner(buffer)) m_inner.setStreamFlag2(wrapped, flag);
}

void FaultyFileSet::failRename(unsigned n, bool persistent) {
    m_failRenameAt = n == 0 ? 0 : m_renames + n;
    m_failRenamesFromThen = persistent;
}

bool FaultyFileSet::rename(const std::string& from, const std::string& to) {
    ++m_renames;
    if (!call()) return false;
    if (m_failRenameAt != 0 && (m_renames == m_failRenameAt || (m_failRenamesFromThen && m_renames > m_failRenameAt)))
        return false;
    FileSet::TRenaming* inner = FileSet::renamingOf(m_inner);
    if (!m_renameOffered || !inner) return false;
    m_changed = true;
    return inner->rename(from, to);
}

bool FaultyFileSet::remove(const std::string& name) {
    ++m_removes;
    if (!call()) return false;
    if (m_failRemoveAt != 0 && (m_removes == m_failRemoveAt || (m_failRemovesFromThen && m_removes > m_failRemoveAt)))
        return false;
    m_changed = true;
    return m_inner.remove(name);
}

FileSet::TAtomicChanges* FaultyFileSet::changes() const {
    return m_changesOffered ? dynamic_cast<FileSet::TAtomicChanges*>(&m_inner) : nullptr;
}

void FaultyFileSet::beginChange() {
    if (FileSet::TAtomicChanges* inner = changes()) inner->beginChange();
}

void FaultyFileSet::endChange() {
    if (FileSet::TAtomicChanges* inner = changes()) inner->endChange();
}

void FaultyFileSet::abandonChange() {
    if (FileSet::TAtomicChanges* inner = changes()) inner->abandonChange();
}

}  // namespace Host
