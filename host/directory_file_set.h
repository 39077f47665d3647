// Host::DirectoryFileSet: a file set over one directory on disk, each file of
// the set a regular file directly inside it.
//
// Every record read above a file set is a seek plus a read of a few bytes,
// so an open file is served from an in-memory image (host/file_image.h)
// whose pages are read from the file the first time they are touched: seek,
// read and write make no system call once a page is in. A flush
// (`pubsync()`, std::ostream::flush) only hands the bytes to the image and
// costs no system call; the changed pages go back to the file when the
// buffer is closed, at a commit, and when the set goes. A write back that
// fails is not told to the flush or the close that caused it: it fails the
// change, so that the next commit raises (with the system's reason for the
// first write back that failed, "...; the change will be rolled back: no
// space left on device") and the change is rolled back. A flush fails only
// on a read-only set, whose changes can never be stored.
//
// Every page touched stays in memory until its file closes, which a sort or
// a key search wants: they come back to the same pages. A program that reads
// a large file through once (a whole column of a table) calls
// `dropCleanPages` between chunks instead, and holds a few pages at a time
// rather than the file; nothing drops pages on its own.
//
// Changes are atomic and durable. Before any byte a file had is overwritten,
// cut off or removed, and before a file is made, the set's rollback journal
// (host/rollback_journal.h) keeps what is needed to undo it. A commit syncs
// every changed file and the directory, then removes the journal; a change
// cut off by a crash or a power cut is rolled back, whole, the next time the
// directory is opened for writing. Commits happen:
// - at `commit()`, and at the end of the outermost change scope
//   (FileSet::TAtomicChanges: the library brackets definitions and strips),
//   with whatever files are still open written back first;
// - outside any scope, whenever the last buffer open for writing is closed
//   (an open table is closed) and after each `remove`;
// - when the set is destroyed, unless a scope begun with beginChange is
//   still open: that change was abandoned and is rolled back.
// With `sync` off, nothing is fsynced: changes stay all or nothing when the
// program dies, but a power cut may lose or tear the last of them.
//
// One writer at a time: a writable set holds an exclusive lock on the
// directory (host/set_lock.h) for its whole life, a read-only set a shared
// one; the constructor waits up to `waitSeconds` for it. A read-only set
// never changes the directory: it opens files for reading (in|out opens of
// existing files too, whose writes then fail to sync), refuses to create,
// empty or remove files, and sees a change that was cut off as if it had
// been rolled back: what the journal saved is read from it as pages are
// fetched, never held whole. A journal it may not read, or one a writer
// would refuse (host/rollback_journal.h), makes it refuse to open: it never
// shows the files half changed.
//
// Decisions:
// - Names must pass isPlainFileName; anything else ("..", "a/b", "", a NUL)
//   is refused: open gives null and remove false, and nothing outside the
//   directory is touched. The set's own files (the lock and the journal)
//   are refused too and not listed.
// - Opening modes are read by readOpenMode: as std::filebuf, except that
//   in|out creates a missing file. Opening to write empties the file on disk
//   at once when the mode asks for it.
// - Opening a file that is already open shares its in-memory bytes: the
//   second buffer has its own position but sees the first one's writes at
//   once, flushed or not.
// - An open file is not a copy taken at opening: a page is read when first
//   touched, so a file changed behind the set's back (by another set on
//   the same directory in this process, which the lock does not keep out)
//   shows those changes in the pages read after them.
// - `remove` of an open file unlinks it at once, as on POSIX: the open
//   buffers keep working on the unlinked file, which vanishes when the last
//   of them closes; a new file of that name starts afresh.
// - A file larger than FileImage::maxSize, or anything but a regular file
//   (a symlink included), cannot be opened. A file we may not write, or
//   whose mode lets nobody write it (0444, even for root), is opened for
//   reading only and never emptied or removed.
// Not thread-safe: one thread at a time, like the tables on it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fileset/TAtomicChanges.h"
#include "fileset/TFileSet.h"
#include "fileset/TRenaming.h"
#include "host/file_image.h"
#include "host/rollback_journal.h"
#include "host/set_lock.h"

namespace Host {

class DirectoryFileSet : public FileSet::TFileSet, public FileSet::TAtomicChanges, public FileSet::TRenaming {
public:
    struct Options {
        bool writable = true;      // false: read only, under a shared lock
        bool sync = true;          // fsync at every commit
        double waitSeconds = 5.0;  // how long to wait for another process's lock
    };

