#include "tools/references.h"

#include "tools/field_syntax.h"
#include "tools/report.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

std::string referrerText(const Referrer& referrer) { return referrer.table + "." + referrer.field; }

std::vector<Referrer> referrersOf(Catalog& catalog, const std::string& table) {
    std::vector<Referrer> referrers;
    for (const TableEntry& entry : catalog.tables()) {
        pointer<TTable> other;
        try {
            other = defineTable(catalog, entry.name);
        } catch (const std::exception&) {
            continue;  // a damaged table is refused by every command that uses it; check names it
        }
        const TFields& fields = other->fields();
        for (unsigned f = 0; f < fields.size(); ++f) {
            std::string target;
            if (referencedTable(fields[f], target) && target == table)
                referrers.push_back(Referrer{entry.name, fields[f].name()});
        }
    }
    return referrers;
}

unsigned long referringRecords(Catalog& catalog, const std::vector<Referrer>& referrers, const std::string& table) {
    unsigned long records = 0;
    std::vector<std::string> counted;
    for (const Referrer& referrer : referrers) {
        if (referrer.table == table) continue;
        bool seen = false;
        for (const std::string& name : counted) seen = seen || name == referrer.table;
        if (seen) continue;
        counted.push_back(referrer.table);
        records += storedCount(catalog, *defineTable(catalog, referrer.table));
    }
    return records;
}

std::vector<unsigned long> referenceLimits(Catalog& catalog, const TFields& fields, const std::string& self,
                                           unsigned long selfCount) {
    std::vector<unsigned long> limits(fields.size(), kNoReference);
    for (unsigned f = 0; f < fields.size(); ++f) {
        std::string target;
        if (!referencedTable(fields[f], target)) continue;
        if (target == self) {
            limits[f] = selfCount;
            continue;
        }
        if (!catalog.contains(target))
            throw InputError("field " + fields[f].name() + " refers to table " + target + ", which does not exist");
        limits[f] = storedCount(catalog, *defineTable(catalog, target));
    }
    return limits;
}

namespace {

// Record `r` of the referrer's table, its reference renumbered; false when
// it stays as it is. Raises when it can't be renumbered; `shown` is the
// record's number in the message.
bool renumbered(TRecord& record, unsigned f, const Referrer& referrer, const std::string& referenced,
                unsigned long oldCount, const Renumbering& renumber, unsigned long shown) {
    const unsigned long value = record[f].get<unsigned long>();
    if (value >= oldCount) return false;
    const unsigned long renumbered = renumber(value);
    if (renumbered == kRemovedRecord)
        throw InputError("record " + std::to_string(shown) + " of " + referrer.table + " (field " + referrer.field +
                         ") refers to record " + std::to_string(value) + " of " + referenced);
    if (renumbered == value) return false;
    try {
        record[f] = renumbered;
    } catch (const std::out_of_range& e) {
        // The field was stripped while the referenced table held
        // fewer records; stripping it again sizes it for them all.
        throw InputError("record " + std::to_string(shown) + " of " + referrer.table + " (field " + referrer.field +
                         ") can't hold " + std::to_string(renumbered) + ", the new number of the record of " +
                         referenced + " it refers to: the field was stripped when " + referenced +
                         " had fewer records; strip " + referrer.table + ", then try again (" + e.what() + ")");
    }
    return true;
}

// The referrer's table, checked to be rewritten, and its field's index.
pointer<TTable> referringTable(Catalog& catalog, const Referrer& referrer, unsigned& field) {
    const pointer<TTable> table = defineTable(catalog, referrer.table);
    requireContents(catalog, *table);
    requireWritable(catalog, {table->contentsFileName()});
    field = table->fields().indexOf(referrer.field);
    return table;
}

}  // namespace

void renumberReferences(Catalog& catalog, const std::string& referenced, const std::vector<Referrer>& referrers,
                        unsigned long oldCount, const Renumbering& renumber) {
    for (const Referrer& referrer : referrers) {
        unsigned f = 0;
        const pointer<TTable> table = referringTable(catalog, referrer, f);
        TOpenTable open(*table, false);
        const pointer<Console::TProgress> progress = progressBar("Renumbering " + referrerText(referrer));
        if (progress) progress->start(static_cast<int>(open.size()));
        for (unsigned long r = 0; r < open.size(); ++r) {
            if (progress && r % 4096 == 0) progress->update(static_cast<int>(r));
            TRecord record = open.at(r);
            if (renumbered(record, f, referrer, referenced, oldCount, renumber, r)) open.update(r, record);
        }
        if (progress) progress->finish();
    }
}

void checkRenumbering(Catalog& catalog, const std::string& referenced, const std::vector<Referrer>& referrers,
                      unsigned long oldCount, const Renumbering& renumber) {
    for (const Referrer& referrer : referrers) {
        unsigned f = 0;
        const pointer<TTable> table = referringTable(catalog, referrer, f);
        const bool moving = referrer.table == referenced;
        TOpenTable open(*table, false);
        // The first record refused as renumberReferences meets them, in the
        // order after the move.
        unsigned long first = kRemovedRecord;
        std::string refusal;
        open.forEach(0, open.size(), [&](unsigned long r, const TRecord& read) {
            const unsigned long shown = moving && r < oldCount ? renumber(r) : r;
            if (shown == kRemovedRecord || shown >= first) return;
            TRecord record = read;
            try {
                renumbered(record, f, referrer, referenced, oldCount, renumber, shown);
            } catch (const InputError& e) {
                first = shown;
                refusal = e.what();
            }
        });
        if (first != kRemovedRecord) throw InputError(refusal);
    }
}

}  // namespace Tool
