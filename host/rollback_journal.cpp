#include "host/rollback_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "Core/Orvex/table_files.h"
#include "host/file_image.h"
#include "host/set_lock.h"
#include "support/Utils.h"

namespace Host {

const char* const kJournalFileName = ".orvex-journal";
const char* const kSortedRecordName = ".orvex-sorted";

namespace {

const char kMagic[8] = {'O', 'R', 'V', 'E', 'X', 'J', 'N', 'L'};
const std::uint32_t kVersion = 1;
const std::size_t kHeaderSize = 24;
// A saved range is split into entries of at most this many bytes, so that
// reading one back never needs more memory than that.
const std::uint64_t kMostBytesPerEntry = std::uint64_t(1) << 20;
// Entries are written once this much is pending, to bound the memory.
const std::size_t kMostPending = std::size_t(4) << 20;

void putU8(std::vector<char>& out, unsigned v) { out.push_back(static_cast<char>(v & 0xFF)); }
void putU32(std::vector<char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) putU8(out, (v >> (8 * i)) & 0xFF);
}
void putU64(std::vector<char>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) putU8(out, static_cast<unsigned>((v >> (8 * i)) & 0xFF));
}
std::uint64_t getLE(const char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// CRC-32 of the salt's eight bytes, then the entry: zlib's, which runs
// several bytes a step, since every byte a change saves passes through here.
std::uint32_t entryCrc(std::uint64_t salt, const char* entry, std::size_t size) {
    std::vector<char> saltBytes;
    putU64(saltBytes, salt);
    uLong crc = ::crc32(0L, reinterpret_cast<const Bytef*>(saltBytes.data()), static_cast<uInt>(saltBytes.size()));
    for (std::size_t done = 0; done < size;) {  // uInt lengths: large entries in pieces
        const std::size_t piece = std::min<std::size_t>(size - done, std::size_t(1) << 30);
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(entry + done), static_cast<uInt>(piece));
        done += piece;
    }
    return static_cast<std::uint32_t>(crc);
}

