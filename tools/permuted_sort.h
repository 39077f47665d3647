// Sorting a table on its key while noting where each record went, for
// tables whose record numbers others hold (@ref): the library's in-place
// sort moves records without saying where.
#pragma once

#include <vector>

#include "Core/Orvex/__table.h"

namespace Tool {

// Sorts the records on their key, records of equal keys keeping their order,
// and returns for each old record number its new one. The records are held
// in memory while they are sorted; only those that move are written.
std::vector<unsigned long> sortNotingMoves(Orvex::TOpenTable& table);

}  // namespace Tool
