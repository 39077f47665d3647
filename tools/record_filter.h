// --where: the records a command acts on, chosen by their values on any
// fields. A clause is 'FIELD OP VALUE', OP one of = != < <= > >=; a record
// is chosen when every clause holds for it.
//
// The value is read as load reads it, so it must be one its field can hold
// (bits, decimals, packed characters, declared range): anything else is
// refused with load's message rather than compared, since a number past a
// field's bits would otherwise need an order of its own. Values compare in
// their own order: numbers as numbers (a negative one below a positive
// one, unlike keys), strings byte by byte.
#pragma once

#include <string>
#include <vector>

#include "Core/Orvex/__table.h"

namespace Tool {

class RecordFilter {
public:
    // UsageError for a malformed clause or an unknown field; InputError,
    // naming the field, for a value the field can't hold.
    RecordFilter(const Orvex::TFields& fields, const std::vector<std::string>& clauses);

    bool empty() const { return m_clauses.empty(); }
    bool matches(const Orvex::TRecord& record) const;
    // Those of `positions` whose records match, in their order.
    std::vector<unsigned long> narrow(const Orvex::TOpenTable& table,
                                      const std::vector<unsigned long>& positions) const;
    // The positions of every matching record, read one by one behind a
    // progress bar.
    std::vector<unsigned long> scan(const Orvex::TOpenTable& table) const;
    // The clauses as a reader sees them: "qty > 5 and name = Ann".
    std::string text() const;

private:
    struct Clause {
        unsigned field;
        std::string op;
        Orvex::TRecord value;
        std::string shown;
    };
    std::vector<Clause> m_clauses;
};

}  // namespace Tool
