// crash_shim: a library preloaded (LD_PRELOAD) into the orvex program by the
// crash test, so that the real program can be stopped at any call that
// changes a file of one table set, and so that what a power cut would leave
// can be rebuilt afterwards.
//
// Environment:
//   ORVEX_CRASH_DIR    the watched directory: only calls on files directly in
//                      it (or on itself) are points; unset, nothing is.
//   ORVEX_CRASH_AT     N: the N-th point stops the process with _exit(137). A
//                      write stopped there first writes half its bytes, as a
//                      write cut by a crash may.
//   ORVEX_CRASH_COUNT  a file that receives the number of points passed when
//                      the process exits normally.
//   ORVEX_CRASH_LOG    a directory (outside the watched one) that receives
//                      what is durable: content.<id>, a file's whole content
//                      at start or its last fsync/fdatasync, and listing,
//                      "<id>\t<name>" lines of the directory at start or its
//                      last fsync. <id> is the inode number of a file present
//                      at start, or "<inode>.<k>" for the k-th file the
//                      process created (inode numbers are reused; these ids
//                      are not). A created file never synced has no content.<id>.
//
// Points: opens that may create or empty a file, writes of every kind into a
// file opened so, truncation, unlink, remove, rename, link (either name
// inside), fsync and fdatasync. Descriptors are followed from the opens the
// shim sees; fopen is watched because the C library's own opens are not.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#define REAL(name) \
    ([] { static auto* const real = reinterpret_cast<decltype(&::name)>(::dlsym(RTLD_NEXT, #name)); return real; }())

namespace {

std::string env(const char* name) { return ::getenv(name) ? ::getenv(name) : ""; }

std::string canonical(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? buffer : "";
}

// Function statics: an interposed call may come before the shim's globals are made.
const std::string& watchedDir() {
    static const std::string dir = canonical(env("ORVEX_CRASH_DIR"));
    return dir;
}

const std::string& logDir() {
    static const std::string dir = env("ORVEX_CRASH_LOG");
    return dir;
}

// Whether `path` (relative to `dirfd`) names the watched directory or a name directly in it.
bool inside(int dirfd, const char* path) {
    if (watchedDir().empty() || !path || !*path) return false;
    std::string full = path;
    if (full[0] != '/') {
        char cwd[PATH_MAX];
        const std::string fd = "/proc/self/fd/" + std::to_string(dirfd);
        const std::string base = dirfd == AT_FDCWD ? (::getcwd(cwd, sizeof cwd) ? cwd : "") : canonical(fd);
        if (base.empty()) return false;
        full = base + "/" + full;
    }
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    if (canonical(full) == watchedDir()) return true;
    const std::size_t slash = full.rfind('/');
    const std::string leaf = full.substr(slash + 1);
    return leaf != "." && leaf != ".." && canonical(slash == 0 ? "/" : full.substr(0, slash)) == watchedDir();
}

template <class... More>
bool inside(int dirfd, const char* path, int otherDir, const char* other, More... more) {
    return inside(dirfd, path) || inside(otherDir, other, more...);
}

// Descriptors open on the watched directory or a file in it. Never
// destroyed: close() may still come after static destruction.
std::set<int>& watched() {
    static auto* fds = new std::set<int>;
    return *fds;
}

bool isWatched(int fd) { return fd > STDERR_FILENO && watched().count(fd); }

// ------------------------------------------------------------ the durable log

// Ids of the files created during the run, by inode.
std::map<ino_t, std::string>& createdIds() {
    static auto* ids = new std::map<ino_t, std::string>;
    return *ids;
}

std::string idOf(ino_t inode) {
    const auto found = createdIds().find(inode);
    return found != createdIds().end() ? found->second : std::to_string(inode);
}

void noteCreated(int fd) {
    static unsigned long created = 0;
    struct stat st;
    if (::fstat(fd, &st) == 0) createdIds()[st.st_ino] = std::to_string(st.st_ino) + "." + std::to_string(++created);
}

// The log and count files are outside the watched directory: writing them passes no point.
void putFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string directoryListing() {
    std::string listing;
    std::error_code error;
    struct stat st;
    for (const auto& entry : std::filesystem::directory_iterator(watchedDir(), error))
        if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            listing += idOf(st.st_ino) + "\t" + entry.path().filename().string() + "\n";
    return listing;
}

// After a successful sync of a watched descriptor: what it made durable.
void logSync(int fd) {
    struct stat st;
    if (logDir().empty() || ::fstat(fd, &st) != 0) return;
    if (S_ISDIR(st.st_mode)) return putFile(logDir() + "/listing", directoryListing());
    std::ostringstream content;
    content << std::ifstream("/proc/self/fd/" + std::to_string(fd), std::ios::binary).rdbuf();
    if (S_ISREG(st.st_mode)) putFile(logDir() + "/content." + idOf(st.st_ino), content.str());
}

// ------------------------------------------------------------ points

long g_points = 0;

// Counts a point; true when it is the one to stop at.
bool cutHere() {
    static const long at = std::atol(env("ORVEX_CRASH_AT").c_str());
    return ++g_points == at;
}

[[noreturn]] void stop() { ::_exit(137); }

void point() { if (cutHere()) stop(); }

template <class Open>
int watchOpen(int dirfd, const char* path, int flags, Open open) {
    const bool in = inside(dirfd, path);
    struct stat st;
    const bool creating = in && (flags & O_CREAT) && ::fstatat(dirfd, path, &st, 0) != 0;
    if (in && (flags & (O_CREAT | O_TRUNC))) point();
    const int fd = open();
    if (fd > STDERR_FILENO && in)
        watched().insert(fd);
    else if (fd >= 0)
        watched().erase(fd);
    if (creating && fd >= 0) noteCreated(fd);
    return fd;
}

template <class Fopen>
FILE* watchFopen(Fopen real, const char* path, const char* mode) {
    FILE* file = nullptr;
    const int flags = mode && mode[0] == 'w' ? O_CREAT | O_TRUNC : mode && mode[0] == 'a' ? O_CREAT : 0;
    watchOpen(AT_FDCWD, path, flags, [&] { return (file = real(path, mode)) ? ::fileno(file) : -1; });
    return file;
}

// The first half of the bytes of a vector, in one piece.
std::string firstHalf(const iovec* vector, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) all.append(static_cast<const char*>(vector[i].iov_base), vector[i].iov_len);
    return all.substr(0, all.size() / 2);
}

// Logs the set as it is at start, and keeps every file of it open, so that
// its inode number is not handed to a file created during the run.
struct Reporter {
    Reporter() {
        std::error_code error;
        if (watchedDir().empty() || logDir().empty()) return;
        for (const auto& entry : std::filesystem::directory_iterator(watchedDir(), error))
            logSync(REAL(open)(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        logSync(REAL(open)(watchedDir().c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    }
    ~Reporter() {
        if (!env("ORVEX_CRASH_COUNT").empty()) putFile(env("ORVEX_CRASH_COUNT"), std::to_string(g_points) + "\n");
    }
} g_reporter;

mode_t modeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

// ------------------------------------------------------------ interposed calls

#define OPEN(name, params, dir, args)                                                \
    int name params {                                                                \
        va_list list;                                                                \
        va_start(list, flags);                                                       \
        const mode_t mode = modeOf(flags, list);                                     \
        va_end(list);                                                                \
        return watchOpen(dir, path, flags, [&] { return REAL(name) args; });         \
    }
// A write to a watched descriptor that is cut writes its first half first.
#define WRITE(type, name, params, args, fd, half)                                    \
    type name params {                                                               \
        if (isWatched(fd) && cutHere()) (void)(half), stop();                        \
        return REAL(name) args;                                                      \
    }
#define ON_FD(name, params, args, sync)                                              \
    int name params {                                                                \
        if (isWatched(fd)) point();                                                  \
        const int result = REAL(name) args;                                          \
        if (result == 0 && sync && isWatched(fd)) logSync(fd);                       \
        return result;                                                               \
    }
#define ON_PATH(name, params, args, ...)                                             \
    int name params {                                                                \
        if (inside(__VA_ARGS__)) point();                                            \
        return REAL(name) args;                                                      \
    }

extern "C" {

OPEN(open, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
OPEN(open64, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
OPEN(openat, (int dir, const char* path, int flags, ...), dir, (dir, path, flags, mode))
OPEN(openat64, (int dir, const char* path, int flags, ...), dir, (dir, path, flags, mode))
// The checked forms a fortified build calls, and creat, go through the above.
int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }
int __openat_2(int dir, const char* path, int flags) { return openat(dir, path, flags); }
int __openat64_2(int dir, const char* path, int flags) { return openat64(dir, path, flags); }
int creat(const char* path, mode_t mode) { return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
int creat64(const char* path, mode_t mode) { return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
FILE* fopen(const char* path, const char* mode) { return watchFopen(REAL(fopen), path, mode); }
FILE* fopen64(const char* path, const char* mode) { return watchFopen(REAL(fopen64), path, mode); }

int fclose(FILE* file) { return watched().erase(file ? ::fileno(file) : -1), REAL(fclose)(file); }
int close(int fd) { return watched().erase(fd), REAL(close)(fd); }

WRITE(ssize_t, write, (int fd, const void* d, size_t n), (fd, d, n), fd, REAL(write)(fd, d, n / 2))
WRITE(ssize_t, pwrite, (int fd, const void* d, size_t n, off_t at), (fd, d, n, at), fd, REAL(pwrite)(fd, d, n / 2, at))
WRITE(ssize_t, pwrite64, (int fd, const void* d, size_t n, off64_t at), (fd, d, n, at), fd,
      REAL(pwrite64)(fd, d, n / 2, at))
WRITE(ssize_t, writev, (int fd, const iovec* v, int c), (fd, v, c), fd,
      REAL(write)(fd, firstHalf(v, c).data(), firstHalf(v, c).size()))
WRITE(ssize_t, pwritev, (int fd, const iovec* v, int c, off_t at), (fd, v, c, at), fd,
      REAL(pwrite)(fd, firstHalf(v, c).data(), firstHalf(v, c).size(), at))
WRITE(ssize_t, pwritev64, (int fd, const iovec* v, int c, off64_t at), (fd, v, c, at), fd,
      REAL(pwrite64)(fd, firstHalf(v, c).data(), firstHalf(v, c).size(), at))
WRITE(ssize_t, sendfile, (int fd, int in, off_t* at, size_t n), (fd, in, at, n), fd, REAL(sendfile)(fd, in, at, n / 2))
WRITE(ssize_t, sendfile64, (int fd, int in, off64_t* at, size_t n), (fd, in, at, n), fd,
      REAL(sendfile64)(fd, in, at, n / 2))
WRITE(ssize_t, copy_file_range, (int in, off64_t* from, int fd, off64_t* at, size_t n, unsigned f),
      (in, from, fd, at, n, f), fd, REAL(copy_file_range)(in, from, fd, at, n / 2, f))

ON_FD(ftruncate, (int fd, off_t length), (fd, length), false)
ON_FD(ftruncate64, (int fd, off64_t length), (fd, length), false)
ON_FD(fsync, (int fd), (fd), true)
ON_FD(fdatasync, (int fd), (fd), true)

ON_PATH(truncate, (const char* p, off_t length), (p, length), AT_FDCWD, p)
ON_PATH(truncate64, (const char* p, off64_t length), (p, length), AT_FDCWD, p)
ON_PATH(unlink, (const char* p), (p), AT_FDCWD, p)
ON_PATH(unlinkat, (int d, const char* p, int flags), (d, p, flags), d, p)
ON_PATH(remove, (const char* p), (p), AT_FDCWD, p)
ON_PATH(rename, (const char* a, const char* b), (a, b), AT_FDCWD, a, AT_FDCWD, b)
ON_PATH(renameat, (int da, const char* a, int db, const char* b), (da, a, db, b), da, a, db, b)
ON_PATH(renameat2, (int da, const char* a, int db, const char* b, unsigned f), (da, a, db, b, f), da, a, db, b)
ON_PATH(link, (const char* a, const char* b), (a, b), AT_FDCWD, b)
ON_PATH(linkat, (int da, const char* a, int db, const char* b, int f), (da, a, db, b, f), db, b)

}  // extern "C"
