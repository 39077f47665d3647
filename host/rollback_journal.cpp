#include "host/rollback_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <random>

#include "support/Utils.h"

namespace Host {

const char* const kJournalFileName = ".orvex-journal";

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

// An entry as read back from a journal file.
struct Entry {
    char kind = 0;
    std::string name;
    bool existed = false;       // F
    std::uint64_t length = 0;   // F
    std::uint64_t offset = 0;   // B
    std::vector<char> bytes;    // B
};

// Reads the entries of the journal at `path` in order, handing each valid one
// to `take`; stops at the first that is cut short or damaged. False when
// there is no journal with a valid header.
bool readJournal(const std::string& path, const std::function<void(const Entry&)>& take) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    char header[kHeaderSize];
    const bool valid = ::fstat(fd, &st) == 0 && readAll(fd, header, kHeaderSize, 0) &&
                       std::equal(kMagic, kMagic + 8, header) && getLE(header + 8, 4) == kVersion;
    if (!valid) {
        ::close(fd);
        return false;
    }
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
        if (getLE(crcBytes, 4) != entryCrc(salt, raw.data(), raw.size())) break;
        Entry entry;
        entry.kind = kind;
        entry.name.assign(raw.data() + 5, nameLength);
        const char* payload = raw.data() + 5 + nameLength;
        if (kind == 'F') {
            entry.existed = payload[0] != 0;
            entry.length = getLE(payload + 1, 8);
        } else {
            entry.offset = getLE(payload, 8);
            entry.bytes.assign(payload + 16, payload + 16 + count);
        }
        take(entry);
        at += raw.size() + 4;
    }
    ::close(fd);
    return true;
}

}  // namespace

bool syncPath(const std::string& path, bool directory) {
    const int fd = ::open(path.c_str(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
        file.existed = true;
        file.length = static_cast<std::uint64_t>(st.st_size);
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
    const int fd = ::open(path(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0) fail("Couldn't create", file);
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
}

void RollbackJournal::rollBack() {
    if (m_files.empty()) return;
    // What was never made durable was never acted on: the journal on disk
    // already undoes every change that reached a file.
    m_pending.clear();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_written = 0;
    m_files.clear();
    m_salt = 0;
    recover(m_directory, m_sync);
}

bool RollbackJournal::present(const std::string& directory) {
    struct stat st;
    return ::lstat((directory + "/" + kJournalFileName).c_str(), &st) == 0;
}

bool RollbackJournal::recover(const std::string& directory, bool sync) {
    const std::string journal = directory + "/" + kJournalFileName;
    if (!present(directory)) return false;
    std::map<std::string, Entry> states;  // the 'F' entries, applied after the bytes
    readJournal(journal, [&](const Entry& entry) {
        const std::string file = directory + "/" + entry.name;
        if (entry.kind == 'F') {
            states.emplace(entry.name, entry);
            return;
        }
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd < 0) fail("Couldn't restore", file);
        const bool written = writeAll(fd, entry.bytes.data(), entry.bytes.size(), entry.offset);
        ::close(fd);
        if (!written) fail("Couldn't restore", file);
    });
    for (const auto& state : states) {
        const std::string file = directory + "/" + state.first;
        if (!state.second.existed) {
            if (::unlink(file.c_str()) != 0 && errno != ENOENT) fail("Couldn't remove", file);
            continue;
        }
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(state.second.length)) != 0 || (sync && ::fsync(fd) != 0)) {
            if (fd >= 0) ::close(fd);
            fail("Couldn't restore", file);
        }
        ::close(fd);
    }
    if (sync && !syncPath(directory, true)) fail("Couldn't sync", directory);
    if (::unlink(journal.c_str()) != 0) fail("Couldn't remove", journal);
    if (sync && !syncPath(directory, true)) fail("Couldn't sync", directory);
    return true;
}

std::map<std::string, RollbackJournal::Original> RollbackJournal::originals(const std::string& directory) {
    std::map<std::string, Original> files;
    readJournal(directory + "/" + kJournalFileName, [&](const Entry& entry) {
        Original& file = files[entry.name];
        if (entry.kind == 'F') {
            file.existed = entry.existed;
            file.length = entry.length;
        } else {
            file.ranges.emplace_back(entry.offset, entry.bytes);
        }
    });
    return files;
}

}  // namespace Host
