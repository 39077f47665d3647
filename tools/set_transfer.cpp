// export and import: a whole table set as one text stream and back.
//
// The stream, in the library's own text forms:
//
//   orvex export 1
//   list 1                       1: the set had tables.lst; 0: it had none
//   table NAME binary|text       per table, in list order
//   structure BYTES              then exactly BYTES bytes: the text form of
//                                the structure file (NAME.dst)
//   transformers BYTES           then the text form of the transformer file
//   records COUNT                then COUNT lines: the records' text form
//   end
//
// An import into an empty (or new) directory writes every table in its own
// form and the list as the set had it, so that the files come out the same,
// byte for byte (a contents file holds only its records: old bytes that a
// host left past the count are not carried). Records are read and checked
// as load reads the text form (tools/value_checks.h), with its line limit;
// references once every table is in. A directory that holds any file of a
// table of the stream is refused, as create refuses it. It is one change: a
// stream that is cut short or wrong anywhere leaves the directory as it was.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <limits>
#include <sstream>

#include "Core/Orvex/__table.h"
#include "Core/Orvex/table_files.h"
#include "host/memory_file_set.h"
#include "support/Utils.h"
#include "support/number_text.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/field_syntax.h"
#include "tools/references.h"
#include "tools/report.h"
#include "tools/standard_output.h"
#include "tools/table_rules.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/value_checks.h"

using namespace Orvex;

namespace Tool {

namespace {

const char kHeader[] = "orvex export 1";

// The text forms of a definition's structure and transformer files, as the
// library writes them.
std::pair<std::string, std::string> definitionTexts(const TTable& table) {
    Host::MemoryFileSet scratch;
    const TTable copy(scratch, table.name(), table.fields(), false);
    const std::string transformers =
        scratch.exists(copy.transFileName()) ? scratch.contents(copy.transFileName()) : std::string();
    return {scratch.contents(copy.descFileName()), transformers};
}

// Reads the import stream, counting its lines for messages.
class ExportReader {
public:
    explicit ExportReader(std::istream& in) : m_in(in) {}

    // The next line, which must start with `word` and a space (or be `word`
    // when `rest` is null); the words after it go to `rest`.
    void expectLine(const std::string& word, std::string* rest) {
        std::string line;
        ++m_line;
        if (!readBoundedLine(m_in, line, m_line)) fail("the stream ends where '" + word + "' was expected");
        if (!rest) {
            if (line != word) fail("expected '" + word + "', found '" + line + "'");
            return;
        }
        if (line.compare(0, word.size() + 1, word + " ") != 0) fail("expected '" + word + " ...', found '" + line + "'");
        *rest = line.substr(word.size() + 1);
    }

    // A "WORD COUNT" line's count.
    unsigned long countLine(const std::string& word) {
        std::string text;
        expectLine(word, &text);
        bool negative = false;
        unsigned long long value = 0;
        if (readMagnitude(text.data(), text.data() + text.size(), negative, value, Sign::noMinus) != NumberText::ok ||
            value > std::numeric_limits<unsigned long>::max())
            fail("'" + word + "' needs a count, not '" + text + "'");
        return static_cast<unsigned long>(value);
    }

    std::string bytes(unsigned long count) {
        if (count > (1UL << 30)) fail("a section of " + std::to_string(count) + " bytes is too large");
        // Read as it comes, so that a count the stream doesn't hold costs no memory.
        std::string text;
        char chunk[1 << 16];
        while (text.size() < count) {
            m_in.read(chunk, static_cast<std::streamsize>(std::min<unsigned long>(sizeof chunk, count - text.size())));
            if (m_in.gcount() <= 0) fail("the stream ends inside a section");
            text.append(chunk, static_cast<std::size_t>(m_in.gcount()));
        }
        for (char c : text) m_line += c == '\n';
        return text;
    }

    bool recordLine(std::string& line) {
        ++m_line;
        return readBoundedLine(m_in, line, m_line);
    }

    unsigned long line() const { return m_line; }

    bool atEnd() { return m_in.peek() == std::char_traits<char>::eof(); }