// Moves exactly `size` bytes at `at` with pread or pwrite, going on after
// interruptions and short transfers; false if the file ends or fails.
template <class Buffer, class Transfer>
bool transferAll(int fd, Buffer data, std::size_t size, std::uint64_t at, Transfer transfer) {
    while (size > 0) {
        const ssize_t n = transfer(fd, data, size, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        at += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool writeAll(int fd, const char* data, std::size_t size, std::uint64_t at) {
    return transferAll(fd, data, size, at, ::pwrite);
}

bool readAll(int fd, char* data, std::size_t size, std::uint64_t at) {
    return transferAll(fd, data, size, at, ::pread);
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    Utils::raise_runtime_error(what + " " + path + ": " + std::strerror(errno));
}

std::string journalPath(const std::string& directory) { return directory + "/" + kJournalFileName; }


// A name as a message shows it: quoted, anything unprintable as '?'.
std::string quoted(const std::string& name) {
    std::string text = "\"";
    for (char c : name) text += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return text + "\"";
}

std::string refused(const std::string& directory, const std::string& what) {
    return journalPath(directory) + " is not a journal this set could have written: " + what;
}

std::string unreadable(const std::string& directory, int error) {
    return "a change to " + directory + " was cut off and its journal can't be read: " + systemReason(error);
}

const char kReadme[] =
    "the README (\"Changes: atomic, durable, one writer at a time\") describes how to inspect and remove the "
    "journal by hand";

std::string howToGoOn(const std::string& directory) {
    return "; `orvex check " + directory + "` explains it, and " + kReadme;
}

bool writeProtected(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The names a change of the library or the tool makes or removes: a table's
// files, the strip journal and the tool's table list (tools/catalog.h).
bool madeByChanges(const std::string& name) {
    for (bool binary : {true, false})
        for (const std::string& extension : Orvex::tableFileNames("", binary))
            if (endsWith(name, extension)) return true;
    return name == Orvex::kStripJournalName || name == Orvex::kTableListFileName || name == kSortedRecordName;
}

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int f) : fd(f) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int release() { return std::exchange(fd, -1); }
};

// What a journal says, once read and checked.
struct Contents {
    bool valid = false;  // it had a valid header
    std::map<std::string, CutOffChange::Original> files;
};

// Opens the journal found in the directory open on `dir`, refusing anything
// but a regular file of a trusted owner that only that owner may write. An
// empty answer with `journal` closed: there is none.
std::string openFound(int dir, const std::string& directory, Descriptor& journal) {
    const std::string path = journalPath(directory);
    journal.fd = ::openat(dir, kJournalFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (journal.fd < 0 && errno == ENOENT) return "";
    if (journal.fd < 0 && errno != ELOOP) return unreadable(directory, errno);
    struct stat st, owner;
    if (journal.fd < 0 || ::fstat(journal.fd, &st) != 0 || !S_ISREG(st.st_mode)) return path + " is not a regular file";
    if (::fstat(dir, &owner) != 0) return "can't look at " + directory + ": " + systemReason(errno);
    if (st.st_uid != owner.st_uid && st.st_uid != ::geteuid() && st.st_uid != 0)
        return refused(directory, "it belongs to user " + std::to_string(st.st_uid) +
                                      ", neither the directory's owner nor the user running this");
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return refused(directory, "users other than its owner may write it");
    // A second name could be a trusted user's file linked in from elsewhere.
    if (st.st_nlink != 1) return refused(directory, "it has more than one name (hard links)");
    return "";
}

// Reads the entries of the journal open on `fd` in order, up to the first
// that is cut short or damaged, and checks each against the rules of the
// header comment; the first broken rule is the answer.
std::string readEntries(int fd, const std::string& directory, Contents& contents) {
    struct stat st;
    char header[kHeaderSize];
    if (::fstat(fd, &st) != 0) return unreadable(directory, errno);
    contents.valid = readAll(fd, header, kHeaderSize, 0) && std::equal(kMagic, kMagic + 8, header) &&
                     getLE(header + 8, 4) == kVersion;
    if (!contents.valid) return "";
    const std::uint64_t salt = getLE(header + 16, 8);
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t at = kHeaderSize;
    std::vector<char> raw;
    for (;;) {
        // kind, name length
        char head[5];
        if (at + 5 > size || !readAll(fd, head, 5, at)) break;
        const std::uint64_t nameLength = getLE(head + 1, 4);
        const char kind = head[0];
        const std::uint64_t fixedPayload = kind == 'F' ? 9 : kind == 'B' ? 16 : 0;
        if (fixedPayload == 0 || nameLength > 4096 || at + 5 + nameLength + fixedPayload + 4 > size) break;
        raw.resize(5 + nameLength + fixedPayload);
        if (!readAll(fd, raw.data(), raw.size(), at)) break;
        std::uint64_t count = 0;
        if (kind == 'B') {
            count = getLE(raw.data() + 5 + nameLength + 8, 8);
            if (count > kMostBytesPerEntry || at + raw.size() + count + 4 > size) break;
            const std::size_t start = raw.size();
            raw.resize(start + count);
            if (!readAll(fd, raw.data() + start, count, at + start)) break;
        }
        char crcBytes[4];
        if (!readAll(fd, crcBytes, 4, at + raw.size())) break;
        if (getLE(crcBytes, 4) != entryCrc(salt, raw.data(), 5 + nameLength + fixedPayload + count)) break;

        const std::string name(raw.data() + 5, nameLength);
        const char* payload = raw.data() + 5 + nameLength;
        if (!isPlainFileName(name) || name == kJournalFileName || name == kLockFileName)
            return refused(directory, "it names " + quoted(name) + ", which is not a file of the set");
        auto known = contents.files.find(name);
        if (kind == 'F') {
            CutOffChange::Original file;
            file.existed = payload[0] != 0;
            file.length = getLE(payload + 1, 8);
            if (known != contents.files.end()) return refused(directory, "it notes " + quoted(name) + " twice");
            if (file.length > FileImage::maxSize || (!file.existed && file.length != 0))
                return refused(directory, "it gives " + quoted(name) + " a length of " + std::to_string(file.length) +
                                              ", which no file of the set can have");
            contents.files.emplace(name, file);
        } else {
            const std::uint64_t offset = getLE(payload, 8);
            if (known == contents.files.end())
                return refused(directory, "it saves bytes of " + quoted(name) + " before noting the file");
            if (offset > known->second.length || count > known->second.length - offset)
                return refused(directory, "it saves " + std::to_string(count) + " bytes at " + std::to_string(offset) +
                                              " of " + quoted(name) + ", past the length of " +
                                              std::to_string(known->second.length) + " it noted");
            known->second.ranges.push_back({offset, count, at + 5 + nameLength + fixedPayload});
        }
        at += raw.size() + 4;
    }
    for (auto& file : contents.files) {
        auto& ranges = file.second.ranges;
        std::sort(ranges.begin(), ranges.end(),
                  [](const CutOffChange::Range& a, const CutOffChange::Range& b) { return a.offset < b.offset; });
        for (std::size_t i = 1; i < ranges.size(); ++i)
            if (ranges[i].offset < ranges[i - 1].offset + ranges[i - 1].count)
                return refused(directory, "it saves byte " + std::to_string(ranges[i].offset) + " of " +
                                              quoted(file.first) + " twice");
    }
    return "";
}

// Checks what applying `contents` would do to the files of the directory
// open on `dir`. `own`: names the caller noted itself, which it may make
// or remove whatever they are.
std::string checkFiles(int dir, const std::string& directory, const Contents& contents,
                       const std::set<std::string>* own) {
    for (const auto& file : contents.files) {
        const std::string& name = file.first;
        const bool ours = madeByChanges(name) || (own && own->count(name));
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return "can't look at " + directory + "/" + name + ": " + systemReason(errno);
            if (file.second.existed && !ours)
                return refused(directory, "it would make " + quoted(name) + ", which is no name of a table's file");
            continue;
        }
        if (!S_ISREG(st.st_mode))
            return refused(directory, "it would write " + quoted(name) + ", which is not a regular file");
        if (writeProtected(st))
            return refused(directory, "it would write " + quoted(name) + ", which nobody may write");
        if (!file.second.existed && !ours)
            return refused(directory, "it would remove " + quoted(name) + ", which is no name of a table's file");
    }
    return "";
}

// Opens, reads and checks the journal found in `directory`; an empty
// answer with `journal` closed when there is none.
std::string examineFound(const std::string& directory, Descriptor& dir, Descriptor& journal, Contents& contents) {
    dir.fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir.fd < 0) return "can't open " + directory + ": " + systemReason(errno);
    std::string problem = openFound(dir.fd, directory, journal);
    if (problem.empty() && journal.fd >= 0) problem = readEntries(journal.fd, directory, contents);
    if (problem.empty() && journal.fd >= 0) problem = checkFiles(dir.fd, directory, contents, nullptr);
    return problem;
}

// Puts every file back as `contents` says, reading the saved bytes from
// `journal`, then removes the journal. Raises, keeping the journal, when a
// file can't be restored.
void restore(int dir, int journal, const std::string& directory, const Contents& contents, bool sync) {
    try {
        std::vector<char> bytes;
        for (const auto& entry : contents.files) {
            const std::string file = directory + "/" + entry.first;
            const CutOffChange::Original& original = entry.second;
            if (!original.existed) {
                if (::unlinkat(dir, entry.first.c_str(), 0) != 0 && errno != ENOENT) fail("Couldn't remove", file);
                continue;
            }
            const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
            Descriptor fd(::openat(dir, entry.first.c_str(), flags));
            if (fd.fd < 0 && errno == ENOENT)
                fd.fd = ::openat(dir, entry.first.c_str(), flags | O_CREAT | O_EXCL, 0644);
            if (fd.fd < 0) fail("Couldn't restore", file);
            struct stat st;
            if (::fstat(fd.fd, &st) != 0) fail("Couldn't restore", file);
            if (!S_ISREG(st.st_mode) || writeProtected(st))
                Utils::raise_runtime_error("Couldn't restore " + file + ": not a regular file anybody may write");
            for (const CutOffChange::Range& range : original.ranges) {
                bytes.resize(range.count);
                if (!readAll(journal, bytes.data(), bytes.size(), range.at))
                    fail("Couldn't read", journalPath(directory));
                if (!writeAll(fd.fd, bytes.data(), bytes.size(), range.offset)) fail("Couldn't restore", file);
            }
            if (::ftruncate(fd.fd, static_cast<off_t>(original.length)) != 0 || (sync && ::fsync(fd.fd) != 0))
                fail("Couldn't restore", file);
        }
        if (sync && !syncPath(directory, true)) fail("Couldn't sync", directory);
        if (::unlinkat(dir, kJournalFileName, 0) != 0) fail("Couldn't remove", journalPath(directory));
        if (sync && !syncPath(directory, true)) fail("Couldn't sync", directory);
    } catch (const std::runtime_error& e) {
        Utils::raise_runtime_error("Couldn't roll back the change cut off in " + directory + ": " + e.what() +
                                   "; the journal stays, and the next command that writes tries again: fix the "
                                   "cause first (a full disk, a file only another user may write); " + kReadme);
    }
}

}  // namespace

