#include "tools/key_list.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <numeric>

#include "support/Utils.h"
#include "tools/catalog.h"
#include "tools/csv.h"
#include "tools/record_filter.h"
#include "tools/record_output.h"
#include "tools/report.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"
#include "tools/value_checks.h"

using namespace Orvex;

namespace Tool {

namespace {

std::string recordsText(unsigned long n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

std::vector<ListedKey> readKeys(const TFields& fields, std::istream& in) {
    std::vector<ListedKey> keys;
    if (fields.endOfKey() > 1) {
        CsvReader reader(in);
        for (std::vector<std::string> row; reader.next(row);) keys.push_back(listedKey(fields, reader.line(), row));
        return keys;
    }
    std::string line;
    for (unsigned long number = 1; readBoundedLine(in, line, number); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) keys.push_back(listedKey(fields, number, {line}));
    }
    return keys;
}

}  // namespace

ListedKey listedKey(const TFields& fields, unsigned long line, const std::vector<std::string>& values) {
    try {
        if (values.size() > fields.endOfKey())
            throw InputError(std::to_string(values.size()) + " values; the key is " + keyText(fields));
        return ListedKey{line, values, lowerKeyBound(fields, values), upperKeyBound(fields, values)};
    } catch (const InputError& e) {
        throw InputError("line " + std::to_string(line) + ": " + e.what());
    }
}

std::vector<ListedKey> readKeyList(const TFields& fields, const std::string& file) {
    std::vector<ListedKey> keys;
    if (file == "-") {
        keys = readKeys(fields, std::cin);
        if (std::cin.bad()) Utils::raise_runtime_error("Couldn't read standard input");
        return keys;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) throw InputError("can't read the keys in " + file);
    keys = readKeys(fields, in);
    if (in.bad()) Utils::raise_runtime_error("Couldn't read " + file);
    return keys;
}

std::string keyShown(const TFields& fields, const ListedKey& key) {
    std::string shown;
    for (unsigned i = 0; i < key.values.size(); ++i)
        shown += (i ? ", " : "") + fields[i].name() + " = " + key.values[i];
    return shown;
}

KeyFinder::KeyFinder(const TOpenTable& table, bool scan, bool vouched) : m_table(table), m_scan(scan) {
    if (!table.fields().comparable()) throw InputError("table " + table.name() + " has an empty key");
    if (!scan) {
        if (!vouched) requireSorted(table);
        return;
    }
    const pointer<Console::TProgress> progress = progressBar("Scanning " + table.name());
    if (progress) progress->start(static_cast<int>(table.size()));
    m_records.reserve(table.size());
    for (unsigned long i = 0; i < table.size(); ++i) {
        if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
        m_records.push_back(table.at(i));
    }
    if (progress) progress->finish();
    m_order.resize(m_records.size());
    std::iota(m_order.begin(), m_order.end(), 0UL);
    std::stable_sort(m_order.begin(), m_order.end(),
                     [this](unsigned long a, unsigned long b) { return m_records[a].compareTo(m_records[b]) < 0; });
}

std::vector<unsigned long> KeyFinder::positions(const ListedKey& key) const {
    std::vector<unsigned long> found;
    if (!m_scan) {
        const unsigned long first = boundPosition(m_table, key.from), end = boundPosition(m_table, key.to);
        for (unsigned long i = first; i < end; ++i) found.push_back(i);
        return found;
    }
    const auto before = [this](const KeyBound& bound) {
        return [this, &bound](unsigned long i) { return !reaches(m_records[i], bound); };
    };
    const auto first = std::partition_point(m_order.begin(), m_order.end(), before(key.from));
    const auto end = std::partition_point(first, m_order.end(), before(key.to));
    found.assign(first, end);
    std::sort(found.begin(), found.end());
    return found;
}

int findByKeys(const Arguments& args) {
    args.expect(2, 2, "DIR TABLE --keys FILE (no KEY and no range with --keys)");
    if (args.has("--from") || args.has("--to")) throw UsageError("find: --keys takes no --from or --to");
    const RecordForm form = recordForm(args);
    const bool scan = args.has("--scan");
    Catalog catalog(args.positionals()[0], Access::read);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    const unsigned long limit = args.count("--limit", form != RecordForm::text ? static_cast<unsigned long>(-1) : 10, 0,
                                           static_cast<unsigned long>(-1) >> 1);
    requireContents(catalog, *table);
    TOpenTable open(*table, false);
    const std::string file = args.value("--keys", "-");
    const std::vector<ListedKey> keys = readKeyList(open.fields(), file);
    const KeyFinder finder(open, scan, knownSorted(catalog, table->contentsFileName()));
    const RecordFilter filter(open.fields(), args.values("--where"));  // narrows each key's records

    RecordWriter writer(std::cout, open.fields(), form);
    if (form != RecordForm::text)
        writer.begin();
    else
        std::cout << table->name() << ", " << keys.size() << (keys.size() == 1 ? " key from " : " keys from ")
                  << (file == "-" ? "standard input" : file) << " (" << recordsText(open.size())
                  << (scan ? ", scanned" : "; sorted") << ")\n";
    for (const ListedKey& key : keys) {
        if (!std::cout) break;
        const std::vector<unsigned long> positions = filter.narrow(open, finder.positions(key));
        const unsigned long shown = std::min<unsigned long>(positions.size(), limit);
        if (form != RecordForm::text) {
            for (unsigned long k = 0; k < shown; ++k) writer.write(open.at(positions[k]));
            continue;
        }
        std::cout << keyShown(open.fields(), key) << ": " << recordsText(positions.size())
                  << (positions.empty() ? "" : ":") << "\n";
        for (unsigned long k = 0; k < shown; ++k)
            std::cout << "  " << positions[k] << ": " << recordText(open.at(positions[k])) << "\n";
        if (positions.size() > shown) std::cout << "  ... and " << positions.size() - shown << " more\n";
    }
    if (form != RecordForm::text) writer.end();
    return 0;
}

}  // namespace Tool
