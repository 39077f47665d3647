// crash_shim: a library preloaded (LD_PRELOAD) into the orvex program by the
// crash test, so that the real program can be stopped at any call that
// changes a file of one table set, and so that what a power cut would leave
// can be rebuilt afterwards.
//
// Environment:
//   ORVEX_CRASH_DIR    the watched directory. Only calls on files directly
//                      inside it (or on the directory itself) are points;
//                      without the variable the shim passes everything.
//   ORVEX_CRASH_AT     N: the first N-1 points go through, the N-th stops the
//                      process with _exit(137). A write stopped there first
//                      writes half its bytes, as a write cut by a crash may.
//   ORVEX_CRASH_COUNT  a file that receives the number of points passed, in
//                      decimal, when the process exits normally.
//   ORVEX_CRASH_LOG    a directory that receives what was made durable:
//                        content.<id>  the whole content of file <id> at its
//                                      last fsync/fdatasync;
//                        listing       "<id>\t<name>" lines, the directory at
//                                      its last fsync;
//                      where <id> is the inode number of a file that existed
//                      when the process started, or "<inode>.<k>" for the
//                      k-th file the process created (inode numbers are
//                      reused; these ids are not).
//
// Points: opens that may create or empty a file (O_CREAT, O_TRUNC, creat,
// fopen for writing), write, writev, pwrite, pwritev, sendfile and
// copy_file_range into such a file, ftruncate/truncate, unlink, remove,
// rename, link (either name inside), fsync and fdatasync. Descriptors are
// followed from the opens the shim sees; a descriptor made another way (dup,
// an open inside the C library) is not, which is why fopen is watched too.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

