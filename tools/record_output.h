// Records written out in one of the forms dump and find offer: the table's
// text form, CSV with a header line, or JSON Lines.
//
// JSON Lines: one object per record, on one line, the field names as keys
// in field order; integers and fixed-point values as JSON numbers (a fixed
// value with exactly its field's decimals, "19.90"), strings as JSON strings
// (see tools/json.h).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"
#include "tools/usage.h"

namespace Tool {

enum class RecordForm { text, csv, json };

// --csv or --json (UsageError when both are given); text otherwise.
RecordForm recordForm(const Arguments& args);

class RecordWriter {
public:
    RecordWriter(std::ostream& out, const Orvex::TFields& fields, RecordForm form);
    // Writes the CSV header line; the other forms have none.
    void begin();
    void write(const Orvex::TRecord& record);

private:
    std::ostream& m_out;
    Orvex::TFields m_fields;
    RecordForm m_form;
    std::vector<std::string> m_values;
};

// The names of the fields, in order.
std::vector<std::string> fieldNames(const Orvex::TFields& fields);

}  // namespace Tool
