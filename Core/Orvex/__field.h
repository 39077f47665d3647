// The field model: field types, typed field descriptors and their value
// encodings, typed value access, table structures and records.
//
// A table structure (TFields, sharing a TFieldsRep) is an ordered list of
// typed fields packed back to back, without gaps, into each record's
// bit_buffer, plus the end of the sort key. A field descriptor (TField<T>,
// seen generically as TFieldInfo) knows its name, type and width; the copy
// placed in a structure also knows its bit offset. Every type-dependent
// operation goes through the per-type strategy TImpl<T>, one per process.
//
// Decisions of this unit:
// - Widths: every integer and fixed-point constructor and reader refuses a
//   width above 32 with a runtime error naming the field and the width; a
//   string length above 65535 is refused the same way.
// - Records are at most kMaxRecordBits = 1 Mi bits (128 KiB). Adding a field
//   that would end past that raises "Field <name> makes the record too
//   large: <bits> bits, at most 1048576", so no structure file, however
//   forged, makes descriptors or records of unbounded size.
// - Reading a structure: a descriptor whose own bytes or tokens are cut
//   short is not added (the stream is failed and reading stops, keeping the
//   fields before it). Every unknown type name, including one that the type
//   lookup would report as a conversion error, raises the runtime error
//   "Unknown field type: <name>". Nothing is reserved from a count read from
//   a file.
// - Writing a structure of more than 65535 fields (the counts are 16-bit)
//   raises a runtime error instead of writing a count that would not match.
// - TFieldComposite owns what it combines (see there), so a chain such as
//   `key | TEndOfKey() | qty` may be kept in a variable after the temporaries
//   in it are gone.
// - Typed reads: `ref.get<T>()` checks the field's type name against
//   TImpl<T>'s, then calls TField<T>::Get. Type names are compared by address
//   first: descriptors of one type share their strategy and so the very
//   string object, which makes the usual check one pointer comparison.
// - Get and Set, and the field handles, go through one field_codec<T> per
//   placed field, built from its bit_field (same bits, same accepted values)
//   and held by value; a string moves up to five packed or four plain
//   characters per slot. Reading or writing a field never allocates (a
//   std::string result longer than 15 characters excepted). The bit_fields
//   stay the placement of record.
// - Appending to a shared TFields builds the private copy aside and takes
//   it only when the append succeeded, so a failed append leaves the handle
//   sharing what it shared.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <type_traits>
#include <vector>

#include "Core/Orvex/TransArgs.h"
#include "Core/Orvex/__bfield.h"
#include "Core/Orvex/__scoll.h"
#include "Core/Orvex/field_types.h"
#include "support/fixed_point.h"
#include "support/pointer.h"
#include "support/serial.h"

namespace Orvex {

// ===================================================================== TType

// The kind of value a field holds. Names are case-sensitive.
class TType {
public:
#define ORVEX_TYPE_ENUMERATOR(T, enumerator) enumerator,
    // tpNone, then the stored types in list order: tpInt, tpUInt, tpLong,
    // tpULong, tpStr, tpFixed.
    enum EType : unsigned char { tpNone = 0, ORVEX_FIELD_TYPES(ORVEX_TYPE_ENUMERATOR) };
#undef ORVEX_TYPE_ENUMERATOR

    TType(EType value = tpNone) : m_value(value) {}
    // The value is typeByName(name) (which may raise).
    explicit TType(const std::string& name) : m_value(typeByName(name)) {}

    // Perfect-hash lookup over the first six names, then the rest of the
    // list. tpNone for a name of length outside 3..6 or whose hash falls
    // outside the table; a name that hashes into the table but is neither
    // the one there nor a listed one raises the logic error
    // "Error converting <name> to Orvex::TType".
    static EType typeByName(const std::string& name);
    // The same lookup, giving tpNone for every unknown name (never raises).
    static EType findByName(const std::string& name);

    operator EType() const { return static_cast<EType>(m_value); }
    EType value() const { return static_cast<EType>(m_value); }
    // The name; tpNone raises the logic error
    // "Attempt to convert Orvex::TType == tpNone to std::string".
    // The reference stays valid for the whole run.
    operator const std::string&() const { return name(); }
    const std::string& name() const;

private:
    unsigned char m_value;
};

}  // namespace Orvex

namespace tabulation {
// Writes the type's name as one string token (tpNone raises, writing nothing).
void to_stream(std::ostream& os, const Orvex::TType& t);
// Reads one string token; unless the stream failed, t becomes TType(token).
void from_stream(std::istream& is, Orvex::TType& t);
}  // namespace tabulation

namespace Orvex {

class TFieldInfo;
class TFieldsRep;
class TFields;
class TRecord;
class TOpenTable;
template <class T>
class field_handle;
template <class T>
class TField;

// Raises the logic error
// "Field <name> is type of (<actual>), should be (<expected>)".
[[noreturn]] void raise_bad_type_error(const std::string& name, const std::string& actual,
                                       const std::string& expected);

// ================================================================ strategies

// Everything that depends on a field's type, for descriptors of that type.
// Each operation takes the descriptor it serves first. Implementations hold
// no mutable state.
class TFieldImpl {
public:
    TFieldImpl(const std::string& typeName, TType::EType type) : m_typeName(typeName), m_type(type) {}

