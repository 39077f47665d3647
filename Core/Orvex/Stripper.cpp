#include "Core/Orvex/Stripper.h"

#include <new>

#include "Core/Orvex/__field.h"
#include "Core/Orvex/field_traits.h"
#include "support/Tools.h"

namespace Orvex {

// ============================================================== calculators

void signed_max_size_calculator::take(long v) {
    // Values come from fields of at most 32 bits.
    const std::int32_t x = static_cast<std::int32_t>(v);
    if (x > m_max) m_max = x;
    if (x < m_min) m_min = x;
}

unsigned signed_max_size_calculator::size() const {
    return Tools::log2(static_cast<long>(m_max), static_cast<long>(m_min));
}

void unsigned_max_size_calculator::take(unsigned long v) {
    const std::uint32_t x = static_cast<std::uint32_t>(v);
    if (x > m_max) m_max = x;
}

unsigned unsigned_max_size_calculator::size() const { return Tools::log2(static_cast<unsigned long>(m_max)); }

// ============================================================= transformers

namespace {
template <class F>
void appendWithArgs(TFields& fields, F& made, const TFieldInfo& old) {
    made.transformer(old.transformer());
    fields += made;
}

const unsigned kMaxPower = 9;  // 10^9 is the largest power of ten in 32 bits

// |r| in 32 bits; the remainders below must not see a negative value turned
// unsigned.
std::uint32_t magnitude(std::int32_t r) {
    return r < 0 ? 0u - static_cast<std::uint32_t>(r) : static_cast<std::uint32_t>(r);
}
}  // namespace

template <class T, class Calc>
void scalar_stripper<T, Calc>::reset(const TFieldInfo& field) {
    field_transformer<T>::reset(field);
    m_calc.reset();
}

template <class T, class Calc>
void scalar_stripper<T, Calc>::do_addToFields(TFields& fields, const TField<T>& field) const {
    TField<T> made(field.name(), m_calc.size());
    appendWithArgs(fields, made, field);
}

template class scalar_stripper<int, signed_max_size_calculator>;
template class scalar_stripper<long, signed_max_size_calculator>;
template class scalar_stripper<unsigned int, unsigned_max_size_calculator>;
template class scalar_stripper<unsigned long, unsigned_max_size_calculator>;

void string_stripper::reset(const TFieldInfo& field) {
    field_transformer<std::string>::reset(field);
    m_longest = 0;
}

void string_stripper::do_onChange(const std::string& s) {
    if (s.size() > m_longest) m_longest = static_cast<std::uint32_t>(s.size());
}

void string_stripper::do_addToFields(TFields& fields, const TField<std::string>& field) const {
    TField<std::string> made(field.name(), m_longest, field.Packed());
    appendWithArgs(fields, made, field);
}

std::uint32_t fixed_point_stripper::power10(unsigned n) {
    std::uint32_t p = 1;
    for (unsigned i = 0; i < n; ++i) p *= 10u;
    return p;
}

void fixed_point_stripper::reset(const TFieldInfo& field) {
    field_transformer<fixed_point>::reset(field);
    m_minRaw = m_maxRaw = 0;
    m_usedPrecision = 0;
    m_fieldPrecision = static_cast<const TField<fixed_point>&>(field).Precision();
}

void fixed_point_stripper::do_onChange(const fixed_point& v) {
    const std::int32_t r = v.raw;
    if (r < m_minRaw) m_minRaw = r;
    if (r > m_maxRaw) m_maxRaw = r;

    const unsigned places = v.precision;
    unsigned n = m_usedPrecision;
    if (r == 0 || n >= places) return;
    // No 32-bit raw value other than 0 is a multiple of a power above 10^9.
    if (places - n > kMaxPower) n = places - kMaxPower;
    std::uint32_t p = power10(places - n);
    const std::uint32_t m = magnitude(r);
    while (m % p != 0) {
        ++n;
        p /= 10u;
    }
    m_usedPrecision = n;
}

void fixed_point_stripper::do_addToFields(TFields& fields, const TField<fixed_point>& field) const {
    const unsigned drop = m_usedPrecision < m_fieldPrecision ? m_fieldPrecision - m_usedPrecision : 0;
    long maxScaled = 0, minScaled = 0;  // every raw seen is 0 when drop > 9
    if (drop <= kMaxPower) {
        const long d = static_cast<long>(power10(drop));
        maxScaled = m_maxRaw / d;
        minScaled = m_minRaw / d;
    }
    TField<fixed_point> made(field.name(), m_usedPrecision, Tools::log2(maxScaled, minScaled));
    appendWithArgs(fields, made, field);
}

// ============================================================ registrations

namespace {

// One strip registration, kept in static storage beside its made flag, both
// zero-initialised before any code runs, so the routine may run at any point
// of static initialisation and the teardown needs no destructor order.
template <class X>
struct strip_registration_slot {
    alignas(default_stripper_registration) static unsigned char s_bytes[sizeof(default_stripper_registration)];
    static bool s_made;

    static void make() {
        if (s_made) return;
        new (s_bytes) default_stripper_registration(
            pointer<field_transformer_base::creator>(new default_transformer_creator<X>()));
        s_made = true;
    }
    static void unmake() {
        if (!s_made) return;
        s_made = false;
        std::launder(reinterpret_cast<default_stripper_registration*>(s_bytes))->~default_stripper_registration();
    }
};

template <class X>
alignas(default_stripper_registration) unsigned char strip_registration_slot<X>::s_bytes[sizeof(
    default_stripper_registration)];
template <class X>
bool strip_registration_slot<X>::s_made;

// The stripper of each type: an integer's keeps the bits its values need.
template <class T>
struct stripper_for {
    typedef typename std::conditional<std::is_signed<T>::value, signed_max_size_calculator,
                                      unsigned_max_size_calculator>::type calculator;
    typedef scalar_stripper<T, calculator> type;
};
template <>
struct stripper_for<std::string> {
    typedef string_stripper type;
};
template <>
struct stripper_for<fixed_point> {
    typedef fixed_point_stripper type;
};

// The first six keep the order they have always been registered in (the
// first refused registration names its type); any type listed later
// follows in list order. A constant: the routines may run before this
// unit's dynamic initialisation.
constexpr TType::EType kFirstRegistered[] = {TType::tpFixed, TType::tpStr,  TType::tpInt,
                                             TType::tpLong,  TType::tpUInt, TType::tpULong};
constexpr unsigned kFirstCount = sizeof kFirstRegistered / sizeof kFirstRegistered[0];

template <class Type, class Each>
void forSlot(Type type, Each each) {
    visitType(type, [&each](auto traits) {
        each(strip_registration_slot<typename stripper_for<typename decltype(traits)::value_type>::type>());
    });
}

// Registers at load, unregisters at unload.
struct strip_unit_lifetime {
    strip_unit_lifetime() { registerStrippers(); }
    ~strip_unit_lifetime() { unregisterStrippers(); }
} s_stripUnit;

}  // namespace

void registerStrippers() {
    const auto make = [](auto slot) { slot.make(); };
    for (TType::EType type : kFirstRegistered) forSlot(type, make);
    for (unsigned type = kFirstCount + 1; type <= field_type_count; ++type) forSlot(type, make);
}

void unregisterStrippers() {
    const auto unmake = [](auto slot) { slot.unmake(); };
    for (unsigned type = field_type_count; type > kFirstCount; --type) forSlot(type, unmake);
    for (unsigned i = kFirstCount; i-- > 0;) forSlot(kFirstRegistered[i], unmake);
}

}  // namespace Orvex
