#include "host/directory_file_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "support/Utils.h"

namespace Host {

namespace {

// Opens `path`; when only reading is wanted, a file we may not write is
// still opened, read-only. O_NONBLOCK keeps a FIFO from hanging the open;
// it is refused right after as not a regular file.
int openFile(const std::string& path, const OpenRequest& request, bool& writable) {
    const int flags = O_CLOEXEC | O_NONBLOCK | (request.create ? O_CREAT : 0) | (request.empty ? O_TRUNC : 0);
    int fd = ::open(path.c_str(), O_RDWR | flags, 0666);
    writable = fd >= 0;
    if (fd < 0 && !request.write && (errno == EACCES || errno == EROFS || errno == ETXTBSY))
        fd = ::open(path.c_str(), O_RDONLY | flags, 0666);
    return fd;
}

bool readWhole(int fd, std::vector<char>& bytes) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<unsigned long long>(st.st_size) > FileImage::maxSize)
        return false;
    bytes = BufferPool::take(static_cast<std::size_t>(st.st_size));
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;  // shrunk under us: keep what is there
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return true;
}

}  // namespace

// The bytes of one open file and the descriptor they are written back to.
class DirectoryFileSet::DiskImage : public FileImage {
public:
    DiskImage(int fd, bool writable, std::vector<char> bytes)
        : FileImage(std::move(bytes)), m_fd(fd), m_writable(writable), m_diskSize(size()) {}
    ~DiskImage() override { ::close(m_fd); }

    bool writable() const { return m_writable; }

    // Replaces the descriptor by one that may write; false if refused.
    bool reopenForWriting(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return false;
        ::close(m_fd);
        m_fd = fd;
        m_writable = true;
        return true;
    }

    bool store() override {
        const bool changed = m_dirtyFrom < m_dirtyTo || size() != m_diskSize;
        if (!changed) return true;
        if (!m_writable) return false;
        const char* data = bytes().data();
        const std::size_t writtenEnd = m_dirtyTo;
        while (m_dirtyFrom < m_dirtyTo) {
            const ssize_t n = ::pwrite(m_fd, data + m_dirtyFrom, m_dirtyTo - m_dirtyFrom, static_cast<off_t>(m_dirtyFrom));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            m_dirtyFrom += static_cast<std::size_t>(n);
        }
        // Writing past the old end already grew the file; only a file that
        // shrank, or grew by a gap never written, needs its length set.
        if (writtenEnd > m_diskSize) m_diskSize = writtenEnd;
        if (size() != m_diskSize && ::ftruncate(m_fd, static_cast<off_t>(size())) != 0) return false;
        m_diskSize = size();
        markClean();
        return true;
    }

private:
    int m_fd;
    bool m_writable;
    std::size_t m_diskSize;  // the file's length as last written
};

DirectoryFileSet::DirectoryFileSet(const std::string& directory) : m_path(directory) {
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) Utils::raise_runtime_error("Not a directory: " + directory);
}

DirectoryFileSet::~DirectoryFileSet() {
    for (auto& buffer : m_buffers) buffer.second->pubsync();
}

std::string DirectoryFileSet::fullPath(const std::string& name) const { return m_path + "/" + name; }

std::streambuf* DirectoryFileSet::open(const std::string& name, std::ios_base::openmode mode, int, int) {
    const OpenRequest request = readOpenMode(mode);
    if (!request.valid || !isPlainFileName(name)) return nullptr;

    std::shared_ptr<DiskImage> image;
    auto known = m_images.find(name);
    if (known != m_images.end()) image = known->second.lock();
    if (image) {
        if (request.write && !image->writable() && !image->reopenForWriting(fullPath(name))) return nullptr;
        if (request.empty) {
            image->assign({});
            image->store();
        }
    } else {
        bool writable = false;
        const int fd = openFile(fullPath(name), request, writable);
        if (fd < 0) return nullptr;
        std::vector<char> bytes;
        if (!readWhole(fd, bytes)) {
            ::close(fd);
            return nullptr;
        }
        image = std::make_shared<DiskImage>(fd, writable, std::move(bytes));
        m_images[name] = image;
    }
    auto buffer = std::make_unique<ImageBuffer>(image, request);
    std::streambuf* handle = buffer.get();
    m_buffers.emplace(handle, std::move(buffer));
    return handle;
}

bool DirectoryFileSet::isOpen(std::streambuf* buffer) { return m_buffers.count(buffer) != 0; }

void DirectoryFileSet::close(std::streambuf* buffer) {
    auto found = m_buffers.find(buffer);
    if (found == m_buffers.end()) return;
    found->second->pubsync();
    m_buffers.erase(found);
    for (auto it = m_images.begin(); it != m_images.end();)
        it = it->second.expired() ? m_images.erase(it) : std::next(it);
}

bool DirectoryFileSet::remove(const std::string& name) {
    // Buffers open on the file keep its descriptor; a later open of the name
    // must not find their image.
    if (!isPlainFileName(name) || ::unlink(fullPath(name).c_str()) != 0) return false;
    m_images.erase(name);
    return true;
}

bool DirectoryFileSet::exists(const std::string& name) const {
    std::error_code error;
    return isPlainFileName(name) && std::filesystem::is_regular_file(fullPath(name), error);
}

std::vector<std::string> DirectoryFileSet::list() const {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(m_path, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError)) names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace Host
