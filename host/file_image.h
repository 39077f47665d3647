// The pieces our file sets share: the rule for file names, the reading of an
// opening mode, the in-memory image of one file, and the stream buffer that
// reads and writes an image.
//
// A record access above a file set is a seek plus a read or write of a few
// bytes, so an open file lives in memory as one byte vector and the buffer
// serves every seek, read and write from it without a system call. Where the
// bytes live for good is the image's business: `store()` is the write-back
// hook, a no-op for memory files, a write to disk for directory files.
//
// Every buffer over an image keeps its own position (one position for both
// the reading and the writing side, as std::filebuf). Several buffers may
// share one image; each sees the others' writes at once.
#pragma once

#include <cstddef>
#include <ios>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

namespace Host {

// True for a name that stays inside its file set: not empty, not "." or
// "..", and free of '/', '\\' and NUL.
bool isPlainFileName(const std::string& name);

// What an opening mode asks for, read as std::filebuf reads it, except that
// in|out also creates a missing file. `app` implies writing; a mode with
// neither in, out nor app, or with trunc but no out, or with trunc and app,
// is not valid.
struct OpenRequest {
    bool valid = false;
    bool read = false;    // in
    bool write = false;   // out or app
    bool append = false;  // every write goes to the end
    bool create = false;  // a missing file is made (every writing mode)
    bool empty = false;   // an existing file is emptied (out alone, or trunc)
};
OpenRequest readOpenMode(std::ios_base::openmode mode);

// Byte vectors of released file images, kept for the next image. Files are
// held whole in memory, and fresh memory costs a page fault per page on
// first touch; a table's contents are loaded on every opening and a strip
// writes and moves a whole copy, so reusing the memory of images that went
// away makes those passes several times cheaper. Only vectors of at least
// 1 MiB are kept, at most 4 of them and 256 MiB in all; `release` frees
// them. Safe to use from several threads.
class BufferPool {
public:
    // An empty vector whose capacity is at least `capacity`.
    static std::vector<char> take(std::size_t capacity);
    // Keeps the vector's memory for a later take, or frees it.
    static void give(std::vector<char>&& bytes);
    // Frees every kept vector.
    static void release();
};

// The bytes of one file while it is open (or, for memory files, always).
// A file never grows beyond `maxSize` bytes, the largest size that a signed
// 32-bit position reaches: writes beyond it are refused.
class FileImage {
public:
    static constexpr std::size_t maxSize = 0x7FFFFFFF;

    FileImage() = default;
    explicit FileImage(std::vector<char> bytes) : m_bytes(std::move(bytes)) {}
    FileImage(const FileImage&) = delete;
    FileImage& operator=(const FileImage&) = delete;
    virtual ~FileImage() { BufferPool::give(std::move(m_bytes)); }

    std::size_t size() const { return m_bytes.size(); }
    const std::vector<char>& bytes() const { return m_bytes; }

    // Copies up to n bytes from `position` on into `to`; returns how many
    // (0 at or past the end).
    std::size_t read(std::size_t position, char* to, std::size_t n) const;
    // Writes n bytes at `position`, growing the file (a gap reads as zeros);
    // returns how many were written, fewer only where `maxSize` stops it.
    std::size_t write(std::size_t position, const char* from, std::size_t n);
    // Replaces the whole content.
    void assign(std::vector<char> bytes);

    // Puts the bytes where they are kept; true on success. Called on sync
    // and when a buffer closes. The default keeps them in memory.
    virtual bool store() { return true; }

protected:
    // The range changed since the last store, empty when dirtyFrom >= dirtyTo.
    std::size_t m_dirtyFrom = 0;
    std::size_t m_dirtyTo = 0;
    void markClean() { m_dirtyFrom = m_dirtyTo = 0; }

private:
    std::vector<char> m_bytes;
};

// A stream buffer over a shared image. It keeps no get or put area of its
// own, so every operation goes straight to the image and two buffers over
// one image never see stale bytes. A buffer opened without reading fails
// every read; one opened without writing fails every write; an appending
// buffer writes at the end whatever its position. Seeking before the start
// or beyond `maxSize` fails and leaves the position as it was; seeking past
// the end is allowed and reading there gives end of file.
class ImageBuffer : public std::streambuf {
public:
    ImageBuffer(std::shared_ptr<FileImage> image, const OpenRequest& request);

    FileImage& image() const { return *m_image; }

protected:
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char* to, std::streamsize n) override;
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* from, std::streamsize n) override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode) override;
    int sync() override;

private:
    std::shared_ptr<FileImage> m_image;
    std::size_t m_position = 0;
    bool m_read;
    bool m_write;
    bool m_append;
};

}  // namespace Host
