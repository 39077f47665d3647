#include "Core/Orvex/strip_journal.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <zlib.h>

#include "Core/Orvex/table_files.h"
#include "fileset/vfstream.h"
#include "support/Utils.h"
#include "support/tabulation.h"

namespace Orvex {

namespace {

const char kSwapping[] = "swapping";
const char kPrepared[] = "prepared";
const char kEnd[] = "end";

std::string temporaryDescFileName(const strip_journal& journal) {
    return structureFileName(kTemporaryTableName, journal.binDesc);
}
std::string temporaryContentsFileName() { return contentsFileName(kTemporaryTableName); }

bool canOpen(FileSet::TFileSet& fs, const std::string& name) {
    return FileSet::ivfstream(fs, name.c_str(), std::ios_base::binary, false, true).is_open();
}

// False when there is no journal; a damaged one reads as "prepared".
bool readStripJournal(FileSet::TFileSet& fs, strip_journal& journal) {
    FileSet::ivfstream in(fs, kStripJournalName, std::ios_base::openmode(), false, true);
    if (!in.is_open()) return false;
    strip_journal read;
    unsigned char flag = 0;
    std::string state, end;
    tabulation::from_stream(in, read.table);
    tabulation::from_stream(in, flag);
    tabulation::from_stream(in, state);
    read.binDesc = flag != 0;
    if (state == kSwapping) {
        for (file_signature* f : {&read.desc, &read.contents}) {
            tabulation::from_stream(in, f->size);
            tabulation::from_stream(in, f->checksum);
        }
        tabulation::from_stream(in, end);
        read.swapping = !in.fail() && end == kEnd && !read.table.empty();
    }
    journal = read;
    return true;
}

// Removes the temporary files; false when one of them is still there.
bool removeTemporaries(FileSet::TFileSet& fs) {
    bool removed = true;
    for (const std::string& name : temporaryFileNames()) {
        fs.remove(name);
        if (canOpen(fs, name)) removed = false;
    }
    return removed;
}

void removeJournal(FileSet::TFileSet& fs) {
    fs.remove(kStripJournalName);
    if (canOpen(fs, kStripJournalName))
        Utils::raise_runtime_error(std::string("Couldn't remove the strip journal ") + kStripJournalName);
}

[[noreturn]] void raiseUnrecoverable(const strip_journal& journal, const std::string& why) {
    Utils::raise_runtime_error("Can't finish the interrupted strip of table " + journal.table + ": " + why +
                               "; its files and " + kStripJournalName + " are left as they are");
}

// Moves one temporary file over the table's, unless that was done already.
void finishMove(FileSet::TFileSet& fs, const strip_journal& journal, const std::string& from, const std::string& to,
                const file_signature& expected) {
    file_signature found;
    if (signatureOfFile(fs, from, found)) {
        if (!(found == expected)) raiseUnrecoverable(journal, from + " isn't the file the journal describes");
        FileSet::moveFile(fs, from, to);
        if (canOpen(fs, from)) raiseUnrecoverable(journal, "couldn't remove " + from);
    } else if (!signatureOfFile(fs, to, found) || !(found == expected)) {
        raiseUnrecoverable(journal, from + " can't be opened and " + to + " isn't its copy");
    }
}

// CRC-32 (the polynomial of zlib and of the journals already written) of
// more bytes, continuing `crc`; zlib's table-driven code is many times
// faster than a byte at a time.
unsigned long continueCrc(unsigned long crc, const char* bytes, std::size_t size) {
    while (size > 0) {
        const uInt chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes), chunk);
        bytes += chunk;
        size -= chunk;
    }
    return crc;
}

}  // namespace

file_signature signatureOfBytes(const std::string& bytes) {
    file_signature signature;
    signature.size = bytes.size();
    signature.checksum = continueCrc(0, bytes.data(), bytes.size());
    return signature;
}

bool signatureOfFile(FileSet::TFileSet& fs, const std::string& name, file_signature& signature) {
    FileSet::ivfstream in(fs, name.c_str(), std::ios_base::binary, false, true);
    if (!in.is_open()) return false;
    unsigned long crc = 0;
    std::vector<char> block(1 << 16);
    unsigned long size = 0;
    for (;;) {
        const std::streamsize got = in.rdbuf()->sgetn(block.data(), static_cast<std::streamsize>(block.size()));
        if (got <= 0) break;
        crc = continueCrc(crc, block.data(), static_cast<std::size_t>(got));
        size += static_cast<unsigned long>(got);
    }
    signature.size = size;
    signature.checksum = crc;
    return true;
}

