#include "tools/record_output.h"

#include "tools/csv.h"
#include "tools/json.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

RecordForm recordForm(const Arguments& args) {
    if (args.has("--csv") && args.has("--json")) throw UsageError("--csv and --json exclude each other");
    if (args.has("--table") && (args.has("--csv") || args.has("--json")))
        throw UsageError(std::string("--table and ") + (args.has("--csv") ? "--csv" : "--json") + " exclude each other");
    if (args.has("--table")) return RecordForm::table;
    if (args.has("--csv")) return RecordForm::csv;
    if (args.has("--json")) return RecordForm::json;
    return RecordForm::text;
}

std::vector<std::string> fieldNames(const TFields& fields) {
    std::vector<std::string> names;
    for (unsigned i = 0; i < fields.size(); ++i) names.push_back(fields[i].name());
    return names;
}

RecordWriter::RecordWriter(std::ostream& out, const TFields& fields, RecordForm form)
    : m_out(out), m_fields(fields), m_form(form), m_values(fields.size()) {
    if (form == RecordForm::table) m_table.reset(new TableWriter(out, fields, outputColumns()));
}

void RecordWriter::begin() {
    if (m_form == RecordForm::csv) writeCsvRow(m_out, fieldNames(m_fields));
}

void RecordWriter::write(const TRecord& record) {
    switch (m_form) {
        case RecordForm::text:
            record.to_stream(m_out);
            m_out << '\n';
            return;
        case RecordForm::csv:
            for (unsigned f = 0; f < m_fields.size(); ++f) m_values[f] = valueText(record[f]);
            writeCsvRow(m_out, m_values);
            return;
        case RecordForm::json: {
            std::string line = "{";
            for (unsigned f = 0; f < m_fields.size(); ++f) {
                const std::string value = valueText(record[f]);
                line += (f ? "," : "") + jsonString(m_fields[f].name()) + ":" +
                        (quotedValues(m_fields[f]) ? jsonString(value) : value);
            }
            m_out << line << "}\n";
            return;
        }
        case RecordForm::table:
            m_table->write(record);
            return;
    }
}

void RecordWriter::end() {
    if (m_table) m_table->finish();
}

}  // namespace Tool
