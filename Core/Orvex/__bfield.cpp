#include "Core/Orvex/__bfield.h"

#include <cstring>
#include <istream>
#include <ostream>
#include <string>

#include "support/Tools.h"
#include "support/Utils.h"

namespace Orvex {

// ---------------------------------------------------------------- bit_buffer

void bit_buffer::allocateHeap() {
    m_heap.reset(new unsigned char[m_size + 2]);
    m_data = m_heap.get();
}

bit_buffer::bit_buffer(int bits) : m_size(0), m_data(nullptr) {
    allocate(bits > 0 ? (static_cast<unsigned>(bits) + 7) / 8 : 0);
    std::memset(m_data, 0, m_size + 2);
}

bit_buffer::bit_buffer(const bit_buffer& other) : serial::serializable(), m_size(0), m_data(nullptr) {
    allocate(other.m_size);
    std::memcpy(m_data, other.m_data, m_size + 2);
}

bit_buffer& bit_buffer::operator=(const bit_buffer& other) {
    if (this == &other) return *this;
    if (other.m_size != m_size) {
        m_heap.reset();
        allocate(other.m_size);
    }
    std::memcpy(m_data, other.m_data, m_size + 2);
    return *this;
}

void bit_buffer::serial_write(std::ostream& os) const {
    os.write(reinterpret_cast<const char*>(m_data + 1), m_size);
}

void bit_buffer::serial_read(std::istream& is) { is.read(reinterpret_cast<char*>(m_data + 1), m_size); }

// ----------------------------------------------------------------- bit_field

void bit_field::init(int offset, int width) {
    if (width < 0 || width > kMaxWidth)
        Utils::raise_runtime_error("Bit field width " + std::to_string(width) + " is outside 0.." +
                                   std::to_string(static_cast<int>(kMaxWidth)));
    if (offset < 0) Utils::raise_runtime_error("Bit field offset " + std::to_string(offset) + " is negative");
    std::memset(m_window, 0, sizeof m_window);
    m_offset = offset;
    m_width = width;
    const int r = width % 8;
    const int o = offset % 8;
    m_shift = ((8 - o) % 8) - r;
    if (m_shift < 0) m_shift += 8;
    m_firstWindowByte = (40 - (width + m_shift)) / 8;
    m_lastWindowByte = 4;
    const int m = 4 - m_firstWindowByte - 1;
    m_lastByte = (offset + width - 1) / 8;
    m_firstByte = m_lastByte - m - 1;
    m_middle = m < 0 ? 0 : m;
    const int n = width - 8 * m_middle;
    unsigned mask = (~(0xFFFFu << n)) << m_shift;
    m_lastMask = static_cast<unsigned char>(mask & 0xFF);
    if (m_shift + width > 8) mask >>= 8;
    m_firstMask = static_cast<unsigned char>(mask & 0xFF);
    m_lastMaskNot = static_cast<unsigned char>(~m_lastMask);
    m_firstMaskNot = static_cast<unsigned char>(~m_firstMask);
    m_signByte = offset / 8;
    m_signMask = width == 0 ? 0 : static_cast<unsigned char>(1u << (7 - o));
}

void bit_field::encode(long long v) const {
    m_window[4] = static_cast<unsigned char>(((v & 0xFF) << m_shift) & 0xFF);
    v >>= (8 - m_shift);
    for (int i = 3; i >= 0; --i) {
        m_window[i] = static_cast<unsigned char>(v & 0xFF);
        v >>= 8;
    }
}

unsigned long bit_field::decode() const {
    unsigned acc = (static_cast<unsigned>(m_window[0]) << 24) | (static_cast<unsigned>(m_window[1]) << 16) |
                   (static_cast<unsigned>(m_window[2]) << 8) | m_window[3];
    acc = (acc << (8 - m_shift)) | (static_cast<unsigned>(m_window[4]) >> m_shift);
    return acc;
}

void bit_field::pack(char* record) const {
    if (m_width == 0) return;  // touches no byte; F .. L may lie outside the record
    unsigned char* rec = reinterpret_cast<unsigned char*>(record);
    rec[m_firstByte] &= m_firstMaskNot;
    rec[m_lastByte] &= m_lastMaskNot;
    rec[m_firstByte] |= m_window[m_firstWindowByte] & m_firstMask;
    std::memcpy(rec + m_firstByte + 1, m_window + m_firstWindowByte + 1, m_middle);
    rec[m_lastByte] |= m_window[4] & m_lastMask;
}

void bit_field::unpack(const char* record, bool sign_extend) const {
    const unsigned char* rec = reinterpret_cast<const unsigned char*>(record);
    const unsigned char fill = (sign_extend && m_signMask && (rec[m_signByte] & m_signMask)) ? 0xFF : 0x00;
    std::memset(m_window, fill, 6);
    if (m_width == 0) return;
    m_window[m_firstWindowByte] = (m_window[m_firstWindowByte] & m_firstMaskNot) | (rec[m_firstByte] & m_firstMask);
    std::memcpy(m_window + m_firstWindowByte + 1, rec + m_firstByte + 1, m_middle);
    m_window[4] = (m_window[4] & m_lastMaskNot) | (rec[m_lastByte] & m_lastMask);
}

int bit_field::set_long(bit_buffer& buffer, long v) const {
    if (!can_store(v)) return -1;
    encode(v);
    pack(buffer(0));
    return 0;
}

int bit_field::set_u_long(bit_buffer& buffer, unsigned long v) const {
    if (!can_store(v)) return -1;
    encode(static_cast<long long>(v));
    pack(buffer(0));
    return 0;
}

long bit_field::get_long(const bit_buffer& buffer) const {
    if (m_width == 0) return 0;
    unpack(buffer(0), true);
    return static_cast<long>(static_cast<int>(static_cast<unsigned>(decode())));
}

unsigned long bit_field::get_u_long(const bit_buffer& buffer) const {
    if (m_width == 0) return 0;
    unpack(buffer(0), false);
    return decode();
}

bool bit_field::can_store(unsigned long v) const {
    if (m_width < 0) return false;
    return v == 0 || Tools::log2(v) <= static_cast<unsigned>(m_width);
}

bool bit_field::can_store(long v) const {
    if (m_width < 0) return false;
    if (v > 0 && Tools::log2(v, 0L) > static_cast<unsigned>(m_width)) return false;
    if (v < 0 && Tools::log2(0L, v) > static_cast<unsigned>(m_width)) return false;
    return true;
}

unsigned long bit_field::max_unsigned_value() const {
    return m_width == 0 ? 0 : (0xFFFFFFFFu >> (32 - m_width));
}

long bit_field::max_signed_value() const {
    return m_width == 0 ? 0 : static_cast<long>((1LL << (m_width - 1)) - 1);
}

long bit_field::min_signed_value() const {
    return m_width == 0 ? 0 : -static_cast<long>(1LL << (m_width - 1));
}

// ------------------------------------------------------------------ bit_slot

bit_slot::bit_slot(const bit_field& placement) : bit_slot() {
    const unsigned offset = static_cast<unsigned>(placement.offset());
    const unsigned width = static_cast<unsigned>(placement.width());
    m_minSigned = placement.min_signed_value();
    m_maxSigned = placement.max_signed_value();
    m_maxUnsigned = placement.max_unsigned_value();
    m_width = static_cast<unsigned char>(width);
    if (width == 0) return;
    const unsigned last = (offset + width - 1) / 8;
    m_first = offset / 8;
    m_bytes = static_cast<unsigned char>(last - m_first + 1);
    m_shift = static_cast<unsigned char>(8 * (last + 1) - (offset + width));
    m_mask = ((std::uint64_t(1) << width) - 1) << m_shift;
}

}  // namespace Orvex
