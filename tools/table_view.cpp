#include "tools/table_view.h"

#include "support/Utils.h"
#include "support/tabulation.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

pointer<TTable> defineTable(Catalog& catalog, const std::string& name) {
    const TableEntry& entry = catalog.entry(name);
    return pointer<TTable>(new TTable(catalog.files(), entry.name, entry.binary));
}

void requireContents(Catalog& catalog, const TTable& table) {
    if (!catalog.files().exists(table.contentsFileName()))
        Utils::raise_runtime_error(table.contentsFileName() + " is missing");
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
