// Each stored type's rules in one place: its name, how a value is read from
// text and written as text, the range a descriptor holds, the words a
// refusal uses, and how a key value given as text is placed among the
// stored keys. The descriptors (TField<T>) keep the bits; the library, the
// tool's values, field syntax, key search, record output and check all ask
// the traits for the rest, so a type name and a message are spelled once.
//
// Every specialisation has the members of integer_field_traits below, with
// the same meanings; field_types.h lists the types.
//
// Plain text of a value: integers in decimal; a fixed-point value with
// exactly its field's number of decimals ("12.50"); a string as it is,
// except that a packed string drops its trailing '_' (its unused positions
// read back as '_', so they are the same bits).
//
// Reading is strict: an integer is an optional sign and digits, nothing
// around them; a fixed-point value may have fewer decimals than its field
// but not more unless they are zeros ("19.999" is refused by a field of 2
// decimals, "19.990" is taken), since anything else would be rounded.
#pragma once

#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "Core/Orvex/__field.h"
#include "Core/Orvex/field_types.h"
#include "support/number_text.h"

namespace Orvex {

// Where a key value given as text lies among the values its field holds.
enum class KeyFit {
    exact,     // stored as it is
    floor,     // not storable; the greatest value below it in key order is stored
    below,     // not storable; it lies below every value the field can hold
    malformed  // not a value of the type at all
};

// The members common to the four integer types; each specialisation adds
// type, name and reference.
template <class T>
struct integer_field_traits {
    typedef T value_type;
    typedef TField<T> descriptor;
    static constexpr bool numeric = true;      // a declared range (@range) may be given
    static constexpr bool decimal = false;     // range bounds are read as decimals
    static constexpr bool quoted = false;      // written as a string in JSON and record lines
    static constexpr bool hasSign = std::is_signed<T>::value;
    static constexpr const char* kind = "an integer";  // what a malformed text is not

    // Reads text as a value of the type, whatever the field's width: ok,
    // malformed, or tooLarge outside the type's 32-bit range (v unchanged).
    static NumberText parse(const std::string& text, const descriptor& field, T& v);
    // "" with v set when the field can store the text's value; else the
    // reason, as a user reads it: "not an integer: 'x'", "5000 does not fit
    // (int of 13 bits holds -4096..4095)".
    static std::string read(const descriptor& field, const std::string& text, T& v);
    static std::string text(const descriptor&, T v) { return std::to_string(v); }
    // "-4096..4095", "0..255".
    static std::string rangeText(const descriptor& field);
    // "<shown> does not fit (<type> of <bits> bits holds <range>)".
    static std::string doesNotFit(const std::string& shown, const descriptor& field);
    // The value as a number, for declared-range checks.
    static long double magnitude(T v) { return static_cast<long double>(v); }

    // Stores the value text stands for in the buffer, or what takes its place
    // in key order: a value out of reach lies just after the largest stored
    // one (for a signed field in the gap before the negative ones), an
    // unsigned value below 0 before them all. Only exact and floor write.
    static KeyFit setKey(const descriptor& field, bit_buffer& record, const std::string& text);
    // Sets every bit of the field: the last value in key order.
    static void setLargest(const descriptor& field, bit_buffer& record);

