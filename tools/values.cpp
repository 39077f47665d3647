#include "tools/values.h"

#include <stdexcept>

#include "Core/Orvex/field_traits.h"
#include "tools/field_syntax.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

namespace {

// The range check shared by reading and checking: `x` is the value as a
// number, a string's length for a string, whose range bounds only its length.
std::string rangeProblem(const TFieldInfo& field, bool numeric, const std::string& shown, long double x) {
    fixed_point min, max;
    if (!declaredRange(field, min, max)) return std::string();
    const long double low = field_traits<fixed_point>::magnitude(min), high = field_traits<fixed_point>::magnitude(max);
    if (!numeric) {
        if (x <= high) return std::string();
        return "a string of " + std::to_string(static_cast<unsigned long long>(x)) +
               " characters is longer than the declared " + max.text();
    }
    if (x >= low && x <= high) return std::string();
    return shown + " is outside the declared range " + min.text() + ".." + max.text();
}

}  // namespace

std::string valueText(const TFieldInfo::const_reference& value) {
    return visitField(value.field(), [&value](auto traits, const auto& field) {
        return traits.text(field, value.get<typename decltype(traits)::value_type>());
    });
}

bool quotedValues(const TFieldInfo& field) {
    return visitField(field, [](auto traits, const auto&) { return traits.quoted; });
}

void assignValue(const TFieldInfo::reference& target, const std::string& input) {
    try {
        visitField(target.field(), [&](auto traits, const auto& field) {
            typename decltype(traits)::value_type v{};
            std::string problem = traits.read(field, input, v);
            // A decimal is quoted as it was typed, an integer as it reads.
            if (problem.empty())
                problem = rangeProblem(field, traits.numeric, traits.decimal ? input : traits.text(field, v),
                                       traits.magnitude(v));
            if (!problem.empty()) throw InputError(problem);
            field.Set(target.buffer(), v);
        });
    } catch (const std::out_of_range& e) {
        // The checks above mirror the field's own; should they ever differ,
        // the field's word is the last.
        throw InputError(e.what());
    }
}

std::string declaredRangeProblem(const TFieldInfo::const_reference& value) {
    return visitField(value.field(), [&value](auto traits, const auto& field) {
        const auto v = value.get<typename decltype(traits)::value_type>();
        const std::string text = traits.text(field, v);
        // A packed string's length is that of its text, trailing '_' dropped.
        return rangeProblem(field, traits.numeric, text,
                            traits.numeric ? traits.magnitude(v) : static_cast<long double>(text.size()));
    });
}

}  // namespace Tool
