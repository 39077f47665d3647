#include "support/serial.h"

#include <algorithm>
#include <cstdint>

namespace serial {

namespace {
void write_le(std::ostream& os, std::uint32_t v, int bytes) {
    char b[4];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    os.write(b, bytes);
}

bool read_le(std::istream& is, std::uint32_t& v, int bytes) {
    unsigned char b[4] = {0, 0, 0, 0};
    if (!is.read(reinterpret_cast<char*>(b), bytes)) return false;
    std::uint32_t r = 0;
    for (int i = 0; i < bytes; ++i) r |= static_cast<std::uint32_t>(b[i]) << (8 * i);
    v = r;
    return true;
}

// Strings are read in steps of this size, so a forged length costs no more
// memory than the bytes that actually arrive.
const std::size_t kStringChunk = 64 * 1024;
}  // namespace

void write_u8(std::ostream& os, unsigned char v) { write_le(os, v, 1); }
void write_u16(std::ostream& os, unsigned short v) { write_le(os, v, 2); }
void write_u32(std::ostream& os, unsigned long v) { write_le(os, static_cast<std::uint32_t>(v), 4); }

bool read_u8(std::istream& is, unsigned char& v) {
    std::uint32_t r;
    if (!read_le(is, r, 1)) return false;
    v = static_cast<unsigned char>(r);
    return true;
}
bool read_u16(std::istream& is, unsigned short& v) {
    std::uint32_t r;
    if (!read_le(is, r, 2)) return false;
    v = static_cast<unsigned short>(r);
    return true;
}
bool read_u32(std::istream& is, unsigned long& v) {
    std::uint32_t r;
    if (!read_le(is, r, 4)) return false;
    v = r;
    return true;
}

serial_in& serial_in::operator>>(int& v) {
    std::uint32_t r;
    if (read_le(m_is, r, 4)) v = static_cast<std::int32_t>(r);
    return *this;
}
serial_in& serial_in::operator>>(unsigned& v) {
    std::uint32_t r;
    if (read_le(m_is, r, 4)) v = r;
    return *this;
}
serial_in& serial_in::operator>>(long& v) {
    std::uint32_t r;
    if (read_le(m_is, r, 4)) v = static_cast<std::int32_t>(r);
    return *this;
}

void serial_write(std::ostream& os, const std::string& s) {
    write_u32(os, static_cast<unsigned long>(s.size()));
    os.write(s.data(), static_cast<std::streamsize>(s.size()));
}

void serial_read(std::istream& is, std::string& s) {
    unsigned long length;
    if (!read_u32(is, length)) return;
    std::string result;
    while (result.size() < length) {
        std::size_t step = std::min<std::size_t>(kStringChunk, length - result.size());
        std::size_t had = result.size();
        result.resize(had + step);
        is.read(&result[had], static_cast<std::streamsize>(step));
        if (static_cast<std::size_t>(is.gcount()) != step) return;  // fail bit is set
    }
    s.swap(result);
}

}  // namespace serial