    // A descriptor from the field syntax's sizes (what follows NAME:TYPE:,
    // split at ':'), or null with `problem` set: "expected NAME:int:BITS",
    // "BITS must be a number from 1 to 32". The caller owns the result.
    static descriptor* make(const std::string& name, const std::vector<std::string>& sizes, std::string& problem);
    // The sizes as the field syntax writes them: "13".
    static std::string syntax(const descriptor& field);
    // What `info` lists beside the width: nothing for an integer.
    static std::string details(const descriptor&) { return std::string(); }
};

template <>
struct field_traits<int> : integer_field_traits<int> {
    static constexpr TType::EType type = TType::tpInt;
    static constexpr const char* name = "int";
    static constexpr bool reference = false;  // may point into another table (@ref)
};

template <>
struct field_traits<unsigned int> : integer_field_traits<unsigned int> {
    static constexpr TType::EType type = TType::tpUInt;
    static constexpr const char* name = "u_int";
    static constexpr bool reference = false;
};

template <>
struct field_traits<long> : integer_field_traits<long> {
    static constexpr TType::EType type = TType::tpLong;
    static constexpr const char* name = "long";
    static constexpr bool reference = false;
};

// A reference to a record of another table is its position, a u_long.
template <>
struct field_traits<unsigned long> : integer_field_traits<unsigned long> {
    static constexpr TType::EType type = TType::tpULong;
    static constexpr const char* name = "u_long";
    static constexpr bool reference = true;
};

template <>
struct field_traits<fixed_point> {
    typedef fixed_point value_type;
    typedef TField<fixed_point> descriptor;
    static constexpr TType::EType type = TType::tpFixed;
    static constexpr const char* name = "fixed";
    static constexpr bool numeric = true, decimal = true, quoted = false, hasSign = true, reference = false;
    static constexpr const char* kind = "a decimal number";
    // 10^9 is the highest power of ten whose raw integer fits 32 bits, so
    // one unit still fits.
    static constexpr unsigned maxPrecision = 9;

    // v at the field's precision or the text's own, whichever is larger;
    // tooLarge when the raw integer fits 32 bits at neither.
    static NumberText parse(const std::string& text, const descriptor& field, fixed_point& v);
    // Also "12.345 has more than the field's 2 decimals".
    static std::string read(const descriptor& field, const std::string& text, fixed_point& v);
    static std::string text(const descriptor&, const fixed_point& v) { return v.text(); }
    static std::string rangeText(const descriptor& field);  // "-5.00..5.00"
    static std::string doesNotFit(const std::string& shown, const descriptor& field);
    static long double magnitude(const fixed_point& v);
    // A value with more decimals than the field is rounded down in key
    // order: 19.999 lies after 19.99.
    static KeyFit setKey(const descriptor& field, bit_buffer& record, const std::string& text);
    static void setLargest(const descriptor& field, bit_buffer& record);
    // "expected NAME:fixed:PRECISION:BITS"; precision 0..maxPrecision.
    static descriptor* make(const std::string& name, const std::vector<std::string>& sizes, std::string& problem);
    static std::string syntax(const descriptor& field);   // "2:16"
    static std::string details(const descriptor& field);  // "precision 2"
};

template <>
struct field_traits<std::string> {
    typedef std::string value_type;
    typedef TField<std::string> descriptor;
    static constexpr TType::EType type = TType::tpStr;
    static constexpr const char* name = "str";
    static constexpr bool numeric = false, decimal = false, quoted = true, hasSign = false, reference = false;
    static constexpr const char* kind = "a string";

