// Standard streams over the files of a FileSet::TFileSet.
//
// ivfstream reads, ovfstream writes, vfstream does both (a table's contents
// stream). An adapter holds at most one file-set buffer at a time. While no
// file is open the stream is attached to the adapter's own file buffer, which
// is never opened, so every read and write fails and touches nothing.
// Opening a file that the file set refuses leaves the stream failed; nothing
// is raised. An adapter belongs to one thread at a time.
#pragma once

#include <fstream>
#include <istream>
#include <ostream>
#include <string>

#include "fileset/TFileSet.h"

namespace FileSet {

class base_vfstream : protected std::filebuf {
public:
    TFileSet& fileSet() const { return *m_fileSet; }

protected:
    explicit base_vfstream(TFileSet& fs) : m_fileSet(&fs), m_open(nullptr) {}
    ~base_vfstream() override {}

    std::filebuf* unopened() { return this; }
    // Closes any open buffer, asks the file set for `name` with `mode` and
    // attaches `owner` to the result (clearing its state), or fails it.
    void openBuffer(std::ios& owner, const char* name, std::ios_base::openmode mode);
    // Hands the open buffer back to the file set (after flushing `out` if
    // given) and re-attaches `owner` to the unopened buffer.
    void closeBuffer(std::ios& owner, std::ostream* out);
    bool bufferOpen() const;
    void setFlags(bool flag1, bool flag2);

private:
    TFileSet* m_fileSet;
    std::streambuf* m_open;
};

class ivfstream : public base_vfstream, public std::istream {
public:
    explicit ivfstream(TFileSet& fs);
    ivfstream(TFileSet& fs, const char* name, std::ios_base::openmode mode, bool flag1, bool flag2);
    ~ivfstream() override;

    void open(const char* name, std::ios_base::openmode mode);  // adds in
    void close();
    bool is_open() const { return bufferOpen(); }
};

class ovfstream : public base_vfstream, public std::ostream {
public:
    explicit ovfstream(TFileSet& fs);
    ovfstream(TFileSet& fs, const char* name, std::ios_base::openmode mode, bool flag1, bool flag2);
    ~ovfstream() override;

    void open(const char* name, std::ios_base::openmode mode);  // adds out
    void close();
    bool is_open() const { return bufferOpen(); }
};

class vfstream : public base_vfstream, public std::iostream {
public:
    explicit vfstream(TFileSet& fs);
    ~vfstream() override;

    void open(const char* name, std::ios_base::openmode mode);  // adds in and out
    void close();
    bool is_open() const { return bufferOpen(); }
};

// Copies what is left of `in` to `out` in chunks of up to 2048 bytes while
// neither stream has failed. The final short read leaves `in` failed.
void copyStream(std::ostream& out, std::istream& in);
// The same, stopping once `limit` bytes have been read; returns how many
// were read (all of them reached `out` unless `out` failed).
std::streamoff copyStream(std::ostream& out, std::istream& in, std::streamoff limit);

// Moves a file inside a file set, replacing `to`. A file set that can rename
// (fileset/TRenaming.h) renames it; when it has no rename or its rename
// refuses, the file is copied and the source then removed, as follows. The
// source is opened before anything else happens: when it cannot be
// opened, std::runtime_error is raised and the target is left as it was.
// When the target cannot be opened or written, or the source cannot be read
// to its end (a read that stops short of its length), std::runtime_error is
// raised and the source is kept, so the bytes are never lost.
void moveFile(TFileSet& fs, const std::string& from, const std::string& to);

}  // namespace FileSet