    virtual void value_from_stream(const TFieldInfo&, std::istream&, bit_buffer&) const = 0;
    virtual void value_to_stream(const TFieldInfo&, std::ostream&, const bit_buffer&) const = 0;
    // Destination descriptor and buffer, then source; the types must match.
    virtual void copyFrom(const TFieldInfo& dst, bit_buffer& dstBuffer, const TFieldInfo& src,
                          const bit_buffer& srcBuffer) const = 0;
    // `value` / `out` designate a value of the descriptor's own type.
    virtual bool canStore(const TFieldInfo&, const void* value) const = 0;
    virtual void minValue(const TFieldInfo&, void* out) const = 0;
    virtual void maxValue(const TFieldInfo&, void* out) const = 0;
    virtual void to_stream(const TFieldInfo&, std::ostream&) const = 0;
    virtual void serial_write(const TFieldInfo&, serial::serial_out&) const = 0;
    virtual unsigned serial_size(const TFieldInfo&) const = 0;
    // A new copy placed at `offset`, which advances by its width; the caller
    // owns it.
    virtual TFieldInfo* placed_clone(const TFieldInfo&, unsigned& offset) const = 0;
    virtual ~TFieldImpl() {}
    // The descriptor's width in bits and, once placed in a structure, its
    // first bit (0 for a descriptor never placed).
    virtual unsigned bitWidth(const TFieldInfo&) const = 0;
    virtual unsigned bitOffset(const TFieldInfo&) const = 0;

    const std::string& typeName() const { return m_typeName; }
    TType::EType type() const { return m_type; }

private:
    TFieldImpl(const TFieldImpl&) = delete;
    TFieldImpl& operator=(const TFieldImpl&) = delete;

    const std::string m_typeName;
    const TType::EType m_type;
};

// The strategy of TField<T>: forwards each slot to the TField<T> operation of
// the same name. One instance per T, made on first use of s_impl().
template <class T>
class TImpl : public TFieldImpl {
public:
    // The instance, made on the first call. After that a call is one load.
    static TImpl& s_impl() {
        TImpl* p = s_instance;
        return p ? *p : create();
    }

    const TField<T>& cast(const TFieldInfo& f) const { return static_cast<const TField<T>&>(f); }

    void value_from_stream(const TFieldInfo&, std::istream&, bit_buffer&) const override;
    void value_to_stream(const TFieldInfo&, std::ostream&, const bit_buffer&) const override;
    void copyFrom(const TFieldInfo&, bit_buffer&, const TFieldInfo&, const bit_buffer&) const override;
    bool canStore(const TFieldInfo&, const void*) const override;
    void minValue(const TFieldInfo&, void*) const override;
    void maxValue(const TFieldInfo&, void*) const override;
    void to_stream(const TFieldInfo&, std::ostream&) const override;
    void serial_write(const TFieldInfo&, serial::serial_out&) const override;
    unsigned serial_size(const TFieldInfo&) const override;
    TFieldInfo* placed_clone(const TFieldInfo&, unsigned&) const override;
    unsigned bitWidth(const TFieldInfo& f) const override { return cast(f).bits(); }
    unsigned bitOffset(const TFieldInfo& f) const override { return cast(f).offset(); }

private:
    TImpl(const std::string& typeName, TType::EType type) : TFieldImpl(typeName, type) {}
    static TImpl& create();

    static TImpl* s_instance;
};

#define ORVEX_EXTERN_IMPL(T, enumerator) extern template class TImpl<T>;
ORVEX_FIELD_TYPES(ORVEX_EXTERN_IMPL)
#undef ORVEX_EXTERN_IMPL

// ================================================================= elements

// Anything that can add itself to a structure: a field, the end-of-key
// marker, or a composite of two elements.
class TFieldsElement : public TNamed {
public:
    explicit TFieldsElement(const std::string& name) : TNamed(name) {}
    virtual ~TFieldsElement() {}
    virtual void addToFieldsRep(TFieldsRep& rep) const = 0;
};

// What every field descriptor has: name, type strategy, transformer
// arguments. Copies share the strategy and the arguments.
class TFieldInfo : public TFieldsElement {
public:
    class reference;
    class const_reference;

    TFieldInfo(const std::string& name, TFieldImpl& impl) : TFieldsElement(name), m_impl(impl) {}
    TFieldInfo(const TFieldInfo&) = default;
    // The name as a serial string / as one string token. A failed read
    // leaves the name empty and the stream failed.
    TFieldInfo(serial::serial_in& in, TFieldImpl& impl);
    TFieldInfo(std::istream& in, TFieldImpl& impl);

    // The strategy's type name; the same string object for every descriptor
    // of one type.
    const std::string& Type() const { return m_impl.typeName(); }
    // Beside Type(): the type as a value, so callers need not compare names;
    // the width in bits; the first bit in the record (0 until placed).
    TType::EType typeValue() const { return m_impl.type(); }
    unsigned bitWidth() const { return m_impl.bitWidth(*this); }
    unsigned bitOffset() const { return m_impl.bitOffset(*this); }
    TFieldImpl& impl() const { return m_impl; }
    // Raises the bad-type error unless Type() is `expected`.
    void CheckType(const std::string& expected) const {
        const std::string& actual = Type();
        if (&actual != &expected && actual != expected) raise_bad_type_error(name(), actual, expected);
    }

