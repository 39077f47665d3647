#include "tools/table_output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <locale.h>

#include "tools/json.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

const std::size_t kWidthRecords = 1000;
const char kEllipsis[] = "\xE2\x80\xA6";  // U+2026

// The code point of the well-formed sequence of `length` bytes at `i`.
char32_t codePoint(const std::string& text, std::size_t i, std::size_t length) {
    static const unsigned char leadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(text[i]) & leadBits[length];
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return c;
}

// The columns of a printable code point, -1 for one that is not printable.
// wcwidth answers from the locale of the calling thread, so the UTF-8 one is
// set for the call only and the program's own locale stays as it was.
int columnsOf(char32_t c) {
    if (c < 0x80) return c >= 0x20 && c < 0x7F ? 1 : -1;
    if (c < 0xA0) return -1;
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!utf8) return 1;
    const locale_t before = ::uselocale(utf8);
    const int columns = ::wcwidth(static_cast<wchar_t>(c));
    ::uselocale(before);
    return columns;
}

std::string escaped(const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// `cell` narrowed to `width` columns, its last one an ellipsis.
TableCell cut(const TableCell& cell, std::size_t width) {
    if (cell.width <= width) return cell;
    TableCell out;
    for (std::size_t i = 0; i < cell.text.size();) {
        const std::size_t length = std::max<std::size_t>(utf8Length(cell.text, i), 1);
        const int columns = columnsOf(codePoint(cell.text, i, length));
        if (out.width + columns + 1 > width) break;
        out.text.append(cell.text, i, length);
        out.width += columns;
        i += length;
    }
    out.text += kEllipsis;
    out.width += 1;
    return out;
}

}  // namespace

std::size_t outputColumns() {
    if (const char* columns = std::getenv("COLUMNS")) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(columns, &end, 10);
        if (*columns >= '1' && *columns <= '9' && *end == '\0') return n;
    }
    winsize size{};
    if (::isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) return size.ws_col;
    return 0;
}

TableCell tableCell(const std::string& text) {
    TableCell cell;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : utf8Length(text, i);
        if (length == 0) {
            cell.text += "\xEF\xBF\xBD";  // U+FFFD
            cell.width += 1;
            ++i;
            continue;
        }
        const char32_t c = codePoint(text, i, length);
        const int columns = columnsOf(c);
        std::string shown;
        if (columns >= 0)
            shown = text.substr(i, length);
        else if (c == '\t' || c == '\n' || c == '\r')
            shown = c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        else
            shown = escaped(c < 0x100 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
        cell.text += shown;
        cell.width += columns >= 0 ? static_cast<std::size_t>(columns) : shown.size();
        i += length;
    }
    return cell;
}

TableWriter::TableWriter(std::ostream& out, const TFields& fields, std::size_t columns)
    : m_out(out), m_columns(columns) {
    std::vector<TableCell> header;
    for (unsigned f = 0; f < fields.size(); ++f) {
        m_numeric.push_back(!quotedValues(fields[f]));
        header.push_back(tableCell(fields[f].name()));
    }
    m_held.push_back(std::move(header));
}

void TableWriter::write(const TRecord& record) {
    std::vector<TableCell> row;
    for (unsigned f = 0; f < m_numeric.size(); ++f) row.push_back(tableCell(valueText(record[f])));
    if (!m_widths.empty()) return print(row);
    m_held.push_back(std::move(row));
    if (m_held.size() > kWidthRecords) settle();
}

void TableWriter::finish() {
    if (m_widths.empty()) settle();
}

// Each column as wide as its widest value; when the lines would be too
// long, no column is wider than the largest width that lets them fit (or
// three columns, when none does: narrower ones would show nothing).
void TableWriter::settle() {
    m_widths.assign(m_numeric.size(), 0);
    for (const auto& row : m_held)
        for (std::size_t c = 0; c < row.size(); ++c) m_widths[c] = std::max(m_widths[c], row[c].width);
    const std::size_t gaps = 2 * (m_widths.empty() ? 0 : m_widths.size() - 1);
    const auto length = [&](std::size_t cap) {
        std::size_t sum = gaps;
        for (std::size_t w : m_widths) sum += std::min(w, cap);
        return sum;
    };
    if (m_columns != 0 && length(static_cast<std::size_t>(-1)) > m_columns) {
        std::size_t cap = *std::max_element(m_widths.begin(), m_widths.end());
        while (cap > 3 && length(cap) > m_columns) --cap;
        for (std::size_t& w : m_widths) w = std::min(w, cap);
    }
    for (const auto& row : m_held) print(row);
    m_held.clear();
}

void TableWriter::print(const std::vector<TableCell>& row) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
        const TableCell cell = cut(row[c], m_widths[c]);
        const std::string pad(m_widths[c] - cell.width, ' ');
        if (c != 0) line += "  ";
        line += m_numeric[c] ? pad + cell.text : cell.text + pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    m_out << line << '\n';
}

}  // namespace Tool
