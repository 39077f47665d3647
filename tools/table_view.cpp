#include "tools/table_view.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Core/Orvex/table_files.h"
#include "fileset/vfstream.h"
#include "support/Utils.h"
#include "support/serial.h"
#include "support/tabulation.h"
#include "tools/standard_output.h"
#include "tools/table_rules.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

pointer<TTable> defineTable(Catalog& catalog, const std::string& name) {
    const TableEntry& entry = catalog.entry(name);
    const std::vector<std::string> files = Catalog::fileNames(entry);
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string problem = fileKindProblem(catalog.files(), files[i], false);
        if (!problem.empty()) Utils::raise_runtime_error(problem);
    }
    try {
        return pointer<TTable>(new TTable(catalog.files(), entry.name, entry.binary));
    } catch (const std::exception& e) {
        // The library's message may name neither the file nor the table; the
        // rules usually tell which file is at fault and why.
        const std::vector<std::string> problems = tableFileProblems(catalog.files(), entry);
        for (const std::string& problem : problems)
            if (problem.compare(0, files[2].size(), files[2]) != 0) Utils::raise_runtime_error(problem);
        Utils::raise_runtime_error("table " + entry.name + ": " + trimmedMessage(e.what()));
    }
}

void requireWritable(Catalog& catalog, const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        const std::string kind = fileKindProblem(catalog.files(), file, false);
        if (!kind.empty()) Utils::raise_runtime_error(kind);
        const std::string path = catalog.directory() + "/" + file;
        struct stat status;
        if (::lstat(path.c_str(), &status) != 0) continue;  // not there: the library makes it
        // Nobody may write it: never written, even by root, whom access() lets.
        if ((status.st_mode & 0222) == 0)
            Utils::raise_runtime_error(file + ": permission denied (the file is read-only)");
        if (::access(path.c_str(), W_OK) != 0) Utils::raise_runtime_error(file + ": " + reasonText(errno));
    }
}

unsigned long storedCount(Catalog& catalog, const TTable& table) {
    requireContents(catalog, table);
    FileSet::ivfstream in(catalog.files(), table.contentsFileName().c_str(), std::ios_base::binary, false, true);
    unsigned long count = 0;
    if (!serial::read_u32(in, count)) Utils::raise_runtime_error(table.contentsFileName() + " is damaged");
    return count;
}

void requireContents(Catalog& catalog, const TTable& table) {
    const std::string problem = fileKindProblem(catalog.files(), table.contentsFileName(), true);
    if (!problem.empty()) Utils::raise_runtime_error(problem);
}

std::string keyText(const TFields& fields) {
    std::string names;
    for (unsigned i = 0; i < fields.endOfKey(); ++i) names += (i ? ", " : "") + fields[i].name();
    if (names.empty()) return "none";
    if (fields.endOfKey() == fields.size() && fields.size() > 1) return "whole record (" + names + ")";
    return names;
}

std::string recordText(const TRecord& record) {
    std::string text;
    const TFields& fields = record.fields();
    for (unsigned i = 0; i < fields.size(); ++i) {
        const std::string value = valueText(record[i]);
        text += (i ? " " : "") + fields[i].name() + "=" +
                (quotedValues(fields[i]) ? tabulation::quoted(value) : value);
    }
    return text;
}

}  // namespace Tool