    // Forwarders to the strategy.
    void to_stream(std::ostream& os) const { m_impl.to_stream(*this, os); }
    void serial_write(serial::serial_out& out) const { m_impl.serial_write(*this, out); }
    unsigned serial_size() const { return m_impl.serial_size(*this); }
    void value_to_stream(std::ostream& os, const bit_buffer& b) const { m_impl.value_to_stream(*this, os, b); }
    void value_from_stream(std::istream& is, bit_buffer& b) const { m_impl.value_from_stream(*this, is, b); }
    TFieldInfo* placed_clone(unsigned& offset) const { return m_impl.placed_clone(*this, offset); }

    // Type name token, field name token.
    void base_to_stream(std::ostream& os) const;
    // Type name and field name as serial strings; base_serial_size is their size.
    void base_serial_write(serial::serial_out& out) const;
    unsigned base_serial_size() const;

    // Adds a copy placed at the structure's end; "Field <name> already
    // exists" when the name is taken, "... record too large ..." past the
    // record size cap. The structure is unchanged on error.
    void addToFieldsRep(TFieldsRep& rep) const override;

    pointer<field_transformer_base::args> transformer() const { return m_transformer; }
    void transformer(const pointer<field_transformer_base::args>& a) { m_transformer = a; }

private:
    TFieldInfo& operator=(const TFieldInfo&) = delete;

    TFieldImpl& m_impl;
    pointer<field_transformer_base::args> m_transformer;
};

// ============================================================== references

// One field of one record, writable. Holds pointers to both; must not
// outlive either. Assigning checks the value's type against the field's
// type name, then its range; a failed assignment leaves the record as it was.
class TFieldInfo::reference {
public:
    reference(const TFieldInfo& field, bit_buffer& buffer) : m_field(&field), m_buffer(&buffer) {}
    reference(const reference&) = default;

    const TFieldInfo& field() const { return *m_field; }
    bit_buffer& buffer() const { return *m_buffer; }

    reference& operator=(int v);
    reference& operator=(unsigned int v);
    reference& operator=(long v);
    reference& operator=(unsigned long v);
    reference& operator=(const fixed_point& v);
    reference& operator=(const std::string& v);
    reference& operator=(const char* v);
    reference& operator=(const class TBaseValue& v);
    // Copies the value of another field and record: same type name required;
    // the value is read with the source's descriptor and written with this
    // one's, so widths may differ and this field's range check applies.
    reference& operator=(const reference& src);
    reference& operator=(const const_reference& src);

    // Type check against TImpl<T>, then TField<T>::Get.
    template <class T>
    T get() const;

private:
    void copyFrom(const TFieldInfo& src, const bit_buffer& srcBuffer) const;

    const TFieldInfo* m_field;
    bit_buffer* m_buffer;
};

// One field of one record, read-only.
class TFieldInfo::const_reference {
public:
    const_reference(const TFieldInfo& field, const bit_buffer& buffer) : m_field(&field), m_buffer(&buffer) {}
    const_reference(const reference& r) : m_field(&r.field()), m_buffer(&r.buffer()) {}
    const_reference(const const_reference&) = default;
    const_reference& operator=(const const_reference&) = delete;

    const TFieldInfo& field() const { return *m_field; }
    const bit_buffer& buffer() const { return *m_buffer; }

    template <class T>
    T get() const;

private:
    const TFieldInfo* m_field;
    const bit_buffer* m_buffer;
};

// ============================================================== descriptors

// The intermediate class of each TField<T>; no data of its own.
template <class D, class T>
class TField_base : public TFieldInfo {
public:
    typedef T value_type;

protected:
    explicit TField_base(const std::string& name) : TFieldInfo(name, TImpl<T>::s_impl()) {}
    explicit TField_base(serial::serial_in& in) : TFieldInfo(in, TImpl<T>::s_impl()) {}
    explicit TField_base(std::istream& in) : TFieldInfo(in, TImpl<T>::s_impl()) {}
};

// Raises the out-of-range error "Field <name> maximum value exceeded: <v>".
[[noreturn]] void raise_value_exceeded(const std::string& name, const std::string& valueText);
// Raises the runtime error for a width above 32.
[[noreturn]] void raise_bad_width(const std::string& name, unsigned bits);

// ==================================================================== codecs

// The typed codec of one placed field: everything reading and writing its
// value needs, held by value, so that a descriptor and every field handle
// made from it run the same few inlined shifts. It works on a record's
// content bytes (content byte 0 first) and touches only its field's bytes.
// A value that does not fit is refused with false and changes nothing; the
// caller raises the field's own error. A default codec (an unplaced field)
// reads zero or the empty string and accepts only those.
//
// Integers (T is int, unsigned int, long or unsigned long): two's complement
// for the signed types; a value outside the 32-bit range never fits.
template <class T>
class field_codec {
public:
    field_codec() = default;
    explicit field_codec(const bit_field& placement) : m_slot(placement) {}

    T get(const unsigned char* record) const {
        if (std::is_signed<T>::value) return static_cast<T>(m_slot.get_signed(record));
        return static_cast<T>(m_slot.get(record));
    }
    bool set(unsigned char* record, T v) const {
        typedef typename std::conditional<std::is_signed<T>::value, long, unsigned long>::type wide;
        if (!m_slot.fits(static_cast<wide>(v))) return false;
        m_slot.put(record, static_cast<std::uint32_t>(v));
        return true;
    }

private:
    bit_slot m_slot;
};

// Fixed point: the raw integer at the field's precision, signed; a value is
// converted to that precision before it is stored.
template <>
class field_codec<fixed_point> {
public:
    field_codec() = default;
    field_codec(const bit_field& placement, unsigned precision)
        : m_slot(placement), m_precision(static_cast<unsigned char>(precision)) {}

