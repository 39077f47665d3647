// A file set whose files may be gigabytes long while holding almost nothing:
// a file is its length plus the 4 KiB pages in which some byte is not zero;
// every other byte reads as zero. Tests of the 2^31 - 1 byte limit of a
// contents file use it to build and grow tables near the limit in a few
// kilobytes of memory. Unlike the real file sets it refuses no size, so the
// limit a test meets is the library's own.
//
// Opening modes are those of FileSet::TFileSet (out without in empties the
// file, in|out creates a missing one, in alone of a missing file gives null).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ios>
#include <map>
#include <memory>
#include <streambuf>
#include <string>

#include "fileset/TFileSet.h"

namespace TestSupport {

class SparseFileSet : public FileSet::TFileSet {
public:
    static constexpr std::uint64_t kPage = 4096;

    static bool allZero(const char* p, std::size_t n) { return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0); }

    // A file: its length and its pages that hold a non-zero byte.
    struct File {
        std::uint64_t size = 0;
        std::map<std::uint64_t, std::string> pages;  // page number -> kPage bytes
        bool operator==(const File& o) const { return size == o.size && pages == o.pages; }

        void read(std::uint64_t at, char* to, std::size_t n) const {
            while (n > 0) {
                const std::uint64_t page = at / kPage, offset = at % kPage;
                const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, kPage - offset));
                auto found = pages.find(page);
                if (found == pages.end())
                    std::memset(to, 0, step);
                else
                    std::memcpy(to, found->second.data() + offset, step);
                at += step;
                to += step;
                n -= step;
            }
        }
        void write(std::uint64_t at, const char* from, std::size_t n) {
            size = std::max(size, at + n);
            while (n > 0) {
                const std::uint64_t page = at / kPage, offset = at % kPage;
                const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, kPage - offset));
                auto found = pages.find(page);
                if (found == pages.end() && !allZero(from, step))
                    found = pages.emplace(page, std::string(kPage, '\0')).first;
                if (found != pages.end()) std::memcpy(&found->second[offset], from, step);
                at += step;
                from += step;
                n -= step;
            }
        }
    };

    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) override {
        const bool in = (mode & std::ios_base::in) != 0, out = (mode & std::ios_base::out) != 0;
        if (!in && !out) return nullptr;
        auto found = m_files.find(name);
        if (found == m_files.end()) {
            if (!out) return nullptr;
            found = m_files.emplace(name, std::make_shared<File>()).first;
        } else if (out && (!in || (mode & std::ios_base::trunc))) {
            *found->second = File();
        }
        auto buffer = std::make_unique<Buffer>(found->second, in, out);
        std::streambuf* handle = buffer.get();
        m_buffers.emplace(handle, std::move(buffer));
        return handle;
    }
    bool isOpen(std::streambuf* buffer) override { return m_buffers.count(buffer) != 0; }
    void close(std::streambuf* buffer) override { m_buffers.erase(buffer); }
    void setStreamFlag1(std::streambuf*, bool) override {}
    void setStreamFlag2(std::streambuf*, bool) override {}
    bool remove(const std::string& name) override { return m_files.erase(name) != 0; }

    bool exists(const std::string& name) const { return m_files.count(name) != 0; }
    std::size_t fileCount() const { return m_files.size(); }
    // A copy of a file as it is now (an empty file if there is none), for
    // comparing before and after.
    File snapshot(const std::string& name) const {
        auto found = m_files.find(name);
        return found == m_files.end() ? File() : *found->second;
    }
    // Makes the file `size` bytes long, starting with `head`, zeros after.
    void put(const std::string& name, const std::string& head, std::uint64_t size) {
        auto& file = m_files[name];
        file = std::make_shared<File>();
        file->write(0, head.data(), head.size());
        file->size = std::max<std::uint64_t>(size, head.size());
    }
    // Writes `bytes` at `at`, growing the file if needed.
    void poke(const std::string& name, std::uint64_t at, const std::string& bytes) {
        m_files.at(name)->write(at, bytes.data(), bytes.size());
    }

private:
    // Every call goes straight to the file, so buffers sharing one never see
    // stale bytes; one position serves both sides, as for std::filebuf.
    class Buffer : public std::streambuf {
    public:
        Buffer(std::shared_ptr<File> file, bool in, bool out) : m_file(std::move(file)), m_in(in), m_out(out) {}

    protected:
        int_type underflow() override {
            if (!m_in || m_position >= m_file->size) return traits_type::eof();
            char c;
            m_file->read(m_position, &c, 1);
            return traits_type::to_int_type(c);
        }
        int_type uflow() override {
            const int_type c = underflow();
            if (!traits_type::eq_int_type(c, traits_type::eof())) ++m_position;
            return c;
        }
        int_type pbackfail(int_type c) override {
            if (!m_in || m_position == 0 || !traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
            --m_position;
            return underflow();
        }
        std::streamsize xsgetn(char* to, std::streamsize n) override {
            if (!m_in || n <= 0 || m_position >= m_file->size) return 0;
            const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(n, m_file->size - m_position));
            m_file->read(m_position, to, got);
            m_position += got;
            return static_cast<std::streamsize>(got);
        }
        int_type overflow(int_type c) override {
            if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
            const char byte = traits_type::to_char_type(c);
            return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
        }
        std::streamsize xsputn(const char* from, std::streamsize n) override {
            if (!m_out || n <= 0) return 0;
            m_file->write(m_position, from, static_cast<std::size_t>(n));
            m_position += static_cast<std::uint64_t>(n);
            return n;
        }
        pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode) override {
            const off_type base = from == std::ios_base::beg   ? 0
                                  : from == std::ios_base::cur ? static_cast<off_type>(m_position)
                                                               : static_cast<off_type>(m_file->size);
            if (offset < -base || offset > kFarthest - base) return pos_type(off_type(-1));
            m_position = static_cast<std::uint64_t>(base + offset);
            return pos_type(static_cast<off_type>(m_position));
        }
        pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
            return seekoff(off_type(position), std::ios_base::beg, which);
        }

    private:
        static constexpr off_type kFarthest = off_type(1) << 40;
        std::shared_ptr<File> m_file;
        std::uint64_t m_position = 0;
        bool m_in, m_out;
    };

    std::map<std::string, std::shared_ptr<File>> m_files;
    std::map<std::streambuf*, std::unique_ptr<Buffer>> m_buffers;
};

}  // namespace TestSupport
