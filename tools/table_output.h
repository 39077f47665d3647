// Records as a table for people to read: a header line of the field names,
// then one line per record in aligned columns, numbers to the right and
// strings to the left, two spaces apart.
//
// Decisions:
// - Widths are display columns: one per code point, none for a combining
//   mark and two for an East Asian wide character (the C library's wcwidth
//   in the C.UTF-8 locale; without that locale, one per code point).
// - A table never breaks a line or the terminal: a byte that is not part of
//   well-formed UTF-8 shows as U+FFFD, a control character as an escape
//   (\t, \n, \r, \xNN), any other character the C library can't print as
//   \uXXXX.
// - The columns are as wide as their widest value among the first 1000
//   records, so that output starts at once and memory stays small however
//   many records follow; a longer value after those is cut to its column.
// - When the lines would be wider than the output's columns, the widest
//   columns are narrowed first, to no fewer than 3 columns (narrower ones
//   would show nothing), and a value cut shows "…" as its last character.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"

namespace Tool {

// The columns of standard output: COLUMNS when it holds a positive number,
// else the width of the terminal standard output is, else 0 for no limit.
std::size_t outputColumns();

// `text` as it shows in a table, and its width in columns.
struct TableCell {
    std::string text;
    std::size_t width = 0;
};
TableCell tableCell(const std::string& text);

class TableWriter {
public:
    // `columns` 0: lines as long as their values need.
    TableWriter(std::ostream& out, const Orvex::TFields& fields, std::size_t columns);
    void write(const Orvex::TRecord& record);
    // Prints the records still held back (and the header, when none came).
    void finish();

private:
    void settle();
    void print(const std::vector<TableCell>& row);

    std::ostream& m_out;
    std::size_t m_columns;
    std::vector<bool> m_numeric;
    std::vector<std::vector<TableCell>> m_held;  // the header, then records until the widths are known
    std::vector<std::size_t> m_widths;           // empty until then
};

}  // namespace Tool