    fixed_point get(const unsigned char* record) const {
        fixed_point v(m_precision);
        v.raw = m_slot.get_signed(record);
        return v;
    }
    bool set(unsigned char* record, const fixed_point& v) const {
        int raw = 0;
        if (!fixed_point::convert(m_precision, v, raw) || !m_slot.fits(static_cast<long>(raw))) return false;
        m_slot.put(record, static_cast<std::uint32_t>(raw));
        return true;
    }

private:
    bit_slot m_slot;
    unsigned char m_precision = 0;
};

// Strings: `length` positions of 6 (packed) or 8 bits, moved in runs of up
// to 32 bits (5 packed or 4 plain characters) per slot operation. Unpacked
// positions hold the byte, 0 for unused ones; packed ones the 6-bit code
// (letters upper-cased, then c - 32, 63 for anything outside 32..95), read
// back as code + 32.
template <>
class field_codec<std::string> {
public:
    field_codec() = default;
    field_codec(unsigned offset, unsigned length, bool packed);

    // Characters up to the first 0 (unpacked) or all of them (packed). A
    // string of up to 15 characters is built once, in place, with no
    // allocation.
    std::string get(const unsigned char* record) const {
        if (m_length <= kShortLength) {
            char text[kShortLength + kSpill];
            return std::string(text, read(record, text));
        }
        std::string s(m_length + kSpill, '\0');
        s.resize(read(record, &s[0]));
        return s;
    }
    // Writes every position, unused ones as 0; false when s is too long.
    bool set(unsigned char* record, const std::string& s) const;

    static unsigned packedCode(char c) {
        int ch = static_cast<unsigned char>(c);
        if (ch >= 'a' && ch <= 'z') ch -= 'a' - 'A';
        const int code = ch - 32;
        return code < 0 || code > 63 ? 63u : static_cast<unsigned>(code);
    }

private:
    // kSpill: each run is written as one word, so `read` may write up to
    // this many bytes past the characters it returns.
    enum { kShortLength = 15, kSpill = 8 };
    // The characters into out (room for length() + kSpill), stopping at an
    // unpacked 0; how many. A run's last character is its lowest bits. Each
    // run's characters are spread into the bytes of one word, first
    // character lowest, and stored at once: no loop or test per character.
    unsigned read(const unsigned char* record, char* out) const {
        unsigned count = 0, left = m_length;
        if (m_packed) {
            // Packed codes read back as 32 .. 95, never 0: nothing to stop at.
            for (const bit_slot& run : m_runs) {
                const unsigned n = left < 5 ? left : 5;
                const std::uint64_t v = std::uint64_t(run.get(record)) << (6 * (5 - n));
                const std::uint64_t spread = ((v >> 24) & 63) | ((v >> 18) & 63) << 8 | ((v >> 12) & 63) << 16 |
                                             ((v >> 6) & 63) << 24 | (v & 63) << 32;
                boost::endian::endian_store<std::uint64_t, 8, boost::endian::order::little>(
                    reinterpret_cast<unsigned char*>(out + count), spread + 0x2020202020u);
                count += n;
                left -= n;
            }
            return count;
        }
        for (const bit_slot& run : m_runs) {
            const unsigned n = left < 4 ? left : 4;
            // Positions past the run's n read as 0, which ends the string
            // right after them as it should.
            const std::uint32_t inOrder = boost::endian::endian_reverse(run.get(record) << (8 * (4 - n)));
            boost::endian::endian_store<std::uint32_t, 4, boost::endian::order::little>(
                reinterpret_cast<unsigned char*>(out + count), inOrder);
            const std::uint32_t zeros = (inOrder - 0x01010101u) & ~inOrder & 0x80808080u;
            if (zeros) return count + static_cast<unsigned>(__builtin_ctz(zeros)) / 8;
            count += n;
            left -= n;
        }
        return count;
    }

    std::vector<bit_slot> m_runs;
    unsigned short m_length = 0;
    bool m_packed = false;
    // Derived from m_packed once, so writing divides by nothing.
    unsigned char m_charSize = 8;
    unsigned char m_perRun = 4;
};

// Integer descriptors: T is int ("int"), unsigned int ("u_int"), long
// ("long"), unsigned long ("u_long") or any other listed integer type. Values are stored in `bits` bits,
// two's complement for the signed types; a value outside the 32-bit range
// never fits.
template <class T>
class TField : public TField_base<TField<T>, T> {
    static_assert(std::is_integral<T>::value && sizeof(T) <= sizeof(long),
                  "a stored type that is not an integer needs a descriptor of its own");

public:
    // Unplaced descriptor; bits above 32 raise.
    TField(const std::string& name, unsigned bits);
    // Name, then the width byte / width token.
    explicit TField(serial::serial_in& in);
    explicit TField(std::istream& in);

    T Get(const bit_buffer& b) const { return m_codec.get(reinterpret_cast<const unsigned char*>(b(0))); }
    // Out-of-range error, buffer unchanged, when v does not fit.
    void Set(bit_buffer& b, T v) const {
        if (!m_codec.set(reinterpret_cast<unsigned char*>(b(0)), v)) raiseExceeded(v);
    }
    // The out-of-range error Set raises for v.
    [[noreturn]] void raiseExceeded(T v) const { raise_value_exceeded(this->name(), std::to_string(v)); }
    const field_codec<T>& codec() const { return m_codec; }
    bool canStore(T v) const;
    T minValue() const;
    T maxValue() const;

