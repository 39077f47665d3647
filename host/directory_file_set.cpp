#include "host/directory_file_set.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "support/Utils.h"

namespace Host {

namespace {

// A file whose mode lets nobody write it is left alone even by a user the
// system would let write it (root): its owner meant it to stay as it is.
bool writeProtected(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// Opens an existing `path` without following a symlink, for writing when
// `mayWrite`; when only reading is wanted, a file we may not write is still
// opened, read-only. O_NONBLOCK
// keeps a FIFO from hanging the open; it is refused right after as not a
// regular file.
int openExisting(const std::string& path, bool mayWrite, bool wantWrite, bool& writable) {
    const int flags = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    if (mayWrite && writeProtected(path)) {
        mayWrite = false;
        errno = EACCES;
    }
    int fd = mayWrite ? ::open(path.c_str(), O_RDWR | flags) : -1;
    writable = fd >= 0;
    if (fd < 0 && (!mayWrite || (!wantWrite && (errno == EACCES || errno == EROFS || errno == ETXTBSY))))
        fd = ::open(path.c_str(), O_RDONLY | flags);
    return fd;
}

// The length of the regular file open on `fd`; false for anything else or
// a file too large for an image.
bool regularFileLength(int fd, std::size_t& length) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<unsigned long long>(st.st_size) > FileImage::maxSize)
        return false;
    length = static_cast<std::size_t>(st.st_size);
    return true;
}

// Reads n bytes at `at`; what lies past the end of the file reads as zeros.
bool readAt(int fd, char* to, std::size_t n, std::size_t at) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, to + done, n - done, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    std::memset(to + done, 0, n - done);
    return true;
}

// Writes a changed range, its pieces gathered into as few calls as the
// system allows.
bool writeChange(int fd, const FileImage::Change& change) {
    std::vector<iovec> pieces;
    for (const auto& piece : change.pieces) pieces.push_back(iovec{const_cast<char*>(piece.first), piece.second});
    std::size_t at = change.position;
    std::size_t next = 0;
    while (next < pieces.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - next, IOV_MAX));
        const ssize_t put = ::pwritev(fd, pieces.data() + next, count, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += static_cast<std::size_t>(put);
        // Step over what was written, the last piece perhaps in part.
        for (std::size_t left = static_cast<std::size_t>(put); left > 0;) {
            const std::size_t step = std::min(left, pieces[next].iov_len);
            pieces[next].iov_base = static_cast<char*>(pieces[next].iov_base) + step;
            pieces[next].iov_len -= step;
            left -= step;
            if (pieces[next].iov_len == 0) ++next;
        }
    }
    return true;
}

const std::string& existingDirectory(const std::string& directory) {
    std::error_code error;
    if (std::filesystem::is_directory(directory, error)) return directory;
    if (!std::filesystem::exists(std::filesystem::symlink_status(directory, error)))
        Utils::raise_runtime_error("no such directory: " + directory);
    Utils::raise_runtime_error("Not a directory: " + directory);
    return directory;
}

