// Comma-separated values as RFC 4180 has them: rows of values separated by
// commas; a value holding a comma, a double quote or a line break is enclosed
// in double quotes, with each quote inside doubled.
//
// Decisions: rows are written with "\n" line ends; reading accepts "\n" and
// "\r\n". Blank lines between rows are skipped (a table row always has at
// least one value). A value is quoted on output also when it starts or ends
// with a space, so it survives tools that trim. A row longer than
// kMaxCsvRowBytes is refused, so that memory stays bounded whatever the
// input. A UTF-8 byte-order mark at the very start of the input is skipped
// (spreadsheet programs write one), so that it does not stick, unseen, to the
// first value.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace Tool {

// The longest row read, in bytes, line ends inside quoted values included.
constexpr unsigned long kMaxCsvRowBytes = 1UL << 20;

// One value as it goes into a row.
std::string csvValue(const std::string& value);
// One row, ended by "\n".
void writeCsvRow(std::ostream& out, const std::vector<std::string>& values);

class CsvReader {
public:
    explicit CsvReader(std::istream& in) : m_in(*in.rdbuf()) {}

    // The next row's values; false at the end of the input. Malformed input
    // (a quote inside an unquoted value, text after a closing quote, a quote
    // left open at the end, a row longer than kMaxCsvRowBytes) throws
    // InputError "line N: <reason>".
    bool next(std::vector<std::string>& row);
    // The line on which the last row read starts, counting from 1.
    unsigned long line() const { return m_rowLine; }

private:
    // The next byte, taken from the bytes looked ahead at first.
    int get();
    int peek();
    // Appends c to the value, counting it against the row's limit.
    void keep(std::string& value, int c);
    void skipByteOrderMark();

    std::streambuf& m_in;
    unsigned long m_line = 1;
    unsigned long m_rowLine = 0;
    unsigned long m_rowBytes = 0;
    std::string m_pending;  // bytes taken from the input but not yet read
    bool m_started = false;
};

}  // namespace Tool