    unsigned bits() const { return m_bits; }
    const bit_field& placement() const { return m_placement; }
    unsigned offset() const { return static_cast<unsigned>(m_placement.offset()); }

    void serial_write(serial::serial_out& out) const;
    unsigned serial_size() const;
    void to_stream(std::ostream& os) const;
    void value_from_stream(std::istream& is, bit_buffer& b) const;
    void value_to_stream(std::ostream& os, const bit_buffer& b) const;
    TField* placed_clone(unsigned& offset) const;

private:
    bit_field m_placement;
    unsigned char m_bits;
    field_codec<T> m_codec;  // m_placement, for the inner loop
};

// Fixed-point descriptor ("fixed"): the raw integer at the field's precision,
// signed, in `bits` bits.
template <>
class TField<fixed_point> : public TField_base<TField<fixed_point>, fixed_point> {
public:
    // Precision before width; bits above 32 raise.
    TField(const std::string& name, unsigned precision, unsigned bits);
    // Name, width, precision.
    explicit TField(serial::serial_in& in);
    explicit TField(std::istream& in);

    unsigned Precision() const { return m_precision; }
    unsigned bits() const { return m_bits; }
    const bit_field& placement() const { return m_placement; }
    unsigned offset() const { return static_cast<unsigned>(m_placement.offset()); }

    fixed_point Get(const bit_buffer& b) const { return m_codec.get(reinterpret_cast<const unsigned char*>(b(0))); }
    // v is converted to the field's precision first; out-of-range error,
    // buffer unchanged, when it does not fit.
    void Set(bit_buffer& b, const fixed_point& v) const {
        if (!m_codec.set(reinterpret_cast<unsigned char*>(b(0)), v)) raiseExceeded(v);
    }
    // The out-of-range error Set raises for v.
    [[noreturn]] void raiseExceeded(const fixed_point& v) const;
    const field_codec<fixed_point>& codec() const { return m_codec; }
    bool canStore(const fixed_point& v) const;
    fixed_point minValue() const;
    fixed_point maxValue() const;

    void serial_write(serial::serial_out& out) const;
    unsigned serial_size() const;
    void to_stream(std::ostream& os) const;
    void value_from_stream(std::istream& is, bit_buffer& b) const;
    void value_to_stream(std::ostream& os, const bit_buffer& b) const;
    TField* placed_clone(unsigned& offset) const;

private:
    bit_field m_placement;
    unsigned char m_bits;
    unsigned char m_precision;
    field_codec<fixed_point> m_codec;  // m_placement, for the inner loop
};

// String descriptor ("str"): `length` character positions of charSize()
// bits each. Unpacked positions hold the byte, 0 for unused ones. Packed
// positions hold a 6-bit code: letters upper-cased, then c - 32, with 63
// for anything outside 32..95; they read back as code + 32, so unused
// positions and unrepresentable characters read as '_'.
template <>
class TField<std::string> : public TField_base<TField<std::string>, std::string> {
public:
    // Lengths above 65535 raise.
    TField(const std::string& name, unsigned length, bool packed);
    // Name, length (16-bit), packed flag.
    explicit TField(serial::serial_in& in);
    explicit TField(std::istream& in);

    unsigned charSize() const { return m_packed ? 6 : 8; }
    bool Packed() const { return m_packed; }
    unsigned length() const { return m_length; }
    unsigned bits() const { return m_length * charSize(); }
    unsigned offset() const { return m_offset; }  // 0 until placed

    // Characters up to the first 0 (unpacked) or all of them (packed). An
    // unplaced descriptor reads "".
    std::string Get(const bit_buffer& b) const { return m_codec.get(reinterpret_cast<const unsigned char*>(b(0))); }
    // Writes every position; a string longer than length() raises
    // "Field <name> maximum value exceeded: \"<s>\"" and changes nothing.
    void Set(bit_buffer& b, const std::string& s) const {
        // Checked here too: an unplaced descriptor's codec is empty, yet it
        // accepts what fits its length (and writes nothing).
        if (s.size() > m_length) raiseExceeded(s);
        m_codec.set(reinterpret_cast<unsigned char*>(b(0)), s);
    }
    // The out-of-range error Set raises for s.
    [[noreturn]] void raiseExceeded(const std::string& s) const;
    const field_codec<std::string>& codec() const { return m_codec; }
    bool canStore(const std::string& s) const { return s.size() <= m_length; }
    std::string minValue() const { return std::string(); }
    std::string maxValue() const;

    // The 6-bit code of a character.
    static unsigned packedCode(char c) { return field_codec<std::string>::packedCode(c); }

    void serial_write(serial::serial_out& out) const;
    unsigned serial_size() const;
    void to_stream(std::ostream& os) const;
    void value_from_stream(std::istream& is, bit_buffer& b) const;
    void value_to_stream(std::ostream& os, const bit_buffer& b) const;
    TField* placed_clone(unsigned& offset) const;

private:
    unsigned short m_length;
    bool m_packed;
    unsigned m_offset = 0;
    field_codec<std::string> m_codec;  // empty until placed
};

// For the types with a descriptor of their own this names the
// specialisation and has no effect.
#define ORVEX_EXTERN_FIELD(T, enumerator) extern template class TField<T>;
ORVEX_FIELD_TYPES(ORVEX_EXTERN_FIELD)
#undef ORVEX_EXTERN_FIELD

// =================================================================== values

// One typed value that can be assigned into a field reference.
class TBaseValue {
public:
    virtual void assignTo(const TFieldInfo::reference& r) const = 0;
    virtual ~TBaseValue() {}

