#include "host/set_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "support/Utils.h"

namespace Host {

const char* const kLockFileName = ".orvex-lock";

// The one descriptor this process holds on a directory's lock file.
struct SetLock::Shared {
    pid_t owner = ::getpid();  // a forked child must take a lock of its own
    int fd = -1;
    int exclusiveUsers = 0;
    ~Shared() {
        // A forked child's copy shares the parent's lock; closing the copy
        // leaves the parent's lock in place.
        if (fd >= 0) ::close(fd);
    }
};

namespace {

std::mutex registryMutex;
// By the directory's device and inode, so that two spellings of one
// directory share their lock.
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<SetLock::Shared>>& registry() {
    static auto* locks = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<SetLock::Shared>>;
    return *locks;
}

bool lockWithin(int fd, int operation, double waitSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, operation | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

[[noreturn]] void inUse(const std::string& directory) {
    Utils::raise_runtime_error("table set " + directory + " is in use by another process");
}

}  // namespace

SetLock::SetLock(const std::string& directory, Kind kind, double waitSeconds) : m_kind(kind) {
    struct stat dir;
    if (::stat(directory.c_str(), &dir) != 0)
        Utils::raise_runtime_error((errno == ENOENT ? "no such directory: " : "Not a directory: ") + directory);
    std::lock_guard<std::mutex> guard(registryMutex);
    std::weak_ptr<Shared>& known = registry()[{dir.st_dev, dir.st_ino}];
    m_shared = known.lock();
    if (m_shared && m_shared->owner != ::getpid()) m_shared.reset();
    if (!m_shared) {
        auto fresh = std::make_shared<Shared>();
        const std::string path = directory + "/" + kLockFileName;
        // O_NONBLOCK: a FIFO under the name must not hang the open.
        const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
        fresh->fd = ::open(path.c_str(), O_RDWR | O_CREAT | flags, 0644);
        if (fresh->fd < 0 && kind == Kind::shared && errno != ELOOP)
            fresh->fd = ::open(path.c_str(), O_RDONLY | flags);
        struct stat st;
        if ((fresh->fd < 0 && (errno == ELOOP || errno == EISDIR)) ||
            (fresh->fd >= 0 && (::fstat(fresh->fd, &st) != 0 || !S_ISREG(st.st_mode))))
            Utils::raise_runtime_error(path + " is not a regular file");
        if (fresh->fd < 0) {
            if (kind == Kind::exclusive)
                Utils::raise_runtime_error("Couldn't open " + path + ": " + std::strerror(errno));
        } else if (!lockWithin(fresh->fd, kind == Kind::exclusive ? LOCK_EX : LOCK_SH, waitSeconds)) {
            inUse(directory);
        }
        m_shared = fresh;
        known = fresh;
    } else if (kind == Kind::exclusive && m_shared->exclusiveUsers == 0 && m_shared->fd >= 0) {
        if (!lockWithin(m_shared->fd, LOCK_EX, waitSeconds)) inUse(directory);
    } else if (kind == Kind::exclusive && m_shared->fd < 0) {
        Utils::raise_runtime_error("Couldn't open " + directory + "/" + kLockFileName);
    }
    if (kind == Kind::exclusive) ++m_shared->exclusiveUsers;
}

SetLock::~SetLock() {
    std::lock_guard<std::mutex> guard(registryMutex);
    // The last writer of the process lets readers in again.
    if (m_kind == Kind::exclusive && --m_shared->exclusiveUsers == 0 && m_shared.use_count() > 1 && m_shared->fd >= 0)
        ::flock(m_shared->fd, LOCK_SH);
    m_shared.reset();
}

}  // namespace Host