bool onDisk(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

// The pages of one open file and the descriptor they come from and go back
// to. Pages not yet in memory are read from the descriptor: until the image
// is stored, the file on disk still holds what the image had when it was
// opened or last stored. Before it changes the file on disk, it has the
// journal save what it would destroy; an image without a journal (read
// only, or of a file removed while open) changes nothing anybody will see.
class DirectoryFileSet::DiskImage : public FileImage {
public:
    // `failure`: the set's, where the errno of a write back that fails
    // goes. `cutOff`, `original`: for a file shown as it was before a change
    // that was cut off, the bytes the journal saved, laid over what the
    // descriptor gives.
    DiskImage(int fd, bool writable, std::size_t length, const std::string& name, RollbackJournal* journal,
              int* failure, std::shared_ptr<const CutOffChange> cutOff = nullptr,
              const CutOffChange::Original* original = nullptr)
        : FileImage(length), m_fd(fd), m_writable(writable), m_diskSize(length), m_name(name), m_journal(journal),
          m_failure(failure), m_cutOff(std::move(cutOff)), m_original(original) {}
    ~DiskImage() override { ::close(m_fd); }

    bool writable() const { return m_writable; }
    // The file was removed: its bytes no longer matter to the set.
    void detach() { m_journal = nullptr; }
    // The change is being rolled back: nothing is stored any more.
    void dropChanges() { m_discarded = true; }

    // Replaces the descriptor by one that may write; false if refused.
    bool reopenForWriting(const std::string& path) {
        if (writeProtected(path)) return false;
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) return false;
        ::close(m_fd);
        m_fd = fd;
        m_writable = true;
        return true;
    }

    // Empties the file on disk now, as an opening that truncates does.
    bool empty() {
        assign({});
        return store();
    }

    bool store() override {
        collectWrites();
        if (m_discarded) return true;
        if (!differsFromDisk()) return true;
        if (!m_writable) return false;
        const bool stored = writeBack();
        // A change missing some of its bytes must never be committed.
        if (!stored && m_journal && m_failure && *m_failure == 0) *m_failure = errno ? errno : EIO;
        return stored;
    }

    bool flushable() override { return m_writable || m_discarded || !differsFromDisk(); }

protected:
    bool fetch(std::size_t position, char* to, std::size_t n) override {
        if (!readAt(m_fd, to, n, position)) return false;
        return !m_cutOff || m_cutOff->overlay(*m_original, position, to, n);
    }

private:
    bool differsFromDisk() { return anyChange() || size() != m_diskSize || keptSize() < m_diskSize; }

    bool writeBack() {
        if (m_journal && !saveWhatStoringDestroys()) return false;
        // Bytes past keptSize() no longer belong to the file: cut them
        // before writing, so that what the image leaves unwritten reads as
        // zeros on disk too.
        if (keptSize() < m_diskSize) {
            if (::ftruncate(m_fd, static_cast<off_t>(keptSize())) != 0) return false;
            m_diskSize = keptSize();
        }
        const bool written = forEachChange([&](const Change& change) {
            if (!writeChange(m_fd, change)) return false;
            m_diskSize = std::max(m_diskSize, change.position + change.length);
            return true;
        });
        if (!written) return false;
        // Writing past the old end already grew the file; only a file that
        // grew by a gap never written needs its length set.
        const std::size_t length = size();
        if (length != m_diskSize && ::ftruncate(m_fd, static_cast<off_t>(length)) != 0) return false;
        m_diskSize = length;
        markStored();
        return true;
    }

    bool saveWhatStoringDestroys() {
        try {
            forEachChange([&](const Change& change) {
                m_journal->saveOriginal(m_name, m_fd, change.position, change.position + change.length);
                return true;
            });
            if (keptSize() < m_diskSize) m_journal->saveOriginal(m_name, m_fd, keptSize(), m_diskSize);
            m_journal->makeDurable();
            return true;
        } catch (const std::exception&) {
            return false;  // errno still tells why
        }
    }

    int m_fd;
    bool m_writable;
    std::size_t m_diskSize;  // the file's length as last written
    std::string m_name;
    RollbackJournal* m_journal;
    int* m_failure;  // the set's: the errno of the first write back that failed
    bool m_discarded = false;
    std::shared_ptr<const CutOffChange> m_cutOff;
    const CutOffChange::Original* m_original;
};

DirectoryFileSet::DirectoryFileSet(const std::string& directory, const Options& options)
    : m_path(directory),
      m_options(options),
      m_lock(existingDirectory(directory), options.writable ? SetLock::Kind::exclusive : SetLock::Kind::shared,
             options.waitSeconds),
      m_journal(directory, options.sync) {
    if (!RollbackJournal::present(m_path)) return;
    if (m_options.writable)
        m_recovered = RollbackJournal::recover(m_path, m_options.sync);
    else
        m_cutOff = CutOffChange::read(m_path);
}

DirectoryFileSet::~DirectoryFileSet() {
    try {
        // Buffers still open are written back as if closed, unless the
        // change is to be rolled back anyway; a write back that fails then
        // rolls it back too.
        if (m_depth == 0 && !m_failure)
            for (auto& buffer : m_buffers) buffer.second->image().store();
        for (auto& buffer : m_buffers) static_cast<DiskImage&>(buffer.second->image()).dropChanges();
        m_buffers.clear();
        m_images.clear();
        if (m_depth > 0 || m_failure)
            m_journal.rollBack();
        else
            m_journal.commit();
    } catch (const std::exception&) {
        // The journal stays, and the next writer rolls the change back.
    }
}

