#include "tools/csv.h"

#include "tools/usage.h"

namespace Tool {

namespace {
const int kEnd = std::char_traits<char>::eof();
}

std::string csvValue(const std::string& value) {
    const bool quote = value.find_first_of(",\"\r\n") != std::string::npos ||
                       (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!quote) return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void writeCsvRow(std::ostream& out, const std::vector<std::string>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) out.put(',');
        out << csvValue(values[i]);
    }
    out.put('\n');
}

int CsvReader::get() {
    const int c = m_in.sbumpc();
    if (c == '\n') ++m_line;
    return c;
}

bool CsvReader::next(std::vector<std::string>& row) {
    row.clear();
    int c = get();
    while (c == '\n' || (c == '\r' && m_in.sgetc() == '\n')) c = get();  // blank lines
    if (c == kEnd) return false;
    m_rowLine = m_line;

    std::string value;
    for (;;) {
        if (c == '"') {
            if (!value.empty()) throw InputError("line " + std::to_string(m_line) + ": a quote inside an unquoted value");
            const unsigned long opened = m_line;
            for (;;) {
                c = get();
                if (c == kEnd) throw InputError("line " + std::to_string(opened) + ": a quoted value is never closed");
                if (c == '"') {
                    if (m_in.sgetc() != '"') break;
                    get();
                }
                value += static_cast<char>(c);
            }
            c = get();
            if (c == '\r' && m_in.sgetc() == '\n') c = get();
            if (c != ',' && c != '\n' && c != kEnd)
                throw InputError("line " + std::to_string(m_line) + ": text after a closing quote");
        } else {
            while (c != ',' && c != '\n' && c != kEnd) {
                if (c == '"') throw InputError("line " + std::to_string(m_line) + ": a quote inside an unquoted value");
                if (c == '\r' && m_in.sgetc() == '\n') {
                    c = get();
                    break;
                }
                value += static_cast<char>(c);
                c = get();
            }
        }
        row.push_back(value);
        value.clear();
        if (c != ',') return true;
        c = get();
    }
}

}  // namespace Tool
