#include "tools/report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "host/terminal_progress.h"

namespace Tool {

TextTable::TextTable(std::vector<std::string> headings, std::string align) : m_align(std::move(align)) {
    m_align.resize(headings.size(), 'l');
    m_rows.push_back(std::move(headings));
}

void TextTable::add(std::vector<std::string> row) {
    row.resize(m_align.size());
    m_rows.push_back(std::move(row));
}

void TextTable::print(std::ostream& out, const std::string& indent) const {
    std::vector<std::size_t> widths(m_align.size(), 0);
    for (const auto& row : m_rows)
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : m_rows) {
        std::string line = indent;
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c != 0) line += "  ";
            const std::string pad(widths[c] - row[c].size(), ' ');
            line += m_align[c] == 'r' ? pad + row[c] : row[c] + pad;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    }
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

pointer<Console::TProgress> progressBar(const std::string& label) {
    if (::isatty(2) != 1) return pointer<Console::TProgress>();
    return pointer<Console::TProgress>(new Host::TerminalProgress(label));
}

}  // namespace Tool
