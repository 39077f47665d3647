// dump and load: a table's records to standard output and back.
//
// A load replaces the table's records, or with --append adds to them. It
// writes straight into the table inside the command's change of the
// directory set, so a load that fails half way (a value that does not fit, a
// line too long, a write that fails) is rolled back whole and leaves the
// table as it was. The library's appends report no failed write, so the
// load checks the table's stream itself before the change is committed.
// Both forms go through the tool's own readers, which name the line and
// field of a bad value.
//
// Values are read and checked by tools/value_checks.h, as every way in does;
// a reference (@ref) must be a record of the table it refers to. Replacing
// the records of a table that other tables' records refer to is refused,
// since their references would then designate other records; appending
// moves no record and is always allowed.
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
#include "tools/field_syntax.h"
#include "tools/record_filter.h"
#include "tools/record_output.h"
#include "tools/references.h"
#include "tools/report.h"
#include "tools/set_changes.h"
#include "tools/standard_output.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/value_checks.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

std::string lineText(unsigned long line) { return "line " + std::to_string(line); }

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

// Where the records read go: the table, each value checked on the way in.
// A reference to the table itself may designate a record loaded after it,
// so those are checked once the count is known.
class RecordSink {
public:
    RecordSink(TOpenTable& out, std::vector<unsigned long> limits, const std::string& self)
        : m_out(out), m_checks(out.fields(), std::move(limits)), m_self(self), m_progress(inputProgress(self)) {}
    ~RecordSink() {
        if (m_progress) m_progress->finish();
    }

    TOpenTable& table() { return m_out; }
    ValueChecks& checks() { return m_checks; }

    void add(const TRecord& record) {
        m_out.push_back(record);
        if (m_progress && ++m_added % 4096 == 0) m_progress->update(inputPosition());
    }

    void finish() { m_checks.settle(m_self, m_out.size(), " after the load"); }

private:
    // A bar over the bytes of standard input, when it is a file whose size
    // is known.
    static pointer<Console::TProgress> inputProgress(const std::string& table) {
        struct stat input;
        if (::fstat(STDIN_FILENO, &input) != 0 || !S_ISREG(input.st_mode) || input.st_size <= 0)
            return pointer<Console::TProgress>();
        pointer<Console::TProgress> progress = progressBar("Loading " + table);
        if (progress) progress->start(static_cast<int>(std::min<long long>(input.st_size, 0x7fffffff)));
        return progress;
    }
    static int inputPosition() {
        const std::streamoff at = std::cin.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
        return at < 0 ? 0 : static_cast<int>(std::min<std::streamoff>(at, 0x7fffffff));
    }

    TOpenTable& m_out;
    ValueChecks m_checks;
    std::string m_self;
    pointer<Console::TProgress> m_progress;
    unsigned long m_added = 0;
};

void readCsv(std::istream& in, RecordSink& sink) {
    TOpenTable& out = sink.table();
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
        for (unsigned i = 0; i < row.size(); ++i)
            sink.checks().read(record, i, row[i], fieldPlace(reader.line(), names[i]));
        sink.add(record);
    }
}

// The table's text form: one record per line, one token per value.
void readText(std::istream& in, RecordSink& sink) {
    TRecord record(sink.table().fields());
    std::string line;
    for (unsigned long number = 1; readBoundedLine(in, line, number); ++number)
        if (readTextRecord(line, record, sink.checks(), number)) sink.add(record);
}

// Standard output for the table's text form, which flushes every line: the
// flush ends in this stream's own buffer, and standard output writes when
// its buffer is full, not once per record.
struct StandardOutput {
    typedef char char_type;
    typedef boost::iostreams::sink_tag category;
    std::streamsize write(const char* s, std::streamsize n) {
        if (std::cout.rdbuf()->sputn(s, n) != n) throw std::ios_base::failure("Couldn't write to standard output");
        return n;
    }
};
typedef boost::iostreams::stream<StandardOutput> StandardOutputStream;

}  // namespace

Loaded loadRecords(Catalog& catalog, const TTable& table, bool append, bool csv, std::istream& in) {
    if (!append) {
        const std::vector<Referrer> referrers = referrersOf(catalog, table.name());
        const unsigned long referring = referringRecords(catalog, referrers, table.name());
        if (referring != 0)
            throw InputError("table " + table.name() + " is referred to by " + referrerText(referrers.front()) +
                             " and " + std::to_string(referring) +
                             " records refer to it; replacing its records would change what they designate "
                             "(load --append adds records and moves none)");
    }
    // Straight into the table: the command is one change, so a load that
    // fails half way leaves the old records, and memory holds one copy.
    TOpenTable out(table, !append);
    const unsigned long before = out.size();
    RecordSink sink(out, referenceLimits(catalog, table.fields(), table.name(), kCountLater), table.name());
    if (csv)
        readCsv(in, sink);
    else
        readText(in, sink);
    if (in.bad()) Utils::raise_runtime_error("Couldn't read standard input");
    sink.finish();
    // Appends report no failed write: the stream says whether all went.
    if (!table.getFileStream().good()) Utils::raise_runtime_error("Couldn't write " + table.contentsFileName());
    return Loaded{before, out.size() - before};
}

int dumpCommand(const Words& words) {
    Arguments args("dump", words, {"--csv", "--json", "--table"}, {"--where"});
    if (args.help()) return std::cout << commandHelp("dump"), 0;
    args.expect(2, 2, "DIR TABLE");
    const RecordForm form = recordForm(args);
    Catalog catalog(args.positionals()[0], Access::read);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    const RecordFilter filter(table->fields(), args.values("--where"));
    requireContents(catalog, *table);
    TOpenTable open(*table, false);
    const pointer<Console::TProgress> progress = progressBar("Dumping " + table->name());
    if (form == RecordForm::text && filter.empty()) {
        // The table's own text form, as the library writes it; its flush per
        // line stays in the buffered stream.
        open.progress(progress);
        StandardOutputStream out(StandardOutput{});
        out.exceptions(std::ios::badbit);  // a failed write ends the dump there
        out << open;
        out.flush();
    } else {
        RecordWriter writer(std::cout, open.fields(), form);
        writer.begin();
        if (progress) progress->start(static_cast<int>(open.size()));
        for (unsigned long i = 0; i < open.size() && std::cout; ++i) {
            if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
            const TRecord record = open.at(i);
            if (filter.matches(record)) writer.write(record);
        }
        writer.end();
        if (progress) progress->finish();
    }
    requireOutputWritten();
    return 0;
}

int loadCommand(const Words& words) {
    Arguments args("load", words, {"--csv", "--append"}, {});
    if (args.help()) return std::cout << commandHelp("load"), 0;
    args.expect(2, 2, "DIR TABLE");
    Catalog catalog(args.positionals()[0], Access::write);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    requireWritable(catalog, {table->contentsFileName()});
    struct stat input;
    if (::fstat(STDIN_FILENO, &input) == 0 && S_ISDIR(input.st_mode))
        throw InputError("standard input is a directory, not a file of records");
    const bool append = args.has("--append");
    const Loaded loaded = loadRecords(catalog, *table, append, args.has("--csv"), std::cin);
    const unsigned long records = loaded.added, before = loaded.before;
    catalog.commit();
    std::cout << (append ? "appended " : "loaded ") << records << (records == 1 ? " record" : " records")
              << (append ? " to " : " into ") << table->name();
    if (append) std::cout << " (" << before + records << " in all)";
    std::cout << "\n";
    return 0;
}

}  // namespace Tool
