// Host::FaultyFileSet: a file set that fails on purpose, for tests. It wraps
// another file set and passes everything through, except for the failures a
// test plans: a refused open (null, as for a missing file), reads cut short
// (end of file, as for a truncated file), writes that stop once a number of
// bytes has been written (as a full disk), removes that fail, and a cut-off
// after which every call fails (as a crash). Tests run an operation with the
// failure at 1, 2, 3 ... and check that what is left behind is clean.
//
// Decisions:
// - Counts start from the call that plans the failure ("the nth open from
//   now"), so one set can plan several failures in turn.
// - Bytes pass straight through to the wrapped buffer (this set keeps no
//   buffer of its own), so what the wrapped set holds is exactly what was
//   written before a failure.
// - The calls counted for `cutAfter` and `calls` are the six file-set
//   operations (open, isOpen, close, setStreamFlag1, setStreamFlag2, remove),
//   rename, and the sync of a buffer it returned: a flush is where a writer hands its
//   bytes over, so a crash can fall just before or just after it. Reads,
//   writes and seeks through buffers are not counted, nor are the calls of
//   atomic changes, which pass to the wrapped set, cut or not, once offered.
// - After the cut, close still releases the wrapped buffer (it holds only what
//   reached it before the cut), so nothing leaks; the wrapped set is then the
//   state a crash left, to be reopened directly.
//
// The buffers it returns forward to the wrapped set's buffers; the wrapped
// set must outlive it. Not thread-safe.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "fileset/TAtomicChanges.h"
#include "fileset/TFileSet.h"
#include "fileset/TRenaming.h"

namespace Host {

class FaultyFileSet : public FileSet::TFileSet, public FileSet::TAtomicChanges, public FileSet::TRenaming {
public:
    explicit FaultyFileSet(FileSet::TFileSet& inner);
    ~FaultyFileSet() override;  // closes what is still open through it
    FaultyFileSet(const FaultyFileSet&) = delete;
    FaultyFileSet& operator=(const FaultyFileSet&) = delete;

    // The nth open from now (1 = the next one) gives null; with `persistent`
    // every open from that one on does. n = 0 refuses nothing.
    void failOpen(unsigned n, bool persistent = false);
    // Once `bytes` more bytes have been read through any of its buffers,
    // reading meets the end of the file: the read that reaches the limit gets
    // what fits, later reads get nothing. Putting back does not give bytes
    // back to the limit.
    void failReadsAfter(std::size_t bytes);
    // Once `bytes` more bytes have been written through any of its buffers,
    // writing fails: the write that reaches the limit puts what fits and
    // reports the rest unwritten; later writes put nothing. 0 refuses every
    // write.
    void failWritesAfter(std::size_t bytes);
    // The nth remove from now (1 = the next one) returns false and removes
    // nothing; with `persistent` every remove from that one on does. n = 0
    // fails none.
    void failRemove(unsigned n, bool persistent = false);
    // Renames pass to the wrapped set only once offered: until then every
    // rename returns false (still counted), so a move copies through the
    // counted calls as for a set without rename. A wrapped set that can't
    // rename refuses every rename.
    void offerRename(bool offered) { m_renameOffered = offered; }
    // Atomic changes pass to the wrapped set only once offered, and only if
    // it has them; until then they do nothing, as on a set without them.
    void offerChanges(bool offered) { m_changesOffered = offered; }
    // The nth rename from now (1 = the next one) returns false and renames
    // nothing; with `persistent` every rename from that one on does. n = 0
    // fails none.
    void failRename(unsigned n, bool persistent = false);
    // The cut falls on the (n+1)th counted call from now (see above): that
    // call and everything after it fail. Open gives null, isOpen false,
    // remove removes nothing and returns false, the flag calls do nothing,
    // close only releases the wrapped buffer, and reads, writes, seeks and
    // syncs through buffers already open fail. cutAfter(0) fails the very
    // next call.
    void cutAfter(unsigned n);
    // Ends every planned failure, the cut included; buffers still open work
    // again.
    void heal();

    // Opens asked for so far, refused ones included.
    unsigned opens() const { return m_opens; }
    // Removes asked for so far, failed ones included.
    unsigned removes() const { return m_removes; }
    // Renames asked for so far, failed ones included.
    unsigned renames() const { return m_renames; }
    // Counted calls made so far (see above), failed ones included.
    unsigned calls() const { return m_calls; }
    // True once the cut has been reached.
    bool isCut() const { return m_cut; }
    // Bytes that went through its buffers so far, either way.
    std::size_t bytesRead() const { return m_bytesRead; }
    std::size_t bytesWritten() const { return m_bytesWritten; }
    // True once something went through that may have changed the wrapped
    // set: a byte written, a remove passed on, or an open passed on with a
    // mode that empties a file (out without in or app, or trunc). An open
    // for reading and writing may still create a missing, empty file.
    bool mayHaveChanged() const { return m_changed; }

    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) override;
    bool isOpen(std::streambuf* buffer) override;
    void close(std::streambuf* buffer) override;
    void setStreamFlag1(std::streambuf* buffer, bool flag) override;
    void setStreamFlag2(std::streambuf* buffer, bool flag) override;
    bool remove(const std::string& name) override;
    bool rename(const std::string& from, const std::string& to) override;
    void beginChange() override;
    void endChange() override;
    void abandonChange() override;

private:
    FileSet::TAtomicChanges* changes() const;
    class Buffer;
    friend class Buffer;
    std::streambuf* inner(std::streambuf* buffer) const;  // null if not ours
    // Counts one call; false if it falls on or after the cut.
    bool call();
    // How many of n bytes may be read or written now; `read` and `wrote`
    // count the bytes that went through.
    std::size_t readable(std::size_t n) const;
    void read(std::size_t n);
    std::size_t writable(std::size_t n) const;
    void wrote(std::size_t n);

    FileSet::TFileSet& m_inner;
    std::map<std::streambuf*, std::unique_ptr<Buffer>> m_buffers;
    unsigned m_opens = 0;
    unsigned m_failAt = 0;  // open number that fails, 0 for none
    bool m_failFromThen = false;
    unsigned m_removes = 0;
    unsigned m_failRemoveAt = 0;  // remove number that fails, 0 for none
    bool m_failRemovesFromThen = false;
    bool m_renameOffered = false;
    bool m_changesOffered = false;
    unsigned m_renames = 0;
    unsigned m_failRenameAt = 0;  // rename number that fails, 0 for none
    bool m_failRenamesFromThen = false;
    bool m_limitReads = false;
    std::size_t m_readsLeft = 0;
    bool m_limitWrites = false;
    std::size_t m_writesLeft = 0;
    std::size_t m_bytesRead = 0;
    std::size_t m_bytesWritten = 0;
    bool m_changed = false;
    unsigned m_calls = 0;
    bool m_cutPlanned = false;
    unsigned m_cutAt = 0;  // calls that still succeed before the cut: m_calls < m_cutAt
    bool m_cut = false;
};

}  // namespace Host
