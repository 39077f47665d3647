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
#include "tools/record_filter.h"
#include "tools/set_changes.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

namespace {

std::string recordsText(unsigned long n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

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
    const std::string key = whereOnly || listed ? std::string() : args.positionals()[2];
    const Removal removal = deleteRecords(catalog, *table, [&](const TOpenTable& open) {
        Selection chosen;
        if (whereOnly) {
            chosen.sorted = knownSorted(catalog, table->contentsFileName());
            chosen.positions = filter.scan(open);
        } else if (listed) {
            chosen.sorted = knownSorted(catalog, table->contentsFileName());
            chosen.positions = filter.narrow(
                open, recordsToDelete(open, args.value("--keys", "-"), args.has("--scan"), chosen.sorted));
            chosen.sorted = chosen.sorted || !args.has("--scan");
        } else {
            chosen = keyRange(catalog, *table, open, key, args.value("--to", key), args.has("--scan"));
            chosen.positions = filter.narrow(open, chosen.positions);
        }
        return chosen;
    });
    catalog.commit();
    std::cout << "deleted " << recordsText(removal.removed) << " from " << table->name() << " (" << removal.left
              << " left)\n";
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
    const Words changes(args.positionals().begin() + (whereOnly ? 2 : 3), args.positionals().end());
    const unsigned long updated = updateRecords(catalog, *table, changes, [&](const TOpenTable& open) {
        if (!whereOnly) {
            Selection chosen = keyRange(catalog, *table, open, third, third, args.has("--scan"));
            chosen.positions = filter.narrow(open, chosen.positions);
            return chosen;
        }
        return Selection{filter.scan(open), knownSorted(catalog, table->contentsFileName())};
    });
    catalog.commit();
    std::cout << "updated " << recordsText(updated) << " of " << table->name() << "\n";
    return 0;
}

}  // namespace Tool
