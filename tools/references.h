// Record numbers that fields with "@ref=TABLE" (a "sizeForRef" transformer)
// hold: finding the fields that refer to a table, checking a value against
// the table it refers to, and renumbering the values when the referenced
// records move, so that every reference keeps designating the same record.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"

namespace Tool {

// A field of some table of the set that refers to another table.
struct Referrer {
    std::string table;
    std::string field;
};

// "orders.customer".
std::string referrerText(const Referrer& referrer);

// Every field, in every table of the catalog (the table itself included),
// that refers to `table`, in list and field order. A table whose files
// can't be read is passed over: every command that uses it refuses it, and
// check reports it.
std::vector<Referrer> referrersOf(Catalog& catalog, const std::string& table);

// The number of records of the tables that hold the referrers, other than
// `table` itself; 0 when no other table holds a reference.
unsigned long referringRecords(Catalog& catalog, const std::vector<Referrer>& referrers, const std::string& table);

// For each field of `fields`, the record count of the table it refers to,
// or kNoReference. `self` is the table the fields belong to: a reference to
// it gets `selfCount`. InputError when a referenced table is not in the set.
// tools/value_checks.h checks values against them.
constexpr unsigned long kNoReference = static_cast<unsigned long>(-1);
std::vector<unsigned long> referenceLimits(Catalog& catalog, const Orvex::TFields& fields, const std::string& self,
                                           unsigned long selfCount);

// What a record number becomes; kRemovedRecord when its record is gone.
constexpr unsigned long kRemovedRecord = static_cast<unsigned long>(-1);
typedef std::function<unsigned long(unsigned long)> Renumbering;

// Rewrites the value of every referrer through `renumber`, in place; values
// at or past `oldCount` (references that were already dangling) are left as
// they are. When a value designates a removed record, InputError "record 4
// of orders (field customer) refers to record 2 of customers" (`referenced`
// names the table). Runs inside the catalog's change.
void renumberReferences(Catalog& catalog, const std::string& referenced, const std::vector<Referrer>& referrers,
                        unsigned long oldCount, const Renumbering& renumber);

// Raises what renumberReferences would, without writing, before the records
// of `referenced` move: its own records are named by their numbers after
// the move, and those removed are passed over.
void checkRenumbering(Catalog& catalog, const std::string& referenced, const std::vector<Referrer>& referrers,
                      unsigned long oldCount, const Renumbering& renumber);

}  // namespace Tool
