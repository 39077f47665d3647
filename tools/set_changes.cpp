#include "tools/set_changes.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "Core/Orvex/table_files.h"
#include "support/Utils.h"
#include "tools/field_syntax.h"
#include "tools/key_search.h"
#include "tools/permuted_sort.h"
#include "tools/references.h"
#include "tools/report.h"
#include "tools/sorted_tables.h"
#include "tools/table_rules.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/value_checks.h"

using namespace Orvex;

namespace Tool {

namespace {

// Runs the writing part of a change: whatever fails in it fails half way.
template <class Write>
void writing(Write&& write) {
    try {
        write();
    } catch (const HalfWritten&) {
        throw;
    } catch (const std::exception& e) {
        throw HalfWritten(e.what());
    }
}

// A strip of a table whose files break the rules would carry the damage into
// files that look sound, or drop records for good; so nothing is stripped.
void refuseDamaged(Catalog& catalog, const TableEntry& entry) {
    const std::vector<std::string> problems = tableFileProblems(catalog.files(), entry);
    if (problems.empty()) return;
    const std::size_t more = problems.size() - 1;
    throw InputError("cannot strip " + entry.name + ": " + problems.front() +
                     (more ? " (and " + std::to_string(more) + " more; orvex check lists them)" : ""));
}

void requireChangeable(Catalog& catalog, const TTable& table) {
    requireContents(catalog, table);
    requireWritable(catalog, {table.contentsFileName()});
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

std::string rowPlace(unsigned long row, const std::string& field) {
    return "row " + std::to_string(row) + ", field " + field + ": ";
}

}  // namespace

void requireTableName(const std::string& name) {
    if (!isPlainName(name)) throw UsageError("create: a table name is letters, digits and '_', not starting with a digit");
    if (name == kTemporaryTableName) throw UsageError("create: \"temp\" is reserved for stripping's scratch files");
    if (!tableNameProblem(name).empty()) throw UsageError(tableNameProblem(name));
}

TableEntry createTable(Catalog& catalog, const std::string& name, const TFields& fields, bool binary) {
    requireTableName(name);
    const TableEntry entry{name, binary};
    catalog.requireFree(name);
    // A reference to another table needs that table, as alter add requires.
    referenceLimits(catalog, fields, name, 0);
    writing([&] {
        {
            TTable table(catalog.files(), name, fields, entry.binary);
            TOpenTable contents(table, false);  // an empty contents file, so the table opens
        }
        catalog.add(entry);
    });
    return entry;
}

void appendRows(Catalog& catalog, const TTable& table, RowSource& source) {
    requireChangeable(catalog, table);
    const TFields& fields = table.fields();
    const unsigned long rows = source.rows(), before = storedCount(catalog, table);
    ValueChecks checks(fields, referenceLimits(catalog, fields, table.name(), before + rows));
    const std::size_t size = fields.byteSize();
    std::vector<unsigned char> staged(size * rows);
    TRecord record(fields);
    std::string text;
    for (unsigned long row = 0; row < rows; ++row) {
        for (unsigned f = 0; f < fields.size(); ++f) {
            source.text(f, row, text);
            try {
                checks.read(record, f, text, std::string());
            } catch (const InputError& e) {
                throw InputError(rowPlace(row, fields[f].name()) + e.what());
            }
        }
        if (size) std::memcpy(&staged[row * size], record.bytes(), size);
    }
    if (rows == 0) return;
    writing([&] {
        TOpenTable out(table, false);
        for (unsigned long row = 0; row < rows; ++row) {
            if (size) std::memcpy(record.bytes(), &staged[row * size], size);
            out.push_back(record);
        }
        // Appends report no failed write: the stream says whether all went.
        if (!table.getFileStream().good()) Utils::raise_runtime_error("Couldn't write " + table.contentsFileName());
    });
}

unsigned long sortTable(Catalog& catalog, const TTable& table) {
    if (!table.fields().comparable()) throw InputError("table " + table.name() + " has an empty key");
    requireChangeable(catalog, table);
    const std::vector<Referrer> referrers = referrersOf(catalog, table.name());
    std::unique_ptr<TOpenTable> open(new TOpenTable(table, false));
    const unsigned long records = open->size();
    // References follow their records to where the sort puts them; whether
    // they can is known before anything moves.
    PlannedSort plan;
    const Renumbering renumber = [&plan](unsigned long old) { return plan.moves[old]; };
    if (!referrers.empty()) {
        plan = planSort(*open);
        checkRenumbering(catalog, table.name(), referrers, records, renumber);
    }
    writing([&] {
        if (referrers.empty()) {
            open->progress(progressBar("Sorting " + table.name()));
            open->sort();
        } else {
            applySort(*open, plan);
        }
        open.reset();
        if (!referrers.empty()) renumberReferences(catalog, table.name(), referrers, records, renumber);
        noteSorted(catalog, {table.contentsFileName()});
    });
    return records;
}

std::vector<Stripped> stripTables(Catalog& catalog, Words chosen) {
    for (const std::string& name : chosen) catalog.entry(name);  // unknown names fail before anything changes
    if (chosen.empty())
        for (const TableEntry& entry : catalog.tables()) chosen.push_back(entry.name);
    for (const std::string& name : chosen) {
        refuseDamaged(catalog, catalog.entry(name));
        requireWritable(catalog, Catalog::fileNames(catalog.entry(name)));
    }
    // The library opens every table of the set for writing as it strips.
    for (const TableEntry& entry : catalog.tables()) requireWritable(catalog, {Catalog::fileNames(entry)[2]});

    std::vector<Stripped> report;
    // Narrower fields compare as the wider ones did: what was sorted stays so.
    std::vector<std::string> sorted;
    for (const TableEntry& entry : catalog.tables())
        if (knownSorted(catalog, Catalog::fileNames(entry)[2])) sorted.push_back(Catalog::fileNames(entry)[2]);
    writing([&] {
        {
            std::unique_ptr<TTables> set = catalog.openSet();
            for (unsigned i = 0; i < set->size(); ++i) {
                TTable& table = set->at(i);
                if (std::find(chosen.begin(), chosen.end(), table.name()) == chosen.end()) continue;
                requireContents(catalog, table);
                const unsigned long records = TOpenTable(table, false).size();
                const unsigned bitsBefore = table.fields().bitSize();
                const unsigned long long bytesBefore = fileBytes(catalog, table.contentsFileName());
                table.strip(*set, progressBar("Stripping " + table.name()));
                report.push_back(Stripped{table.name(), table.contentsFileName(), records, bitsBefore,
                                          table.fields().bitSize(), bytesBefore});
            }
        }
        noteSorted(catalog, sorted);
    });
    return report;
}

Selection keyRange(Catalog& catalog, const TTable& table, const TOpenTable& open, const std::string& key,
                   const std::string& lastKey, bool scan) {
    const TFields& fields = open.fields();
    if (!fields.comparable()) throw InputError("table " + open.name() + " has an empty key");
    Selection chosen;
    chosen.sorted = knownSorted(catalog, table.contentsFileName());
    if (!scan && !chosen.sorted) requireSorted(open);
    chosen.sorted = chosen.sorted || !scan;
    chosen.positions = recordsBetween(open, lowerKeyBound(fields, keyValues(fields, key)),
                                      upperKeyBound(fields, keyValues(fields, lastKey)), scan);
    return chosen;
}

Removal deleteRecords(Catalog& catalog, const TTable& table, const Chooser& choose) {
    requireChangeable(catalog, table);
    Selection chosen;
    unsigned long count = 0;
    {
        TOpenTable open(table, false);
        chosen = choose(open);
        count = open.size();
    }
    const std::vector<unsigned long>& removed = chosen.positions;
    const std::vector<unsigned long> numbers = numbersAfterRemoval(count, removed);
    const Renumbering renumber = [&numbers](unsigned long old) { return numbers[old]; };
    const std::vector<Referrer> referrers =
        removed.empty() ? std::vector<Referrer>() : referrersOf(catalog, table.name());
    try {
        checkRenumbering(catalog, table.name(), referrers, count, renumber);
    } catch (const InputError& e) {
        throw InputError(std::string("nothing deleted: ") + e.what() + ", which would be deleted");
    }
    unsigned long left = count;
    writing([&] {
        if (!removed.empty()) {
            {
                TOpenTable open(table, false);
                keepOthers(open, removed);
                left = open.size();
            }
            renumberReferences(catalog, table.name(), referrers, count, renumber);
        }
        // Removing records keeps the others in order.
        if (chosen.sorted) noteSorted(catalog, {table.contentsFileName()});
    });
    return Removal{removed.size(), left};
}

unsigned long updateRecords(Catalog& catalog, const TTable& table, const Words& words, const Chooser& choose) {
    requireChangeable(catalog, table);
    const TFields& fields = table.fields();
    const std::vector<Assignment> changes = assignments(fields, table.name(), words);
    unsigned long updated = 0;
    Selection chosen;
    {
        TOpenTable open(table, false);
        // Every value is read and checked once, as load checks it.
        TRecord values(fields);
        ValueChecks checks(fields, referenceLimits(catalog, fields, table.name(), open.size()));
        for (const Assignment& change : changes)
            checks.read(values, change.field, change.text, fieldPlace(0, fields[change.field].name()));
        chosen = choose(open);
        writing([&] {
            const pointer<Console::TProgress> progress = progressBar("Updating " + table.name());
            if (progress) progress->start(static_cast<int>(chosen.positions.size()));
            for (unsigned long position : chosen.positions) {
                if (progress && updated % 4096 == 0) progress->update(static_cast<int>(updated));
                TRecord record = open.at(position);
                for (const Assignment& change : changes) record[change.field] = values[change.field];
                open.update(position, record);
                ++updated;
            }
            if (progress) progress->finish();
        });
    }
    // An update changes no key.
    if (chosen.sorted) writing([&] { noteSorted(catalog, {table.contentsFileName()}); });
    return updated;
}

}  // namespace Tool
