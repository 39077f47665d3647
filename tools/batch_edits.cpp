#include "tools/batch_edits.h"

#include <algorithm>
#include <deque>
#include <iostream>

#include "support/Utils.h"
#include "tools/catalog.h"
#include "tools/csv.h"
#include "tools/key_list.h"
#include "tools/references.h"
#include "tools/report.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"
#include "tools/value_checks.h"

using namespace Orvex;

namespace Tool {

namespace {

std::string recordsText(unsigned long n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

InputError notFound(const TOpenTable& table, const ListedKey& key, const std::string& outcome) {
    return InputError("line " + std::to_string(key.line) + ": no record of " + table.name() + " has the key " +
                      keyShown(table.fields(), key) + "; " + outcome);
}

// The fields the header sets, after the key fields it must begin with.
std::vector<unsigned> fieldsToSet(const TFields& fields, const std::string& table,
                                  const std::vector<std::string>& header) {
    const unsigned keyCount = fields.endOfKey();
    const std::string expected = "line 1: the header begins with the key fields " + keyText(fields);
    for (unsigned i = 0; i < keyCount; ++i)
        if (i >= header.size() || header[i] != fields[i].name())
            throw InputError(expected + ", then the fields to set");
    if (header.size() == keyCount) throw InputError("line 1: no field to set after the key fields " + keyText(fields));
    std::vector<unsigned> set;
    for (std::size_t i = keyCount; i < header.size(); ++i) {
        const unsigned f = fields.indexOf(header[i]);
        if (f == fields.size()) throw InputError("line 1: table " + table + " has no field " + header[i]);
        if (f < keyCount)
            throw InputError("line 1: field " + header[i] + " is part of the key of " + table +
                             "; update does not change keys");
        if (std::find(set.begin(), set.end(), f) != set.end())
            throw InputError("line 1: field " + header[i] + " is given twice");
        set.push_back(f);
    }
    return set;
}

struct Change {
    std::vector<unsigned long> positions;
    TRecord values;
};

}  // namespace

std::vector<unsigned long> recordsToDelete(const TOpenTable& table, const std::string& file, bool scan,
                                           bool vouched) {
    const std::vector<ListedKey> keys = readKeyList(table.fields(), file);
    const KeyFinder finder(table, scan, vouched);
    std::vector<unsigned long> removed;
    for (const ListedKey& key : keys) {
        const std::vector<unsigned long> found = finder.positions(key);
        if (found.empty()) throw notFound(table, key, "nothing deleted");
        removed.insert(removed.end(), found.begin(), found.end());
    }
    std::sort(removed.begin(), removed.end());
    removed.erase(std::unique(removed.begin(), removed.end()), removed.end());
    return removed;
}

int updateFromCsv(const Arguments& args) {
    args.expect(2, 2, "DIR TABLE --csv, the changes on standard input");
    Catalog catalog(args.positionals()[0], Access::write);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    requireContents(catalog, *table);
    requireWritable(catalog, {table->contentsFileName()});
    const TFields& fields = table->fields();
    unsigned long updated = 0;
    const bool vouched = knownSorted(catalog, table->contentsFileName());
    {
        TOpenTable open(*table, false);
        CsvReader reader(std::cin);
        std::vector<std::string> row;
        if (!reader.next(row))
            throw InputError("line 1: no header line (expected the key fields " + keyText(fields) +
                             ", then the fields to set)");
        const std::vector<std::string> header = row;
        const std::vector<unsigned> set = fieldsToSet(fields, table->name(), header);
        ValueChecks checks(fields, referenceLimits(catalog, fields, table->name(), open.size()));
        const KeyFinder finder(open, args.has("--scan"), vouched);
        std::deque<Change> changes;  // rows stay put as more come
        while (reader.next(row)) {
            if (row.size() != header.size())
                throw InputError("line " + std::to_string(reader.line()) + ": " + std::to_string(row.size()) +
                                 " values, the header has " + std::to_string(header.size()));
            const ListedKey key = listedKey(fields, reader.line(),
                                            std::vector<std::string>(row.begin(), row.begin() + fields.endOfKey()));
            Change change{finder.positions(key), TRecord(fields)};
            if (change.positions.empty()) throw notFound(open, key, "nothing updated");
            for (std::size_t i = fields.endOfKey(); i < row.size(); ++i)
                checks.read(change.values, set[i - fields.endOfKey()], row[i], fieldPlace(reader.line(), header[i]));
            changes.push_back(std::move(change));
        }
        if (std::cin.bad()) Utils::raise_runtime_error("Couldn't read standard input");

        // In table order, each record read and written once with its changes
        // in row order: the writes go forward through the file.
        std::vector<std::pair<unsigned long, std::size_t>> writes;
        for (std::size_t c = 0; c < changes.size(); ++c)
            for (unsigned long position : changes[c].positions) writes.emplace_back(position, c);
        std::stable_sort(writes.begin(), writes.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const pointer<Console::TProgress> progress = progressBar("Updating " + table->name());
        if (progress) progress->start(static_cast<int>(writes.size()));
        for (std::size_t w = 0; w < writes.size();) {
            if (progress && updated % 4096 == 0) progress->update(static_cast<int>(w));
            const unsigned long position = writes[w].first;
            TRecord record = open.at(position);
            for (; w < writes.size() && writes[w].first == position; ++w)
                for (unsigned f : set) record[f] = changes[writes[w].second].values[f];
            open.update(position, record);
            ++updated;
        }
        if (progress) progress->finish();
    }
    // Changing fields that are not the key keeps the order.
    if (vouched || !args.has("--scan")) noteSorted(catalog, {table->contentsFileName()});
    catalog.commit();
    std::cout << "updated " << recordsText(updated) << " of " << table->name() << "\n";
    return 0;
}

}  // namespace Tool
