#include "tools/key_search.h"

#include <sstream>

#include "tools/csv.h"
#include "tools/report.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

// Where a value stands among the values its field can hold.
enum class Fit {
    exact,  // stored as it is
    floor,  // not storable; the greatest value below it in key order is stored
    below   // not storable; it lies below every value the field can hold
};

template <class T>
const TField<T>& as(const TFieldInfo& field) {
    return static_cast<const TField<T>&>(field);
}

[[noreturn]] void malformed(const TFieldInfo& field, const std::string& what, const std::string& text) {
    throw InputError("key " + field.name() + ": not " + what + ": '" + text + "'");
}

template <class T>
Fit setInteger(TRecord& record, unsigned i, const std::string& text) {
    const TField<T>& field = as<T>(record.fields()[i]);
    long long v = 0;
    const NumberText read = parseInteger(text, v);
    if (read == NumberText::malformed) malformed(field, "an integer", text);
    const bool negative = text[0] == '-';
    if (read == NumberText::ok) {
        const bool in32 = std::is_signed<T>::value ? v >= kInt32Min && v <= kInt32Max : v >= 0 && v <= kUInt32Max;
        if (in32 && field.canStore(static_cast<T>(v))) {
            field.Set(record.data(), static_cast<T>(v));
            return Fit::exact;
        }
    }
    // Key order is that of the stored bits: an unsigned value below 0 lies
    // before them all; any other value out of reach lies just after the
    // largest one (for a signed field, in the gap before the negative ones).
    if (!std::is_signed<T>::value && negative) return Fit::below;
    field.Set(record.data(), field.maxValue());
    return Fit::floor;
}

Fit setFixed(TRecord& record, unsigned i, const std::string& text) {
    const TField<fixed_point>& field = as<fixed_point>(record.fields()[i]);
    fixed_point v(field.Precision());
    const NumberText read = parseDecimal(text, v);
    if (read == NumberText::malformed) malformed(field, "a decimal number", text);
    if (read == NumberText::ok) {
        if (v.precision > field.Precision()) {
            // Rounded down to the field's decimals: 19.999 lies after 19.99.
            long long unit = 1;
            for (unsigned k = field.Precision(); k < v.precision; ++k) unit *= 10;
            long long raw = v.raw / unit;
            const bool exact = v.raw % unit == 0;
            if (!exact && v.raw < 0) --raw;
            fixed_point down(field.Precision());
            down.raw = raw;
            if (raw >= kInt32Min && raw <= kInt32Max && field.canStore(down)) {
                field.Set(record.data(), down);
                return exact ? Fit::exact : Fit::floor;
            }
        } else if (field.canStore(v)) {
            field.Set(record.data(), v);
            return Fit::exact;
        }
    }
    field.Set(record.data(), field.maxValue());
    return Fit::floor;
}

Fit setString(TRecord& record, unsigned i, const std::string& text) {
    const TField<std::string>& field = as<std::string>(record.fields()[i]);
    bool keepable = field.canStore(text) && text.find('\0') == std::string::npos;
    std::string stored = text.substr(0, field.length());
    for (char& c : stored) {
        if (field.Packed() && TField<std::string>::packedCode(c) == 63 && c != '_') {
            keepable = false;
            c = '_';
        }
    }
    field.Set(record.data(), stored);
    // A string the field can't keep sorts after what it keeps of it.
    return keepable ? Fit::exact : Fit::floor;
}

Fit setKeyValue(TRecord& record, unsigned i, const std::string& text) {
    switch (TType::findByName(record.fields()[i].Type())) {
        case TType::tpInt: return setInteger<int>(record, i, text);
        case TType::tpUInt: return setInteger<unsigned int>(record, i, text);
        case TType::tpLong: return setInteger<long>(record, i, text);
        case TType::tpULong: return setInteger<unsigned long>(record, i, text);
        case TType::tpFixed: return setFixed(record, i, text);
        case TType::tpStr: return setString(record, i, text);
        default: throw InputError("key " + record.fields()[i].name() + ": field of unknown type");
    }
}