    // Raises std::runtime_error unless `directory` is an existing directory,
    // when the lock is not had in time ("table set <directory> is in use by
    // another process"), when a writable set cannot roll back a change
    // that was cut off, or when the journal of such a change is refused or
    // can't be read (host/rollback_journal.h), read-only or not.
    explicit DirectoryFileSet(const std::string& directory) : DirectoryFileSet(directory, Options()) {}
    DirectoryFileSet(const std::string& directory, const Options& options);
    ~DirectoryFileSet() override;
    DirectoryFileSet(const DirectoryFileSet&) = delete;
    DirectoryFileSet& operator=(const DirectoryFileSet&) = delete;

    // TFileSet. open gives null for a refused name, an invalid mode, a file
    // that cannot be opened as asked (missing without a writing mode, not a
    // regular file, no permission, too large) or a failed read.
    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) override;
    bool isOpen(std::streambuf* buffer) override;
    void close(std::streambuf* buffer) override;  // writes back; unknown buffers are ignored
    void setStreamFlag1(std::streambuf*, bool) override {}
    void setStreamFlag2(std::streambuf*, bool) override {}
    bool remove(const std::string& name) override;  // true if a file was unlinked
    // TRenaming, one rename(2) journaled like a remove of both names: a
    // rollback puts back `from` and whatever `to` was. False for refused or
    // reserved names, a write-protected file of either name, a missing
    // `from`, a `from` with buffers open (whose unwritten bytes would follow
    // it unjournaled), a read-only set, or a failure. Buffers open on a
    // replaced `to` keep working on the old file, as after `remove`.
    bool rename(const std::string& from, const std::string& to) override;

    // TAtomicChanges. The outermost abandonChange rolls back at once when
    // no file is open; otherwise the change fails, as a failed write back
    // does: the next commit raises, and it is rolled back when the set goes
    // or the directory is next opened for writing.
    void beginChange() override;
    void endChange() override;
    void abandonChange() override;

    // Makes every change so far final (synced, journal removed). Raises
    // std::runtime_error if that fails, or if a write back of the change
    // failed: the change then stays pending, and is rolled back when the
    // set goes or the directory is next opened for writing.
    void commit();
    // Undoes every change since the last commit. Every buffer must be
    // closed; raises std::logic_error otherwise.
    void rollBack();
    // True when the set found a change cut off and rolled it back on opening.
    bool recovered() const { return m_recovered; }
    // True when a read-only set found a change cut off: it shows the files
    // as they were before it, until a writer rolls it back.
    bool pendingChange() const { return m_cutOff != nullptr; }
    bool writable() const { return m_options.writable; }

    // Gives back the memory of the pages of the open file `name` that hold
    // nothing left to store and that no buffer is reading or writing in
    // (FileImage::dropCleanPages); they are read again from the file when
    // next touched. Returns the bytes given back: 0 when `name` is not open.
    std::size_t dropCleanPages(const std::string& name);

    // The directory as given to the constructor.
    const std::string& path() const { return m_path; }
    // True if `name` is an acceptable name of a regular file in the directory.
    bool exists(const std::string& name) const;
    // The names of the regular files in the directory, sorted; subdirectories
    // and other entries are left out.
    std::vector<std::string> list() const;

private:
    class DiskImage;
    std::string fullPath(const std::string& name) const;
    std::shared_ptr<DiskImage> openImage(const std::string& name, const OpenRequest& request);
    std::shared_ptr<DiskImage> originalImage(const std::string& name);
    // What the change cut off says `name` was; null when it says nothing.
    const CutOffChange::Original* cutOffOriginal(const std::string& name) const;
    void commitIfIdle();
    void commitIfIdleQuietly();  // where nobody can be told of a failure
    // Open buffers on a file that was removed or renamed keep their image;
    // a later open of the name must not find it.
    void forgetImage(const std::string& name);
    void raiseIfFailed() const;
    static bool reserved(const std::string& name);

    std::string m_path;
    Options m_options;
    SetLock m_lock;
    RollbackJournal m_journal;
    // What a change cut off had saved, for a read-only set (null otherwise).
    std::shared_ptr<const CutOffChange> m_cutOff;
    int m_depth = 0;
    bool m_recovered = false;
    int m_failure = 0;  // the errno of a write back that failed: the change can only be rolled back
    std::map<std::string, std::weak_ptr<DiskImage>> m_images;  // open files by name
    std::map<std::streambuf*, std::unique_ptr<ImageBuffer>> m_buffers;
    std::map<std::streambuf*, bool> m_writes;  // whether each buffer may write
};

}  // namespace Host