bool DirectoryFileSet::reserved(const std::string& name) { return name == kJournalFileName || name == kLockFileName; }

const CutOffChange::Original* DirectoryFileSet::cutOffOriginal(const std::string& name) const {
    if (!m_cutOff) return nullptr;
    const auto original = m_cutOff->files().find(name);
    return original == m_cutOff->files().end() ? nullptr : &original->second;
}

std::string DirectoryFileSet::fullPath(const std::string& name) const { return m_path + "/" + name; }

std::shared_ptr<DirectoryFileSet::DiskImage> DirectoryFileSet::originalImage(const std::string& name) {
    const CutOffChange::Original* original = cutOffOriginal(name);
    if (!original || !original->existed) return nullptr;
    // The file as the cut-off change found it: what is there now, cut or
    // grown to its old length, with the bytes the journal saved laid over.
    bool writable = false;
    int fd = openExisting(fullPath(name), false, false, writable);
    std::size_t length = 0;
    if (fd >= 0 && !regularFileLength(fd, length)) {
        ::close(fd);
        return nullptr;
    }
    if (fd < 0) fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (original->length > FileImage::maxSize) {
        ::close(fd);
        return nullptr;
    }
    return std::make_shared<DiskImage>(fd, false, static_cast<std::size_t>(original->length), name, nullptr, nullptr,
                                       m_cutOff, original);
}

