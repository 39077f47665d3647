#include "support/tabulation.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "support/number_text.h"

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

// The bytes of a number token, gathered from the stream and handed whole to
// the number reader; the token ends at the first byte its grammar does not
// take, and that byte must be white space or the end of the input.
class NumberToken {
public:
    explicit NumberToken(Reader& r) : m_r(r) {}
    void take() { m_text += static_cast<char>(m_r.get()); }
    void takeSign() {
        const int c = m_r.peek();
        if (c == '-' || c == '+') take();
    }
    // The digits that follow; false when there are none.
    bool takeDigits() {
        const std::size_t before = m_text.size();
        while (isDigit(m_r.peek())) take();
        return m_text.size() != before;
    }
    const char* begin() const { return m_text.data(); }
    const char* end() const { return m_text.data() + m_text.size(); }

private:
    Reader& m_r;
    std::string m_text;
};

// Reads an optionally signed decimal integer whose magnitude is at most
// `limit` (positive) or `negLimit` (negative).
bool readInteger(std::istream& is, std::uint64_t limit, std::uint64_t negLimit, bool& negative,
                 std::uint64_t& magnitude) {
    Reader r(is);
    if (!r.start()) return false;
    NumberToken token(r);
    token.takeSign();
    if (!token.takeDigits() || !r.atTokenEnd()) return r.fail();
    unsigned long long value = 0;
    bool minus = false;
    if (readMagnitude(token.begin(), token.end(), minus, value) != NumberText::ok ||
        value > (minus ? negLimit : limit))
        return r.fail();
    negative = minus;
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
    NumberToken token(r);
    token.takeSign();
    const bool whole = token.takeDigits();
    if (r.peek() == '.') {
        token.take();
        if (!token.takeDigits()) {
            r.fail();
            return;
        }
    }
    fixed_point read(v.precision);
    if (!whole || !r.atTokenEnd() || readDecimal(token.begin(), token.end(), read) != NumberText::ok) {
        r.fail();
        return;
    }
    v = read;
}

}  // namespace tabulation
