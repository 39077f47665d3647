#include "tools/permuted_sort.h"

#include <algorithm>

#include "tools/report.h"

using namespace Orvex;

namespace Tool {

std::vector<unsigned long> sortNotingMoves(TOpenTable& table) {
    const unsigned long n = table.size();
    std::vector<TRecord> records;
    records.reserve(n);
    for (unsigned long i = 0; i < n; ++i) records.push_back(table.at(i));
    std::vector<unsigned long> order(n);  // order[new] = old
    for (unsigned long i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&records](unsigned long a, unsigned long b) {
        return records[a].compareTo(records[b]) < 0;
    });
    std::vector<unsigned long> moves(n);  // moves[old] = new
    const pointer<Console::TProgress> progress = progressBar("Sorting " + table.name());
    if (progress) progress->start(static_cast<int>(n));
    for (unsigned long i = 0; i < n; ++i) {
        if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
        moves[order[i]] = i;
        if (order[i] != i) table.update(i, records[order[i]]);
    }
    if (progress) progress->finish();
    return moves;
}

}  // namespace Tool
