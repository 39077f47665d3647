#include "support/tabulation.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

namespace tabulation {

namespace {

const char kSeparator = '\t';

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(int c) { return c >= '0' && c <= '9'; }

// Reads bytes straight from the buffer; every failure marks the stream.
class Reader {
public:
    explicit Reader(std::istream& is) : m_is(is), m_buf(is.rdbuf()) {}

    // Skips white space; false (stream failed) when no token starts.
    bool start() {
        if (!m_is.good() || !m_buf) return fail();
        for (;;) {
            int c = m_buf->sgetc();
            if (c == EOF) {
                m_is.setstate(std::ios_base::eofbit);
                return fail();
            }
            if (!isSpace(c)) return true;
            m_buf->sbumpc();
        }
    }
    int peek() { return m_buf->sgetc(); }
    int get() { return m_buf->sbumpc(); }
    // A number must be followed by white space or the end of the input.
    bool atTokenEnd() {
        int c = m_buf->sgetc();
        if (c == EOF) {
            m_is.setstate(std::ios_base::eofbit);
            return true;
        }
        return isSpace(c);
    }
    bool fail() {
        m_is.setstate(std::ios_base::failbit);
        return false;
    }

private:
    std::istream& m_is;
    std::streambuf* m_buf;
};

// Reads an optionally signed decimal integer whose magnitude is at most
// `limit` (positive) or `negLimit` (negative).
bool readInteger(std::istream& is, std::uint64_t limit, std::uint64_t negLimit, bool& negative,
                 std::uint64_t& magnitude) {
    Reader r(is);
    if (!r.start()) return false;
    negative = false;
    int c = r.peek();
    if (c == '-' || c == '+') {
        negative = c == '-';
        r.get();
        c = r.peek();
    }
    if (!isDigit(c)) return r.fail();
    std::uint64_t value = 0;
    bool tooBig = false;
    while (isDigit(c = r.peek())) {
        r.get();
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            tooBig = true;
        else
            value = value * 10 + digit;
    }
    if (!r.atTokenEnd()) return r.fail();
    if (tooBig || value > (negative ? negLimit : limit)) return r.fail();
    magnitude = value;
    return true;
}

template <class T>
void readSigned(std::istream& is, T& v) {
    bool negative;
    std::uint64_t magnitude;
    std::uint64_t max = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    if (!readInteger(is, max, max + 1, negative, magnitude)) return;
    v = negative ? static_cast<T>(-static_cast<std::int64_t>(magnitude - 1) - 1) : static_cast<T>(magnitude);
}

template <class T>
void readUnsigned(std::istream& is, T& v) {
    bool negative;
    std::uint64_t magnitude;
    if (!readInteger(is, std::numeric_limits<T>::max(), 0, negative, magnitude)) return;
    v = static_cast<T>(magnitude);
}

// The integer's token, tab included, in `buf`; returns its end.
template <class T>
char* integerToken(char (&buf)[24], T v) {
    char* end = std::to_chars(buf, buf + sizeof buf - 1, v).ptr;
    *end++ = kSeparator;
    return end;
}

template <class T>
void writeInteger(std::ostream& os, T v) {
    char buf[24];
    os.write(buf, integerToken(buf, v) - buf);
}

int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendQuoted(std::string& out, const char* begin, const char* end) {
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    for (const char* p = begin; p != end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 32 || c >= 127) {
                    out += "\\x";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

}  // namespace

void to_stream(std::ostream& os, int v) { writeInteger(os, v); }
void to_stream(std::ostream& os, long v) { writeInteger(os, v); }
void to_stream(std::ostream& os, unsigned v) { writeInteger(os, v); }
void to_stream(std::ostream& os, unsigned long v) { writeInteger(os, v); }
void to_stream(std::ostream& os, unsigned char v) { writeInteger(os, static_cast<unsigned>(v)); }
void to_stream(std::ostream& os, unsigned short v) { writeInteger(os, static_cast<unsigned>(v)); }

void to_stream(std::ostream& os, const fixed_point& v) { os << v << kSeparator; }

void to_stream(std::ostream& os, const Core::Strings::BasicConstStringRef<std::string>& v) {
    std::string token;
    token.reserve(v.size() + 3);
    appendQuoted(token, v.begin(), v.end());
    token += kSeparator;
    os.write(token.data(), static_cast<std::streamsize>(token.size()));
}

void append_token(std::string& out, long v) {
    char buf[24];
    out.append(buf, integerToken(buf, v));
}

void append_token(std::string& out, unsigned long v) {
    char buf[24];
    out.append(buf, integerToken(buf, v));
}

void append_token(std::string& out, const fixed_point& v) {
    out += v.text();
    out += kSeparator;
}

void append_token(std::string& out, const Core::Strings::BasicConstStringRef<std::string>& v) {
    appendQuoted(out, v.begin(), v.end());
    out += kSeparator;
}

std::string quoted(const std::string& s) {
    std::string token;
    appendQuoted(token, s.data(), s.data() + s.size());
    return token;
}

bool at_next_token(std::istream& is) {
    std::streambuf* buf = is.rdbuf();
    if (!is.good() || !buf) return false;
    for (int c; (c = buf->sgetc()) != EOF; buf->sbumpc())
        if (!isSpace(c)) return true;
    is.setstate(std::ios_base::eofbit);
    return false;
}

void from_stream(std::istream& is, int& v) { readSigned(is, v); }
void from_stream(std::istream& is, long& v) { readSigned(is, v); }
void from_stream(std::istream& is, unsigned& v) { readUnsigned(is, v); }
void from_stream(std::istream& is, unsigned long& v) { readUnsigned(is, v); }
void from_stream(std::istream& is, unsigned char& v) { readUnsigned(is, v); }
void from_stream(std::istream& is, unsigned short& v) { readUnsigned(is, v); }

void from_stream(std::istream& is, std::string& v) {
    Reader r(is);
    if (!r.start()) return;
    std::string result;
    if (r.peek() != '"') {
        int c;
        while ((c = r.peek()) != EOF && !isSpace(c)) result += static_cast<char>(r.get());
        r.atTokenEnd();
        v.swap(result);
        return;
    }
    r.get();
    for (;;) {
        int c = r.get();
        if (c == EOF) {
            is.setstate(std::ios_base::eofbit);
            r.fail();
            return;
        }
        if (c == '"') break;
        if (c != '\\') {
            result += static_cast<char>(c);
            continue;
        }
        switch (r.get()) {
            case '"': result += '"'; break;
            case '\\': result += '\\'; break;
            case 'n': result += '\n'; break;
            case 't': result += '\t'; break;
            case 'r': result += '\r'; break;
            case 'x': {
                int high = hexValue(r.get());
                int low = high < 0 ? -1 : hexValue(r.get());
                if (low < 0) {
                    r.fail();
                    return;
                }
                result += static_cast<char>(high * 16 + low);
                break;
            }
            default:
                r.fail();
                return;
        }
    }
    v.swap(result);
}

void from_stream(std::istream& is, fixed_point& v) {
    Reader r(is);
    if (!r.start()) return;
    bool negative = false;
    int c = r.peek();
    if (c == '-' || c == '+') {
        negative = c == '-';
        r.get();
    }
    std::string whole, fraction;
    while (isDigit(c = r.peek())) whole += static_cast<char>(r.get());
    if (c == '.') {
        r.get();
        while (isDigit(c = r.peek())) fraction += static_cast<char>(r.get());
        if (fraction.empty()) {
            r.fail();
            return;
        }
    }
    if (whole.empty() || !r.atTokenEnd()) {
        r.fail();
        return;
    }
    // The token's own digits set the precision, so values keep it exactly;
    // trailing zeros beyond the target's precision are dropped only when the
    // raw integer would not fit otherwise.
    // A value that is not zero fits 32 bits with at most 10 digits after its
    // last non-zero one, so zeros beyond those are dropped up front: the loop
    // below then runs a few times, not once per zero.
    const std::size_t significant = fraction.find_last_not_of('0') + 1;  // 0 when all zeros
    const bool zero = significant == 0 && whole.find_first_not_of('0') == std::string::npos;
    const std::size_t kept = std::max<std::size_t>(v.precision, significant + 10);
    if (!zero && fraction.size() > kept) fraction.resize(kept);
    const std::int64_t limit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + (negative ? 1 : 0);
    // The loop's first round, for tokens whose digits fit 64 bits as they
    // stand (nearly all): no string of the digits is made.
    const std::size_t firstPrecision = std::max<std::size_t>(fraction.size(), v.precision);
    if (whole.size() + firstPrecision <= 18) {
        std::int64_t magnitude = 0;
        for (char d : whole) magnitude = magnitude * 10 + (d - '0');
        for (char d : fraction) magnitude = magnitude * 10 + (d - '0');
        for (std::size_t i = fraction.size(); i < firstPrecision; ++i) magnitude *= 10;
        if (magnitude <= limit) {
            v.raw = static_cast<int>(negative ? -magnitude : magnitude);
            v.precision = static_cast<unsigned>(firstPrecision);
            return;
        }
    }
    for (;;) {
        unsigned precision = fraction.size() > v.precision ? static_cast<unsigned>(fraction.size()) : v.precision;
        std::string digits = whole + fraction;
        digits.append(precision - fraction.size(), '0');
        std::int64_t magnitude = 0;
        for (char d : digits) {
            magnitude = magnitude * 10 + (d - '0');
            if (magnitude > limit) break;
        }
        if (magnitude <= limit) {
            v.raw = static_cast<int>(negative ? -magnitude : magnitude);
            v.precision = precision;
            return;
        }
        if (fraction.size() <= v.precision || fraction.back() != '0') {
            r.fail();
            return;
        }
        fraction.pop_back();
    }
}

}  // namespace tabulation
