// Comma-separated values as RFC 4180 has them: rows of values separated by
// commas; a value holding a comma, a double quote or a line break is enclosed
// in double quotes, with each quote inside doubled.
//
// Decisions: rows are written with "\n" line ends; reading accepts "\n" and
// "\r\n". Blank lines between rows are skipped (a table row always has at
// least one value). A value is quoted on output also when it starts or ends
// with a space, so it survives tools that trim.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace Tool {

// One value as it goes into a row.
std::string csvValue(const std::string& value);
// One row, ended by "\n".
void writeCsvRow(std::ostream& out, const std::vector<std::string>& values);

class CsvReader {
public:
    explicit CsvReader(std::istream& in) : m_in(*in.rdbuf()) {}

    // The next row's values; false at the end of the input. Malformed input
    // (a quote inside an unquoted value, text after a closing quote, a quote
    // left open at the end) throws InputError "line N: <reason>".
    bool next(std::vector<std::string>& row);
    // The line on which the last row read starts, counting from 1.
    unsigned long line() const { return m_rowLine; }

private:
    int get();

    std::streambuf& m_in;
    unsigned long m_line = 1;
    unsigned long m_rowLine = 0;
};

}  // namespace Tool
