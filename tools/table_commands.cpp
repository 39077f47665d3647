// info, create, sort and strip.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Core/Orvex/__table.h"
#include "Core/Orvex/field_traits.h"
#include "Core/Orvex/table_files.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/field_syntax.h"
#include "tools/report.h"
#include "tools/set_changes.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

// Arguments of a command that printed its help when asked (then `help` is
// true and the command returns 0).
Arguments parse(const std::string& command, const Words& words, const std::vector<std::string>& switches = {},
                const std::vector<std::string>& valued = {}) {
    Arguments args(command, words, switches, valued);
    if (args.help()) std::cout << commandHelp(command);
    return args;
}

std::string formText(bool binary) { return binary ? "binary" : "text"; }

unsigned long recordCount(Catalog& catalog, const TTable& table) {
    requireContents(catalog, table);
    TOpenTable open(table, false);
    return open.size();
}

int listTables(Catalog& catalog) {
    std::cout << "Tables in " << catalog.directory()
              << (catalog.listed() ? std::string(" (from ") + kListFileName + ")"
                                   : std::string(" (no ") + kListFileName + "; found by their structure files)")
              << ":\n";
    if (catalog.tables().empty()) {
        std::cout << "  none\n";
        return 0;
    }
    TextTable rows({"table", "form", "records", "bits/record", "fields", "key"}, "llrrrl");
    std::vector<std::string> errors;
    for (const TableEntry& entry : catalog.tables()) {
        try {
            const pointer<TTable> table = defineTable(catalog, entry.name);
            const TFields& fields = table->fields();
            rows.add({entry.name, formText(entry.binary), std::to_string(recordCount(catalog, *table)),
                      std::to_string(fields.bitSize()), std::to_string(fields.size()), keyText(fields)});
        } catch (const std::exception& e) {
            rows.add({entry.name, formText(entry.binary), "-", "-", "-", "-"});
            errors.push_back(entry.name + ": " + e.what());
        }
    }
    rows.print(std::cout, "  ");
    for (const std::string& error : errors) std::cout << "  error in " << error << "\n";
    return errors.empty() ? 0 : 1;
}

int showTable(Catalog& catalog, const std::string& name) {
    const pointer<TTable> table = defineTable(catalog, name);
    const TFields& fields = table->fields();
    const unsigned long records = recordCount(catalog, *table);
    std::cout << "Table " << name << " in " << catalog.directory() << "\n"
              << "  form:        " << formText(table->binDesc()) << " (" << table->descFileName() << ", "
              << table->transFileName() << ", " << table->contentsFileName() << ")\n"
              << "  records:     " << records << "\n"
              << "  record size: " << fields.bitSize() << " bits, " << fields.byteSize() << " bytes\n"
              << "  key:         " << keyText(fields) << " (" << fields.bitCompareSize() << " bits)\n"
              << "  contents:    " << fileBytes(catalog, table->contentsFileName()) << " bytes\n"
              << "  syntax:      " << structureSyntax(fields) << "\n\n";
    TextTable rows({"#", "field", "type", "bits", "offset", "key", "details", "transformer"}, "rllrrlll");
    for (unsigned i = 0; i < fields.size(); ++i) {
        const TFieldInfo& field = fields[i];
        rows.add({std::to_string(i), field.name(), field.Type(), std::to_string(field.bitWidth()),
                  std::to_string(field.bitOffset()), i < fields.endOfKey() ? "yes" : "",
                  visitField(field, [](auto traits, const auto& f) { return traits.details(f); }),
                  describeTransformer(field)});
    }
    rows.print(std::cout, "  ");
    return 0;
}

}  // namespace

int infoCommand(const Words& words) {
    Arguments args = parse("info", words);
    if (args.help()) return 0;
    args.expect(1, 2, "DIR [TABLE]");
    Catalog catalog(args.positionals()[0], Access::read);
    return args.positionals().size() == 1 ? listTables(catalog) : showTable(catalog, args.positionals()[1]);
}

int createCommand(const Words& words) {
    Arguments args = parse("create", words, {"--text"});
    if (args.help()) return 0;
    args.expect(3, static_cast<std::size_t>(-1), "DIR TABLE FIELD...");
    const std::string& directory = args.positionals()[0];
    const std::string& name = args.positionals()[1];
    requireTableName(name);  // before the directory is made for it
    const TFields fields = parseFieldList(Words(args.positionals().begin() + 2, args.positionals().end()));

    makeSetDirectory(directory);
    Catalog catalog(directory, Access::write);
    const TableEntry entry = createTable(catalog, name, fields, !args.has("--text"));
    catalog.commit();
    std::cout << "created " << name << " (" << formText(entry.binary) << " form): " << fields.size() << " fields, "
              << fields.bitSize() << " bits per record, key " << keyText(fields) << "\n";
    return 0;
}

int sortCommand(const Words& words) {
    Arguments args = parse("sort", words);
    if (args.help()) return 0;
    args.expect(2, 2, "DIR TABLE");
    Catalog catalog(args.positionals()[0], Access::write);
    const pointer<TTable> table = defineTable(catalog, args.positionals()[1]);
    Stopwatch clock;
    const unsigned long records = sortTable(catalog, *table);
    catalog.commit();
    std::cout << "sorted " << table->name() << ": " << records << " records on " << keyText(table->fields()) << " ("
              << secondsText(clock.seconds()) << ")\n";
    return 0;
}

int stripCommand(const Words& words) {
    Arguments args = parse("strip", words);
    if (args.help()) return 0;
    args.expect(1, static_cast<std::size_t>(-1), "DIR [TABLE...]");
    Catalog catalog(args.positionals()[0], Access::write);
    TextTable rows({"table", "records", "bits before", "bits after", "bytes before", "bytes after"}, "lrrrrr");
    Stopwatch clock;
    const std::vector<Stripped> report =
        stripTables(catalog, Words(args.positionals().begin() + 1, args.positionals().end()));
    catalog.commit();
    for (const Stripped& table : report)  // sizes after: measured once every file is closed
        rows.add({table.table, std::to_string(table.records), std::to_string(table.bitsBefore),
                  std::to_string(table.bitsAfter), std::to_string(table.bytesBefore),
                  std::to_string(fileBytes(catalog, table.contents))});
    std::cout << "stripped " << report.size() << (report.size() == 1 ? " table" : " tables") << " in "
              << secondsText(clock.seconds()) << "\n";
    rows.print(std::cout, "  ");
    return 0;
}

}  // namespace Tool
