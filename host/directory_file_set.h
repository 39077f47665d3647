// Host::DirectoryFileSet: a file set over one directory on disk, each file of
// the set a regular file directly inside it.
//
// Every record read above a file set is a seek plus a read of a few bytes,
// so an open file is read into memory whole when it is opened and served
// from there: seek, read and write make no system call. The changed bytes go
// back to the file on `pubsync()` (std::ostream::flush) and when the buffer
// is closed, and are then in the file for every reader (no fsync: surviving
// a crash of the machine is not promised). A buffer that fails to write back
// fails its sync; at close there is nobody to tell, the bytes are lost.
//
// Decisions:
// - Names must pass isPlainFileName; anything else ("..", "a/b", "", a NUL)
//   is refused: open gives null and remove false, and nothing outside the
//   directory is touched.
// - Opening modes are read by readOpenMode: as std::filebuf, except that
//   in|out creates a missing file. Opening to write empties the file on disk
//   at once when the mode asks for it.
// - Opening a file that is already open shares its in-memory bytes: the
//   second buffer has its own position but sees the first one's writes at
//   once, flushed or not.
// - `remove` of an open file unlinks it at once, as on POSIX: the open
//   buffers keep working on the unlinked file, which vanishes when the last
//   of them closes; a new file of that name starts afresh.
// - A file larger than FileImage::maxSize, or anything but a regular file,
//   cannot be opened. A read-only file opens for reading only.
// - Buffers still open when the set is destroyed are written back then.
// Not thread-safe: one thread at a time, like the tables on it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fileset/TFileSet.h"
#include "host/file_image.h"

namespace Host {

class DirectoryFileSet : public FileSet::TFileSet {
public:
    // Raises std::runtime_error unless `directory` is an existing directory.
    explicit DirectoryFileSet(const std::string& directory);
    ~DirectoryFileSet() override;
    DirectoryFileSet(const DirectoryFileSet&) = delete;
    DirectoryFileSet& operator=(const DirectoryFileSet&) = delete;

    // TFileSet. open gives null for a refused name, an invalid mode, a file
    // that cannot be opened as asked (missing without a writing mode, not a
    // regular file, no permission, too large) or a failed read.
    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) override;
    bool isOpen(std::streambuf* buffer) override;
    void close(std::streambuf* buffer) override;  // writes back; unknown buffers are ignored
    void setStreamFlag1(std::streambuf*, bool) override {}
    void setStreamFlag2(std::streambuf*, bool) override {}
    bool remove(const std::string& name) override;  // true if a file was unlinked

    // The directory as given to the constructor.
    const std::string& path() const { return m_path; }
    // True if `name` is an acceptable name of a regular file in the directory.
    bool exists(const std::string& name) const;
    // The names of the regular files in the directory, sorted; subdirectories
    // and other entries are left out.
    std::vector<std::string> list() const;

private:
    class DiskImage;
    std::string fullPath(const std::string& name) const;

    std::string m_path;
    std::map<std::string, std::weak_ptr<DiskImage>> m_images;  // open files by name
    std::map<std::streambuf*, std::unique_ptr<ImageBuffer>> m_buffers;
};

}  // namespace Host
