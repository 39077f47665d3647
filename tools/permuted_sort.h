// Sorting a table on its key while noting where each record went, for
// tables whose record numbers others hold (@ref): the library's in-place
// sort moves records without saying where.
#pragma once

#include <vector>

#include "Core/Orvex/__table.h"

namespace Tool {

// A sort on the key, records of equal keys keeping their order: the records,
// held in memory, and for each old record number its new one.
struct PlannedSort {
    std::vector<Orvex::TRecord> records;
    std::vector<unsigned long> order;  // order[new] = old
    std::vector<unsigned long> moves;  // moves[old] = new
};
PlannedSort planSort(const Orvex::TOpenTable& table);
// Writes the records where the plan puts them; only those that move.
void applySort(Orvex::TOpenTable& table, const PlannedSort& plan);

}  // namespace Tool
