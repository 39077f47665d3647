// find: the records of a table with one key, or with keys in a range, found
// by halving in a sorted table or, with --scan, by reading every record.
#include <iostream>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/key_list.h"
#include "tools/key_search.h"
#include "tools/record_filter.h"
#include "tools/record_output.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

namespace {

// The records at `positions`, at most `limit` of them, in the chosen form;
// in the text form each with its position, and a count of those left out.
void listRecords(const TOpenTable& table, const std::vector<unsigned long>& positions, RecordForm form,
                 unsigned long limit) {
    const unsigned long shown = std::min<unsigned long>(positions.size(), limit);
    if (form == RecordForm::text) {
        for (unsigned long k = 0; k < shown; ++k)
            std::cout << "  " << positions[k] << ": " << recordText(table.at(positions[k])) << "\n";
        if (positions.size() > shown) std::cout << "  ... and " << positions.size() - shown << " more\n";
        return;
    }
    RecordWriter writer(std::cout, table.fields(), form);
    writer.begin();
    for (unsigned long k = 0; k < shown && std::cout; ++k) writer.write(table.at(positions[k]));
    writer.end();
}

std::string recordsText(unsigned long n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

}  // namespace

int findCommand(const Words& words) {
    Arguments args("find", words, {"--csv", "--json", "--scan", "--table"},
                   {"--from", "--to", "--limit", "--where", "--keys"});
    if (args.help()) return std::cout << commandHelp("find"), 0;
    if (args.has("--keys")) return findByKeys(args);
    const bool range = args.has("--from") || args.has("--to");
    // --where alone reads every record, in whatever order.
    const bool whereOnly = !range && args.has("--where") && args.positionals().size() == 2;
    if (range)
        args.expect(2, 2, "DIR TABLE --from KEY --to KEY2 (no KEY... with a range)");
    else if (!whereOnly)
        args.expect(3, static_cast<std::size_t>(-1), "DIR TABLE KEY... or DIR TABLE --from KEY --to KEY2");
    const RecordForm form = recordForm(args);
    const bool scan = args.has("--scan");
    Catalog catalog(args.positionals()[0], Access::read);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    const TFields& fields = table->fields();
    if (!fields.comparable() && !whereOnly) throw InputError("table " + table->name() + " has an empty key");
    std::vector<std::string> key(args.positionals().begin() + 2, args.positionals().end());
    const RecordFilter filter(fields, args.values("--where"));
    if (!range && !whereOnly && key.size() != fields.endOfKey())
        throw UsageError("find: the key of " + table->name() + " is " + keyText(fields) + ": give " +
                         std::to_string(fields.endOfKey()) + " value(s), not " + std::to_string(key.size()));
    // Text output without a limit shows the first few records of one key,
    // as a sample; a range or a machine form shows them all.
    const unsigned long limit =
        args.count("--limit", range || whereOnly || form != RecordForm::text ? static_cast<unsigned long>(-1) : 10, 0,
                   static_cast<unsigned long>(-1) >> 1);
    requireContents(catalog, *table);
    TOpenTable open(*table, false);
    if (!scan && !whereOnly && !knownSorted(catalog, table->contentsFileName())) requireSorted(open);

    // A range without --from starts at the first key, one without --to ends
    // at the last.
    const auto bound = [&](const std::string& flag) {
        if (!range) return key;
        return args.has(flag) ? keyValues(fields, args.value(flag, "")) : std::vector<std::string>();
    };
    const KeyBound from = lowerKeyBound(fields, bound("--from"));
    const KeyBound to = upperKeyBound(fields, bound("--to"));
    const std::vector<unsigned long> positions =
        whereOnly ? filter.scan(open) : filter.narrow(open, recordsBetween(open, from, to, scan));
    if (form != RecordForm::text) {
        listRecords(open, positions, form, limit);
        return 0;
    }

    const unsigned long end = open.size();
    const std::string where = filter.empty() ? "" : " where " + filter.text();
    if (range || whereOnly) {
        std::cout << table->name();
        if (range)
            std::cout << ", key " << keyText(fields) << " from "
                      << (args.has("--from") ? args.value("--from", "") : "the first") << " to "
                      << (args.has("--to") ? args.value("--to", "") : "the last");
        std::cout << where << " (" << recordsText(end) << (scan || whereOnly ? ", scanned" : "")
                  << "): " << recordsText(positions.size()) << (positions.empty() ? "" : ":") << "\n";
        listRecords(open, positions, form, limit);
        return 0;
    }
    std::string shown;
    for (unsigned i = 0; i < fields.endOfKey(); ++i) shown += (i ? ", " : "") + fields[i].name() + " = " + key[i];
    std::cout << table->name() << ", key " << shown << where << " (" << recordsText(end)
              << (scan ? ", scanned: the table is read record by record" : "; sorted") << ")\n";
    if (!scan) {
        // An exact search where the key can be stored; a key its fields
        // can't hold is in no record.
        const bool storable = !from.after;
        const unsigned long exact = storable ? open.find(0, end, from.record) : end;
        std::cout << "  find         "
                  << (exact == end ? "not found (" + std::to_string(end) + " = end)" : std::to_string(exact))
                  << "\n  lower bound  " << boundPosition(open, from) << "\n  upper bound  " << boundPosition(open, to)
                  << "\n";
    }
    std::cout << recordsText(positions.size()) << " with this key" << (positions.empty() ? "" : ":") << "\n";
    listRecords(open, positions, form, limit);
    return 0;
}

}  // namespace Tool