    [[noreturn]] void fail(const std::string& why) const {
        throw InputError("line " + std::to_string(m_line) + ": " + why);
    }

private:
    std::istream& m_in;
    unsigned long m_line = 0;
};

// A table of the stream as imported: its entry, its record count and the
// checks its references still wait on.
struct ImportedTable {
    TableEntry entry;
    unsigned long records;
    ValueChecks checks;
};

// One table of the stream into the directory, its values read and checked
// as load reads the text form.
void importTable(ExportReader& in, Catalog& catalog, std::vector<ImportedTable>& earlier) {
    std::string rest;
    in.expectLine("table", &rest);
    const std::string::size_type space = rest.find(' ');
    TableEntry entry{rest.substr(0, space), true};
    const std::string form = space == std::string::npos ? std::string() : rest.substr(space + 1);
    if (!isPlainName(entry.name) || entry.name == Orvex::kTemporaryTableName) in.fail("bad table name '" + entry.name + "'");
    if (!tableNameProblem(entry.name).empty()) in.fail(tableNameProblem(entry.name));
    if (form != "binary" && form != "text") in.fail("a table's form is binary or text, not '" + form + "'");
    for (const ImportedTable& other : earlier)
        if (other.entry.name == entry.name) in.fail("table " + entry.name + " is given twice");
    entry.binary = form == "binary";
    catalog.requireFree(entry.name);

    Host::MemoryFileSet scratch;
    scratch.put(structureFileName(entry.name, false), in.bytes(in.countLine("structure")));
    scratch.put(transformerFileName(entry.name, false), in.bytes(in.countLine("transformers")));
    pointer<TTable> definition;
    try {
        definition = pointer<TTable>(new TTable(scratch, entry.name, false));
    } catch (const std::exception& e) {
        in.fail("table " + entry.name + ": " + trimmedMessage(e.what()));
    }
    const TTable table(catalog.files(), entry.name, definition->fields(), entry.binary);
    const unsigned long count = in.countLine("records");
    TOpenTable out(table, true);
    // Every table's count is known only at the end of the stream.
    std::vector<unsigned long> limits(out.fields().size(), kNoReference);
    std::string target;
    for (unsigned f = 0; f < out.fields().size(); ++f)
        if (referencedTable(out.fields()[f], target)) limits[f] = kCountLater;
    ValueChecks checks(out.fields(), limits);
    const pointer<Console::TProgress> progress = progressBar("Importing " + entry.name);
    if (progress) progress->start(static_cast<int>(count));
    TRecord record(out.fields());
    std::string line;
    for (unsigned long r = 0; r < count; ++r) {
        if (progress && r % 4096 == 0) progress->update(static_cast<int>(r));
        if (!in.recordLine(line)) in.fail("the stream ends after " + std::to_string(r) + " records of " + entry.name);
        if (!readTextRecord(line, record, checks, in.line()))
            in.fail("a blank line where a record of " + entry.name + " was expected");
        out.push_back(record);
    }
    if (progress) progress->finish();
    earlier.push_back(ImportedTable{entry, count, checks});
}

// References are checked once every table of the stream is in.
void settleReferences(std::vector<ImportedTable>& tables) {
    for (ImportedTable& table : tables)
        for (const std::string& target : table.checks.awaited()) {
            const ImportedTable* found = nullptr;
            for (const ImportedTable& other : tables)
                if (other.entry.name == target) found = &other;
            if (!found)
                throw InputError("table " + table.entry.name + " refers to table " + target + ", which does not exist");
            table.checks.settle(target, found->records);
        }
}

}  // namespace

int exportCommand(const Words& words) {
    Arguments args("export", words, {}, {});
    if (args.help()) return std::cout << commandHelp("export"), 0;
    args.expect(1, 1, "DIR");
    Catalog catalog(args.positionals()[0], Access::read);
    // Every table must read before the first byte goes out.
    std::vector<pointer<TTable>> tables;
    for (const TableEntry& entry : catalog.tables()) {
        tables.push_back(defineTable(catalog, entry.name));
        requireContents(catalog, *tables.back());
    }
    std::cout << kHeader << "\nlist " << (catalog.listed() ? 1 : 0) << "\n";
    for (const pointer<TTable>& table : tables) {
        const auto texts = definitionTexts(*table);
        std::cout << "table " << table->name() << (table->binDesc() ? " binary" : " text") << "\nstructure "
                  << texts.first.size() << "\n"
                  << texts.first << "transformers " << texts.second.size() << "\n"
                  << texts.second;
        TOpenTable open(*table, false);
        std::cout << "records " << open.size() << "\n";
        const pointer<Console::TProgress> progress = progressBar("Exporting " + table->name());
        if (progress) progress->start(static_cast<int>(open.size()));
        for (unsigned long i = 0; i < open.size() && std::cout; ++i) {
            if (progress && i % 4096 == 0) progress->update(static_cast<int>(i));
            open.at(i).to_stream(std::cout);
            std::cout << '\n';
        }
        if (progress) progress->finish();
    }
    std::cout << "end\n";
    requireOutputWritten();
    return 0;
}

int importCommand(const Words& words) {
    Arguments args("import", words, {}, {});
    if (args.help()) return std::cout << commandHelp("import"), 0;
    args.expect(1, 1, "DIR");
    const std::string& directory = args.positionals()[0];
    makeSetDirectory(directory);
    Catalog catalog(directory, Access::write);
    if (catalog.listed() || !catalog.tables().empty())
        throw InputError(directory + " already holds tables; import goes into an empty or new directory");
    ExportReader in(std::cin);
    in.expectLine(kHeader, nullptr);
    std::string listed;
    in.expectLine("list", &listed);
    if (listed != "0" && listed != "1") in.fail("'list' is 0 or 1, not '" + listed + "'");
    unsigned long records = 0;
    std::vector<ImportedTable> tables;
    for (;;) {
        if (in.atEnd()) in.fail("the stream ends without 'end'");
        if (std::cin.peek() == 'e') {
            in.expectLine("end", nullptr);
            break;
        }
        importTable(in, catalog, tables);
        records += tables.back().records;
    }
    if (!in.atEnd()) in.fail("text after 'end'");
    if (std::cin.bad()) Utils::raise_runtime_error("Couldn't read standard input");
    settleReferences(tables);
    if (listed == "1") {
        for (const ImportedTable& table : tables) catalog.add(table.entry);
        if (tables.empty()) catalog.writeList();
    }
    catalog.commit();
    std::cout << "imported " << tables.size() << (tables.size() == 1 ? " table" : " tables") << " with " << records
              << (records == 1 ? " record" : " records") << " into " << directory << "\n";
    return 0;
}

}  // namespace Tool