bool writeStripJournal(FileSet::TFileSet& fs, const strip_journal& journal) {
    FileSet::ovfstream out(fs, kStripJournalName, std::ios_base::openmode(), false, true);
    if (!out.is_open()) return false;
    tabulation::to_stream(out, journal.table);
    tabulation::to_stream(out, static_cast<unsigned char>(journal.binDesc ? 1 : 0));
    if (journal.swapping) {
        tabulation::to_stream(out, std::string(kSwapping));
        for (const file_signature* f : {&journal.desc, &journal.contents}) {
            tabulation::to_stream(out, f->size);
            tabulation::to_stream(out, f->checksum);
        }
    } else {
        tabulation::to_stream(out, std::string(kPrepared));
    }
    tabulation::to_stream(out, std::string(kEnd));
    out << '\n';
    out.flush();
    return out.good();
}

void finishStripSwap(FileSet::TFileSet& fs, const strip_journal& journal) {
    finishMove(fs, journal, temporaryDescFileName(journal), structureFileName(journal.table, journal.binDesc),
               journal.desc);
    finishMove(fs, journal, temporaryContentsFileName(), contentsFileName(journal.table), journal.contents);
    if (!removeTemporaries(fs)) raiseUnrecoverable(journal, "a temporary file can't be removed");
    removeJournal(fs);
}

void abandonStrip(FileSet::TFileSet& fs, const strip_journal& journal, bool swappingWritten) {
    if (swappingWritten) {
        // The journal may say "swapping"; it must say otherwise before a
        // temporary file goes, or a recovery would finish a half-removed swap.
        strip_journal prepared = journal;
        prepared.swapping = false;
        if (!writeStripJournal(fs, prepared)) return;
    }
    if (!removeTemporaries(fs)) return;
    fs.remove(kStripJournalName);
}

void refuseStripLeftovers(FileSet::TFileSet& fs) {
    if (canOpen(fs, kStripJournalName))
        Utils::raise_runtime_error(std::string("Can't strip: ") + kStripJournalName +
                                   " is left by an interrupted strip; recover the set first");
    for (const std::string& name : temporaryFileNames())
        if (canOpen(fs, name))
            Utils::raise_runtime_error("Can't strip: " + name +
                                       " would be overwritten by the temporary files of stripping; rename or remove it first");
}

bool recoverInterruptedStrip(FileSet::TFileSet& fs) {
    strip_journal journal;
    if (!readStripJournal(fs, journal)) return false;
    if (journal.swapping) {
        finishStripSwap(fs, journal);
    } else {
        if (!removeTemporaries(fs))
            Utils::raise_runtime_error(std::string("Couldn't remove the temporary files of an interrupted strip; ") +
                                       kStripJournalName + " is left for the next attempt");
        removeJournal(fs);
    }
    return true;
}

namespace {
// How many holds are alive on each set that has one.
std::mutex g_holdsGuard;
std::map<const FileSet::TFileSet*, unsigned>& holds() {
    static std::map<const FileSet::TFileSet*, unsigned> counts;
    return counts;
}
}  // namespace

opened_set::opened_set(FileSet::TFileSet& fs) {
    std::lock_guard<std::mutex> lock(g_holdsGuard);
    unsigned& count = holds()[&fs];
    if (count == 0) {
        try {
            m_recovered = recoverInterruptedStrip(fs);
        } catch (...) {
            holds().erase(&fs);
            throw;
        }
    }
    ++count;
    m_files = &fs;
}

opened_set::~opened_set() { release(); }

opened_set::opened_set(opened_set&& other) noexcept
    : m_files(std::exchange(other.m_files, nullptr)), m_recovered(other.m_recovered) {}

opened_set& opened_set::operator=(opened_set&& other) noexcept {
    if (this != &other) {
        release();
        m_files = std::exchange(other.m_files, nullptr);
        m_recovered = other.m_recovered;
    }
    return *this;
}

void opened_set::release() {
    if (!m_files) return;
    std::lock_guard<std::mutex> lock(g_holdsGuard);
    auto count = holds().find(m_files);
    if (count != holds().end() && --count->second == 0) holds().erase(count);
    m_files = nullptr;
}

}  // namespace Orvex
