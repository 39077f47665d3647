// delete and update: change the records of one key, or of a range of keys,
// in place, as one change of the set.
//
// Both find their records as find does (tools/key_search.h): by halving in
// a table sorted on its key, or with --scan by reading every record. A
// delete renumbers the references (@ref) that other tables, and the table
// itself, hold to the records after the ones removed, and refuses while a
// reference designates a removed record. An update can't change a key field,
// so the table stays sorted and no record moves.
#include <iostream>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/batch_edits.h"
#include "tools/key_search.h"
#include "tools/record_filter.h"
#include "tools/references.h"
#include "tools/report.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/value_checks.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

std::string recordsText(unsigned long n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

// The positions of the records a command acts on, after the sortedness check
// (skipped with --scan, and when the set's record vouches for the order).
// `sorted` tells whether the table is known sorted.
std::vector<unsigned long> chosenRecords(Catalog& catalog, const TTable& table, const TOpenTable& open,
                                         const std::string& key, const std::string& lastKey, bool scan, bool& sorted) {
    const TFields& fields = open.fields();
    if (!fields.comparable()) throw InputError("table " + open.name() + " has an empty key");
    sorted = knownSorted(catalog, table.contentsFileName());
    if (!scan && !sorted) requireSorted(open);
    sorted = sorted || !scan;
    return recordsBetween(open, lowerKeyBound(fields, keyValues(fields, key)),
                          upperKeyBound(fields, keyValues(fields, lastKey)), scan);
}

// Rewrites the table with only the records not at `removed` (ascending):
// the contents file then holds nothing past its records.
void keepOthers(TOpenTable& open, const std::vector<unsigned long>& removed) {
    std::vector<TRecord> kept;
    kept.reserve(open.size() - removed.size());
    std::size_t next = 0;
    for (unsigned long i = 0; i < open.size(); ++i) {
        if (next < removed.size() && removed[next] == i)
            ++next;
        else
            kept.push_back(open.at(i));
    }
    open.clear();
    const pointer<Console::TProgress> progress = progressBar("Deleting from " + open.name());
    if (progress) progress->start(static_cast<int>(kept.size()));
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
        open.push_back(kept[i]);
    }
    if (progress) progress->finish();
}

// For each old record number, the new one after `removed` went.
std::vector<unsigned long> numbersAfterRemoval(unsigned long count, const std::vector<unsigned long>& removed) {
    std::vector<unsigned long> numbers(count);
    std::size_t next = 0;
    for (unsigned long i = 0; i < count; ++i) {
        if (next < removed.size() && removed[next] == i) {
            numbers[i] = kRemovedRecord;
            ++next;
        } else {
            numbers[i] = i - next;
        }
    }
    return numbers;
}

struct Assignment {
    unsigned field;
    std::string text;
};

// FIELD=VALUE words read against the table's fields: UsageError for a word
// without '=', InputError for an unknown field or one of the key.
std::vector<Assignment> assignments(const TFields& fields, const std::string& table, const Words& words) {
    std::vector<Assignment> result;
    for (const std::string& word : words) {
        const std::string::size_type equals = word.find('=');
        if (equals == std::string::npos || equals == 0)
            throw UsageError("update: expects FIELD=VALUE, not '" + word + "'");
        const std::string name = word.substr(0, equals);
        const unsigned f = fields.indexOf(name);
        if (f == fields.size()) throw InputError("table " + table + " has no field " + name);
        if (f < fields.endOfKey())
            throw InputError("field " + name + " is part of the key of " + table +
                             "; update does not change keys (the records would move): delete the record and load it "
                             "again with --append, then sort");
        for (const Assignment& earlier : result)
            if (earlier.field == f) throw UsageError("update: field " + name + " is given twice");
        result.push_back(Assignment{f, word.substr(equals + 1)});
    }
    return result;
}

}  // namespace