// Every bit of the key fields from `first` on set, so that the record is the
// last key that starts with the fields before.
void fillKeyWithOnes(TRecord& record, unsigned first) {
    const TFields& fields = record.fields();
    for (unsigned i = first; i < fields.endOfKey(); ++i) {
        const TFieldInfo& field = fields[i];
        if (fieldBits(field) == 0) continue;
        switch (TType::findByName(field.Type())) {
            case TType::tpInt: as<int>(field).Set(record.data(), -1); break;
            case TType::tpUInt: as<unsigned int>(field).Set(record.data(), as<unsigned int>(field).maxValue()); break;
            case TType::tpLong: as<long>(field).Set(record.data(), -1L); break;
            case TType::tpULong:
                as<unsigned long>(field).Set(record.data(), as<unsigned long>(field).maxValue());
                break;
            case TType::tpFixed: {
                fixed_point allOnes(as<fixed_point>(field).Precision());
                allOnes.raw = -1;
                as<fixed_point>(field).Set(record.data(), allOnes);
                break;
            }
            case TType::tpStr: {
                const TField<std::string>& text = as<std::string>(field);
                text.Set(record.data(), std::string(text.length(), text.Packed() ? '_' : '\xFF'));
                break;
            }
            default: break;
        }
    }
}

KeyBound keyBound(const TFields& fields, const std::vector<std::string>& values, bool upper) {
    TRecord record(fields);
    for (unsigned i = 0; i < values.size(); ++i) {
        const Fit fit = setKeyValue(record, i, values[i]);
        if (fit == Fit::floor) {
            fillKeyWithOnes(record, i + 1);
            return KeyBound{record, true};
        }
        if (fit == Fit::below) {
            record[i] = TRecord(fields)[i];  // back to zero bits
            return KeyBound{record, false};
        }
    }
    if (!upper) return KeyBound{record, false};
    fillKeyWithOnes(record, static_cast<unsigned>(values.size()));
    return KeyBound{record, true};
}

}  // namespace

std::vector<std::string> keyValues(const TFields& fields, const std::string& word) {
    if (fields.endOfKey() <= 1) return {word};
    std::istringstream in(word);
    CsvReader reader(in);
    std::vector<std::string> values;
    if (!reader.next(values)) return values;
    if (values.size() > fields.endOfKey())
        throw InputError("the key '" + word + "' has " + std::to_string(values.size()) + " values; the key is " +
                         keyText(fields));
    return values;
}

KeyBound lowerKeyBound(const TFields& fields, const std::vector<std::string>& values) {
    return keyBound(fields, values, false);
}

KeyBound upperKeyBound(const TFields& fields, const std::vector<std::string>& values) {
    return keyBound(fields, values, true);
}

bool reaches(const TRecord& record, const KeyBound& bound) {
    const int c = record.compareTo(bound.record);
    return bound.after ? c > 0 : c >= 0;
}

unsigned long boundPosition(const TOpenTable& table, const KeyBound& bound) {
    return bound.after ? table.upper_bound(0, table.size(), bound.record)
                       : table.lower_bound(0, table.size(), bound.record);
}

void requireSorted(const TOpenTable& table) {
    const unsigned long n = table.size();
    if (n < 2) return;
    const pointer<Console::TProgress> progress = progressBar("Checking the order of " + table.name());
    if (progress) progress->start(static_cast<int>(n));
    TRecord previous = table.at(0);
    for (unsigned long i = 1; i < n; ++i) {
        if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
        TRecord record = table.at(i);
        if (record.compareTo(previous) < 0) {
            if (progress) progress->finish();
            throw InputError("table " + table.name() + " is not sorted on its key; run `orvex sort`");
        }
        previous = record;
    }
    if (progress) progress->finish();
}

std::vector<unsigned long> recordsBetween(const TOpenTable& table, const KeyBound& from, const KeyBound& to,
                                          bool scan) {
    std::vector<unsigned long> positions;
    if (!scan) {
        const unsigned long first = boundPosition(table, from), end = boundPosition(table, to);
        for (unsigned long i = first; i < end; ++i) positions.push_back(i);
        return positions;
    }
    const pointer<Console::TProgress> progress = progressBar("Scanning " + table.name());
    if (progress) progress->start(static_cast<int>(table.size()));
    for (unsigned long i = 0; i < table.size(); ++i) {
        if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
        const TRecord record = table.at(i);
        if (reaches(record, from) && !reaches(record, to)) positions.push_back(i);
    }
    if (progress) progress->finish();
    return positions;
}

}  // namespace Tool