std::string systemReason(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

bool syncPath(const std::string& path, bool directory) {
    const int fd = ::open(path.c_str(), (directory ? O_DIRECTORY : O_NOFOLLOW) | O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    int result;
    do result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    ::close(fd);
    return result == 0;
}

RollbackJournal::RollbackJournal(const std::string& directory, bool sync) : m_directory(directory), m_sync(sync) {}

RollbackJournal::~RollbackJournal() {
    if (m_fd >= 0) ::close(m_fd);
}

std::string RollbackJournal::path(const std::string& name) const { return m_directory + "/" + name; }

RollbackJournal::FileState& RollbackJournal::state(const std::string& name) {
    noteFile(name);
    return m_files[name];
}

void RollbackJournal::noteFile(const std::string& name) {
    if (m_files.count(name)) return;
    FileState file;
    struct stat st;
    if (::lstat(path(name).c_str(), &st) == 0) {
        // What a rollback would refuse is never journaled.
        if (!S_ISREG(st.st_mode)) Utils::raise_runtime_error(path(name) + " is not a regular file");
        if (static_cast<std::uint64_t>(st.st_size) > FileImage::maxSize)
            Utils::raise_runtime_error(path(name) + " is too large for a file of the set");
        file.existed = true;
        file.length = static_cast<std::uint64_t>(st.st_size);
        // Whoever may read the file may read its saved bytes.
        const unsigned bits = st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
        if ((m_readBits | bits) != m_readBits) {
            m_readBits |= bits;
            if (m_fd >= 0 && ::fchmod(m_fd, S_IRUSR | S_IWUSR | m_readBits) != 0)
                fail("Couldn't set the permissions of", path(kJournalFileName));
        }
    } else if (errno != ENOENT) {
        fail("Couldn't look at", path(name));
    }
    std::vector<char> entry;
    putU8(entry, 'F');
    putU32(entry, static_cast<std::uint32_t>(name.size()));
    entry.insert(entry.end(), name.begin(), name.end());
    putU8(entry, file.existed ? 1 : 0);
    putU64(entry, file.length);
    appendEntry(entry);
    m_files[name] = file;
}

void RollbackJournal::saveOriginal(const std::string& name, int fd, std::uint64_t from, std::uint64_t to) {
    FileState& file = state(name);
    to = std::min(to, file.length);
    // Walk the gaps between the ranges saved already.
    std::uint64_t at = from;
    while (at < to) {
        auto next = file.saved.upper_bound(at);
        if (next != file.saved.begin()) {
            auto covering = std::prev(next);
            if (covering->second > at) {
                at = covering->second;
                continue;
            }
        }
        const std::uint64_t gapEnd = std::min(to, next == file.saved.end() ? to : next->first);
        for (std::uint64_t piece = at; piece < gapEnd; piece += kMostBytesPerEntry) {
            const std::uint64_t count = std::min(kMostBytesPerEntry, gapEnd - piece);
            std::vector<char> entry;
            putU8(entry, 'B');
            putU32(entry, static_cast<std::uint32_t>(name.size()));
            entry.insert(entry.end(), name.begin(), name.end());
            putU64(entry, piece);
            putU64(entry, count);
            const std::size_t start = entry.size();
            entry.resize(start + count);
            if (!readAll(fd, entry.data() + start, count, piece)) fail("Couldn't read", path(name));
            appendEntry(entry);
        }
        // Merge with the neighbours so the map stays small.
        std::uint64_t mergedFrom = at, mergedTo = gapEnd;
        if (next != file.saved.end() && next->first == gapEnd) {
            mergedTo = next->second;
            next = file.saved.erase(next);
        }
        if (next != file.saved.begin() && std::prev(next)->second == at) {
            auto before = std::prev(next);
            mergedFrom = before->first;
            file.saved.erase(before);
        }
        file.saved[mergedFrom] = mergedTo;
        at = gapEnd;
    }
}

void RollbackJournal::saveWhole(const std::string& name) {
    FileState& file = state(name);
    if (!file.existed || file.length == 0) return;
    const int fd = ::open(path(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) return;  // gone already within this change: saved when it went
        fail("Couldn't open", path(name));
    }
    try {
        saveOriginal(name, fd, 0, file.length);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

void RollbackJournal::appendEntry(const std::vector<char>& entry) {
    const std::size_t start = m_pending.size();
    m_pending.insert(m_pending.end(), entry.begin(), entry.end());
    putU32(m_pending, entryCrc(salt(), m_pending.data() + start, entry.size()));
    if (m_pending.size() >= kMostPending) makeDurable();
}

std::uint64_t RollbackJournal::salt() {
    if (m_salt == 0) {
        std::random_device random;
        m_salt = (std::uint64_t(random()) << 32 | random()) | 1;
    }
    return m_salt;
}

void RollbackJournal::openJournal() {
    const std::string file = path(kJournalFileName);
    // O_EXCL: a journal already there is not ours to write into.
    m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (m_fd < 0) fail("Couldn't create", file);
    if (::fchmod(m_fd, S_IRUSR | S_IWUSR | m_readBits) != 0) fail("Couldn't set the permissions of", file);
    std::vector<char> header(kMagic, kMagic + 8);
    putU32(header, kVersion);
    putU32(header, 0);
    putU64(header, m_salt);
    m_pending.insert(m_pending.begin(), header.begin(), header.end());
}

void RollbackJournal::makeDurable() {
    if (m_pending.empty()) return;
    const bool fresh = m_fd < 0;
    if (fresh) openJournal();
    // A write that fails part way is written again at the same place: the
    // journal never holds a torn entry before a whole one.
    if (!writeAll(m_fd, m_pending.data(), m_pending.size(), m_written)) fail("Couldn't write", path(kJournalFileName));
    m_written += m_pending.size();
    m_pending.clear();
    if (!m_sync) return;
    if (::fdatasync(m_fd) != 0) fail("Couldn't sync", path(kJournalFileName));
    // A new journal must be found after a power cut, or nothing it saved is.
    if (fresh && !syncPath(m_directory, true)) fail("Couldn't sync", m_directory);
}

void RollbackJournal::commit() {
    if (m_files.empty()) return;
    if (m_sync) {
        for (const auto& file : m_files) {
            struct stat st;
            if (::lstat(path(file.first).c_str(), &st) == 0 && !syncPath(path(file.first), false))
                fail("Couldn't sync", path(file.first));
        }
        if (!syncPath(m_directory, true)) fail("Couldn't sync", m_directory);
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        m_written = 0;
        if (::unlink(path(kJournalFileName).c_str()) != 0) fail("Couldn't remove", path(kJournalFileName));
        if (m_sync && !syncPath(m_directory, true)) fail("Couldn't sync", m_directory);
    }
    m_pending.clear();
    m_files.clear();
    m_salt = 0;
    m_readBits = 0;
}

void RollbackJournal::rollBack() {
    if (m_files.empty()) return;
    // What was never made durable was never acted on: the journal on disk
    // already undoes every change that reached a file.
    std::set<std::string> noted;
    for (const auto& file : m_files) noted.insert(file.first);
    Descriptor journal(m_fd);
    m_pending.clear();
    m_fd = -1;
    m_written = 0;
    m_files.clear();
    m_salt = 0;
    m_readBits = 0;
    if (journal.fd < 0) return;
    // Read back through our own descriptor: the file under the journal's
    // name may have been replaced since.
    Descriptor dir(::open(m_directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) fail("Couldn't open", m_directory);
    Contents contents;
    std::string problem = readEntries(journal.fd, m_directory, contents);
    if (problem.empty()) problem = checkFiles(dir.fd, m_directory, contents, &noted);
    if (!problem.empty()) Utils::raise_runtime_error(problem + howToGoOn(m_directory));
    restore(dir.fd, journal.fd, m_directory, contents, m_sync);
}

bool RollbackJournal::present(const std::string& directory) {
    struct stat st;
    return ::lstat(journalPath(directory).c_str(), &st) == 0;
}

bool RollbackJournal::recover(const std::string& directory, bool sync) {
    if (!present(directory)) return false;
    Descriptor dir, journal;
    Contents contents;
    const std::string problem = examineFound(directory, dir, journal, contents);
    if (!problem.empty()) Utils::raise_runtime_error(problem + howToGoOn(directory));
    if (journal.fd < 0) return false;  // gone meanwhile
    restore(dir.fd, journal.fd, directory, contents, sync);
    return true;
}

std::string RollbackJournal::problem(const std::string& directory) {
    if (!present(directory)) return "";
    Descriptor dir, journal;
    Contents contents;
    return examineFound(directory, dir, journal, contents);
}

std::shared_ptr<const CutOffChange> CutOffChange::read(const std::string& directory) {
    if (!RollbackJournal::present(directory)) return nullptr;
    Descriptor dir, journal;
    Contents contents;
    const std::string problem = examineFound(directory, dir, journal, contents);
    if (!problem.empty()) Utils::raise_runtime_error(problem + howToGoOn(directory));
    if (journal.fd < 0 || contents.files.empty()) return nullptr;
    return std::shared_ptr<const CutOffChange>(new CutOffChange(journal.release(), std::move(contents.files)));
}

CutOffChange::~CutOffChange() { ::close(m_fd); }

bool CutOffChange::overlay(const Original& file, std::uint64_t position, char* to, std::size_t n) const {
    const std::uint64_t end = position + n;
    auto range = std::upper_bound(file.ranges.begin(), file.ranges.end(), position,
                                  [](std::uint64_t at, const Range& r) { return at < r.offset; });
    if (range != file.ranges.begin()) --range;
    for (; range != file.ranges.end() && range->offset < end; ++range) {
        const std::uint64_t from = std::max(position, range->offset);
        const std::uint64_t until = std::min(end, range->offset + range->count);
        if (from < until && !readAll(m_fd, to + (from - position), until - from, range->at + (from - range->offset)))
            return false;
    }
    return true;
}

}  // namespace Host
