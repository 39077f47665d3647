// The range fixer: gives a field the bit width that a declared value range
// needs, whatever the records hold. A client attaches range_fixer_args
// (category "sizeForRange") to a field; stripping then re-declares the
// field: integers with the signed or unsigned width of the range,
// fixed-point fields with the width of the range at its precision and that
// precision, strings with the range's maximum as their size.
//
// The library registers, when it is loaded, the args creator and then the
// creators for int, unsigned int, long, unsigned long, fixed_point and
// std::string under "sizeForRange"; unloading undoes them in reverse order.
//
// Decisions of this unit:
// - Bounds are 32-bit. An integer bound outside the 32-bit range of its
//   kind (signed for int, long and char; unsigned for the unsigned types)
//   raises std::out_of_range "Range bound <v> is outside the 32-bit range".
//   A floating-point bound that is not finite, or that does not fit a
//   32-bit raw value at the places it needs, raises std::out_of_range
//   "Range bound <v> does not fit 32 bits at <p> decimal places".
// - An unsigned bound above 2^31 - 1 keeps its 32 bits: the max long field
//   and the fixed value hold those bits read as signed. unsignedSize() then
//   gives 32, and so does the kind-2 copy read back from a file.
// - precision(x, n) takes n above 9 as 9 (a 32-bit raw value has no room
//   for more places) and gives 0 for a non-finite x.
// - A fixed-point bound whose precision does not fit the one byte of the
//   stored forms (above 255) raises std::out_of_range.
// - A computed width above 32 is refused with the field model's runtime
//   error "Field <name> width <w> is above 32" before any field is made; a
//   string size above 65535 (or a negative max) is refused by the string
//   field's own error.
#pragma once

#include <string>
#include <type_traits>

#include "Core/Orvex/Trans.h"
#include "support/fixed_point.h"

namespace Orvex {

// Arguments of category "sizeForRange": a minimum and a maximum. A single
// bound is the maximum, the minimum then being 0.
class range_fixer_args : public field_transformer_base::args {
public:
    // The most decimal places a floating-point bound is given.
    static const int iMaxPrecision;

    // Integer bounds (kind 0), fixed values at precision 0.
    range_fixer_args(long min, long max);
    range_fixer_args(int min, int max);
    range_fixer_args(char min, char max);  // taken as signed
    explicit range_fixer_args(long max);
    explicit range_fixer_args(int max);
    explicit range_fixer_args(char max);
    explicit range_fixer_args(unsigned long max);
    explicit range_fixer_args(unsigned int max);
    explicit range_fixer_args(unsigned char max);
    // Floating-point bounds (kind 1), each at precision(x, iMaxPrecision)
    // places; the range's precision is the larger.
    range_fixer_args(double min, double max);
    explicit range_fixer_args(double max);
    // Fixed-point bounds (kind 2), copied; the range's precision is the
    // larger; a single max gets a minimum of 0 at its own precision.
    range_fixer_args(const fixed_point& min, const fixed_point& max);
    explicit range_fixer_args(const fixed_point& max);

    static const char* getCategory() { return "sizeForRange"; }
    std::string category() const override { return getCategory(); }

    // Two's-complement width of the range (raw values for kinds 1 and 2,
    // each at its own precision, not rescaled).
    unsigned signedSize() const;
    // Width of the maximum alone, unsigned for kind 0.
    unsigned unsignedSize() const;
    long maxLong() const { return m_maxLong; }
    long minLong() const { return m_minLong; }
    double maxDouble() const { return m_maxDouble; }
    double minDouble() const { return m_minDouble; }
    const fixed_point& maxFixed() const { return m_maxFixed; }
    const fixed_point& minFixed() const { return m_minFixed; }
    unsigned precision() const { return m_precision; }
    // 0 integers, 1 floating-point, 2 fixed-point.
    unsigned kind() const { return m_kind; }

    // Decimal places that x needs, at most n: precision(2.25, 6) is 2,
    // precision(3.0, 6) is 0, precision(-0.125, 6) is 3.
    static int precision(double x, int n);

