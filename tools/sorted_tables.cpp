#include "tools/sorted_tables.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <thread>

#include "fileset/vfstream.h"
#include "host/file_image.h"
#include "host/rollback_journal.h"

namespace Tool {

namespace {

const char* const kHeader = "orvex sorted tables 1";
constexpr off_t kMostBytes = off_t(1) << 20;

long long nanoseconds(const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

std::string identity(const struct stat& st) {
    return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
           std::to_string(nanoseconds(st.st_mtim)) + " " + std::to_string(nanoseconds(st.st_ctim));
}

struct Record {
    bool found = false;
    struct stat st {};
    std::map<std::string, std::string> lines;  // contents file name -> identity
};

Record readRecord(const std::string& directory) {
    Record record;
    const int fd = ::open((directory + "/" + Host::kSortedRecordName).c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return record;
    std::string text;
    if (::fstat(fd, &record.st) == 0 && S_ISREG(record.st.st_mode) && record.st.st_nlink == 1 &&
        record.st.st_size <= kMostBytes) {
        text.resize(static_cast<std::size_t>(record.st.st_size));
        record.found = ::pread(fd, &text[0], text.size(), 0) == static_cast<ssize_t>(text.size());
    }
    ::close(fd);
    const std::string header = std::string(kHeader) + "\n";
    if (!record.found || text.compare(0, header.size(), header) != 0) {
        record.found = false;
        return record;
    }
    for (std::size_t at = header.size(), end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) break;  // a line cut short vouches for nothing
        const std::string line = text.substr(at, end - at);
        // Five numbers, then the name, which may hold spaces.
        std::size_t split = std::string::npos;
        for (int number = 0; number < 5; ++number) {
            split = line.find(' ', split + 1);
            if (split == std::string::npos) break;
        }
        if (split == std::string::npos) continue;
        const std::string name = line.substr(split + 1);
        if (Host::isPlainFileName(name)) record.lines[name] = line.substr(0, split);
    }
    return record;
}

bool believed(const std::string& directory, const Record& record, const std::string& name) {
    const auto line = record.lines.find(name);
    struct stat st;
    if (line == record.lines.end() || ::lstat((directory + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const bool groupMayWrite = (st.st_mode & S_IWGRP) && st.st_gid == record.st.st_gid;
    return line->second == identity(st) && nanoseconds(st.st_ctim) < nanoseconds(record.st.st_mtim) &&
           record.st.st_uid == st.st_uid && (!(record.st.st_mode & S_IWGRP) || groupMayWrite) &&
           (!(record.st.st_mode & S_IWOTH) || (st.st_mode & S_IWOTH));
}

// Waits, briefly, for file times to pass `t`; false if they don't.
bool clockPasses(const timespec& t) {
    for (int tries = 0; tries < 100; ++tries) {
        timespec now;
        // File times come from the coarse clock: the fine one may be past
        // `t` while a file written now would still get `t`.
        if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 && nanoseconds(now) > nanoseconds(t)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

bool knownSorted(Catalog& catalog, const std::string& contentsFile) {
    if (catalog.files().pendingChange()) return false;
    const Record record = readRecord(catalog.directory());
    return record.found && believed(catalog.directory(), record, contentsFile);
}

void noteSorted(Catalog& catalog, const std::vector<std::string>& sorted) {
    const std::string& directory = catalog.directory();
    const Record record = readRecord(directory);
    std::string text = std::string(kHeader) + "\n";
    for (const auto& line : record.lines)
        if (std::find(sorted.begin(), sorted.end(), line.first) == sorted.end() &&
            believed(directory, record, line.first))
            text += line.second + " " + line.first + "\n";
    for (const std::string& name : sorted) {
        struct stat st;
        if (Host::isPlainFileName(name) && ::lstat((directory + "/" + name).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && clockPasses(st.st_ctim))
            text += identity(st) + " " + name + "\n";
    }
    FileSet::ovfstream out(catalog.files(), Host::kSortedRecordName, std::ios_base::out | std::ios_base::binary, false,
                           true);
    if (out.is_open()) out << text;
}

}  // namespace Tool
