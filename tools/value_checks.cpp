#include "tools/value_checks.h"

#include <sstream>

#include "support/tabulation.h"
#include "tools/csv.h"
#include "tools/field_syntax.h"
#include "tools/references.h"
#include "tools/usage.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

std::string tableName(const TFieldInfo& field) {
    std::string table;
    referencedTable(field, table);
    return table;
}

[[noreturn]] void notARecord(const std::string& where, unsigned long value, const std::string& table,
                             unsigned long count, const std::string& note) {
    throw InputError(where + std::to_string(value) + " is not a record of " + table + " (" + std::to_string(count) +
                     (count == 1 ? " record" : " records") + note + ")");
}

}  // namespace

std::string fieldPlace(unsigned long line, const std::string& field) {
    return (line ? "line " + std::to_string(line) + ", " : std::string()) + "field " + field + ": ";
}

ValueChecks::ValueChecks(const TFields& fields, std::vector<unsigned long> limits)
    : m_fields(fields), m_limits(std::move(limits)), m_largest(m_limits.size()) {}

void ValueChecks::read(TRecord& record, unsigned f, const std::string& text, const std::string& where) {
    try {
        assignValue(record[f], text);
    } catch (const InputError& e) {
        throw InputError(where + e.what());
    }
    checkReference(record, f, where);
}

void ValueChecks::check(const TRecord& record, unsigned f, const std::string& where) {
    const std::string outside = declaredRangeProblem(record[f]);
    if (!outside.empty()) throw InputError(where + outside);
    checkReference(record, f, where);
}

void ValueChecks::checkReference(const TRecord& record, unsigned f, const std::string& where) {
    if (m_limits[f] == kNoReference) return;
    const unsigned long value = record[f].get<unsigned long>();
    if (m_limits[f] != kCountLater) {
        if (value >= m_limits[f]) notARecord(where, value, tableName(m_fields[f]), m_limits[f], "");
        return;
    }
    Largest& largest = m_largest[f];
    if (!largest.seen || value > largest.value) largest = Largest{true, value, where};
}

std::vector<std::string> ValueChecks::awaited() const {
    std::vector<std::string> tables;
    for (unsigned f = 0; f < m_fields.size(); ++f)
        if (m_limits[f] == kCountLater) tables.push_back(tableName(m_fields[f]));
    return tables;
}

void ValueChecks::settle(const std::string& table, unsigned long count, const std::string& note) {
    for (unsigned f = 0; f < m_fields.size(); ++f) {
        if (m_limits[f] != kCountLater || tableName(m_fields[f]) != table) continue;
        const Largest& largest = m_largest[f];
        if (largest.seen && largest.value >= count) notARecord(largest.where, largest.value, table, count, note);
        m_limits[f] = count;
    }
}

bool readBoundedLine(std::istream& in, std::string& line, unsigned long number) {
    line.clear();
    std::streambuf& source = *in.rdbuf();
    for (int c = source.sgetc();; c = source.snextc()) {
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios_base::eofbit);
            return !line.empty();
        }
        if (c == '\n') {
            source.sbumpc();
            return true;
        }
        if (line.size() >= kMaxCsvRowBytes)
            throw InputError("line " + std::to_string(number) + ": longer than " + std::to_string(kMaxCsvRowBytes) +
                             " bytes");
        line.push_back(static_cast<char>(c));
    }
}

bool readTextRecord(const std::string& text, TRecord& record, ValueChecks& checks, unsigned long line) {
    const TFields& fields = record.fields();
    std::istringstream values(text);
    if ((values >> std::ws).eof()) return false;
    for (unsigned i = 0; i < fields.size(); ++i) {
        if ((values >> std::ws).eof()) throw InputError(fieldPlace(line, fields[i].name()) + "value missing");
        std::string token;
        tabulation::from_stream(values, token);
        if (values.fail()) throw InputError(fieldPlace(line, fields[i].name()) + "malformed value");
        checks.read(record, i, token, fieldPlace(line, fields[i].name()));
    }
    if (!(values >> std::ws).eof())
        throw InputError("line " + std::to_string(line) + ": more values than the table's " +
                         std::to_string(fields.size()) + " fields");
    return true;
}

}  // namespace Tool