int deleteCommand(const Words& words) {
    Arguments args("delete", words, {"--scan"}, {"--to", "--keys", "--where"});
    if (args.help()) return std::cout << commandHelp("delete"), 0;
    const bool listed = args.has("--keys");
    if (listed && args.has("--to")) throw UsageError("delete: --keys takes no --to");
    const bool whereOnly = !listed && args.has("--where") && args.positionals().size() == 2 && !args.has("--to");
    if (!whereOnly)
        args.expect(listed ? 2 : 3, listed ? 2 : 3, listed ? "DIR TABLE --keys FILE" : "DIR TABLE KEY [--to KEY2]");
    Catalog catalog(args.positionals()[0], Access::write);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    const RecordFilter filter(table->fields(), args.values("--where"));
    requireContents(catalog, *table);
    requireWritable(catalog, {table->contentsFileName()});
    const std::string key = whereOnly || listed ? std::string() : args.positionals()[2];
    unsigned long count = 0, left = 0;
    std::vector<unsigned long> removed;
    bool sorted = false;
    {
        TOpenTable open(*table, false);
        if (whereOnly) {
            sorted = knownSorted(catalog, table->contentsFileName());
            removed = filter.scan(open);
        } else if (listed) {
            sorted = knownSorted(catalog, table->contentsFileName());
            removed = filter.narrow(open, recordsToDelete(open, args.value("--keys", "-"), args.has("--scan"), sorted));
            sorted = sorted || !args.has("--scan");
        } else {
            removed = filter.narrow(open, chosenRecords(catalog, *table, open, key, args.value("--to", key),
                                                        args.has("--scan"), sorted));
        }
        count = open.size();
        if (!removed.empty()) keepOthers(open, removed);
        left = open.size();
    }
    if (!removed.empty()) {
        const std::vector<unsigned long> numbers = numbersAfterRemoval(count, removed);
        try {
            renumberReferences(catalog, table->name(), referrersOf(catalog, table->name()), count,
                               [&numbers](unsigned long old) { return numbers[old]; });
        } catch (const InputError& e) {
            throw InputError(std::string("nothing deleted: ") + e.what() + ", which would be deleted");
        }
    }
    // Removing records keeps the others in order.
    if (sorted) noteSorted(catalog, {table->contentsFileName()});
    catalog.commit();
    std::cout << "deleted " << recordsText(removed.size()) << " from " << table->name() << " (" << left << " left)\n";
    return 0;
}

int updateCommand(const Words& words) {
    Arguments args("update", words, {"--scan", "--csv"}, {"--where"});
    if (args.help()) return std::cout << commandHelp("update"), 0;
    if (args.has("--csv") && args.has("--where")) throw UsageError("update: --csv takes no --where");
    if (args.has("--csv")) return updateFromCsv(args);
    args.expect(args.has("--where") ? 3 : 4, static_cast<std::size_t>(-1), "DIR TABLE KEY FIELD=VALUE...");
    Catalog catalog(args.positionals()[0], Access::write);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    const TFields& fields = table->fields();
    const RecordFilter filter(fields, args.values("--where"));
    // With --where the key may be left out: a word naming a field before
    // its '=' is then the first change.
    const std::string& third = args.positionals()[2];
    const bool whereOnly = !filter.empty() && fields.indexOf(third.substr(0, third.find('='))) != fields.size() &&
                           third.find('=') != std::string::npos;
    if (!whereOnly) args.expect(4, static_cast<std::size_t>(-1), "DIR TABLE KEY FIELD=VALUE...");
    requireContents(catalog, *table);
    requireWritable(catalog, {table->contentsFileName()});
    const std::vector<Assignment> changes = assignments(
        fields, table->name(), Words(args.positionals().begin() + (whereOnly ? 2 : 3), args.positionals().end()));
    unsigned long updated = 0;
    bool sorted = false;
    {
        TOpenTable open(*table, false);
        // Every value is read and checked once, as load checks it.
        TRecord values(fields);
        ValueChecks checks(fields, referenceLimits(catalog, fields, table->name(), open.size()));
        for (const Assignment& change : changes)
            checks.read(values, change.field, change.text, fieldPlace(0, fields[change.field].name()));
        std::vector<unsigned long> positions;
        if (whereOnly) {
            sorted = knownSorted(catalog, table->contentsFileName());
            positions = filter.scan(open);
        } else {
            positions = filter.narrow(open, chosenRecords(catalog, *table, open, third, third, args.has("--scan"), sorted));
        }
        const pointer<Console::TProgress> progress = progressBar("Updating " + table->name());
        if (progress) progress->start(static_cast<int>(positions.size()));
        for (unsigned long position : positions) {
            if (progress && updated % 4096 == 0) progress->update(static_cast<int>(updated));
            TRecord record = open.at(position);
            for (const Assignment& change : changes) record[change.field] = values[change.field];
            open.update(position, record);
            ++updated;
        }
        if (progress) progress->finish();
    }
    // An update changes no key.
    if (sorted) noteSorted(catalog, {table->contentsFileName()});
    catalog.commit();
    std::cout << "updated " << recordsText(updated) << " of " << table->name() << "\n";
    return 0;
}

}  // namespace Tool
