#include "tools/key_search.h"

#include <sstream>

#include "Core/Orvex/field_traits.h"
#include "tools/csv.h"
#include "tools/report.h"
#include "tools/table_view.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

namespace {

// Stores the key value text stands for, or what takes its place in key order.
KeyFit setKeyValue(TRecord& record, unsigned i, const std::string& text) {
    const TFieldInfo& field = record.fields()[i];
    return visitField(field, [&](auto traits, const auto& f) {
        const KeyFit fit = traits.setKey(f, record.data(), text);
        if (fit == KeyFit::malformed)
            throw InputError("key " + field.name() + ": not " + traits.kind + ": '" + text + "'");
        return fit;
    });
}

// Every bit of the key fields from `first` on set, so that the record is the
// last key that starts with the fields before.
void fillKeyWithOnes(TRecord& record, unsigned first) {
    const TFields& fields = record.fields();
    for (unsigned i = first; i < fields.endOfKey(); ++i) {
        if (fields[i].bitWidth() == 0) continue;
        visitField(fields[i], [&record](auto traits, const auto& f) { traits.setLargest(f, record.data()); });
    }
}

KeyBound keyBound(const TFields& fields, const std::vector<std::string>& values, bool upper) {
    TRecord record(fields);
    for (unsigned i = 0; i < values.size(); ++i) {
        const KeyFit fit = setKeyValue(record, i, values[i]);
        if (fit == KeyFit::floor) {
            fillKeyWithOnes(record, i + 1);
            return KeyBound{record, true};
        }
        if (fit == KeyFit::below) {
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