    // Raises the bad-type error (field name, field type, `expected`) unless
    // the referenced field is of type `expected`.
    void CheckType(const TFieldInfo::reference& r, const std::string& expected) const {
        r.field().CheckType(expected);
    }
    void CheckType(const TFieldInfo::const_reference& r, const std::string& expected) const {
        r.field().CheckType(expected);
    }
};

// A value of one of the six field types, held by value.
template <class T>
class Val : public TBaseValue {
public:
    explicit Val(const T& v) : m_value(v) {}
    const T& value() const { return m_value; }

    // Type check, then TField<T>::Set on the reference's buffer.
    void assignTo(const TFieldInfo::reference& r) const override {
        CheckType(r, TImpl<T>::s_impl().typeName());
        static_cast<const TField<T>&>(r.field()).Set(r.buffer(), m_value);
    }

private:
    T m_value;
};

inline TFieldInfo::reference& TFieldInfo::reference::operator=(int v) {
    Val<int>(v).assignTo(*this);
    return *this;
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(unsigned int v) {
    Val<unsigned int>(v).assignTo(*this);
    return *this;
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(long v) {
    Val<long>(v).assignTo(*this);
    return *this;
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(unsigned long v) {
    Val<unsigned long>(v).assignTo(*this);
    return *this;
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(const fixed_point& v) {
    Val<fixed_point>(v).assignTo(*this);
    return *this;
}
// What Val<std::string>(v).assignTo(*this) does, without copying the string.
inline TFieldInfo::reference& TFieldInfo::reference::operator=(const std::string& v) {
    m_field->CheckType(TImpl<std::string>::s_impl().typeName());
    static_cast<const TField<std::string>&>(*m_field).Set(*m_buffer, v);
    return *this;
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(const char* v) {
    return *this = std::string(v);
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(const TBaseValue& v) {
    v.assignTo(*this);
    return *this;
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(const reference& src) {
    copyFrom(src.field(), src.buffer());
    return *this;
}
inline TFieldInfo::reference& TFieldInfo::reference::operator=(const const_reference& src) {
    copyFrom(src.field(), src.buffer());
    return *this;
}

template <class T>
T TFieldInfo::reference::get() const {
    m_field->CheckType(TImpl<T>::s_impl().typeName());
    return static_cast<const TField<T>&>(*m_field).Get(*m_buffer);
}

template <class T>
T TFieldInfo::const_reference::get() const {
    m_field->CheckType(TImpl<T>::s_impl().typeName());
    return static_cast<const TField<T>&>(*m_field).Get(*m_buffer);
}

// ====================================================== markers, composites

// The end-of-key marker: fields added after it are not part of the key. A
// later marker replaces an earlier one. Its name is empty.
class TEndOfKey : public TFieldsElement {
public:
    TEndOfKey() : TFieldsElement(std::string()) {}
    void addToFieldsRep(TFieldsRep& rep) const override;
};

// Two elements added one after the other; composites nest, so a chain adds
// in the order it reads: `fields += key | TEndOfKey() | qty | price;`
//
// A composite owns what it combines: field descriptors are copied (sharing
// their transformer arguments), end-of-key markers are recreated, and nested
// composites are flattened into their parts. A composite may therefore be
// kept and appended after its operands are gone. Elements of any other
// class are held by reference and must outlive the composite.
class TFieldComposite : public TFieldsElement {
public:
    TFieldComposite(const TFieldsElement& first, const TFieldsElement& second);
    TFieldComposite(const TFieldComposite& other) = default;

    // Appends every part in order.
    void addToFieldsRep(TFieldsRep& rep) const override;
    unsigned parts() const { return static_cast<unsigned>(m_parts.size()); }

private:
    void take(const TFieldsElement& e);

    std::vector<pointer<const TFieldsElement> > m_parts;
};

// The chaining operator: TFieldComposite(a, b).
inline TFieldComposite operator|(const TFieldsElement& a, const TFieldsElement& b) { return TFieldComposite(a, b); }

// =============================================================== structures

// The shared representation of a table structure: placed descriptors in
// order (unique names), running bit size and the key boundary.
class TFieldsRep : public jobject, public serial::serializable {
public:
    // The largest record, in bits (128 KiB).
    static constexpr unsigned kMaxRecordBits = 1u << 20;
    // The most fields the 16-bit counts of both forms can carry.
    static constexpr unsigned kMaxStoredFields = 65535;

    TFieldsRep();
    // Re-adds every field of `other` from bit 0 (so the copy owns its own
    // placed descriptors) and copies the key boundary.
    TFieldsRep(const TFieldsRep& other);

    // e.addToFieldsRep(*this).
    void append(const TFieldsElement& e);
    // Reads one descriptor of the named type (its text form, or binary when
    // `binary`) after the type name and appends it. "Unknown field type: "
    // for a name that is no type; nothing is added when the stream fails.
    void append(std::istream& is, const std::string& typeName, bool binary);

    // "Index <i> out of valid range." / "Field <name> doesn't exist".
    TFieldInfo& fieldAt(unsigned i) { return static_cast<TFieldInfo&>(m_fields.objectAt(i)); }
    const TFieldInfo& fieldAt(unsigned i) const { return static_cast<const TFieldInfo&>(m_fields.objectAt(i)); }
    TFieldInfo& fieldAt(const std::string& name) { return static_cast<TFieldInfo&>(m_fields.objectAt(name)); }
    const TFieldInfo& fieldAt(const std::string& name) const {
        return static_cast<const TFieldInfo&>(m_fields.objectAt(name));
    }
    // Position of the named field, or size() when absent.
    unsigned indexOf(const std::string& name) const { return m_fields.indexOf(name); }

    unsigned size() const { return m_fields.size(); }
    unsigned endOfKey() const { return m_wholeKey ? size() : m_keyFields; }
    unsigned bitSize() const { return m_bitSize; }
    unsigned bitCompareSize() const { return m_wholeKey ? m_bitSize : m_keyBits; }
    bool comparable() const { return m_wholeKey || m_keyFields != 0; }

    // ".dst": "<count> <endOfKey>" line, then one line per field.
    void to_stream(std::ostream& os) const;
    // Appends the fields read; a failed stream stops silently.
    void from_stream(std::istream& is);

    // ".dsb": count and endOfKey (2 bytes each, little-endian), then each
    // field's binary form.
    void serial_write(std::ostream& os) const override;
    void serial_read(std::istream& is) override;
    unsigned serial_size() const override;
    bool fixed_size() const override { return false; }

    static void badIndex(unsigned i);
    static void badKey(const std::string& name);

private:
    friend class TFieldInfo;
    friend class TEndOfKey;
    TFieldsRep& operator=(const TFieldsRep&) = delete;

    void checkStorable() const;

    TPtrCollection m_fields;
    unsigned m_bitSize;
    unsigned m_keyBits;
    unsigned m_keyFields;
    bool m_wholeKey;
};

// The handle on a shared structure. Copies share; appending to a shared
// representation first makes a private copy, so records and tables made
// earlier keep the structure they had.
class TFields : public jobject, public serial::out_serializable {
public:
    TFields() : m_rep(new TFieldsRep) {}
    // A new structure read from the text / binary form.
    explicit TFields(std::istream& is);
    explicit TFields(serial::serial_in& in);
    TFields(const TFields&) = default;
    TFields& operator=(const TFields&) = default;

    // A typed handle on the named field, its type checked once here (the
    // typed reads' bad-type error) rather than on every value.
    template <class T>
    field_handle<T> handle(const std::string& name) const;

    void append(const TFieldsElement& e);
    TFields& operator+=(const TFieldsElement& e) {
        append(e);
        return *this;
    }

    // The descriptor by position or name; never copies the representation.
    TFieldInfo& operator[](unsigned i) { return m_rep->fieldAt(i); }
    const TFieldInfo& operator[](unsigned i) const { return m_rep->fieldAt(i); }
    TFieldInfo& operator[](const std::string& name) { return m_rep->fieldAt(name); }
    const TFieldInfo& operator[](const std::string& name) const { return m_rep->fieldAt(name); }
    unsigned indexOf(const std::string& name) const { return m_rep->indexOf(name); }

    unsigned size() const { return m_rep->size(); }
    bool empty() const { return size() == 0; }
    unsigned bitSize() const { return m_rep->bitSize(); }
    unsigned byteSize() const { return (bitSize() + 7) / 8; }
    unsigned bitCompareSize() const { return m_rep->bitCompareSize(); }
    unsigned endOfKey() const { return m_rep->endOfKey(); }
    bool comparable() const { return m_rep->comparable(); }

    // True when the handles hold different representations (even alike ones).
    bool operator!=(const TFields& other) const { return m_rep != other.m_rep; }
    bool operator==(const TFields& other) const { return m_rep == other.m_rep; }

    void to_stream(std::ostream& os) const { m_rep->to_stream(os); }
    void serial_write(std::ostream& os) const override { m_rep->serial_write(os); }
    unsigned serial_size() const override { return m_rep->serial_size(); }
    bool fixed_size() const override { return m_rep->fixed_size(); }

    const TFieldsRep& rep() const { return *m_rep; }

private:
    friend class TRecord;
    explicit TFields(pointer<TFieldsRep>&& rep) : m_rep(std::move(rep)) {}
    // A handle on the structure of `fields` for a record being made: the
    // share the calling thread parked when it is one of that structure,
    // otherwise a new one.
    static TFields shareForRecord(const TFields& fields);
    // Parks this handle's share with the calling thread, releasing the one
    // parked before; the handle is left empty (for a record going away).
    void parkShare() noexcept;

    pointer<TFieldsRep> m_rep;
};

// ================================================================== records

// One row: a handle on the structure and the packed bytes. Copying shares
// the structure and copies the bytes (no allocation up to 46 bytes).
//
// A scan makes and drops a record per row, and counting a structure share
// up and down is an atomic operation each way, which costs as much as the
// row's bytes. So a record going away parks its share with its thread, and
// the next record the thread makes of the same structure takes that share
// back without counting. A thread thus keeps one structure alive past its
// last record, until it makes a record of another structure or ends; while
// it does, appending to a handle of that structure appends to a copy, as it
// does for any shared structure.
class TRecord : public jobject, public serial::serializable {
public:
    // A zeroed record of the structure, keyed on its bitCompareSize(). It
    // shares the structure (one count) and allocates only when its bytes
    // pass what a bit_buffer holds inside itself.
    explicit TRecord(const TFields& fields);
    TRecord(const TRecord& other) = default;
    ~TRecord() override { m_fields.parkShare(); }
    // Takes the source's structure (and compare mask) when it differs, then
    // its bytes.
    TRecord& operator=(const TRecord& other);

    const TFields& fields() const { return m_fields; }
    const bit_buffer& data() const { return m_data; }
    bit_buffer& data() { return m_data; }
    // Content byte 0 of the record, as field handles take it.
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(m_data(0)); }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(m_data(0)); }

    // Field i of this record; "Index <i> out of valid range." when bad.
    TFieldInfo::reference operator[](unsigned i) { return TFieldInfo::reference(m_fields[i], m_data); }
    TFieldInfo::const_reference operator[](unsigned i) const {
        return TFieldInfo::const_reference(m_fields[i], m_data);
    }
    // The named field; "Field <name> doesn't exist" when absent.
    TFieldInfo::reference operator[](const std::string& name) {
        return TFieldInfo::reference(m_fields[name], m_data);
    }
    TFieldInfo::const_reference operator[](const std::string& name) const {
        return TFieldInfo::const_reference(m_fields[name], m_data);
    }

    // -1, 0 or 1 by the key bits, as unsigned bytes; "Couldn't compare
    // records" when the two do not share one structure representation.
    int compareTo(const TRecord& other) const;

    // One value token per field, no line end; a failed stream stops.
    void to_stream(std::ostream& os) const;
    // The same tokens added to the end of `line`, as to_stream writes them
    // on a good stream with no field width set.
    void append_text(std::string& line) const;
    void from_stream(std::istream& is);

    // Exactly byteSize() bytes, nothing around them.
    void serial_write(std::ostream& os) const override { m_data.serial_write(os); }
    void serial_read(std::istream& is) override { m_data.serial_read(is); }
    unsigned serial_size() const override { return m_fields.byteSize(); }
    bool fixed_size() const override { return true; }

private:
    friend class TOpenTable;  // fills whole records straight from the file
    // A record whose content the maker fills entirely before any use; inline,
    // as `at` makes one per record read.
    TRecord(const TFields& fields, bit_buffer::unfilled)
        : m_fields(TFields::shareForRecord(fields)),
          m_data(static_cast<int>(fields.bitSize()), bit_buffer::unfilled()) {
        computeMask();
    }
    void computeMask() {
        const unsigned keyBits = m_fields.bitCompareSize();
        m_wholeKeyBytes = keyBits / 8;
        m_keyTailMask = static_cast<unsigned char>((0xFFu << (8 - keyBits % 8)) & 0xFF);
    }

    TFields m_fields;
    bit_buffer m_data;
    unsigned m_wholeKeyBytes;
    unsigned char m_keyTailMask;
};

// Raises the logic error "Field handle <name> used on a record of another
// structure".
[[noreturn]] void raise_foreign_record(const std::string& name);

// Typed access to one field of the records of one structure, resolved once:
// a program keeps it for a loop instead of looking the field up and checking
// its type per value. It shares the structure, so it stays valid as long as
// it lives, and holds its own copy of the field's codec, so a read or write
// is the codec's inlined shifts with no call through the descriptor. A value
// that does not fit raises the field's own error, as typed writes do, and
// changes nothing.
template <class T>
class field_handle {
public:
    // The type check of typed reads, once: the bad-type logic error when the
    // field is not of type T; "Field <name> doesn't exist" when absent.
    field_handle(const TFields& fields, const std::string& name)
        : m_fields(fields), m_field(&checked(fields[name])), m_codec(m_field->codec()) {}

    // On a record: one of another structure representation raises the logic
    // error "Field handle <name> used on a record of another structure"
    // rather than be read at offsets that are not its own.
    T get(const TRecord& r) const {
        checkShared(r);
        return m_codec.get(r.bytes());
    }
    void set(TRecord& r, const T& v) const {
        checkShared(r);
        set(r.bytes(), v);
    }

    // On raw record bytes: `record` points to the first of one record's
    // byteSize() bytes (a record of the structure the handle was made from,
    // as a contents file or TOpenTable::forEachBytes hold them). The values
    // and the refusals are those of the record forms, byte for byte, but
    // bytes carry no structure, so the structure check is the caller's: bytes
    // of another layout are read or written at this field's offsets.
    T get(const unsigned char* record) const { return m_codec.get(record); }
    void set(unsigned char* record, const T& v) const {
        if (!m_codec.set(record, v)) m_field->raiseExceeded(v);
    }

    const TField<T>& field() const { return *m_field; }

private:
    static const TField<T>& checked(const TFieldInfo& f) {
        f.CheckType(TImpl<T>::s_impl().typeName());
        return static_cast<const TField<T>&>(f);
    }
    void checkShared(const TRecord& r) const {
        if (r.fields() != m_fields) raise_foreign_record(m_field->name());
    }

    TFields m_fields;
    const TField<T>* m_field;
    field_codec<T> m_codec;
};

template <class T>
field_handle<T> TFields::handle(const std::string& name) const {
    return field_handle<T>(*this, name);
}

}  // namespace Orvex
