#include "tools/permuted_sort.h"

#include <algorithm>

#include "tools/report.h"

using namespace Orvex;

namespace Tool {

PlannedSort planSort(const TOpenTable& table) {
    const unsigned long n = table.size();
    PlannedSort plan;
    std::vector<TRecord>& records = plan.records;
    records.reserve(n);
    for (unsigned long i = 0; i < n; ++i) records.push_back(table.at(i));
    plan.order.resize(n);
    for (unsigned long i = 0; i < n; ++i) plan.order[i] = i;
    std::stable_sort(plan.order.begin(), plan.order.end(), [&records](unsigned long a, unsigned long b) {
        return records[a].compareTo(records[b]) < 0;
    });
    plan.moves.resize(n);
    for (unsigned long i = 0; i < n; ++i) plan.moves[plan.order[i]] = i;
    return plan;
}

void applySort(TOpenTable& table, const PlannedSort& plan) {
    const unsigned long n = plan.order.size();
    const pointer<Console::TProgress> progress = progressBar("Sorting " + table.name());
    if (progress) progress->start(static_cast<int>(n));
    for (unsigned long i = 0; i < n; ++i) {
        if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
        if (plan.order[i] != i) table.update(i, plan.records[plan.order[i]]);
    }
    if (progress) progress->finish();
}

}  // namespace Tool
