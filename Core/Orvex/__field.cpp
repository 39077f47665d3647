#include "Core/Orvex/__field.h"

#include <algorithm>
#include <boost/core/null_deleter.hpp>
#include <cstring>
#include <istream>
#include <memory>
#include <ostream>
#include <iterator>
#include <sstream>
#include <vector>

#include "Core/Orvex/field_traits.h"
#include "support/Utils.h"
#include "support/tabulation.h"

namespace Orvex {

// ===================================================================== TType

namespace {

// Weights of the perfect hash over the six names.
int hashWeight(unsigned char c) {
    switch (c) {
        case 'd': case 'i': return 5;
        case 'f': case 'g': case 'l': case 'r': case 's': case 't': case 'u': return 0;
        default: return 11;
    }
}

// The names of the field types, by value.
const std::string& typeName(TType::EType value) {
#define ORVEX_TYPE_NAME(T, enumerator) field_traits<T>::name,
    static const std::string names[] = {"", ORVEX_FIELD_TYPES(ORVEX_TYPE_NAME)};
#undef ORVEX_TYPE_NAME
    return names[value];
}

const unsigned kHashedTypes = 6;  // the names the hash was made for come first
#define ORVEX_COUNT_TYPE(T, enumerator) +1
const unsigned kListedTypes = 0 ORVEX_FIELD_TYPES(ORVEX_COUNT_TYPE);
#undef ORVEX_COUNT_TYPE

struct TypeSlot {
    TType::EType value;
    const std::string& name() const { return typeName(value); }
};

const TypeSlot kTypeSlots[11] = {
    {TType::tpNone}, {TType::tpNone},  {TType::tpNone},  {TType::tpStr},  {TType::tpLong},  {TType::tpUInt},
    {TType::tpULong}, {TType::tpNone}, {TType::tpInt},   {TType::tpNone}, {TType::tpFixed},
};

// The slot that `name` hashes to, or null when it falls outside the table.
const TypeSlot* typeSlot(const std::string& name) {
    const std::size_t length = name.size();
    if (length < 3 || length > 6) return nullptr;
    const std::size_t hash = length + hashWeight(static_cast<unsigned char>(name[length - 1])) +
                             hashWeight(static_cast<unsigned char>(name[0]));
    return hash > 10 ? nullptr : &kTypeSlots[hash];
}

bool slotMatches(const TypeSlot& slot, const std::string& name) {
    return slot.name()[0] == name[0] && name == slot.name();
}

// A type listed after the six the hash was made for.
TType::EType laterType(const std::string& name) {
    for (unsigned v = kHashedTypes + 1; v <= kListedTypes; ++v)
        if (typeName(static_cast<TType::EType>(v)) == name) return static_cast<TType::EType>(v);
    return TType::tpNone;
}

}  // namespace

TType::EType TType::typeByName(const std::string& name) {
    const TypeSlot* slot = typeSlot(name);
    if (slot && slotMatches(*slot, name)) return slot->value;
    const EType later = laterType(name);
    if (later != tpNone || !slot) return later;
    Utils::raise_logic_error("Error converting " + name + " to Orvex::TType");
}

TType::EType TType::findByName(const std::string& name) {
    const TypeSlot* slot = typeSlot(name);
    return slot && slotMatches(*slot, name) ? slot->value : laterType(name);
}

const std::string& TType::name() const {
    if (m_value == tpNone || m_value > kListedTypes)
        Utils::raise_logic_error("Attempt to convert Orvex::TType == tpNone to std::string");
    return typeName(static_cast<EType>(m_value));
}

}  // namespace Orvex

namespace tabulation {

void to_stream(std::ostream& os, const Orvex::TType& t) { to_stream(os, t.name()); }

void from_stream(std::istream& is, Orvex::TType& t) {
    std::string token;
    from_stream(is, token);
    if (!is.fail()) t = Orvex::TType(token);
}

}  // namespace tabulation

