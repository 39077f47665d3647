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
// `rollBack` puts every file back as it was before that change began.
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
// Every call that fails raises std::runtime_error naming the journal.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Host {

extern const char* const kJournalFileName;  // ".orvex-journal"

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

    // True if `directory` holds a journal (a change that was cut off, when
    // nobody holds the set for writing).
    static bool present(const std::string& directory);
    // Rolls back a journal left in `directory`; false if there was none.
    static bool recover(const std::string& directory, bool sync);

    // A file as it was before the change a journal records, for readers that
    // may not roll it back: `existed` false means the file was not there.
    struct Original {
        bool existed = true;
        std::uint64_t length = 0;
        std::vector<std::pair<std::uint64_t, std::vector<char>>> ranges;  // offset, bytes
    };
    // The files a journal left in `directory` speaks of, by name.
    static std::map<std::string, Original> originals(const std::string& directory);

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
    std::uint64_t m_written = 0;  // bytes of the journal file written whole
    std::vector<char> m_pending;  // entries not yet written
    std::map<std::string, FileState> m_files;
};

// Syncs a file's or a directory's data to the device; false on failure.
bool syncPath(const std::string& path, bool directory);

}  // namespace Host
