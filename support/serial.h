// Binary forms.
//
// Every number is stored least-significant byte first: unsigned char as 1
// byte, unsigned short as 2, int/unsigned/long/unsigned long as 4. Values of
// `long` are stored in 32 bits whatever the host's long is; callers keep them
// inside the 32-bit range. A string is a 4-byte length n followed by its n
// bytes.
//
// Readers treat their input as hostile: a failed or short read sets the
// stream's fail bit and leaves the target as it was, and a string length that
// the stream cannot deliver fails the stream after reading at most what the
// stream held, never reserving the announced size up front.
#pragma once

#include <iosfwd>
#include <istream>
#include <ostream>
#include <string>

namespace serial {

// An object with a binary form of its own.
class serializable {
public:
    virtual void serial_write(std::ostream&) const = 0;
    virtual void serial_read(std::istream&) = 0;
    virtual unsigned serial_size() const = 0;  // bytes serial_write writes
    virtual bool fixed_size() const = 0;       // true if serial_size never changes
    virtual ~serializable() {}
};

// The write-only form of serializable.
class out_serializable {
public:
    virtual void serial_write(std::ostream&) const = 0;
    virtual unsigned serial_size() const = 0;
    virtual bool fixed_size() const = 0;
    virtual ~out_serializable() {}
};

void serial_write(std::ostream& os, const std::string& s);
void serial_read(std::istream& is, std::string& s);
// Size of a string's binary form: 4 + its length.
inline unsigned serial_size(const std::string& s) { return 4u + static_cast<unsigned>(s.size()); }

// Fixed-width little-endian integers.
void write_u8(std::ostream& os, unsigned char v);
void write_u16(std::ostream& os, unsigned short v);
void write_u32(std::ostream& os, unsigned long v);
bool read_u8(std::istream& is, unsigned char& v);
bool read_u16(std::istream& is, unsigned short& v);
bool read_u32(std::istream& is, unsigned long& v);

// Wraps an output stream for the binary forms.
class serial_out {
public:
    explicit serial_out(std::ostream& os) : m_os(os) {}
    std::ostream& stream() const { return m_os; }

    serial_out& operator<<(unsigned char v) { write_u8(m_os, v); return *this; }
    serial_out& operator<<(unsigned short v) { write_u16(m_os, v); return *this; }
    serial_out& operator<<(int v) { write_u32(m_os, static_cast<unsigned long>(v)); return *this; }
    serial_out& operator<<(unsigned v) { write_u32(m_os, v); return *this; }
    serial_out& operator<<(long v) { write_u32(m_os, static_cast<unsigned long>(v)); return *this; }
    serial_out& operator<<(unsigned long v) { write_u32(m_os, v); return *this; }
    serial_out& operator<<(const std::string& s) { serial_write(m_os, s); return *this; }
    serial_out& operator<<(const serializable& o) { o.serial_write(m_os); return *this; }
    serial_out& operator<<(const out_serializable& o) { o.serial_write(m_os); return *this; }

private:
    std::ostream& m_os;
};

// Wraps an input stream for the binary forms. Every extraction leaves its
// target unchanged when the stream fails.
class serial_in {
public:
    explicit serial_in(std::istream& is) : m_is(is) {}
    std::istream& stream() const { return m_is; }

    serial_in& operator>>(unsigned char& v) { read_u8(m_is, v); return *this; }
    serial_in& operator>>(unsigned short& v) { read_u16(m_is, v); return *this; }
    serial_in& operator>>(int& v);
    serial_in& operator>>(unsigned& v);
    serial_in& operator>>(long& v);  // sign-extended from 32 bits
    serial_in& operator>>(unsigned long& v) { read_u32(m_is, v); return *this; }
    serial_in& operator>>(std::string& s) { serial_read(m_is, s); return *this; }
    serial_in& operator>>(serializable& o) { o.serial_read(m_is); return *this; }

private:
    std::istream& m_is;
};

}  // namespace serial
