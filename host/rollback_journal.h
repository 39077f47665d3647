// Host::RollbackJournal: what makes a change to a directory all or nothing.
//
// Before a file of the directory changes for the first time in a change,
// the journal notes whether it existed and how long it was; before any of
// its original bytes are overwritten, cut off or removed, it saves them.
// `makeDurable` writes what was noted and saved (and syncs it, unless
// syncing is off) and must run before the file is touched: so a byte of a
// file is never overwritten while its original is not safely in the journal.
// Removing the journal is the commit. A journal found when the directory is
// next opened for writing belongs to a change that was cut off, and
// `recover` puts every file back as it was before that change began.
//
// The journal file, kJournalFileName in the directory, little-endian:
//   header  "ORVEXJNL", u32 version (1), u32 0, u64 salt
//   entry   u8 kind, u32 name length, name, payload, u32 CRC-32
//     kind 'F' (a file's state before the change): u8 existed, u64 length
//     kind 'B' (original bytes):                   u64 offset, u64 count, bytes
// The CRC covers the salt and the entry up to the CRC; the salt is new for
// every journal, so bytes left over from an older one never pass. Reading
// stops at the first entry that is cut short or fails its CRC: it was never
// made durable, so the bytes it would restore were never touched. Saved
// ranges never overlap, so entries may be applied in any order.
//
// Trust. Whoever may write the directory may leave a journal in it, and the
// CRC proves nothing (its salt is in the journal), so a journal found on
// disk is read as a stranger's input, by writers and readers alike:
// - It must be a regular file (opened with O_NOFOLLOW | O_NONBLOCK, so a
//   symlink, FIFO, device or directory is refused at once as "<path> is not
//   a regular file"), owned by the directory's owner, the user running the
//   program or root, writable by nobody but its owner (no group or other
//   write bit), and with one name only (no hard link). Anything else is
//   refused.
// - Every entry is checked before anything is applied, and one bad entry
//   refuses the whole journal: a name must be a plain name of the directory
//   (isPlainFileName: not empty, no '/', not "." or "..") and not the lock
//   or the journal; a file is noted once, by an 'F' entry before any of its
//   'B' entries; its length is at most FileImage::maxSize (0 if it did not
//   exist); its 'B' ranges lie within that length and never overlap.
// - Every file named must be, if it is there, a regular file (not a
//   symlink) that somebody may write (not 0444). A file the journal says
//   existed and that is missing is re-created, and a file it says the change
//   made is removed, only under a name the library or the tool makes within
//   a change: a table's file (a non-empty name plus ".dsb", ".dst", ".trb",
//   ".trt" or ".bin", Core/Orvex/table_files.h), the strip journal
//   "temp.jnl", the tool's table list "tables.lst" and its record of
//   sorted tables, kSortedRecordName. (A rollback within
//   the process that made the journal also re-creates or removes the names
//   it noted itself.)
// - Files are opened relative to the directory's descriptor, with
//   O_NOFOLLOW | O_NONBLOCK, checked again with fstat once open, and made
//   with O_EXCL.
// A journal refused so raises "<dir>/.orvex-journal is not a journal this
// set could have written: <what is wrong>", one that exists but can't be
// read "a change to <dir> was cut off and its journal can't be read:
// <reason>", each with a pointer to `orvex check` and the README, which
// tells how to inspect and remove a journal by hand. Nothing is changed.
// One that passes but can't be applied (a file that can't be restored)
// raises "Couldn't roll back the change cut off in <dir>: <reason>", keeps
// the journal for the next writer (rolling back again is harmless) and
// points to the README.
//
// Who may read it: the journal holds the original bytes of the files it
// protects, and readers need it to see those files as they were. It is made
// owner read/write only, then fchmod'ed to add the read bits (user, group,
// other) of every file noted that existed before the change, so whoever
// may read those files may read the journal, and nobody else. (A change
// that only makes new files keeps it owner-only: readers who can't read
// it refuse rather than show a half change.)
//
// Every call that fails raises std::runtime_error naming the journal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Host {

extern const char* const kJournalFileName;  // ".orvex-journal"
// The tool's note of which tables are sorted (tools/sorted_tables.h), made
// and replaced within changes like a table's files.
extern const char* const kSortedRecordName;  // ".orvex-sorted"

