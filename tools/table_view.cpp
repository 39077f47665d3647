#include "tools/table_view.h"

#include "support/Utils.h"
#include "support/tabulation.h"
#include "tools/table_rules.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

pointer<TTable> defineTable(Catalog& catalog, const std::string& name) {
    const TableEntry& entry = catalog.entry(name);
    const std::vector<std::string> files = Catalog::fileNames(entry);
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string problem = fileKindProblem(catalog.files(), files[i], false);
        if (!problem.empty()) Utils::raise_runtime_error(problem);
    }
    try {
        return pointer<TTable>(new TTable(catalog.files(), entry.name, entry.binary));
    } catch (const std::exception& e) {
        // The library's message may name neither the file nor the table; the
        // rules usually tell which file is at fault and why.
        const std::vector<std::string> problems = tableFileProblems(catalog.files(), entry);
        for (const std::string& problem : problems)
            if (problem.compare(0, files[2].size(), files[2]) != 0) Utils::raise_runtime_error(problem);
        Utils::raise_runtime_error("table " + entry.name + ": " + trimmedMessage(e.what()));
    }
}

void requireContents(Catalog& catalog, const TTable& table) {
    const std::string problem = fileKindProblem(catalog.files(), table.contentsFileName(), true);
    if (!problem.empty()) Utils::raise_runtime_error(problem);
}

std::string keyText(const TFields& fields) {
    std::string names;
    for (unsigned i = 0; i < fields.endOfKey(); ++i) names += (i ? ", " : "") + fields[i].name();
    if (names.empty()) return "none";
    if (fields.endOfKey() == fields.size() && fields.size() > 1) return "whole record (" + names + ")";
    return names;
}

std::string recordText(const TRecord& record) {
    std::string text;
    const TFields& fields = record.fields();
    for (unsigned i = 0; i < fields.size(); ++i) {
        const std::string value = valueText(record[i]);
        text += (i ? " " : "") + fields[i].name() + "=" +
                (fields[i].Type() == "str" ? tabulation::quoted(value) : value);
    }
    return text;
}

}  // namespace Tool