std::shared_ptr<DirectoryFileSet::DiskImage> DirectoryFileSet::openImage(const std::string& name, const OpenRequest& request) {
    const std::string path = fullPath(name);
    if (!m_options.writable) {
        if (request.empty) return nullptr;
        if (cutOffOriginal(name)) return originalImage(name);
    } else if (request.create && !onDisk(path)) {
        // The new file must be known to the journal before it exists.
        try {
            m_journal.noteFile(name);
            m_journal.makeDurable();
        } catch (const std::exception&) {
            return nullptr;
        }
        const int made = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (made < 0) return nullptr;
        ::close(made);
    }
    bool writable = false;
    const int fd = openExisting(path, m_options.writable, request.write, writable);
    if (fd < 0) return nullptr;
    std::size_t length = 0;
    if (!regularFileLength(fd, length)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_shared<DiskImage>(fd, writable, length, name, m_options.writable ? &m_journal : nullptr,
                                       &m_failure);
}

std::streambuf* DirectoryFileSet::open(const std::string& name, std::ios_base::openmode mode, int, int) {
    const OpenRequest request = readOpenMode(mode);
    if (!request.valid || !isPlainFileName(name) || reserved(name)) return nullptr;
    if (!m_options.writable && request.empty) return nullptr;

    std::shared_ptr<DiskImage> image;
    auto known = m_images.find(name);
    if (known != m_images.end()) image = known->second.lock();
    if (!image) {
        image = openImage(name, request);
        if (!image) return nullptr;
        m_images[name] = image;
    }
    if (request.write && !image->writable() && m_options.writable && !image->reopenForWriting(fullPath(name)))
        return nullptr;
    if (request.empty && !image->empty()) return nullptr;
    auto buffer = std::make_unique<ImageBuffer>(image, request);
    std::streambuf* handle = buffer.get();
    m_buffers.emplace(handle, std::move(buffer));
    m_writes[handle] = request.write && m_options.writable;
    return handle;
}

bool DirectoryFileSet::isOpen(std::streambuf* buffer) { return m_buffers.count(buffer) != 0; }

void DirectoryFileSet::close(std::streambuf* buffer) {
    auto found = m_buffers.find(buffer);
    if (found == m_buffers.end()) return;
    found->second->pubsync();
    const bool stored = found->second->image().store();
    m_buffers.erase(found);
    m_writes.erase(buffer);
    for (auto it = m_images.begin(); it != m_images.end();)
        it = it->second.expired() ? m_images.erase(it) : std::next(it);
    if (!stored) return;  // the change stays pending, and is rolled back if never committed
    commitIfIdleQuietly();
}

bool DirectoryFileSet::remove(const std::string& name) {
    if (!m_options.writable || !isPlainFileName(name) || reserved(name) || !onDisk(fullPath(name)) ||
        writeProtected(fullPath(name)))
        return false;
    try {
        m_journal.saveWhole(name);
        m_journal.makeDurable();
    } catch (const std::exception&) {
        return false;
    }
    if (::unlink(fullPath(name).c_str()) != 0) return false;
    forgetImage(name);
    commitIfIdleQuietly();
    return true;
}

void DirectoryFileSet::forgetImage(const std::string& name) {
    auto known = m_images.find(name);
    if (known == m_images.end()) return;
    if (auto image = known->second.lock()) image->detach();
    m_images.erase(known);
}

void DirectoryFileSet::commitIfIdleQuietly() {
    try {
        commitIfIdle();
    } catch (const std::exception&) {
        // The change stays pending; it is rolled back when the set goes.
    }
}

bool DirectoryFileSet::rename(const std::string& from, const std::string& to) {
    if (!m_options.writable || from == to) return false;
    for (const std::string* name : {&from, &to})
        if (!isPlainFileName(*name) || reserved(*name) || writeProtected(fullPath(*name))) return false;
    if (!exists(from) || (onDisk(fullPath(to)) && !exists(to))) return false;
    auto open = m_images.find(from);
    if (open != m_images.end() && !open->second.expired()) return false;
    try {
        // Both names are noted before either changes; a file made in this
        // change saves nothing, and a rollback removes it again.
        m_journal.saveWhole(to);
        m_journal.saveWhole(from);
        m_journal.makeDurable();
    } catch (const std::exception&) {
        return false;
    }
    if (::rename(fullPath(from).c_str(), fullPath(to).c_str()) != 0) return false;
    forgetImage(from);
    forgetImage(to);
    commitIfIdleQuietly();
    return true;
}

void DirectoryFileSet::commitIfIdle() {
    if (m_depth > 0) return;
    for (const auto& buffer : m_writes)
        if (buffer.second) return;
    raiseIfFailed();
    m_journal.commit();
}

void DirectoryFileSet::raiseIfFailed() const {
    if (m_failure)
        Utils::raise_runtime_error("Couldn't write the files of " + m_path +
                                   "; the change will be rolled back: " + systemReason(m_failure));
}

void DirectoryFileSet::beginChange() { ++m_depth; }

void DirectoryFileSet::endChange() {
    if (m_depth == 0) Utils::raise_logic_error("endChange without beginChange");
    if (--m_depth == 0) commit();
}

void DirectoryFileSet::abandonChange() {
    if (m_depth == 0) Utils::raise_logic_error("abandonChange without beginChange");
    if (--m_depth > 0) return;
    if (m_buffers.empty())
        rollBack();
    else if (!m_failure)
        m_failure = ECANCELED;
}

void DirectoryFileSet::commit() {
    for (auto& buffer : m_buffers) buffer.second->image().store();
    raiseIfFailed();
    m_journal.commit();
}

void DirectoryFileSet::rollBack() {
    if (!m_buffers.empty()) Utils::raise_logic_error("rolling back " + m_path + " while files are open");
    m_images.clear();
    m_journal.rollBack();
    m_failure = 0;
}

std::size_t DirectoryFileSet::dropCleanPages(const std::string& name) {
    const auto known = m_images.find(name);
    const std::shared_ptr<DiskImage> image = known == m_images.end() ? nullptr : known->second.lock();
    return image ? image->dropCleanPages() : 0;
}

bool DirectoryFileSet::exists(const std::string& name) const {
    if (!isPlainFileName(name) || reserved(name)) return false;
    if (const CutOffChange::Original* original = cutOffOriginal(name)) return original->existed;
    struct stat st;
    return ::lstat(fullPath(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> DirectoryFileSet::list() const {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(m_path, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (!reserved(name) && !cutOffOriginal(name) && it->is_regular_file(typeError) && !it->is_symlink(typeError))
            names.push_back(name);
    }
    if (pendingChange())
        for (const auto& original : m_cutOff->files())
            if (original.second.existed) names.push_back(original.first);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace Host
