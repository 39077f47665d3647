// Host::FaultyFileSet: a file set that fails on purpose, for tests. It wraps
// another file set and passes everything through, except that it can refuse
// a chosen open (giving null, as for a missing file) and can make writes fail
// once a number of bytes has been written, as a full disk would. Tests run an
// operation with the failure at 1, 2, 3 ... and check that what is left
// behind is clean.
//
// The buffers it returns forward to the wrapped set's buffers; the wrapped
// set must outlive it. Not thread-safe.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "fileset/TFileSet.h"

namespace Host {

class FaultyFileSet : public FileSet::TFileSet {
public:
    explicit FaultyFileSet(FileSet::TFileSet& inner);
    ~FaultyFileSet() override;  // closes what is still open through it
    FaultyFileSet(const FaultyFileSet&) = delete;
    FaultyFileSet& operator=(const FaultyFileSet&) = delete;

    // The nth open from now (1 = the next one) gives null; with `persistent`
    // every open from that one on does. n = 0 refuses nothing.
    void failOpen(unsigned n, bool persistent = false);
    // Once `bytes` more bytes have been written through any of its buffers,
    // writing fails: the write that reaches the limit puts what fits and
    // reports the rest unwritten; later writes put nothing.
    void failWritesAfter(std::size_t bytes);
    // Ends every planned failure.
    void heal();

    // Opens asked for so far, refused ones included.
    unsigned opens() const { return m_opens; }

    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) override;
    bool isOpen(std::streambuf* buffer) override;
    void close(std::streambuf* buffer) override;
    void setStreamFlag1(std::streambuf* buffer, bool flag) override;
    void setStreamFlag2(std::streambuf* buffer, bool flag) override;
    bool remove(const std::string& name) override;

private:
    class Buffer;
    friend class Buffer;
    std::streambuf* inner(std::streambuf* buffer) const;  // null if not ours
    // How much of n bytes may be written now; counts them as written.
    std::size_t allowWrite(std::size_t n);

    FileSet::TFileSet& m_inner;
    std::map<std::streambuf*, std::unique_ptr<Buffer>> m_buffers;
    unsigned m_opens = 0;
    unsigned m_failAt = 0;  // open number that fails, 0 for none
    bool m_failFromThen = false;
    bool m_limitWrites = false;
    std::size_t m_writesLeft = 0;
};

}  // namespace Host
