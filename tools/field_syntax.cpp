#include "tools/field_syntax.h"

#include <cctype>
#include <limits>
#include <memory>
#include <sstream>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/field_traits.h"
#include "support/number_text.h"
#include "support/tabulation.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

namespace {

// The 32-bit range every stored value keeps, whatever the host's long.
constexpr long long kInt32Min = std::numeric_limits<int>::min();
constexpr long long kInt32Max = std::numeric_limits<int>::max();
constexpr long long kUInt32Max = std::numeric_limits<unsigned int>::max();

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

[[noreturn]] void bad(const std::string& word, const std::string& why) {
    throw UsageError("bad field '" + word + "': " + why);
}

// "@range=..." for a numeric field whose traits are `traits`.
template <class Traits>
pointer<field_transformer_base::args> rangeArgs(const std::string& word, Traits traits, const std::string& text) {
    std::string low = "0", high = text;
    const std::string::size_type dots = text.find("..");
    if (dots != std::string::npos) {
        low = text.substr(0, dots);
        high = text.substr(dots + 2);
    }
    if (traits.decimal) {
        fixed_point min, max;
        for (const auto& bound : {std::make_pair(&low, &min), std::make_pair(&high, &max)}) {
            const NumberText read = readDecimal(*bound.first, *bound.second);
            if (read == NumberText::malformed) bad(word, "range bounds must be decimal numbers");
            if (read == NumberText::tooLarge) bad(word, *bound.first + " does not fit a 32-bit fixed-point value");
        }
        if (min.to_double() > max.to_double()) bad(word, "range minimum above its maximum");
        return pointer<field_transformer_base::args>(new range_fixer_args(min, max));
    }
    long long min = 0, max = 0;
    for (const auto& bound : {std::make_pair(&low, &min), std::make_pair(&high, &max)}) {
        const NumberText read = readInteger(*bound.first, *bound.second);
        if (read == NumberText::malformed) bad(word, "range bounds must be integers");
        // Refused by the 32-bit checks below, whatever its exact size.
        if (read == NumberText::tooLarge) *bound.second = bound.first->front() == '-' ? kInt32Min - 1 : kUInt32Max + 1;
    }
    if (min > max) bad(word, "range minimum above its maximum");
    if (!traits.hasSign) {
        if (min < 0 || max > kUInt32Max) bad(word, "range of an unsigned field must lie in 0..4294967295");
        if (min == 0) return pointer<field_transformer_base::args>(new range_fixer_args(static_cast<unsigned long>(max)));
    }
    if (min < kInt32Min || max > kInt32Max)
        bad(word, "range bounds must lie in -2147483648..2147483647");
    return pointer<field_transformer_base::args>(new range_fixer_args(static_cast<long>(min), static_cast<long>(max)));
}

// The "@..." part of a field word, if any, given to the field.
template <class Traits>
void addOption(const std::string& word, const std::string& option, Traits traits, TFieldInfo& field) {
    if (option.compare(0, 6, "range=") == 0) {
        if (!traits.numeric) bad(word, "@range is for numeric fields");
        field.transformer(rangeArgs(word, traits, option.substr(6)));
    } else if (option.compare(0, 4, "ref=") == 0) {
        if (!traits.reference) bad(word, "@ref is for u_long fields");
        const std::string table = option.substr(4);
        if (!isPlainName(table)) bad(word, "@ref needs a table name");
        field.transformer(pointer<field_transformer_base::args>(new ref_fixer_args(table)));
    } else {
        bad(word, "unknown option '@" + option + "' (@range=MIN..MAX, @ref=TABLE)");
    }
}

void addField(TFields& fields, const std::string& word) {
    const std::string::size_type at = word.find('@');
    const std::vector<std::string> parts = split(word.substr(0, at), ':');
    if (parts.size() < 3) bad(word, "expected NAME:TYPE:SIZE");
    const std::string& name = parts[0];
    if (!isPlainName(name)) bad(word, "a name is letters, digits and '_', not starting with a digit");
    const std::vector<std::string> sizes(parts.begin() + 2, parts.end());
    std::unique_ptr<TFieldInfo> field(visitType(
        TType::findByName(parts[1]),
        [&](auto traits) -> TFieldInfo* {
            std::string problem;
            std::unique_ptr<TFieldInfo> made(traits.make(name, sizes, problem));
            if (!made) bad(word, problem);
            if (at != std::string::npos) addOption(word, word.substr(at + 1), traits, *made);
            return made.release();
        },
        [&]() -> TFieldInfo* { bad(word, "unknown type '" + parts[1] + "' (int, u_int, long, u_long, fixed, str)"); }));
    if (fields.indexOf(field->name()) != fields.size()) bad(word, "a field of that name is already listed");
    fields += *field;
}

}  // namespace

