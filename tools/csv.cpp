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
    int c;
    if (m_pending.empty()) {
        c = m_in.sbumpc();
    } else {
        c = static_cast<unsigned char>(m_pending.front());
        m_pending.erase(0, 1);
    }
    if (c == '\n') ++m_line;
    return c;
}

int CsvReader::peek() {
    return m_pending.empty() ? m_in.sgetc() : static_cast<unsigned char>(m_pending.front());
}

void CsvReader::keep(std::string& value, int c) {
    if (++m_rowBytes > kMaxCsvRowBytes)
        throw InputError("line " + std::to_string(m_rowLine) + ": a row longer than " + std::to_string(kMaxCsvRowBytes) +
                         " bytes");
    value += static_cast<char>(c);
}

void CsvReader::skipByteOrderMark() {
    const std::string mark = "\xEF\xBB\xBF";
    while (m_pending.size() < mark.size() && m_in.sgetc() != kEnd &&
           static_cast<char>(m_in.sgetc()) == mark[m_pending.size()])
        m_pending += static_cast<char>(m_in.sbumpc());
    if (m_pending == mark) m_pending.clear();
}

bool CsvReader::next(std::vector<std::string>& row) {
    row.clear();
    if (!m_started) {
        m_started = true;
        skipByteOrderMark();
    }
    m_rowBytes = 0;
    int c = get();
    while (c == '\n' || (c == '\r' && peek() == '\n')) c = get();  // blank lines
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
                    if (peek() != '"') break;
                    get();
                }
                keep(value, c);
            }
            c = get();
            if (c == '\r' && peek() == '\n') c = get();
            if (c != ',' && c != '\n' && c != kEnd)
                throw InputError("line " + std::to_string(m_line) + ": text after a closing quote");
        } else {
            while (c != ',' && c != '\n' && c != kEnd) {
                if (c == '"') throw InputError("line " + std::to_string(m_line) + ": a quote inside an unquoted value");
                if (c == '\r' && peek() == '\n') {
                    c = get();
                    break;
                }
                keep(value, c);
                c = get();
            }
        }
        row.push_back(value);
        value.clear();
        if (c != ',') return true;
        keep(value, c);  // the comma counts too: a row of empty values must end as well
        value.clear();
        c = get();
    }
}

}  // namespace Tool
