// dump and load: a table's records to standard output and back.
//
// A load replaces the table's records; it does not append. It writes straight
// into the table inside the command's change of the directory set, so a load
// that fails half way (a value that does not fit, a line too long, a write
// that fails) is rolled back whole and leaves the table as it was. The
// library's appends report no failed write, so the load checks the table's
// stream itself before the change is committed. Both forms go through the
// tool's own readers, which name the line and field of a bad value.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <boost/iostreams/stream.hpp>

#include "Core/Orvex/__table.h"
#include "host/memory_file_set.h"
#include "support/Utils.h"
#include "support/tabulation.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/csv.h"
#include "tools/report.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

std::string lineText(unsigned long line) { return "line " + std::to_string(line); }

void setField(TRecord& record, unsigned i, const std::string& text, unsigned long line) {
    try {
        assignValue(record[i], text);
    } catch (const InputError& e) {
        throw InputError(lineText(line) + ", field " + record.fields()[i].name() + ": " + e.what());
    }
}

std::vector<std::string> fieldNames(const TFields& fields) {
    std::vector<std::string> names;
    for (unsigned i = 0; i < fields.size(); ++i) names.push_back(fields[i].name());
    return names;
}

// A header name as the user can see it: quoted with escapes when it holds
// anything but printable ASCII (a stray byte-order mark, a control byte).
std::string visible(const std::string& name) {
    for (unsigned char c : name)
        if (c < 32 || c > 126) return tabulation::quoted(name);
    return name;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ",") + visible(name);
    return text;
}

// std::getline, but a line longer than kMaxCsvRowBytes is refused with its
// number instead of growing without bound.
bool readLine(std::istream& in, std::string& line, unsigned long number) {
    line.clear();
    std::streambuf& source = *in.rdbuf();
    for (int c = source.sgetc();; c = source.snextc()) {
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios_base::eofbit);
            return !line.empty();
        }
        if (c == '\n') {
            source.sbumpc();
            return true;
        }
        if (line.size() >= kMaxCsvRowBytes)
            throw InputError(lineText(number) + ": longer than " + std::to_string(kMaxCsvRowBytes) + " bytes");
        line.push_back(static_cast<char>(c));
    }
}

void readCsv(std::istream& in, TOpenTable& out) {
    CsvReader reader(in);
    std::vector<std::string> row;
    const std::vector<std::string> names = fieldNames(out.fields());
    if (!reader.next(row)) throw InputError("line 1: no header line (expected " + joined(names) + ")");
    if (row != names)
        throw InputError(lineText(reader.line()) + ": the header " + joined(row) + " does not match the fields " +
                         joined(names));
    TRecord record(out.fields());
    while (reader.next(row)) {
        if (row.size() != names.size())
            throw InputError(lineText(reader.line()) + ": " + std::to_string(row.size()) + " values, the table has " +
                             std::to_string(names.size()) + " fields");
        for (unsigned i = 0; i < row.size(); ++i) setField(record, i, row[i], reader.line());
        out.push_back(record);
    }
}

// The table's text form: one record per line, one token per value.
void readText(std::istream& in, TOpenTable& out) {
    const TFields& fields = out.fields();
    TRecord record(fields);
    std::string line;
    for (unsigned long number = 1; readLine(in, line, number); ++number) {
        std::istringstream values(line);
        if ((values >> std::ws).eof()) continue;  // blank line
        for (unsigned i = 0; i < fields.size(); ++i) {
            if ((values >> std::ws).eof())
                throw InputError(lineText(number) + ", field " + fields[i].name() + ": value missing");
            std::string token;
            tabulation::from_stream(values, token);
            if (values.fail())
                throw InputError(lineText(number) + ", field " + fields[i].name() + ": malformed value");
            setField(record, i, token, number);
        }
        if (!(values >> std::ws).eof())
            throw InputError(lineText(number) + ": more values than the table's " + std::to_string(fields.size()) +
                             " fields");
        out.push_back(record);
    }
}


// Standard output for the table's text form, which flushes every line: the
// flush ends in this stream's own buffer, and standard output writes when
// its buffer is full, not once per record.
struct StandardOutput {
    typedef char char_type;
    typedef boost::iostreams::sink_tag category;
    std::streamsize write(const char* s, std::streamsize n) { return std::cout.rdbuf()->sputn(s, n); }
};
typedef boost::iostreams::stream<StandardOutput> StandardOutputStream;

}  // namespace

int dumpCommand(const Words& words) {
    Arguments args("dump", words, {"--csv"}, {});
    if (args.help()) return std::cout << commandHelp("dump"), 0;
    args.expect(2, 2, "DIR TABLE");
    Catalog catalog(args.positionals()[0], Access::read);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    requireContents(catalog, *table);
    TOpenTable open(*table, false);
    const pointer<Console::TProgress> progress = progressBar("Dumping " + table->name());
    const bool csv = args.has("--csv");
    const TFields& fields = open.fields();
    if (csv) writeCsvRow(std::cout, fieldNames(fields));
    if (csv) {
        if (progress) progress->start(static_cast<int>(open.size()));
        std::vector<std::string> values(fields.size());
        for (unsigned long i = 0; i < open.size() && std::cout; ++i) {
            if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
            const TRecord record = open.at(i);
            for (unsigned f = 0; f < fields.size(); ++f) values[f] = valueText(record[f]);
            writeCsvRow(std::cout, values);
        }
        if (progress) progress->finish();
    } else {
        open.progress(progress);
        StandardOutputStream out(StandardOutput{});
        out << open;  // the table's text form
        out.flush();
        if (!out) std::cout.setstate(std::ios_base::badbit);
    }
    std::cout.flush();
    if (!std::cout) Utils::raise_runtime_error("Couldn't write to standard output");
    return 0;
}

int loadCommand(const Words& words) {
    Arguments args("load", words, {"--csv"}, {});
    if (args.help()) return std::cout << commandHelp("load"), 0;
    args.expect(2, 2, "DIR TABLE");
    Catalog catalog(args.positionals()[0], Access::write);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    struct stat input;
    if (::fstat(STDIN_FILENO, &input) == 0 && S_ISDIR(input.st_mode))
        throw InputError("standard input is a directory, not a file of records");
    unsigned long records = 0;
    {
        // Straight into the table: the command is one change, so a load that
        // fails half way leaves the old records, and memory holds one copy.
        TOpenTable out(*table, true);
        if (args.has("--csv"))
            readCsv(std::cin, out);
        else
            readText(std::cin, out);
        if (std::cin.bad()) Utils::raise_runtime_error("Couldn't read standard input");
        if (!table->getFileStream().good()) Utils::raise_runtime_error("Couldn't write " + table->contentsFileName());
        records = out.size();
    }
    catalog.commit();
    std::cout << "loaded " << records << (records == 1 ? " record" : " records") << " into " << table->name() << "\n";
    return 0;
}

}  // namespace Tool
