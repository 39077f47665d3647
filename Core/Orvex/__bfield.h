// Bit-level record storage.
//
// Bits of a record are numbered from 0 at the most significant bit of content
// byte 0: bit n lies in byte n / 8 at position 7 - n % 8. A field at offset O
// of width W holds its value big-endian in bits O .. O + W - 1; writing it
// never changes any other bit. With this order, comparing records byte by
// byte as unsigned bytes orders them by the stored bit patterns of their
// leading fields.
#pragma once

#include <boost/endian/conversion.hpp>
#include <cstdint>
#include <memory>

#include "support/serial.h"

namespace Orvex {

// The bytes of one record: a guard byte, C = (bits + 7) / 8 content bytes,
// a guard byte, all zero at first. Only content bytes are addressed or
// serialised; the guards let a reader look one byte past the content safely.
// Small records live inside the object, so making or copying one does not
// touch the heap.
class bit_buffer : public serial::serializable {
public:
    explicit bit_buffer(int bits);
    // The same size with only the guard bytes zeroed, for a caller that fills
    // every content byte itself before anything reads them.
    struct unfilled {};
    bit_buffer(int bits, unfilled) : m_size(0), m_data(nullptr) {
        allocate(bits > 0 ? (static_cast<unsigned>(bits) + 7) / 8 : 0);
        m_data[0] = 0;
        m_data[m_size + 1] = 0;
    }
    bit_buffer(const bit_buffer& other);
    bit_buffer& operator=(const bit_buffer& other);
    ~bit_buffer() override = default;

    // Content byte i (i may be C: the trailing guard byte).
    char* operator()(int i) { return reinterpret_cast<char*>(m_data + 1 + i); }
    const char* operator()(int i) const { return reinterpret_cast<const char*>(m_data + 1 + i); }

    // Writes the C content bytes raw; reads C bytes into them. A read that
    // meets the end of the stream early fails it and keeps the bytes it got:
    // only the content past them stays as it was.
    void serial_write(std::ostream&) const override;
    void serial_read(std::istream&) override;
    unsigned serial_size() const override { return m_size; }
    bool fixed_size() const override { return true; }

    unsigned size() const { return m_size; }  // content bytes

private:
    enum { kInlineBytes = 48 };  // guard + 46 content bytes + guard

    // Sets the size and points m_data at room for it and both guards.
    void allocate(unsigned size) {
        m_size = size;
        if (size + 2 <= kInlineBytes)
            m_data = m_inline;
        else
            allocateHeap();
    }
    void allocateHeap();

    unsigned m_size;
    unsigned char* m_data;
    std::unique_ptr<unsigned char[]> m_heap;
    unsigned char m_inline[kInlineBytes];
};

// The placement of one value in a record: bit offset and width (0 to 32).
// Moves 32-bit integers in and out through a work window. The window is
// scratch state that even the const operations change, so a bit_field must
// not be used by two threads at once.
class bit_field {
public:
    enum { kMaxWidth = 32 };

    bit_field() { init(0, 0); }
    bit_field(int offset, int width) { init(offset, width); }

    // Computes every mask and index for the given offset and width. A width
    // outside 0..32 or a negative offset raises std::runtime_error naming it.
    void init(int offset, int width);

    void pack(char* record) const;
    void unpack(const char* record, bool sign_extend) const;

    // 0 on success; -1 when the value does not fit (the buffer is unchanged).
    int set_long(bit_buffer& buffer, long v) const;
    int set_u_long(bit_buffer& buffer, unsigned long v) const;
    long get_long(const bit_buffer& buffer) const;
    unsigned long get_u_long(const bit_buffer& buffer) const;

    bool can_store(long v) const;
    bool can_store(unsigned long v) const;

    unsigned long max_unsigned_value() const;
    unsigned long min_unsigned_value() const { return 0; }
    long max_signed_value() const;
    long min_signed_value() const;

    int width() const { return m_width; }
    int offset() const { return m_offset; }

private:
    void encode(long long v) const;
    unsigned long decode() const;