// Read from the arguments' text form: precision, minimum, precision, maximum.
bool rangeBounds(const field_transformer_base::args& a, fixed_point& min, fixed_point& max) {
    std::stringstream text;
    a.to_stream(text);
    unsigned char precision = 0;
    tabulation::from_stream(text, precision);
    min = fixed_point(precision);
    tabulation::from_stream(text, min);
    tabulation::from_stream(text, precision);
    max = fixed_point(precision);
    tabulation::from_stream(text, max);
    return !text.fail();
}

bool isPlainName(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

TFields parseFieldList(const std::vector<std::string>& words) {
    TFields fields;
    bool keyEnded = false;
    for (const std::string& argument : words) {
        std::istringstream in(argument);
        std::string word;
        while (in >> word) {
            if (word == "|") {
                if (keyEnded) throw UsageError("the key may end only once ('|' given twice)");
                if (fields.empty()) throw UsageError("'|' must follow at least one key field");
                fields += TEndOfKey();
                keyEnded = true;
            } else {
                addField(fields, word);
            }
        }
    }
    if (fields.empty()) throw UsageError("a table needs at least one field");
    if (keyEnded && fields.endOfKey() == fields.size())
        throw UsageError("'|' must be followed by at least one field (leave it out for a whole-record key)");
    return fields;
}

std::string fieldSyntax(const TFieldInfo& field) {
    std::string text = field.name() + ":" + field.Type() + ":";
    text += visitField(field, [](auto traits, const auto& f) { return traits.syntax(f); });
    fixed_point min, max;
    std::string table;
    if (declaredRange(field, min, max))
        text += "@range=" + min.text() + ".." + max.text();
    else if (referencedTable(field, table))
        text += "@ref=" + table;
    return text;
}

std::string structureSyntax(const TFields& fields) {
    std::string text;
    for (unsigned i = 0; i < fields.size(); ++i) {
        if (i != 0) text += " ";
        if (i == fields.endOfKey()) text += "| ";
        text += fieldSyntax(fields[i]);
    }
    return text;
}

bool declaredRange(const TFieldInfo& field, fixed_point& min, fixed_point& max) {
    const pointer<field_transformer_base::args> a = field.transformer();
    return a && a->category() == range_fixer_args::getCategory() && rangeBounds(*a, min, max);
}

bool referencedTable(const TFieldInfo& field, std::string& table) {
    const pointer<field_transformer_base::args> a = field.transformer();
    if (!a || a->category() != ref_fixer_args::getCategory()) return false;
    std::stringstream text;
    a->to_stream(text);
    tabulation::from_stream(text, table);
    return !text.fail();
}

std::string describeTransformer(const TFieldInfo& field) {
    const pointer<field_transformer_base::args> a = field.transformer();
    if (!a) return std::string();
    fixed_point min, max;
    std::string table;
    if (declaredRange(field, min, max)) return a->category() + " " + min.text() + ".." + max.text();
    if (referencedTable(field, table)) return a->category() + " " + table;
    std::ostringstream text;
    a->to_stream(text);
    std::string rest = text.str();
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
    return rest.empty() ? a->category() : a->category() + " " + rest;
}

}  // namespace Tool
