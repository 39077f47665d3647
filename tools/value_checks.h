// The one way values come into a table from outside: `load` (CSV and the
// text form), `import`, `update` and `alter add --default` all read and
// check their values here, so that what one accepts the others accept and
// `check` finds nothing wrong afterwards.
//
// A value must read as its type (an integer, a decimal with no more
// decimals than its field, a string that fits), fit the field's bits, lie
// in a declared range (`@range`), and, for a reference (`@ref=TABLE`), be a
// record of TABLE. A reference whose table is still being written (the
// table itself during a load, any table during an import) is checked once
// that table's count is known, against the largest value given.
//
// Every refusal is an InputError whose text is the caller's `where` (the
// line and field, "--default: ") followed by the reason: "900 is outside the
// declared range 1..500", "4 is not a record of customers (4 records)".
#pragma once

#include <string>
#include <vector>

#include "Core/Orvex/__table.h"

namespace Tool {

// A reference limit for a table whose count is known only at the end.
constexpr unsigned long kCountLater = static_cast<unsigned long>(-2);

// "line 3, field qty: " (no line when `line` is 0).
std::string fieldPlace(unsigned long line, const std::string& field);

class ValueChecks {
public:
    // `limits` has, for each field, the record count of the table it
    // refers to, kNoReference (tools/references.h) or kCountLater.
    ValueChecks(const Orvex::TFields& fields, std::vector<unsigned long> limits);

    // Reads `text` into field `f` of `record` with every check above.
    void read(Orvex::TRecord& record, unsigned f, const std::string& text, const std::string& where);
    // Checks the value already in field `f` (a default nobody gave) for its
    // declared range and reference.
    void check(const Orvex::TRecord& record, unsigned f, const std::string& where);

    // The tables whose counts the references of these fields still wait for.
    std::vector<std::string> awaited() const;
    // Checks the values given so far that refer to `table` against its
    // final `count`; `note` follows the count (" after the load").
    void settle(const std::string& table, unsigned long count, const std::string& note = std::string());

private:
    void checkReference(const Orvex::TRecord& record, unsigned f, const std::string& where);

    struct Largest {
        bool seen = false;
        unsigned long value = 0;
        std::string where;
    };
    Orvex::TFields m_fields;
    std::vector<unsigned long> m_limits;
    std::vector<Largest> m_largest;  // per field referring to a table of kCountLater
};

// std::getline, but a line longer than kMaxCsvRowBytes is refused with its
// number ("line 7: longer than 1048576 bytes") instead of growing without
// bound; false at the end of the input.
bool readBoundedLine(std::istream& in, std::string& line, unsigned long number);

// Reads one line of a table's text form (one token per value) into
// `record` with every check; `line` names it in messages. False for a blank
// line, which holds no record.
bool readTextRecord(const std::string& text, Orvex::TRecord& record, ValueChecks& checks, unsigned long line);

}  // namespace Tool