    mutable unsigned char m_window[8];
    int m_shift;            // unused bits after the field's last bit in its last byte
    int m_width;
    int m_middle;           // whole bytes strictly between the first and last byte
    int m_firstWindowByte;
    int m_lastWindowByte;   // always 4
    int m_firstByte;
    int m_lastByte;
    unsigned char m_lastMask, m_firstMask, m_lastMaskNot, m_firstMaskNot;
    int m_signByte;
    unsigned char m_signMask;
    int m_offset;
};

// The codec records use: the bits of a placed field as one big-endian run of
// at most five bytes, derived from its bit_field. It reads and writes exactly
// the bits the bit_field does and accepts exactly the values its can_store
// accepts, but without the work window and without calls, so that the
// descriptors' Get and Set and the field handles, the inner loop of every
// table operation, stay a few shifts. A run that ends at byte 7 or later is
// moved as the one 64-bit word that ends with it, which lies inside the
// record whatever the record's size; an earlier run byte by byte. Built for
// a zero-width field (or an unplaced one) it reads 0, accepts only 0 and
// touches no byte.
//
// Every operation takes the record's content bytes, either as a bit_buffer
// or as a pointer to content byte 0; only the bytes of the run are read or
// written, so a pointer to exactly the record's bytes is enough.
class bit_slot {
public:
    bit_slot() : m_mask(0), m_minSigned(0), m_maxSigned(0), m_maxUnsigned(0), m_first(0), m_bytes(0), m_shift(0),
                 m_width(0) {}
    explicit bit_slot(const bit_field& placement);

    bool fits(unsigned long v) const { return v <= m_maxUnsigned; }
    bool fits(long v) const { return v >= m_minSigned && v <= m_maxSigned; }

    std::uint32_t get(const unsigned char* record) const {
        return static_cast<std::uint32_t>((load(record) & m_mask) >> m_shift);
    }
    std::int32_t get_signed(const unsigned char* record) const {
        if (m_width == 0) return 0;
        const unsigned unused = 32u - m_width;
        return static_cast<std::int32_t>(get(record) << unused) >> unused;
    }
    // Stores the low `width` bits of v; the caller has checked fits().
    void put(unsigned char* record, std::uint32_t v) const {
        if (m_bytes == 0) return;
        const std::uint64_t acc = load(record);
        store(record, (acc & ~m_mask) | ((static_cast<std::uint64_t>(v) << m_shift) & m_mask));
    }

    std::uint32_t get(const bit_buffer& b) const { return get(content(b)); }
    std::int32_t get_signed(const bit_buffer& b) const { return get_signed(content(b)); }
    void put(bit_buffer& b, std::uint32_t v) const { put(reinterpret_cast<unsigned char*>(b(0)), v); }

private:
    static const unsigned char* content(const bit_buffer& b) { return reinterpret_cast<const unsigned char*>(b(0)); }
    bool wide() const { return m_first + m_bytes >= 8; }

    // The run's bytes as a big-endian number (a wide run: the word ending
    // with it, whose high bytes the mask leaves out).
    std::uint64_t load(const unsigned char* record) const {
        const unsigned char* p = record + m_first;
        if (wide()) return boost::endian::endian_load<std::uint64_t, 8, boost::endian::order::big>(p + m_bytes - 8);
        switch (m_bytes) {
            case 1: return p[0];
            case 2: return (std::uint64_t(p[0]) << 8) | p[1];
            case 3: return (std::uint64_t(p[0]) << 16) | (std::uint64_t(p[1]) << 8) | p[2];
            case 4:
                return (std::uint64_t(p[0]) << 24) | (std::uint64_t(p[1]) << 16) | (std::uint64_t(p[2]) << 8) | p[3];
            case 5:
                return (std::uint64_t(p[0]) << 32) | (std::uint64_t(p[1]) << 24) | (std::uint64_t(p[2]) << 16) |
                       (std::uint64_t(p[3]) << 8) | p[4];
            default: return 0;
        }
    }
    // Writes back what load read, changed only under the mask.
    void store(unsigned char* record, std::uint64_t acc) const {
        unsigned char* p = record + m_first;
        if (wide()) {
            boost::endian::endian_store<std::uint64_t, 8, boost::endian::order::big>(p + m_bytes - 8, acc);
            return;
        }
        for (unsigned i = m_bytes; i-- > 0; acc >>= 8) p[i] = static_cast<unsigned char>(acc);
    }

    std::uint64_t m_mask;  // the field's bits within the run
    long m_minSigned, m_maxSigned;
    unsigned long m_maxUnsigned;
    unsigned m_first;       // first content byte
    unsigned char m_bytes;  // bytes in the run, 0 .. 5
    unsigned char m_shift;  // unused bits after the field in its last byte
    unsigned char m_width;
};

}  // namespace Orvex
