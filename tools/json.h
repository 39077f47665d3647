// JSON text for the records the tool writes out (JSON Lines: one object per
// line). Only encoding: the tool never reads JSON.
//
// Decisions: UTF-8 is kept as it is; '"', '\\' and the control characters
// U+0000..U+001F are escaped (\n, \t, \r, \b, \f by name, the others as
// \u00XX), and so is DEL (\u007f) so that a line stays printable. A byte
// that is not part of well-formed UTF-8 (a string field holds bytes, not
// text) is written as U+FFFD, so that every line is valid JSON.
#pragma once

#include <string>

namespace Tool {

// The length of the well-formed UTF-8 sequence starting at `i`, or 0 when the
// bytes there are not one (overlong forms, surrogates and code points above
// U+10FFFF included).
std::size_t utf8Length(const std::string& text, std::size_t i);

// `text` as a JSON string, quotes included.
std::string jsonString(const std::string& text);

}  // namespace Tool