class RollbackJournal {
public:
    // A journal for changes to the files of `directory`; nothing is written
    // until the first note. `sync` false skips every fsync.
    RollbackJournal(const std::string& directory, bool sync);
    ~RollbackJournal();
    RollbackJournal(const RollbackJournal&) = delete;
    RollbackJournal& operator=(const RollbackJournal&) = delete;

    // True once something has been noted since the last commit.
    bool active() const { return !m_files.empty(); }

    // Notes the state of `name` before its first change (from the disk, so
    // call it before touching the file); later calls for the name do nothing.
    // Raises for a file that is not a regular one or is too large for a set.
    void noteFile(const std::string& name);
    // Saves the bytes [from, to) of `name` that it had when the change began
    // and that are not saved yet, reading them from `fd` (the file as it is
    // on disk). Notes the file first if needed.
    void saveOriginal(const std::string& name, int fd, std::uint64_t from, std::uint64_t to);
    // Saves the whole of `name`, as before removing or emptying it.
    void saveWhole(const std::string& name);

    // Writes what was noted and saved and syncs it; a no-op when nothing is
    // pending. Call before changing any file the notes speak of.
    void makeDurable();
    // Syncs every file noted (those that still exist) and the directory,
    // then removes the journal and syncs the directory again: the change is
    // then final. A no-op when nothing was noted.
    void commit();
    // Puts every noted file back as it was and removes the journal.
    void rollBack();

    // True if `directory` holds anything under the journal's name (a change
    // that was cut off, when nobody holds the set for writing).
    static bool present(const std::string& directory);
    // Rolls back a journal left in `directory`; false if there was none.
    // Raises, changing nothing, for a journal refused as above; raises with
    // the journal kept when a file can't be restored.
    static bool recover(const std::string& directory, bool sync);
    // Why the journal in `directory` would be refused, as the first part of
    // the message recover or CutOffChange::read raise; empty when there is
    // none or it may be applied.
    static std::string problem(const std::string& directory);

private:
    struct FileState {
        bool existed = false;
        std::uint64_t length = 0;
        std::map<std::uint64_t, std::uint64_t> saved;  // from -> to, disjoint
    };
    FileState& state(const std::string& name);
    void appendEntry(const std::vector<char>& entry);
    void openJournal();
    std::uint64_t salt();  // made on first use, never 0
    std::string path(const std::string& name) const;

    std::string m_directory;
    bool m_sync;
    std::uint64_t m_salt = 0;
    int m_fd = -1;
    unsigned m_readBits = 0;      // the journal's read bits beside the owner's
    std::uint64_t m_written = 0;  // bytes of the journal file written whole
    std::vector<char> m_pending;  // entries not yet written
    std::map<std::string, FileState> m_files;
};

// A change that was cut off, as a journal left in a directory tells it, for
// readers that may not roll it back. It keeps the journal open and, for each
// range of bytes saved, where they lie in it: what it costs in memory grows
// with the number of entries, never with the bytes saved.
class CutOffChange {
public:
    struct Range {
        std::uint64_t offset = 0;  // in the file
        std::uint64_t count = 0;
        std::uint64_t at = 0;  // in the journal
    };
    struct Original {
        bool existed = true;
        std::uint64_t length = 0;
        std::vector<Range> ranges;  // by offset, disjoint
    };

    // The journal left in `directory`; null when there is none, or none
    // with a valid header (nothing was changed under it). Raises when the
    // journal would be refused or can't be read (see RollbackJournal).
    static std::shared_ptr<const CutOffChange> read(const std::string& directory);
    ~CutOffChange();
    CutOffChange(const CutOffChange&) = delete;
    CutOffChange& operator=(const CutOffChange&) = delete;

    // The files the change touched, by name, as they were before it.
    const std::map<std::string, Original>& files() const { return m_files; }
    // Lays over `to` (the n bytes at `position` of a file as it is now)
    // what the journal saved of them; false if the journal can't be read.
    bool overlay(const Original& file, std::uint64_t position, char* to, std::size_t n) const;

private:
    CutOffChange(int fd, std::map<std::string, Original> files) : m_fd(fd), m_files(std::move(files)) {}
    int m_fd;
    std::map<std::string, Original> m_files;
};

// The system's reason for `error` (strerror), to end a sentence: "no space
// left on device".
std::string systemReason(int error);

// Syncs a file's or a directory's data to the device; false on failure. A
// file that is a symlink is not followed.
bool syncPath(const std::string& path, bool directory);

}  // namespace Host
