#include "tools/record_filter.h"

#include "Core/Orvex/field_traits.h"
#include "tools/report.h"
#include "tools/usage.h"
#include "tools/value_checks.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

const std::string kOperators = "=!<>";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// -1, 0 or 1 as field f of a lies below, at or above that of b.
int compareField(const TRecord& a, const TRecord& b, unsigned f) {
    return visitField(a.fields()[f], [&](auto traits, const auto& field) {
        typedef typename decltype(traits)::value_type Value;
        const Value x = a[f].template get<Value>(), y = b[f].template get<Value>();
        // Magnitudes are exact for 32-bit raw values; a fixed field's values
        // share its precision. A packed string's unused '_' would sort
        // "A" after "AB", so strings compare as their text.
        if constexpr (decltype(traits)::numeric) {
            const long double mx = traits.magnitude(x), my = traits.magnitude(y);
            return (mx > my) - (mx < my);
        } else {
            const int c = traits.text(field, x).compare(traits.text(field, y));
            return (c > 0) - (c < 0);
        }
    });
}

bool holds(const std::string& op, int c) {
    if (op == "=") return c == 0;
    if (op == "!=") return c != 0;
    if (op == "<") return c < 0;
    if (op == "<=") return c <= 0;
    if (op == ">") return c > 0;
    return c >= 0;
}

}  // namespace

RecordFilter::RecordFilter(const TFields& fields, const std::vector<std::string>& clauses) {
    for (const std::string& clause : clauses) {
        const auto malformed = [&clause]() {
            return UsageError("--where: expects 'FIELD OP VALUE' (OP one of = != < <= > >=), not '" + clause + "'");
        };
        std::string::size_type at = 0;
        while (at < clause.size() && isBlank(clause[at])) ++at;
        const std::string::size_type nameStart = at;
        while (at < clause.size() && !isBlank(clause[at]) && kOperators.find(clause[at]) == std::string::npos) ++at;
        const std::string name = clause.substr(nameStart, at - nameStart);
        while (at < clause.size() && isBlank(clause[at])) ++at;
        const std::string::size_type opStart = at;
        while (at < clause.size() && kOperators.find(clause[at]) != std::string::npos) ++at;
        const std::string op = clause.substr(opStart, at - opStart);
        if (name.empty() || (op != "=" && op != "!=" && op != "<" && op != "<=" && op != ">" && op != ">="))
            throw malformed();
        while (at < clause.size() && isBlank(clause[at])) ++at;
        const unsigned f = fields.indexOf(name);
        if (f == fields.size()) throw UsageError("--where: there is no field " + name);
        Clause parsed{f, op, TRecord(fields), name + " " + op + " " + clause.substr(at)};
        try {
            assignValue(parsed.value[f], clause.substr(at));
        } catch (const InputError& e) {
            throw InputError(fieldPlace(0, name) + e.what());
        }
        m_clauses.push_back(std::move(parsed));
    }
}

bool RecordFilter::matches(const TRecord& record) const {
    for (const Clause& clause : m_clauses)
        if (!holds(clause.op, compareField(record, clause.value, clause.field))) return false;
    return true;
}

std::vector<unsigned long> RecordFilter::narrow(const TOpenTable& table,
                                                const std::vector<unsigned long>& positions) const {
    if (empty()) return positions;
    std::vector<unsigned long> kept;
    for (unsigned long i : positions)
        if (matches(table.at(i))) kept.push_back(i);
    return kept;
}

std::vector<unsigned long> RecordFilter::scan(const TOpenTable& table) const {
    std::vector<unsigned long> positions;
    const pointer<Console::TProgress> progress = progressBar("Scanning " + table.name());
    if (progress) progress->start(static_cast<int>(table.size()));
    for (unsigned long i = 0; i < table.size(); ++i) {
        if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
        if (matches(table.at(i))) positions.push_back(i);
    }
    if (progress) progress->finish();
    return positions;
}

std::string RecordFilter::text() const {
    std::string text;
    for (const Clause& clause : m_clauses) text += (text.empty() ? "" : " and ") + clause.shown;
    return text;
}

}  // namespace Tool