namespace {

// ------------------------------------------------------- the real calls

template <class F>
F realCall(F& slot, const char* name) {
    if (!slot) slot = reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
    return slot;
}

#define REAL(name)                                                   \
    ([]() {                                                          \
        static decltype(&::name) slot = nullptr;                     \
        return realCall(slot, #name);                                \
    }())

// ------------------------------------------------------------ settings

struct Settings {
    std::string dir;        // canonical path of the watched directory; empty: watch nothing
    long crashAt = 0;       // 0: never stop
    std::string countFile;  // empty: do not report the count
    std::string logDir;     // empty: keep no log
};

std::string canonical(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string envOr(const char* name) {
    const char* value = ::getenv(name);
    return value ? value : "";
}

const Settings& settings() {
    static const Settings loaded = [] {
        Settings s;
        const std::string dir = envOr("ORVEX_CRASH_DIR");
        if (!dir.empty()) s.dir = canonical(dir);
        const std::string at = envOr("ORVEX_CRASH_AT");
        if (!at.empty()) s.crashAt = std::strtol(at.c_str(), nullptr, 10);
        s.countFile = envOr("ORVEX_CRASH_COUNT");
        s.logDir = envOr("ORVEX_CRASH_LOG");
        return s;
    }();
    return loaded;
}

// ------------------------------------------------------------ where a call lands

// A name inside the watched directory; "" stands for the directory itself.
struct Target {
    bool inside = false;
    std::string name;
};

std::string descriptorPath(int fd) {
    char link[64], buffer[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

Target resolve(int dirfd, const char* path) {
    const Settings& s = settings();
    if (s.dir.empty() || !path) return {};
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        char cwd[PATH_MAX];
        const std::string base = dirfd == AT_FDCWD ? (::getcwd(cwd, sizeof cwd) ? cwd : "") : descriptorPath(dirfd);
        if (base.empty()) return {};
        full = base + "/" + full;
    }
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    if (canonical(full) == s.dir) return {true, ""};
    const std::size_t slash = full.rfind('/');
    const std::string name = full.substr(slash + 1);
    if (name == "." || name == "..") return {};
    const std::string parent = slash == 0 ? "/" : full.substr(0, slash);
    if (canonical(parent) != s.dir) return {};
    return {true, name};
}

// Descriptors open on the watched directory or a file inside it, by number.
// Never destroyed: close() may still come after static destruction.
std::map<int, std::string>& watched() {
    static auto* fds = new std::map<int, std::string>;
    return *fds;
}

const std::string* watchedName(int fd) {
    if (fd <= STDERR_FILENO) return nullptr;
    auto found = watched().find(fd);
    return found == watched().end() ? nullptr : &found->second;
}

void follow(int fd, const Target& target) {
    if (fd < 0) return;
    if (target.inside && fd > STDERR_FILENO)
        watched()[fd] = target.name;
    else
        watched().erase(fd);
}

// ------------------------------------------------------------ the durable log

// Files that existed at start keep their inode as id; created ones get a
// fresh id each time, so that a reused inode number is not taken for the
// file that had it before.
std::map<ino_t, std::string>& createdIds() {
    static auto* ids = new std::map<ino_t, std::string>;
    return *ids;
}

std::string idOf(ino_t inode) {
    auto found = createdIds().find(inode);
    return found != createdIds().end() ? found->second : std::to_string(inode);
}

void noteCreated(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return;
    static unsigned long created = 0;
    createdIds()[st.st_ino] = std::to_string(st.st_ino) + "." + std::to_string(++created);
}

void putLogFile(const std::string& name, const std::string& bytes) {
    const std::string path = settings().logDir + "/" + name;
    const int fd = REAL(open)(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = REAL(write)(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::string wholeContent(int fd) {
    std::string bytes;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return bytes;
}

std::string directoryListing() {
    std::string listing;
    DIR* dir = ::opendir(settings().dir.c_str());
    if (!dir) return listing;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        listing += idOf(st.st_ino) + "\t" + name + "\n";
    }
    ::closedir(dir);
    return listing;
}

// After a successful sync of a watched descriptor: what it made durable.
void logSync(int fd) {
    if (settings().logDir.empty()) return;
    struct stat st;
    if (::fstat(fd, &st) != 0) return;
    if (S_ISDIR(st.st_mode))
        putLogFile("listing", directoryListing());
    else if (S_ISREG(st.st_mode))
        putLogFile("content." + idOf(st.st_ino), wholeContent(fd));
}

// Keeps every file present at start open, so its inode number is not handed
// to a file created during the run.
void pinStartingFiles() {
    if (settings().dir.empty() || settings().logDir.empty()) return;
    DIR* dir = ::opendir(settings().dir.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.' || (entry->d_name[1] != '\0' && entry->d_name[1] != '.'))
            (void)REAL(openat)(::dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    ::closedir(dir);
}

// ------------------------------------------------------------ points

long g_points = 0;

// Counts a point; true when this is the one to stop at.
bool cutHere() {
    ++g_points;
    return settings().crashAt > 0 && g_points == settings().crashAt;
}

[[noreturn]] void stop() { ::_exit(137); }

// Stops the process here if this point is the cut.
void point() {
    if (cutHere()) stop();
}

bool changesFile(int flags) { return (flags & (O_CREAT | O_TRUNC)) != 0; }

bool exists(int dirfd, const char* path) {
    struct stat st;
    return ::fstatat(dirfd, path, &st, 0) == 0;
}

// An open of any kind, through `open` (the real call with the flags given).
template <class Open>
int watchOpen(int dirfd, const char* path, int flags, Open open) {
    const Target target = resolve(dirfd, path);
    const bool creating = target.inside && (flags & O_CREAT) && !exists(dirfd, path);
    if (target.inside && changesFile(flags)) point();
    const int fd = open();
    follow(fd, target);
    if (creating && fd >= 0) noteCreated(fd);
    return fd;
}

mode_t modeArgument(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

int fopenFlags(const char* mode) {
    if (!mode) return 0;
    if (mode[0] == 'w') return O_CREAT | O_TRUNC;
    if (mode[0] == 'a') return O_CREAT;
    return 0;
}

// A write to a watched descriptor that is cut writes `half` first.
template <class Half>
void writePoint(int fd, Half half) {
    if (!watchedName(fd)) return;
    if (cutHere()) {
        half();
        stop();
    }
}

void pathPoint(int dirfd, const char* path) {
    if (resolve(dirfd, path).inside) point();
}

struct Reporter {
    Reporter() { pinStartingFiles(); }
    ~Reporter() {
        const std::string& file = settings().countFile;
        if (file.empty()) return;
        const std::string text = std::to_string(g_points) + "\n";
        const int fd = REAL(open)(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return;
        (void)!REAL(write)(fd, text.data(), text.size());
        ::close(fd);
    }
} g_reporter;

}  // namespace

// ------------------------------------------------------------ interposed calls

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return watchOpen(AT_FDCWD, path, flags, [&] { return REAL(open)(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return watchOpen(AT_FDCWD, path, flags, [&] { return REAL(open64)(path, flags, mode); });
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return watchOpen(dirfd, path, flags, [&] { return REAL(openat)(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return watchOpen(dirfd, path, flags, [&] { return REAL(openat64)(dirfd, path, flags, mode); });
}

// The checked forms a fortified build calls for opens without a mode.
int __open_2(const char* path, int flags) {
    return watchOpen(AT_FDCWD, path, flags, [&] { return REAL(open)(path, flags); });
}
int __open64_2(const char* path, int flags) {
    return watchOpen(AT_FDCWD, path, flags, [&] { return REAL(open64)(path, flags); });
}
int __openat_2(int dirfd, const char* path, int flags) {
    return watchOpen(dirfd, path, flags, [&] { return REAL(openat)(dirfd, path, flags); });
}
int __openat64_2(int dirfd, const char* path, int flags) {
    return watchOpen(dirfd, path, flags, [&] { return REAL(openat64)(dirfd, path, flags); });
}

int creat(const char* path, mode_t mode) {
    return watchOpen(AT_FDCWD, path, O_CREAT | O_TRUNC, [&] { return REAL(creat)(path, mode); });
}
int creat64(const char* path, mode_t mode) {
    return watchOpen(AT_FDCWD, path, O_CREAT | O_TRUNC, [&] { return REAL(creat64)(path, mode); });
}

FILE* fopen(const char* path, const char* mode) {
    FILE* file = nullptr;
    watchOpen(AT_FDCWD, path, fopenFlags(mode), [&] {
        file = REAL(fopen)(path, mode);
        return file ? ::fileno(file) : -1;
    });
    return file;
}
FILE* fopen64(const char* path, const char* mode) {
    FILE* file = nullptr;
    watchOpen(AT_FDCWD, path, fopenFlags(mode), [&] {
        file = REAL(fopen64)(path, mode);
        return file ? ::fileno(file) : -1;
    });
    return file;
}

int fclose(FILE* file) {
    if (file) watched().erase(::fileno(file));
    return REAL(fclose)(file);
}

int close(int fd) {
    watched().erase(fd);
    return REAL(close)(fd);
}

ssize_t write(int fd, const void* data, size_t count) {
    writePoint(fd, [&] { (void)!REAL(write)(fd, data, count / 2); });
    return REAL(write)(fd, data, count);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    writePoint(fd, [&] { (void)!REAL(pwrite)(fd, data, count / 2, offset); });
    return REAL(pwrite)(fd, data, count, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t count, off64_t offset) {
    writePoint(fd, [&] { (void)!REAL(pwrite64)(fd, data, count / 2, offset); });
    return REAL(pwrite64)(fd, data, count, offset);
}

}  // extern "C"

namespace {

// The first half of the bytes of `vector`, as a vector of its own.
std::vector<iovec> firstHalf(const iovec* vector, int count) {
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) total += vector[i].iov_len;
    std::size_t left = total / 2;
    std::vector<iovec> half;
    for (int i = 0; i < count && left > 0; ++i) {
        iovec part = vector[i];
        if (part.iov_len > left) part.iov_len = left;
        left -= part.iov_len;
        half.push_back(part);
    }
    return half;
}

}  // namespace

extern "C" {

ssize_t writev(int fd, const iovec* vector, int count) {
    writePoint(fd, [&] {
        const std::vector<iovec> half = firstHalf(vector, count);
        if (!half.empty()) (void)!REAL(writev)(fd, half.data(), static_cast<int>(half.size()));
    });
    return REAL(writev)(fd, vector, count);
}

ssize_t pwritev(int fd, const iovec* vector, int count, off_t offset) {
    writePoint(fd, [&] {
        const std::vector<iovec> half = firstHalf(vector, count);
        if (!half.empty()) (void)!REAL(pwritev)(fd, half.data(), static_cast<int>(half.size()), offset);
    });
    return REAL(pwritev)(fd, vector, count, offset);
}

ssize_t pwritev64(int fd, const iovec* vector, int count, off64_t offset) {
    writePoint(fd, [&] {
        const std::vector<iovec> half = firstHalf(vector, count);
        if (!half.empty()) (void)!REAL(pwritev64)(fd, half.data(), static_cast<int>(half.size()), offset);
    });
    return REAL(pwritev64)(fd, vector, count, offset);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
    writePoint(out, [&] { (void)!REAL(sendfile)(out, in, offset, count / 2); });
    return REAL(sendfile)(out, in, offset, count);
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
    writePoint(out, [&] { (void)!REAL(sendfile64)(out, in, offset, count / 2); });
    return REAL(sendfile64)(out, in, offset, count);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count, unsigned flags) {
    writePoint(out, [&] { (void)!REAL(copy_file_range)(in, inOffset, out, outOffset, count / 2, flags); });
    return REAL(copy_file_range)(in, inOffset, out, outOffset, count, flags);
}

int ftruncate(int fd, off_t length) {
    if (watchedName(fd)) point();
    return REAL(ftruncate)(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    if (watchedName(fd)) point();
    return REAL(ftruncate64)(fd, length);
}

int truncate(const char* path, off_t length) {
    pathPoint(AT_FDCWD, path);
    return REAL(truncate)(path, length);
}

int truncate64(const char* path, off64_t length) {
    pathPoint(AT_FDCWD, path);
    return REAL(truncate64)(path, length);
}

int unlink(const char* path) {
    pathPoint(AT_FDCWD, path);
    return REAL(unlink)(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
    pathPoint(dirfd, path);
    return REAL(unlinkat)(dirfd, path, flags);
}

int remove(const char* path) {
    pathPoint(AT_FDCWD, path);
    return REAL(remove)(path);
}

int rename(const char* from, const char* to) {
    if (resolve(AT_FDCWD, from).inside || resolve(AT_FDCWD, to).inside) point();
    return REAL(rename)(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    if (resolve(fromDir, from).inside || resolve(toDir, to).inside) point();
    return REAL(renameat)(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    if (resolve(fromDir, from).inside || resolve(toDir, to).inside) point();
    return REAL(renameat2)(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) {
    pathPoint(AT_FDCWD, to);
    return REAL(link)(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    pathPoint(toDir, to);
    return REAL(linkat)(fromDir, from, toDir, to, flags);
}

int fsync(int fd) {
    if (!watchedName(fd)) return REAL(fsync)(fd);
    point();
    const int result = REAL(fsync)(fd);
    if (result == 0) logSync(fd);
    return result;
}

int fdatasync(int fd) {
    if (!watchedName(fd)) return REAL(fdatasync)(fd);
    point();
    const int result = REAL(fdatasync)(fd);
    if (result == 0) logSync(fd);
    return result;
}

}  // extern "C"
