// alter and drop: change a table's structure, or remove a table, as one
// change of the set.
//
// alter rewrites the table: its records are read, the structure and
// transformer files are written anew in the table's form, and every record
// is written again with the new structure (the other fields keep their
// values; an added field gets its default). No record moves, so references
// to the table stay true; the key is never changed, so the order neither.
#include <iostream>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/field_syntax.h"
#include "tools/references.h"
#include "tools/report.h"
#include "tools/table_rules.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/value_checks.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

// The structure of `fields` without field `dropped` (none when it is
// `fields.size()`), with `added` after the last field when given; the key
// keeps its fields.
TFields restructured(const TFields& fields, unsigned dropped, const TFieldInfo* added) {
    TFields result;
    for (unsigned i = 0; i < fields.size(); ++i) {
        if (i == fields.endOfKey()) result += TEndOfKey();
        if (i != dropped) result += fields[i];
    }
    // A whole-record key stays the fields it held.
    if (added) {
        if (fields.endOfKey() == fields.size()) result += TEndOfKey();
        result += *added;
    }
    return result;
}

// Writes the table again with `fields`: each record keeps the values of the
// fields of the same name, and `fill` sets the others.
unsigned long rewrite(Catalog& catalog, pointer<TTable>& table, const TFields& fields, const TRecord& fill) {
    std::vector<TRecord> records;
    {
        TOpenTable open(*table, false);
        records.reserve(open.size());
        for (unsigned long i = 0; i < open.size(); ++i) records.push_back(open.at(i));
    }
    const std::string name = table->name();
    const bool binary = table->binDesc();
    table = pointer<TTable>();  // its stream is closed before the files are written again
    TTable rewritten(catalog.files(), name, fields, binary);
    TOpenTable out(rewritten, true);
    const pointer<Console::TProgress> progress = progressBar("Rewriting " + name);
    if (progress) progress->start(static_cast<int>(records.size()));
    TRecord record(fill);
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (progress && r % 4096 == 0) progress->update(static_cast<int>(r));
        const TFields& old = records[r].fields();
        for (unsigned f = 0; f < fields.size(); ++f) {
            const unsigned from = old.indexOf(fields[f].name());
            if (from != old.size()) record[f] = records[r][from];
        }
        out.push_back(record);
    }
    if (progress) progress->finish();
    return out.size();
}

int alterAdd(Catalog& catalog, pointer<TTable> table, const std::string& syntax, const Arguments& args) {
    const TFields parsed = parseFieldList({syntax});
    if (parsed.size() != 1 || parsed.endOfKey() != 1) throw UsageError("alter add: give one field, without '|'");
    const TFieldInfo& added = parsed[0];
    const TFields& fields = table->fields();
    if (fields.indexOf(added.name()) != fields.size())
        throw InputError("table " + table->name() + " already has a field " + added.name());
    const TFields result = restructured(fields, fields.size(), &added);
    const unsigned position = result.size() - 1;
    TRecord fill(result);
    unsigned long records = 0;
    {
        requireContents(catalog, *table);
        records = TOpenTable(*table, false).size();
    }
    // Every record will hold the default, so it is checked as a loaded value
    // (the implicit 0 or "" too); with no records it designates nothing.
    std::vector<unsigned long> limits = referenceLimits(catalog, result, table->name(), records);
    if (records == 0) limits.assign(limits.size(), kNoReference);
    ValueChecks checks(result, limits);
    if (args.has("--default"))
        checks.read(fill, position, args.value("--default", ""), "--default: ");
    else
        checks.check(fill, position, "--default: ");
    const std::string name = table->name();
    rewrite(catalog, table, result, fill);
    catalog.commit();
    std::cout << "added " << fieldSyntax(result[position]) << " to " << name << ": " << records
              << (records == 1 ? " record" : " records") << " hold " << valueText(fill[position]) << "\n";
    return 0;
}

int alterDrop(Catalog& catalog, pointer<TTable> table, const std::string& field) {
    const TFields& fields = table->fields();
    const unsigned dropped = fields.indexOf(field);
    if (dropped == fields.size()) throw InputError("table " + table->name() + " has no field " + field);
    if (dropped < fields.endOfKey())
        throw InputError("field " + field + " is part of the key of " + table->name() + "; a key field can't be dropped");
    requireContents(catalog, *table);
    const TFields result = restructured(fields, dropped, nullptr);
    const std::string name = table->name();
    const unsigned long records = rewrite(catalog, table, result, TRecord(result));
    catalog.commit();
    std::cout << "dropped field " << field << " from " << name << " (" << records
              << (records == 1 ? " record" : " records") << ")\n";
    return 0;
}

}  // namespace

int alterCommand(const Words& words) {
    Arguments args("alter", words, {}, {"--default"});
    if (args.help()) return std::cout << commandHelp("alter"), 0;
    args.expect(4, 4, "DIR TABLE add FIELD-SYNTAX [--default VALUE] or DIR TABLE drop FIELD");
    const std::string& action = args.positionals()[2];
    if (action != "add" && action != "drop") throw UsageError("alter: expects add or drop, not '" + action + "'");
    if (action == "drop" && args.has("--default")) throw UsageError("alter drop: --default goes with add");
    if (action == "add") parseFieldList({args.positionals()[3]});  // bad syntax is bad usage, found before the lock
    Catalog catalog(args.positionals()[0], Access::write);
    pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    requireWritable(catalog, Catalog::fileNames(catalog.entry(table->name())));
    if (action == "add") return alterAdd(catalog, table, args.positionals()[3], args);
    return alterDrop(catalog, table, args.positionals()[3]);
}

int dropCommand(const Words& words) {
    Arguments args("drop", words, {}, {});
    if (args.help()) return std::cout << commandHelp("drop"), 0;
    args.expect(2, 2, "DIR TABLE");
    Catalog catalog(args.positionals()[0], Access::write);
    const std::string& name = args.positionals()[1];
    const TableEntry entry = catalog.entry(name);
    std::string others;
    for (const Referrer& referrer : referrersOf(catalog, name))
        if (referrer.table != name) others += (others.empty() ? "" : ", ") + referrerText(referrer);
    if (!others.empty()) throw InputError("table " + name + " is referred to by " + others + "; drop or alter those first");
    requireWritable(catalog, Catalog::fileNames(entry));
    for (const std::string& file : Catalog::fileNames(entry)) {
        const std::string problem = fileKindProblem(catalog.files(), file, false);
        if (!problem.empty()) throw InputError(problem);
        if (catalog.files().exists(file) && !catalog.files().remove(file))
            throw InputError("Couldn't remove " + file);
    }
    catalog.remove(name);
    catalog.commit();
    std::cout << "dropped table " << name << "\n";
    return 0;
}

}  // namespace Tool
