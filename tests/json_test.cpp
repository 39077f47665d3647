// The JSON string encoder of the orvex tool: text kept, escapes where JSON
// needs them, and valid output whatever bytes a string field holds.
#include <gtest/gtest.h>

#include "tools/json.h"

namespace {

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(Tool::jsonString(""), "\"\"");
    EXPECT_EQ(Tool::jsonString("say \"hi\" \\ / ok"), "\"say \\\"hi\\\" \\\\ / ok\"");
    EXPECT_EQ(Tool::jsonString("a\nb\tc\rd\be\ff"), "\"a\\nb\\tc\\rd\\be\\ff\"");
    EXPECT_EQ(Tool::jsonString(std::string("\x00\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\\u007f\"");
}

TEST(JsonString, KeepsWellFormedUtf8AndReplacesEveryOtherByte) {
    EXPECT_EQ(Tool::jsonString("Chlo\xC3\xA9\xC2\xA0\xE2\x82\xAC \xF0\x9F\x98\x80"), "\"Chlo\xC3\xA9\xC2\xA0\xE2\x82\xAC \xF0\x9F\x98\x80\"");
    const std::string replacement = "\xEF\xBF\xBD";
    const struct {
        const char* bytes;
        int replaced;
    } cases[] = {
        {"\xFF", 1},              // never in UTF-8
        {"\xC3", 1},              // a lead byte at the end
        {"\xC3" "A", 1},          // a lead byte before ASCII
        {"\x80", 1},              // a lone continuation byte
        {"\xC0\xAF", 2},          // an overlong '/'
        {"\xE0\x80\xAF", 3},      // overlong in three bytes
        {"\xED\xA0\x80", 3},      // a surrogate
        {"\xF4\x90\x80\x80", 4},  // past U+10FFFF
    };
    for (const auto& c : cases) {
        const std::string out = Tool::jsonString(c.bytes);
        std::string expected = "\"";
        for (int i = 0; i < c.replaced; ++i) expected += replacement;
        if (std::string(c.bytes) == "\xC3" "A") expected += "A";
        EXPECT_EQ(out, expected + "\"") << c.bytes;
    }
}

}  // namespace