namespace Orvex {

// ================================================================== errors

void raise_foreign_record(const std::string& name) {
    Utils::raise_logic_error("Field handle " + name + " used on a record of another structure");
}

void raise_bad_type_error(const std::string& name, const std::string& actual, const std::string& expected) {
    Utils::raise_logic_error("Field " + name + " is type of (" + actual + "), should be (" + expected + ")");
}

void raise_value_exceeded(const std::string& name, const std::string& valueText) {
    Utils::raise_out_of_range("Field " + name + " maximum value exceeded: " + valueText);
}

void raise_bad_width(const std::string& name, unsigned bits) {
    Utils::raise_runtime_error("Field " + name + " width " + std::to_string(bits) + " is above " +
                               std::to_string(static_cast<int>(bit_field::kMaxWidth)));
}

namespace {

unsigned checkedWidth(const std::string& name, unsigned bits) {
    if (bits > bit_field::kMaxWidth) raise_bad_width(name, bits);
    return bits;
}

const unsigned kMaxStringLength = 65535;

void endLine(std::ostream& os) {
    os.put('\n');
    os.flush();
}

std::string readName(serial::serial_in& in) {
    std::string name;
    in >> name;
    return name;
}

std::string readName(std::istream& in) {
    std::string name;
    tabulation::from_stream(in, name);
    return name;
}

}  // namespace

// =============================================================== strategies

template <class T>
TImpl<T>* TImpl<T>::s_instance = nullptr;

template <class T>
TImpl<T>& TImpl<T>::create() {
    static TImpl instance(field_traits<T>::name, field_traits<T>::type);
    s_instance = &instance;
    return instance;
}

template <class T>
void TImpl<T>::value_from_stream(const TFieldInfo& f, std::istream& is, bit_buffer& b) const {
    cast(f).value_from_stream(is, b);
}
template <class T>
void TImpl<T>::value_to_stream(const TFieldInfo& f, std::ostream& os, const bit_buffer& b) const {
    cast(f).value_to_stream(os, b);
}
template <class T>
void TImpl<T>::copyFrom(const TFieldInfo& dst, bit_buffer& dstBuffer, const TFieldInfo& src,
                        const bit_buffer& srcBuffer) const {
    cast(dst).Set(dstBuffer, cast(src).Get(srcBuffer));
}
template <class T>
bool TImpl<T>::canStore(const TFieldInfo& f, const void* value) const {
    return cast(f).canStore(*static_cast<const T*>(value));
}
template <class T>
void TImpl<T>::minValue(const TFieldInfo& f, void* out) const {
    *static_cast<T*>(out) = cast(f).minValue();
}
template <class T>
void TImpl<T>::maxValue(const TFieldInfo& f, void* out) const {
    *static_cast<T*>(out) = cast(f).maxValue();
}
template <class T>
void TImpl<T>::to_stream(const TFieldInfo& f, std::ostream& os) const {
    cast(f).to_stream(os);
}
template <class T>
void TImpl<T>::serial_write(const TFieldInfo& f, serial::serial_out& out) const {
    cast(f).serial_write(out);
}
template <class T>
unsigned TImpl<T>::serial_size(const TFieldInfo& f) const {
    return cast(f).serial_size();
}
template <class T>
TFieldInfo* TImpl<T>::placed_clone(const TFieldInfo& f, unsigned& offset) const {
    return cast(f).placed_clone(offset);
}

#define ORVEX_INSTANTIATE_IMPL(T, enumerator) template class TImpl<T>;
ORVEX_FIELD_TYPES(ORVEX_INSTANTIATE_IMPL)
#undef ORVEX_INSTANTIATE_IMPL

// =============================================================== TFieldInfo

TFieldInfo::TFieldInfo(serial::serial_in& in, TFieldImpl& impl) : TFieldsElement(readName(in)), m_impl(impl) {}

TFieldInfo::TFieldInfo(std::istream& in, TFieldImpl& impl) : TFieldsElement(readName(in)), m_impl(impl) {}

void TFieldInfo::base_to_stream(std::ostream& os) const {
    tabulation::to_stream(os, Type());
    tabulation::to_stream(os, name());
}

void TFieldInfo::base_serial_write(serial::serial_out& out) const { out << Type() << name(); }

unsigned TFieldInfo::base_serial_size() const { return serial::serial_size(Type()) + serial::serial_size(name()); }

void TFieldInfo::addToFieldsRep(TFieldsRep& rep) const {
    if (rep.m_fields.indexOf(name()) != rep.m_fields.size())
        Utils::raise_runtime_error("Field " + name() + " already exists");
    unsigned end = rep.m_bitSize;
    pointer<TNamed> placed(placed_clone(end));
    if (end > TFieldsRep::kMaxRecordBits)
        Utils::raise_runtime_error("Field " + name() + " makes the record too large: " + std::to_string(end) +
                                   " bits, at most " + std::to_string(TFieldsRep::kMaxRecordBits));
    rep.m_fields.add(placed);
    rep.m_bitSize = end;
}

void TFieldInfo::reference::copyFrom(const TFieldInfo& src, const bit_buffer& srcBuffer) const {
    const std::string& actual = m_field->Type();
    const std::string& other = src.Type();
    if (&actual != &other && actual != other) raise_bad_type_error(m_field->name(), actual, other);
    m_field->impl().copyFrom(*m_field, *m_buffer, src, srcBuffer);
}

// ========================================================= integer fields

template <class T>
TField<T>::TField(const std::string& name, unsigned bits)
    : TField_base<TField<T>, T>(name), m_bits(static_cast<unsigned char>(checkedWidth(name, bits))) {}

template <class T>
TField<T>::TField(serial::serial_in& in) : TField_base<TField<T>, T>(in), m_bits(0) {
    unsigned char bits = 0;
    in >> bits;
    if (!in.stream().fail()) m_bits = static_cast<unsigned char>(checkedWidth(this->name(), bits));
}

template <class T>
TField<T>::TField(std::istream& in) : TField_base<TField<T>, T>(in), m_bits(0) {
    unsigned char bits = 0;
    tabulation::from_stream(in, bits);
    if (!in.fail()) m_bits = static_cast<unsigned char>(checkedWidth(this->name(), bits));
}

template <class T>
bool TField<T>::canStore(T v) const {
    return std::is_signed<T>::value ? m_placement.can_store(static_cast<long>(v))
                                    : m_placement.can_store(static_cast<unsigned long>(v));
}

template <class T>
T TField<T>::minValue() const {
    return std::is_signed<T>::value ? static_cast<T>(m_placement.min_signed_value()) : T(0);
}

template <class T>
T TField<T>::maxValue() const {
    return std::is_signed<T>::value ? static_cast<T>(m_placement.max_signed_value())
                                    : static_cast<T>(m_placement.max_unsigned_value());
}

template <class T>
void TField<T>::serial_write(serial::serial_out& out) const {
    this->base_serial_write(out);
    out << m_bits;
}

template <class T>
unsigned TField<T>::serial_size() const {
    return this->base_serial_size() + 1;
}

template <class T>
void TField<T>::to_stream(std::ostream& os) const {
    this->base_to_stream(os);
    tabulation::to_stream(os, m_bits);
}

template <class T>
void TField<T>::value_from_stream(std::istream& is, bit_buffer& b) const {
    T v = 0;
    tabulation::from_stream(is, v);
    if (!is.fail()) Set(b, v);
}

template <class T>
void TField<T>::value_to_stream(std::ostream& os, const bit_buffer& b) const {
    tabulation::to_stream(os, Get(b));
}

template <class T>
TField<T>* TField<T>::placed_clone(unsigned& offset) const {
    std::unique_ptr<TField> copy(new TField(*this));
    copy->m_placement.init(static_cast<int>(offset), m_bits);
    copy->m_codec = field_codec<T>(copy->m_placement);
    offset += m_bits;
    return copy.release();
}

#define ORVEX_INSTANTIATE_FIELD(T, enumerator) template class TField<T>;
ORVEX_FIELD_TYPES(ORVEX_INSTANTIATE_FIELD)
#undef ORVEX_INSTANTIATE_FIELD

// ======================================================= fixed-point fields

TField<fixed_point>::TField(const std::string& name, unsigned precision, unsigned bits)
    : TField_base<TField<fixed_point>, fixed_point>(name),
      m_bits(static_cast<unsigned char>(checkedWidth(name, bits))),
      m_precision(static_cast<unsigned char>(precision)) {
    if (precision > 255)
        Utils::raise_runtime_error("Field " + name + " precision " + std::to_string(precision) + " is above 255");
}

TField<fixed_point>::TField(serial::serial_in& in)
    : TField_base<TField<fixed_point>, fixed_point>(in), m_bits(0), m_precision(0) {
    unsigned char bits = 0, precision = 0;
    in >> bits >> precision;
    if (in.stream().fail()) return;
    m_bits = static_cast<unsigned char>(checkedWidth(name(), bits));
    m_precision = precision;
}

TField<fixed_point>::TField(std::istream& in)
    : TField_base<TField<fixed_point>, fixed_point>(in), m_bits(0), m_precision(0) {
    unsigned char bits = 0, precision = 0;
    tabulation::from_stream(in, bits);
    tabulation::from_stream(in, precision);
    if (in.fail()) return;
    m_bits = static_cast<unsigned char>(checkedWidth(name(), bits));
    m_precision = precision;
}

void TField<fixed_point>::raiseExceeded(const fixed_point& v) const {
    std::ostringstream text;
    text.precision(0);
    text << v;
    raise_value_exceeded(name(), text.str());
}

bool TField<fixed_point>::canStore(const fixed_point& v) const {
    const double x = v.raw / fixed_point::power10(v.precision);
    int raw = 0;
    return fixed_point::convert(m_precision, x, raw) && m_placement.can_store(static_cast<long>(raw));
}

fixed_point TField<fixed_point>::minValue() const {
    fixed_point v(m_precision);
    v.raw = static_cast<int>(m_placement.min_signed_value());
    return v;
}

fixed_point TField<fixed_point>::maxValue() const {
    fixed_point v(m_precision);
    v.raw = static_cast<int>(m_placement.max_signed_value());
    return v;
}

void TField<fixed_point>::serial_write(serial::serial_out& out) const {
    base_serial_write(out);
    out << m_bits << m_precision;
}

unsigned TField<fixed_point>::serial_size() const { return base_serial_size() + 2; }

void TField<fixed_point>::to_stream(std::ostream& os) const {
    base_to_stream(os);
    tabulation::to_stream(os, m_bits);
    tabulation::to_stream(os, m_precision);
}

void TField<fixed_point>::value_from_stream(std::istream& is, bit_buffer& b) const {
    fixed_point v(m_precision);
    tabulation::from_stream(is, v);
    if (!is.fail()) Set(b, v);
}

void TField<fixed_point>::value_to_stream(std::ostream& os, const bit_buffer& b) const {
    tabulation::to_stream(os, Get(b));
}

TField<fixed_point>* TField<fixed_point>::placed_clone(unsigned& offset) const {
    std::unique_ptr<TField> copy(new TField(*this));
    copy->m_placement.init(static_cast<int>(offset), m_bits);
    copy->m_codec = field_codec<fixed_point>(copy->m_placement, m_precision);
    offset += m_bits;
    return copy.release();
}

// ============================================================ string fields

namespace {
unsigned checkedLength(const std::string& name, unsigned length) {
    if (length > kMaxStringLength)
        Utils::raise_runtime_error("Field " + name + " length " + std::to_string(length) + " is above " +
                                   std::to_string(kMaxStringLength));
    return length;
}
}  // namespace

TField<std::string>::TField(const std::string& name, unsigned length, bool packed)
    : TField_base<TField<std::string>, std::string>(name),
      m_length(static_cast<unsigned short>(checkedLength(name, length))), m_packed(packed) {}

TField<std::string>::TField(serial::serial_in& in)
    : TField_base<TField<std::string>, std::string>(in), m_length(0), m_packed(false) {
    unsigned short length = 0;
    unsigned char packed = 0;
    in >> length >> packed;
    if (in.stream().fail()) return;
    m_length = length;
    m_packed = packed != 0;
}

TField<std::string>::TField(std::istream& in)
    : TField_base<TField<std::string>, std::string>(in), m_length(0), m_packed(false) {
    unsigned short length = 0;
    unsigned char packed = 0;
    tabulation::from_stream(in, length);
    tabulation::from_stream(in, packed);
    if (in.fail()) return;
    m_length = length;
    m_packed = packed != 0;
}

field_codec<std::string>::field_codec(unsigned offset, unsigned length, bool packed)
    : m_length(static_cast<unsigned short>(length)), m_packed(packed), m_charSize(packed ? 6 : 8),
      m_perRun(packed ? 5 : 4) {
    const unsigned size = m_charSize, perRun = m_perRun;
    m_runs.reserve((length + perRun - 1) / perRun);
    for (unsigned i = 0; i < length; i += perRun) {
        const unsigned n = length - i < perRun ? length - i : perRun;
        m_runs.push_back(bit_slot(bit_field(static_cast<int>(offset + i * size), static_cast<int>(n * size))));
    }
}

bool field_codec<std::string>::set(unsigned char* record, const std::string& s) const {
    if (s.size() > m_length) return false;
    const unsigned size = m_charSize, perRun = m_perRun;
    const std::size_t given = s.size();
    std::size_t i = 0;
    for (const bit_slot& run : m_runs) {
        const std::size_t end = std::min<std::size_t>(i + perRun, m_length);
        std::uint32_t v = 0;
        for (; i < end; ++i) {
            unsigned c = i < given ? static_cast<unsigned char>(s[i]) : 0u;
            if (m_packed) c = packedCode(static_cast<char>(c));
            v = (v << size) | c;
        }
        run.put(record, v);
    }
    return true;
}

void TField<std::string>::raiseExceeded(const std::string& s) const { raise_value_exceeded(name(), "\"" + s + "\""); }

std::string TField<std::string>::maxValue() const { return std::string(m_length, m_packed ? '_' : '\xFF'); }

void TField<std::string>::serial_write(serial::serial_out& out) const {
    base_serial_write(out);
    out << m_length << static_cast<unsigned char>(m_packed ? 1 : 0);
}

unsigned TField<std::string>::serial_size() const { return base_serial_size() + 3; }

void TField<std::string>::to_stream(std::ostream& os) const {
    base_to_stream(os);
    tabulation::to_stream(os, m_length);
    tabulation::to_stream(os, static_cast<unsigned char>(m_packed ? 1 : 0));
}

void TField<std::string>::value_from_stream(std::istream& is, bit_buffer& b) const {
    std::string v;
    tabulation::from_stream(is, v);
    if (!is.fail()) Set(b, v);
}

void TField<std::string>::value_to_stream(std::ostream& os, const bit_buffer& b) const {
    tabulation::to_stream(os, Get(b));
}

TField<std::string>* TField<std::string>::placed_clone(unsigned& offset) const {
    std::unique_ptr<TField> copy(new TField(*this));
    copy->m_offset = offset;
    copy->m_codec = field_codec<std::string>(offset, m_length, m_packed);
    const unsigned size = charSize();
    offset += m_length * size;
    return copy.release();
}

// ============================================================ composites

void TEndOfKey::addToFieldsRep(TFieldsRep& rep) const {
    rep.m_keyBits = rep.m_bitSize;
    rep.m_keyFields = rep.size();
    rep.m_wholeKey = false;
}

TFieldComposite::TFieldComposite(const TFieldsElement& first, const TFieldsElement& second)
    : TFieldsElement(std::string()) {
    take(first);
    take(second);
}

void TFieldComposite::take(const TFieldsElement& e) {
    if (const TFieldComposite* c = dynamic_cast<const TFieldComposite*>(&e)) {
        m_parts.insert(m_parts.end(), c->m_parts.begin(), c->m_parts.end());
    } else if (const TFieldInfo* f = dynamic_cast<const TFieldInfo*>(&e)) {
        unsigned offset = 0;
        m_parts.push_back(pointer<const TFieldsElement>(f->placed_clone(offset)));
    } else if (dynamic_cast<const TEndOfKey*>(&e)) {
        m_parts.push_back(pointer<const TFieldsElement>(new TEndOfKey));
    } else {
        m_parts.push_back(boost::shared_ptr<const TFieldsElement>(&e, boost::null_deleter()));
    }
}

void TFieldComposite::addToFieldsRep(TFieldsRep& rep) const {
    for (const pointer<const TFieldsElement>& part : m_parts) part->addToFieldsRep(rep);
}

// =============================================================== TFieldsRep

TFieldsRep::TFieldsRep()
    : m_fields(&TFieldsRep::badIndex, &TFieldsRep::badKey), m_bitSize(0), m_keyBits(0), m_keyFields(0),
      m_wholeKey(true) {}

TFieldsRep::TFieldsRep(const TFieldsRep& other)
    : jobject(), serial::serializable(), m_fields(&TFieldsRep::badIndex, &TFieldsRep::badKey), m_bitSize(0),
      m_keyBits(0), m_keyFields(0), m_wholeKey(true) {
    m_fields.reserve(other.size());
    for (unsigned i = 0; i < other.size(); ++i) append(other.fieldAt(i));
    m_keyBits = other.m_keyBits;
    m_keyFields = other.m_keyFields;
    m_wholeKey = other.m_wholeKey;
}

void TFieldsRep::append(const TFieldsElement& e) { e.addToFieldsRep(*this); }

namespace {
template <class F>
void readAndAppend(TFieldsRep& rep, std::istream& is, bool binary) {
    if (binary) {
        serial::serial_in in(is);
        F field(in);
        if (!is.fail()) rep.append(field);
    } else {
        F field(is);
        if (!is.fail()) rep.append(field);
    }
}
}  // namespace

void TFieldsRep::append(std::istream& is, const std::string& typeName, bool binary) {
    // The lookup's own logic error for a name it refuses; only a name it
    // maps to no type is this structure's "Unknown field type".
    visitType(
        TType::typeByName(typeName),
        [&](auto traits) { readAndAppend<typename decltype(traits)::descriptor>(*this, is, binary); },
        [&] { Utils::raise_runtime_error("Unknown field type: " + typeName); });
}

void TFieldsRep::checkStorable() const {
    if (size() > kMaxStoredFields)
        Utils::raise_runtime_error("Structure of " + std::to_string(size()) + " fields cannot be stored, at most " +
                                   std::to_string(kMaxStoredFields));
}

void TFieldsRep::to_stream(std::ostream& os) const {
    checkStorable();
    tabulation::to_stream(os, static_cast<unsigned short>(size()));
    tabulation::to_stream(os, static_cast<unsigned short>(endOfKey()));
    endLine(os);
    for (unsigned i = 0; i < size() && !os.fail(); ++i) {
        fieldAt(i).to_stream(os);
        endLine(os);
    }
}

void TFieldsRep::from_stream(std::istream& is) {
    unsigned short count = 0, keyFields = 0;
    tabulation::from_stream(is, count);
    tabulation::from_stream(is, keyFields);
    if (is.fail()) return;
    for (unsigned i = 0; i < count && !is.fail(); ++i) {
        if (i == keyFields) append(TEndOfKey());
        std::string typeName;
        tabulation::from_stream(is, typeName);
        if (is.fail()) break;
        append(is, typeName, false);
    }
}

void TFieldsRep::serial_write(std::ostream& os) const {
    checkStorable();
    serial::serial_out out(os);
    out << static_cast<unsigned short>(size()) << static_cast<unsigned short>(endOfKey());
    for (unsigned i = 0; i < size() && !os.fail(); ++i) fieldAt(i).serial_write(out);
}

void TFieldsRep::serial_read(std::istream& is) {
    serial::serial_in in(is);
    unsigned short count = 0, keyFields = 0;
    in >> count >> keyFields;
    if (is.fail()) return;
    for (unsigned i = 0; i < count && !is.fail(); ++i) {
        if (i == keyFields) append(TEndOfKey());
        std::string typeName;
        in >> typeName;
        if (is.fail()) break;
        append(is, typeName, true);
    }
}

unsigned TFieldsRep::serial_size() const {
    unsigned total = 4;
    for (unsigned i = 0; i < size(); ++i) total += fieldAt(i).serial_size();
    return total;
}

void TFieldsRep::badIndex(unsigned i) {
    Utils::raise_runtime_error("Index " + std::to_string(i) + " out of valid range.");
}

void TFieldsRep::badKey(const std::string& name) { Utils::raise_runtime_error("Field " + name + " doesn't exist"); }

// ================================================================== TFields

TFields::TFields(std::istream& is) : m_rep(new TFieldsRep) { m_rep->from_stream(is); }

TFields::TFields(serial::serial_in& in) : m_rep(new TFieldsRep) { m_rep->serial_read(in.stream()); }

void TFields::append(const TFieldsElement& e) {
    if (m_rep.use_count() == 1) {
        m_rep->append(e);
        return;
    }
    // Shared: append to a private copy, and take it only once it succeeded,
    // so a failed append leaves the handle sharing what it shared.
    pointer<TFieldsRep> copy(new TFieldsRep(*m_rep));
    copy->append(e);
    m_rep = copy;
}

namespace {

// The structure share a thread's last dropped record left behind, in a slot
// made on the thread's first parking and destroyed as the thread ends; from
// then on records release their shares as usual. The slot is reached
// through a plain thread-local address, initial-exec: one load off the
// thread pointer per record, with no call and no first-use check (the few
// bytes fit the static room that the loader keeps even for a library
// opened late).
struct ParkedShare {
    ParkedShare();
    ~ParkedShare();
    pointer<TFieldsRep> share;
};
[[gnu::tls_model("initial-exec")]] thread_local pointer<TFieldsRep>* t_parked = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local bool t_parkingClosed = false;

ParkedShare::ParkedShare() { t_parked = &share; }
ParkedShare::~ParkedShare() {
    t_parked = nullptr;
    t_parkingClosed = true;
}

pointer<TFieldsRep>* openParkingSlot() {
    if (t_parkingClosed) return nullptr;
    thread_local ParkedShare slot;
    return &slot.share;
}

}  // namespace

TFields TFields::shareForRecord(const TFields& fields) {
    pointer<TFieldsRep>* parked = t_parked;
    if (parked && *parked == fields.m_rep) return TFields(std::move(*parked));
    return fields;
}

void TFields::parkShare() noexcept {
    pointer<TFieldsRep>* parked = t_parked;
    if (!parked) parked = openParkingSlot();
    if (parked) parked->swap(m_rep);
}

// ================================================================== TRecord

TRecord::TRecord(const TFields& fields)
    : m_fields(TFields::shareForRecord(fields)),
      m_data(static_cast<int>(fields.bitSize())),
      m_wholeKeyBytes(0),
      m_keyTailMask(0) {
    computeMask();
}

TRecord& TRecord::operator=(const TRecord& other) {
    if (this == &other) return *this;
    if (m_fields != other.m_fields) {
        m_fields = other.m_fields;
        computeMask();
    }
    m_data = other.m_data;
    return *this;
}

int TRecord::compareTo(const TRecord& other) const {
    if (m_fields != other.m_fields) Utils::raise_runtime_error("Couldn't compare records");
    const unsigned char* a = reinterpret_cast<const unsigned char*>(m_data(0));
    const unsigned char* b = reinterpret_cast<const unsigned char*>(other.m_data(0));
    // Keys are usually a few bytes: a plain loop beats a call to memcmp.
    if (m_wholeKeyBytes <= 16) {
        for (unsigned i = 0; i < m_wholeKeyBytes; ++i)
            if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    } else {
        const int c = std::memcmp(a, b, m_wholeKeyBytes);
        if (c != 0) return c > 0 ? 1 : -1;
    }
    // The byte after the whole key bytes may be the trailing guard byte; the
    // mask is then 0.
    const unsigned tailA = a[m_wholeKeyBytes] & m_keyTailMask;
    const unsigned tailB = b[m_wholeKeyBytes] & m_keyTailMask;
    return tailA == tailB ? 0 : (tailA > tailB ? 1 : -1);
}

void TRecord::to_stream(std::ostream& os) const {
    for (unsigned i = 0; i < m_fields.size() && !os.fail(); ++i) m_fields[i].value_to_stream(os, m_data);
}

void TRecord::append_text(std::string& line) const {
    for (unsigned i = 0; i < m_fields.size(); ++i) {
        const TFieldInfo& f = m_fields[i];
        visitType(
            f.typeValue(),
            [&](auto traits) {
                typedef typename decltype(traits)::value_type T;
                const T v = static_cast<const typename decltype(traits)::descriptor&>(f).Get(m_data);
                // The tokens are written from the widest of their kind.
                if constexpr (std::is_integral<T>::value)
                    tabulation::append_token(line, static_cast<std::conditional_t<std::is_signed<T>::value, long, unsigned long> >(v));
                else
                    tabulation::append_token(line, v);
            },
            [&] {
                std::ostringstream token;
                f.value_to_stream(token, m_data);
                line += token.str();
            });
    }
}

void TRecord::from_stream(std::istream& is) {
    for (unsigned i = 0; i < m_fields.size() && !is.fail(); ++i) m_fields[i].value_from_stream(is, m_data);
}

}  // namespace Orvex
