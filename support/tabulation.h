// Text tokens: the text forms of every persistent object are runs of these.
//
// to_stream writes one token followed by a tab; from_stream skips leading
// white space and reads one token. A line of tokens therefore reads as
// tab-separated columns, and readers accept any white space between tokens,
// so files may be re-spaced by hand.
//
// Token syntax:
//   integer      optional '-' (signed types only) or '+', then decimal digits:
//                "42", "-7". The value must fit the target type.
//   fixed_point  optional sign, digits, optionally '.' and fraction digits:
//                "12.34", "-0.05", "3". Written with exactly its precision's
//                number of fraction digits. Read into a fixed_point, the
//                result keeps the target's precision, or takes the token's
//                own number of fraction digits when that is larger, so the
//                value is always exact; the raw integer must fit 32 bits
//                (trailing zeros are dropped only as far as that needs).
//   string       double-quoted, with backslash escapes: \" \\ \n \t \r and
//                \xHH (two hex digits) for any other byte below 32, for 127
//                and for every byte above 127; "" is the empty string. Other
//                bytes stand for themselves. When reading, a bare word (a run
//                of non-space bytes not starting with a quote) is also taken
//                as a string, so hand-written files may leave simple names
//                unquoted.
// A number token must end at white space or at the end of the input.
//
// Malformed input (no token, bad digits, a value out of range, an unclosed
// quote, a bad escape) sets the stream's fail bit and leaves the target as it
// was; how much of the input was consumed is then unspecified.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "support/fixed_point.h"
#include "support/strings.h"

namespace tabulation {

void to_stream(std::ostream& os, int v);
void to_stream(std::ostream& os, long v);
void to_stream(std::ostream& os, unsigned v);
void to_stream(std::ostream& os, unsigned long v);
void to_stream(std::ostream& os, unsigned char v);
void to_stream(std::ostream& os, unsigned short v);
void to_stream(std::ostream& os, const fixed_point& v);
void to_stream(std::ostream& os, const Core::Strings::BasicConstStringRef<std::string>& v);

void from_stream(std::istream& is, int& v);
void from_stream(std::istream& is, long& v);
void from_stream(std::istream& is, unsigned& v);
void from_stream(std::istream& is, unsigned long& v);
void from_stream(std::istream& is, unsigned char& v);
void from_stream(std::istream& is, unsigned short& v);
void from_stream(std::istream& is, std::string& v);
void from_stream(std::istream& is, fixed_point& v);

// The token that to_stream writes, tab included, added to the end of `out`:
// what a writer composing a whole line uses, in place of a stream write per
// token. The same bytes as to_stream on a stream with no field width set.
void append_token(std::string& out, long v);
void append_token(std::string& out, unsigned long v);
void append_token(std::string& out, const fixed_point& v);
void append_token(std::string& out, const Core::Strings::BasicConstStringRef<std::string>& v);

// Skips the white space before the next token, as from_stream does: true
// when a token follows. At the end of the input it sets eofbit (not
// failbit) and gives false; a stream that is not good is left as it is.
bool at_next_token(std::istream& is);

// The token that to_stream would write for s, without the trailing tab.
std::string quoted(const std::string& s);

}  // namespace tabulation
