// A file set whose files may be gigabytes long while holding almost nothing:
// a file is its length plus the 4 KiB pages in which some byte is not zero.
// The limit tests build tables near 2^31 - 1 bytes in it; it refuses no
// size, so the limit a test meets is the library's own. Modes are those of
// FileSet::TFileSet (out without in empties, in|out creates, in alone of a
// missing file gives null).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <streambuf>
#include <string>

#include "fileset/TFileSet.h"

namespace TestSupport {

struct SparseFileSet : FileSet::TFileSet {
    static constexpr std::uint64_t kPage = 4096;

    struct File {
        std::uint64_t size = 0;
        std::map<std::uint64_t, std::string> pages;
        bool operator==(const File& o) const { return size == o.size && pages == o.pages; }
        // Reads or writes n bytes at `at`, page by page; a page of zeros is not kept.
        void move(std::uint64_t at, char* bytes, std::size_t n, bool write) {
            if (write) size = std::max(size, at + n);
            for (std::size_t step; n > 0; at += step, bytes += step, n -= step) {
                step = static_cast<std::size_t>(std::min<std::uint64_t>(n, kPage - at % kPage));
                auto page = pages.find(at / kPage);
                if (write && page == pages.end() && (bytes[0] || std::memcmp(bytes, bytes + 1, step - 1)))
                    page = pages.emplace(at / kPage, std::string(kPage, '\0')).first;
                if (page == pages.end() && !write) std::memset(bytes, 0, step);
                else if (page != pages.end()) std::memcpy(write ? &page->second[at % kPage] : bytes, write ? bytes : &page->second[at % kPage], step);
            }
        }
    };

    std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) override {
        const bool in = mode & std::ios_base::in, out = mode & std::ios_base::out;
        auto found = m_files.find(name);
        if (found == m_files.end() && !out) return nullptr;
        if (found == m_files.end()) found = m_files.emplace(name, std::make_shared<File>()).first;
        else if (out && (!in || (mode & std::ios_base::trunc))) *found->second = File();
        auto buffer = std::make_unique<Buffer>(found->second);
        return m_buffers.emplace(buffer.get(), std::move(buffer)).first->first;
    }
    bool isOpen(std::streambuf* buffer) override { return m_buffers.count(buffer) != 0; }
    void close(std::streambuf* buffer) override { m_buffers.erase(buffer); }
    void setStreamFlag1(std::streambuf*, bool) override {}
    void setStreamFlag2(std::streambuf*, bool) override {}
    bool remove(const std::string& name) override { return m_files.erase(name) != 0; }

    std::size_t fileCount() const { return m_files.size(); }
    File snapshot(const std::string& name) const { return *m_files.at(name); }
    // Makes a file `size` bytes long, zeros but for `head`; pokes `bytes` in at `at`.
    void put(const std::string& name, std::uint64_t size, std::string head) {
        m_files[name] = std::make_shared<File>(File{size, {}});
        poke(name, 0, head);
    }
    void poke(const std::string& name, std::uint64_t at, std::string bytes) { m_files.at(name)->move(at, &bytes[0], bytes.size(), true); }

    // Every call goes straight to the file, with one position for both sides.
    struct Buffer : std::streambuf {
        explicit Buffer(std::shared_ptr<File> file) : m_file(std::move(file)) {}
        int_type underflow() override {
            char c;
            return xsgetn(&c, 1) == 1 ? (--m_position, traits_type::to_int_type(c)) : traits_type::eof();
        }
        int_type uflow() override {
            const int_type c = underflow();
            m_position += !traits_type::eq_int_type(c, traits_type::eof());
            return c;
        }
        std::streamsize xsgetn(char* to, std::streamsize n) override {
            const std::streamsize got = std::max<std::streamsize>(0, std::min<std::streamsize>(n, m_file->size - m_position));
            m_file->move(m_position, to, got, false);
            m_position += got;
            return got;
        }
        int_type overflow(int_type c) override {
            char byte = traits_type::to_char_type(c);
            return traits_type::eq_int_type(c, traits_type::eof()) || xsputn(&byte, 1) == 1 ? traits_type::not_eof(c) : traits_type::eof();
        }
        std::streamsize xsputn(const char* from, std::streamsize n) override {
            m_file->move(m_position, const_cast<char*>(from), n, true);  // a write leaves the bytes as they are
            m_position += n;
            return n;
        }
        pos_type seekoff(off_type offset, std::ios_base::seekdir from, std::ios_base::openmode) override {
            const off_type at = offset + (from == std::ios_base::beg ? 0 : from == std::ios_base::cur ? m_position : off_type(m_file->size));
            return pos_type(at < 0 ? off_type(-1) : (m_position = at));
        }
        pos_type seekpos(pos_type position, std::ios_base::openmode which) override { return seekoff(off_type(position), std::ios_base::beg, which); }
        std::shared_ptr<File> m_file;
        off_type m_position = 0;
    };

    std::map<std::string, std::shared_ptr<File>> m_files;
    std::map<std::streambuf*, std::unique_ptr<Buffer>> m_buffers;
};

}  // namespace TestSupport
