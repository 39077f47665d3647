// Host::MemoryFileSet: a file set held entirely in memory, a map from file
// name to bytes. It keeps the same contract as the directory file set (names,
// opening modes, seeking) so that tests and tools can use either, and it adds
// direct access to the bytes for tests.
//
// Decisions:
// - Names follow isPlainFileName, as for a directory, so both sets accept
//   the same names.
// - Opening a file that is already open gives a second buffer over the same
//   bytes, with its own position; each sees the other's writes at once.
// - `rename` moves the bytes to the new name at once, open or not.
// - `remove` of an open file takes the name away at once; the open buffers
//   keep working on the bytes they had, which vanish when the last closes.
// - Buffers still open when the set is destroyed are released with it.
// - Changes are atomic: the first time a change touches a file (an open for
//   writing, a remove, a rename, a put), or when it begins with the file
//   open for writing, the file's bytes are kept aside, so that only what a
//   change touches is copied. Undoing puts the bytes back into the same
//   images, so buffers open on them stay valid, and takes away the files
//   the change made.
// Not thread-safe: one thread at a time, like the tables on it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fileset/TAtomicChanges.h"
#include "fileset/TFileSet.h"
#include "fileset/TRenaming.h"
#include "host/file_image.h"

namespace Host {

class MemoryFileSet : public FileSet::TFileSet, public FileSet::TAtomicChanges, public FileSet::TRenaming {
public:
    MemoryFileSet() = default;
    MemoryFileSet(const MemoryFileSet&) = delete;
    MemoryFileSet& operator=(const MemoryFileSet&) = delete;

    // TFileSet, with the opening modes of readOpenMode; null for a refused
    // name, an invalid mode, or an open without writing of a missing file.
    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) override;
    bool isOpen(std::streambuf* buffer) override;
    void close(std::streambuf* buffer) override;  // unknown buffers are ignored
    void setStreamFlag1(std::streambuf*, bool) override {}
    void setStreamFlag2(std::streambuf*, bool) override {}
    bool remove(const std::string& name) override;
    // TRenaming. Buffers open on `from` keep working on the file under its
    // new name; buffers open on a replaced `to` keep the bytes they had, as
    // after `remove`. False for a missing `from`, a refused `to` or the same
    // name twice.
    bool rename(const std::string& from, const std::string& to) override;

    // TAtomicChanges; raises std::logic_error for an end without a begin.
    void beginChange() override;
    void endChange() override;
    void abandonChange() override;

    bool exists(const std::string& name) const;
    // The names of all files, sorted.
    std::vector<std::string> list() const;
    // The bytes of a file; raises std::runtime_error if there is no such file.
    std::string contents(const std::string& name) const;
    // Makes the file hold `bytes`, creating it if needed; buffers open on it
    // see the new bytes. Raises std::runtime_error for a refused name.
    void put(const std::string& name, const std::string& bytes);

private:
    struct Open {
        std::unique_ptr<ImageBuffer> buffer;
        bool writes;
    };
    // What a file was when the change first touched it: its image and
    // bytes, or no image when it did not exist.
    struct Original {
        std::shared_ptr<FileImage> image;
        std::string bytes;
    };
    // Keeps what `name` is now, once per change.
    void keep(const std::string& name);
    int endScope();

    std::map<std::string, std::shared_ptr<FileImage>> m_files;
    std::map<std::streambuf*, Open> m_buffers;
    int m_depth = 0;
    std::map<std::string, Original> m_originals;
};

}  // namespace Host
