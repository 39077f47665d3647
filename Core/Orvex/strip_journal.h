// The journal of a strip and the recovery of a strip that was cut off.
//
// The journal, "temp.jnl", exists from before a strip writes its first
// temporary file until its swap is over, so that whatever a strip leaves
// behind when it is cut off can be told apart from a table named "temp" and
// finished or undone. It is one line of tokens: the table's name, its form
// flag, a state and the word "end". State "prepared": the table's own files
// are untouched and the temporary files may be incomplete. State "swapping",
// written only once both temporary files are complete: the line also gives
// the size and checksum of the temporary structure and contents files. A line
// that does not read through to "end" counts as "prepared", since the swap
// starts only after a "swapping" line has been written whole.
#pragma once

#include <string>

#include "fileset/TFileSet.h"

namespace Orvex {

// What a file holds, as far as the journal needs to know.
struct file_signature {
    unsigned long size = 0;
    unsigned long checksum = 0;
    bool operator==(const file_signature& o) const { return size == o.size && checksum == o.checksum; }
};

// The signature of `bytes`.
file_signature signatureOfBytes(const std::string& bytes);
// The signature of a file of the set; false when it can't be opened (a
// read that stops short gives the signature of what was read).
bool signatureOfFile(FileSet::TFileSet& fs, const std::string& name, file_signature& signature);

struct strip_journal {
    std::string table;
    bool binDesc = false;
    bool swapping = false;
    file_signature desc, contents;
};

// False when the journal could not be written whole.
bool writeStripJournal(FileSet::TFileSet& fs, const strip_journal& journal);

// Moves the temporary files over the table's as a journal in state
// "swapping" says. Each move replaces its target only once its source is
// open and the source goes only once the target holds every byte, so it can
// be cut off and done again at any point. Raises a runtime error, leaving the
// journal, when it can't complete.
void finishStripSwap(FileSet::TFileSet& fs, const strip_journal& journal);

// Undoes a strip that failed before its swap, without raising: what can't be
// removed stays, with the journal, for the next recovery. `swappingWritten`
// says a "swapping" journal may have been written.
void abandonStrip(FileSet::TFileSet& fs, const strip_journal& journal, bool swappingWritten);

// Raises unless the set is free for a strip's temporary files: a journal
// left by another strip, or temporary files that no journal accounts for (a
// table named "temp", or a host's files), must not be overwritten.
void refuseStripLeftovers(FileSet::TFileSet& fs);

// Brings a file set back to whole tables after a strip that was cut off (by
// a crash, or a file set that stopped working) and returns whether there was
// one: a strip that had not begun its swap is undone (the temporary files
// are removed, the table's own were never touched); one that had is finished
// (each temporary file still there is checked against the journal's size and
// checksum, then moved over the table's file; one already moved is
// recognised the same way). Then the journal goes. Raises a runtime error
// when it can't complete, leaving the journal for the next attempt.
//
// It runs once per opening of a set: through opened_set, below, which every
// table definition and table set holds, or called by a host right after it
// opens a set.
bool recoverInterruptedStrip(FileSet::TFileSet& fs);

// The library's hold on a file set while something of it works there. The
// first hold made on a set, while no other is alive, opens it: it runs
// recoverInterruptedStrip (and raises what that raises, holding nothing);
// later holds while one is alive share that opening and touch no file. So a
// command that holds the set (the orvex tool does, for writing) recovers it
// once however many tables it defines, and a host that simply defines
// tables or a table set is recovered by the first of them. A set must not be
// destroyed while a hold on it is alive, which the library's objects on it
// already promise. Holds on different sets may be made from different
// threads.
class opened_set {
public:
    opened_set() = default;  // holds nothing
    explicit opened_set(FileSet::TFileSet& fs);
    ~opened_set();
    opened_set(opened_set&& other) noexcept;
    opened_set& operator=(opened_set&& other) noexcept;
    opened_set(const opened_set&) = delete;
    opened_set& operator=(const opened_set&) = delete;

    // True when this hold opened the set and found a strip to recover.
    bool recovered() const { return m_recovered; }

private:
    void release();

    FileSet::TFileSet* m_files = nullptr;
    bool m_recovered = false;
};

}  // namespace Orvex
