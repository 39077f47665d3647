// The strip transformers: shrink a field to what its data need. They make up
// the category "strip", which table stripping applies to every field that
// carries no arguments of its own. Each watches the field's value in every
// record and re-declares the field with the smallest width holding every
// value seen (the range always includes 0), fixed-point fields also with
// the fewest decimal places representing every value exactly, string
// fields with the longest string seen as their size. Names and transformer
// arguments of the old field are kept.
//
// Registration: registerStrippers() registers one creator per field type
// under "strip", in the order fixed_point, std::string, int, long,
// unsigned int, unsigned long. Each registration object has its own made
// flag, so running the routine again registers nothing twice; it runs at
// load and again from the module initialisation function.
// unregisterStrippers() destroys the made ones in reverse order, clearing
// their flags; it runs at unload. Since the registry keeps an unregistered
// entry as a null creator, registering again into the same registry after
// unregisterStrippers() raises "Creator strip for type ... already exists".
//
// Decisions of this unit:
// - Precisions above 9: powers of ten are formed in unsigned 32-bit
//   arithmetic, where 10^9 is the largest. A power beyond it exceeds every
//   32-bit raw value, so only 0 is a multiple of it: the fixed-point
//   stripper steps over those powers without forming them (a nonzero value
//   then needs at least precision - 9 places), and a divisor beyond 10^9
//   divides every value seen, all of them 0, to 0. Results stay exact;
//   nothing overflows.
// - Values handed to the fixed-point stripper directly at a precision other
//   than the field's are taken as they are: a value never raises the used
//   precision above its own, and the divisor is 1 when the used precision
//   exceeds the field's.
#pragma once

#include <cstdint>
#include <string>

#include "Core/Orvex/Trans.h"
#include "support/fixed_point.h"

namespace Orvex {

// Arguments of category "strip": no fields, nothing written. Made on the fly
// for fields without arguments; no args creator exists for "strip".
class stripper_args : public field_transformer_base::args {
public:
    static const char* getCategory() { return "strip"; }
    std::string category() const override { return getCategory(); }
    void serial_write(std::ostream&) const override {}
    void to_stream(std::ostream&) const override {}
};

// The smallest and largest signed value seen, both starting at 0.
class signed_max_size_calculator {
public:
    signed_max_size_calculator() { reset(); }
    void reset() { m_min = m_max = 0; }
    void take(long v);
    // Tools::log2(max, min).
    unsigned size() const;
    long min() const { return m_min; }
    long max() const { return m_max; }

private:
    std::int32_t m_min;
    std::int32_t m_max;
};

// The largest unsigned value seen, starting at 0.
class unsigned_max_size_calculator {
public:
    unsigned_max_size_calculator() { reset(); }
    void reset() { m_max = 0; }
    void take(unsigned long v);
    // Tools::log2(max).
    unsigned size() const;
    unsigned long max() const { return m_max; }

private:
    std::uint32_t m_max;
};

// Integer strip transformer: T int or long with the signed calculator,
// unsigned int or unsigned long with the unsigned one.
template <class T, class Calc>
class scalar_stripper : public field_transformer<T> {
public:
    // Type check, then the calculator starts over.
    void reset(const TFieldInfo& field) override;
    void do_onChange(const T& v) override { m_calc.take(v); }
    // TField<T>(old name, the calculator's size), old arguments, appended.
    void do_addToFields(TFields& fields, const TField<T>& field) const override;
    const Calc& calculator() const { return m_calc; }

private:
    Calc m_calc;
};

// String strip transformer: the longest length seen becomes the size.
class string_stripper : public field_transformer<std::string> {
public:
    string_stripper() : m_longest(0) {}
    void reset(const TFieldInfo& field) override;
    void do_onChange(const std::string& s) override;
    // TField<std::string>(old name, longest, old packing), old arguments, appended.
    void do_addToFields(TFields& fields, const TField<std::string>& field) const override;
    unsigned longest() const { return m_longest; }

private:
    std::uint32_t m_longest;
};

// Fixed-point strip transformer: the raw range and the fewest decimal
// places that represent every value exactly.
class fixed_point_stripper : public field_transformer<fixed_point> {
public:
    fixed_point_stripper() : m_minRaw(0), m_maxRaw(0), m_fieldPrecision(0), m_usedPrecision(0) {}
    // Type check; raw range 0..0, used precision 0, field precision taken
    // from the field.
    void reset(const TFieldInfo& field) override;
    // Widens the raw range and raises the used precision to what v needs.
    void do_onChange(const fixed_point& v) override;
    // TField<fixed_point>(old name, used precision, width of the raw range
    // at the used precision), old arguments, appended.
    void do_addToFields(TFields& fields, const TField<fixed_point>& field) const override;
    unsigned usedPrecision() const { return m_usedPrecision; }
    long minRaw() const { return m_minRaw; }
    long maxRaw() const { return m_maxRaw; }

    // 10^n by repeated multiplication in unsigned 32-bit arithmetic; n must
    // be at most 9.
    static std::uint32_t power10(unsigned n);

private:
    std::int32_t m_minRaw;
    std::int32_t m_maxRaw;
    std::uint32_t m_fieldPrecision;
    std::uint32_t m_usedPrecision;
};

// A creator of X, a strip transformer; it ignores the table set and the
// arguments and returns a new X.
template <class X>
class default_transformer_creator : public field_transformer<typename X::value_type>::creator {
public:
    pointer<field_transformer_base> create(const TTables&, const field_transformer_base::args&) const override {
        return pointer<field_transformer_base>(new X);
    }
};

// Registers a strip creator under "strip" for its lifetime.
class default_stripper_registration : public field_transformer_base::registration {
public:
    explicit default_stripper_registration(const pointer<field_transformer_base::creator>& c)
        : field_transformer_base::registration(stripper_args::getCategory(), c) {}
};

// Makes each strip registration not yet made (see the top of this file).
// A registry error (such as an existing creator) propagates; the ones made
// before it stay made.
void registerStrippers();
// Destroys the made strip registrations in reverse order, each unregistering
// its creator and clearing its flag.
void unregisterStrippers();

extern template class scalar_stripper<int, signed_max_size_calculator>;
extern template class scalar_stripper<long, signed_max_size_calculator>;
extern template class scalar_stripper<unsigned int, unsigned_max_size_calculator>;
extern template class scalar_stripper<unsigned long, unsigned_max_size_calculator>;

}  // namespace Orvex
