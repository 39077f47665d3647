// Records written out in one of the forms dump and find offer: the table's
// text form, CSV with a header line, JSON Lines, or a table for people
// (tools/table_output.h).
//
// JSON Lines: one object per record, on one line, the field names as keys
// in field order; integers and fixed-point values as JSON numbers (a fixed
// value with exactly its field's decimals, "19.90"), strings as JSON strings
// (see tools/json.h).
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"
#include "tools/table_output.h"
#include "tools/usage.h"

namespace Tool {

enum class RecordForm { text, csv, json, table };

// --csv, --json or --table (UsageError when more than one is given); text
// otherwise.
RecordForm recordForm(const Arguments& args);

class RecordWriter {
public:
    RecordWriter(std::ostream& out, const Orvex::TFields& fields, RecordForm form);
    // Writes the CSV header line; the other forms have none.
    void begin();
    void write(const Orvex::TRecord& record);
    // Writes what a table holds back to align its columns.
    void end();

private:
    std::ostream& m_out;
    Orvex::TFields m_fields;
    RecordForm m_form;
    std::vector<std::string> m_values;
    std::unique_ptr<TableWriter> m_table;
};

// The names of the fields, in order.
std::vector<std::string> fieldNames(const Orvex::TFields& fields);

}  // namespace Tool