    // Four tokens: min precision, min value, max precision, max value.
    void to_stream(std::ostream& os) const override;
    // Min precision byte, min raw (4 bytes), max precision byte, max raw.
    void serial_write(std::ostream& os) const override;

private:
    void setIntegers(long long min, long long max, bool isUnsigned);
    void setDoubles(double min, double max, bool minGiven);
    void setFixed(const fixed_point& min, const fixed_point& max);

    int m_minLong;
    int m_maxLong;
    double m_minDouble;
    double m_maxDouble;
    fixed_point m_maxFixed;
    fixed_point m_minFixed;
    unsigned m_precision;
    unsigned char m_kind;
};

// Reads range_fixer_args from either form; the result is always of kind 2.
class range_fixer_args_creator : public field_transformer_base::args::creator {
public:
    pointer<field_transformer_base::args> create(std::istream& in) const override;
    pointer<field_transformer_base::args> create(serial::serial_in& in) const override;
};

// Re-declares an integer field with a stored width; records change nothing.
template <class T>
class range_fixer : public field_transformer<T> {
public:
    explicit range_fixer(unsigned width) : m_width(width) {}
    unsigned width() const { return m_width; }

    void do_onChange(const T&) override {}
    // TField<T>(old name, width) with the old field's arguments, appended.
    void do_addToFields(TFields& fields, const TField<T>& field) const override;

private:
    unsigned m_width;
};

template <>
class range_fixer<fixed_point> : public field_transformer<fixed_point> {
public:
    range_fixer(unsigned width, unsigned precision) : m_width(width), m_precision(precision) {}
    unsigned width() const { return m_width; }
    unsigned precision() const { return m_precision; }

    void do_onChange(const fixed_point&) override {}
    // TField<fixed_point>(old name, precision, width), old arguments, appended.
    void do_addToFields(TFields& fields, const TField<fixed_point>& field) const override;

private:
    unsigned m_width;
    unsigned m_precision;
};

template <>
class range_fixer<std::string> : public field_transformer<std::string> {
public:
    explicit range_fixer(unsigned size) : m_width(size) {}
    unsigned width() const { return m_width; }

    void do_onChange(const std::string&) override {}
    // TField<std::string>(old name, size, old packing), old arguments, appended.
    void do_addToFields(TFields& fields, const TField<std::string>& field) const override;

private:
    unsigned m_width;
};

// Makes range_fixer<T> from range_fixer_args (the table set is not used);
// integer creators use the signed width when their flag is set.
template <class T>
class range_fixer_creator : public field_transformer_base::creator {
public:
    explicit range_fixer_creator(bool isSigned = std::is_signed<T>::value)
        : field_transformer_base::creator(field_transformer<T>::typeName()), m_signed(isSigned) {}
    bool isSigned() const { return m_signed; }
    pointer<field_transformer_base> create(const TTables&, const field_transformer_base::args& a) const override;

private:
    bool m_signed;
};

template <>
class range_fixer_creator<fixed_point> : public field_transformer_base::creator {
public:
    range_fixer_creator() : field_transformer_base::creator(field_transformer<fixed_point>::typeName()) {}
    pointer<field_transformer_base> create(const TTables&, const field_transformer_base::args& a) const override;
};

template <>
class range_fixer_creator<std::string> : public field_transformer_base::creator {
public:
    range_fixer_creator() : field_transformer_base::creator(field_transformer<std::string>::typeName()) {}
    pointer<field_transformer_base> create(const TTables&, const field_transformer_base::args& a) const override;
};

// Registers a range_fixer_creator<T> under "sizeForRange" for its lifetime.
template <class T>
class scalar_fixer_registration : public field_transformer_base::registration {
public:
    scalar_fixer_registration()
        : field_transformer_base::registration(range_fixer_args::getCategory(),
                                               pointer<field_transformer_base::creator>(new range_fixer_creator<T>())) {}
};

// For fixed_point and std::string these name their specialisations and
// have no effect.
#define ORVEX_EXTERN_RANGE_FIXER(T, enumerator) \
    extern template class range_fixer<T>;       \
    extern template class range_fixer_creator<T>;
ORVEX_FIELD_TYPES(ORVEX_EXTERN_RANGE_FIXER)
#undef ORVEX_EXTERN_RANGE_FIXER

}  // namespace Orvex
