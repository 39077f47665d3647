// The JSON string encoder of the orvex tool: text kept, escapes where JSON
// needs them, and valid output whatever bytes a string field holds.
#include <gtest/gtest.h>

#include "tools/json.h"

namespace {

TEST(JsonString, EscapesWhatJsonNeedsKeepsUtf8AndReplacesEveryOtherByte) {
    const std::string bad = "\xEF\xBF\xBD", utf8 = "Chlo\xC3\xA9\xC2\xA0\xE2\x82\xAC\xEF\xBF\xBD\xF0\x9F\x98\x80";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"say \"hi\" \\ / ok", "say \\\"hi\\\" \\\\ / ok"},
        {"a\nb\tc\rd\be\ff", "a\\nb\\tc\\rd\\be\\ff"},
        {std::string("\x00\x01\x1f\x7f", 4), "\\u0000\\u0001\\u001f\\u007f"},
        {utf8, utf8},
        // never in UTF-8, a lead byte at the end or before ASCII, a lone continuation byte
        {"\xFF", bad}, {"\xC3", bad}, {"\xC3" "A", bad + "A"}, {"\x80", bad},
        // overlong in two and three bytes, a surrogate, past U+10FFFF
        {"\xC0\xAF", bad + bad}, {"\xE0\x80\xAF", bad + bad + bad}, {"\xED\xA0\x80", bad + bad + bad},
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Tool::jsonString(in), "\"" + out + "\"") << in;
}

}  // namespace