    // Always ok: any text is a string; whether the field keeps it is read's.
    static NumberText parse(const std::string& text, const descriptor& field, std::string& v);
    // "a string of 13 bytes, the field holds 12", "a string
    // may not hold a NUL character", and for a packed field "'~' cannot be
    // kept in a packed string (space, digits, letters and punctuation up to
    // '_')".
    static std::string read(const descriptor& field, const std::string& text, std::string& v);
    // Drops a packed string's trailing '_'.
    static std::string text(const descriptor& field, const std::string& v);
    static std::string rangeText(const descriptor& field);  // "up to 12 bytes"
    // "<shown>, the field holds 12"; shown is "a string of N bytes" (a
    // field's length counts bytes: a character beyond ASCII takes two or more).
    static std::string doesNotFit(const std::string& shown, const descriptor& field);
    // The length, which is what a declared range bounds for a string.
    static long double magnitude(const std::string& v) { return static_cast<long double>(v.size()); }
    // A string the field cannot keep (too long, a NUL, a character a packed
    // field has no code for) sorts after what the field keeps of it: floor.
    static KeyFit setKey(const descriptor& field, bit_buffer& record, const std::string& text);
    static void setLargest(const descriptor& field, bit_buffer& record);
    // "expected NAME:str:LENGTH or NAME:str:LENGTH:packed"; length 1..65535.
    static descriptor* make(const std::string& name, const std::vector<std::string>& sizes, std::string& problem);
    static std::string syntax(const descriptor& field);   // "12" or "12:packed"
    static std::string details(const descriptor& field);  // "length 12" or "length 12, packed"
};

#define ORVEX_FIELD_TYPE_CHECK(T, enumerator)                                                        \
    static_assert(field_traits<T>::type == TType::enumerator &&                                      \
                      std::is_same<field_traits<T>::descriptor, TField<T> >::value,                  \
                  "field_traits and the list in field_types.h disagree");
ORVEX_FIELD_TYPES(ORVEX_FIELD_TYPE_CHECK)
#undef ORVEX_FIELD_TYPE_CHECK

// ------------------------------------------------------------ integer rules

namespace field_traits_detail {
// Reads a size of the field syntax: a number from min to max, or false with
// problem "<what> must be a number from <min> to <max>".
bool sizeNumber(const std::string& text, const char* what, long long min, long long max, unsigned& out,
                std::string& problem);
}  // namespace field_traits_detail

template <class T>
NumberText integer_field_traits<T>::parse(const std::string& text, const descriptor&, T& v) {
    long long read = 0;
    const NumberText status = readInteger(text, read);
    if (status != NumberText::ok) return status;
    // Whatever the host's long, a stored value is a 32-bit one.
    const long long min = hasSign ? std::numeric_limits<int>::min() : 0;
    const long long max = hasSign ? std::numeric_limits<int>::max() : std::numeric_limits<unsigned int>::max();
    if (read < min || read > max) return NumberText::tooLarge;
    v = static_cast<T>(read);
    return NumberText::ok;
}

template <class T>
std::string integer_field_traits<T>::read(const descriptor& field, const std::string& text, T& v) {
    T read = 0;
    const NumberText status = parse(text, field, read);
    if (status == NumberText::malformed) return std::string("not ") + kind + ": '" + text + "'";
    if (status == NumberText::tooLarge || !field.canStore(read)) return doesNotFit(integerShown(text), field);
    v = read;
    return std::string();
}

template <class T>
std::string integer_field_traits<T>::rangeText(const descriptor& field) {
    return std::to_string(field.minValue()) + ".." + std::to_string(field.maxValue());
}

template <class T>
std::string integer_field_traits<T>::doesNotFit(const std::string& shown, const descriptor& field) {
    return shown + " does not fit (" + field.Type() + " of " + std::to_string(field.bits()) + " bits holds " +
           rangeText(field) + ")";
}

template <class T>
KeyFit integer_field_traits<T>::setKey(const descriptor& field, bit_buffer& record, const std::string& text) {
    T v = 0;
    const NumberText status = parse(text, field, v);
    if (status == NumberText::malformed) return KeyFit::malformed;
    if (status == NumberText::ok && field.canStore(v)) {
        field.Set(record, v);
        return KeyFit::exact;
    }
    if (!hasSign && text[0] == '-') return KeyFit::below;
    field.Set(record, field.maxValue());
    return KeyFit::floor;
}

template <class T>
void integer_field_traits<T>::setLargest(const descriptor& field, bit_buffer& record) {
    // Two's complement: -1 is every bit of a signed field.
    field.Set(record, hasSign ? static_cast<T>(-1) : field.maxValue());
}

template <class T>
TField<T>* integer_field_traits<T>::make(const std::string& name, const std::vector<std::string>& sizes,
                                         std::string& problem) {
    unsigned bits = 0;
    if (sizes.size() != 1) {
        problem = std::string("expected NAME:") + field_traits<T>::name + ":BITS";
        return nullptr;
    }
    if (!field_traits_detail::sizeNumber(sizes[0], "BITS", 1, 32, bits, problem)) return nullptr;
    return new TField<T>(name, bits);
}

template <class T>
std::string integer_field_traits<T>::syntax(const descriptor& field) {
    return std::to_string(field.bits());
}

}  // namespace Orvex
