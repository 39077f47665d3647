// check: every table of a directory opens, its header and length agree, and
// every value of every record fits its field.
//
// A value always fits the bits it was read from, so "fits" means what the
// next stripping needs as well: the value can be stored again through its
// field, lies in the field's declared range, and a record number lies below
// the record count of the table it refers to. Problems are listed (at most
// kShownPerTable value problems per table, then a count); the exit status is
// 1 when there is any. Files that break the rules create and strip keep
// (tools/table_rules.h) are problems, and so are files left over by an
// interrupted load or strip, and so is a journal of a change that was cut
// off that no command will apply (host/rollback_journal.h: refused, or not
// readable), which is then the only finding. A note that is not a problem: a
// table not sorted on its key, or a change cut off whose journal is sound.
#include <iostream>
#include <map>
#include <memory>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/field_syntax.h"
#include "tools/report.h"
#include "tools/table_rules.h"
#include "tools/table_view.h"
#include "tools/usage.h"
#include "tools/values.h"

using namespace Orvex;

namespace Tool {

namespace {

const unsigned long kShownPerTable = 10;

class TableCheck {
public:
    TableCheck(Catalog& catalog, const TableEntry& entry) : m_catalog(catalog), m_entry(entry) {}

    // Prints the table's findings; returns the number of problems.
    unsigned long run() {
        try {
            inspect();
        } catch (const std::exception& e) {
            problem(trimmedMessage(e.what()));
        }
        if (m_problems == 0)
            std::cout << m_entry.name << ": ok, " << m_records << (m_records == 1 ? " record" : " records") << "\n";
        else
            std::cout << m_entry.name << ": " << m_problems << (m_problems == 1 ? " problem" : " problems") << "\n";
        for (const std::string& line : m_lines) std::cout << "  " << line << "\n";
        if (m_problems > m_shown) std::cout << "  ... and " << m_problems - m_shown << " more\n";
        return m_problems;
    }

private:
    void problem(const std::string& text) {
        if (m_shown < kShownPerTable) {
            m_lines.push_back(text);
            ++m_shown;
        }
        ++m_problems;
    }
    void note(const std::string& text) { m_lines.push_back("note: " + text); }

    void inspect() {
        const std::vector<std::string> damage = tableFileProblems(m_catalog.files(), m_entry);
        for (const std::string& text : damage) problem(text);
        if (!damage.empty()) return;
        TTable table(m_catalog.files(), m_entry.name, m_entry.binary);
        const TFields& fields = table.fields();
        const std::vector<unsigned long> limits = referenceLimits(fields);
        TOpenTable open(table, false);
        m_records = open.size();

        TRecord scratch(fields);
        TRecord previous(fields);
        bool sorted = true;
        const pointer<Console::TProgress> progress = progressBar("Checking " + m_entry.name);
        if (progress) progress->start(static_cast<int>(m_records));
        for (unsigned long r = 0; r < m_records; ++r) {
            if (progress && r % 4096 == 0) progress->update(static_cast<int>(r));
            const TRecord record = open.at(r);
            if (r > 0 && sorted && fields.comparable() && record.compareTo(previous) < 0) sorted = false;
            for (unsigned f = 0; f < fields.size(); ++f) checkValue(record, scratch, r, f, limits[f]);
            previous = record;
        }
        if (progress) progress->finish();
        if (!sorted) note("not sorted on its key (find needs a sorted table: orvex sort)");
    }

    void checkValue(const TRecord& record, TRecord& scratch, unsigned long r, unsigned f, unsigned long limit) {
        const std::string where = "record " + std::to_string(r) + ", field " + record.fields()[f].name() + ": ";
        try {
            scratch[f] = record[f];
        } catch (const std::exception& e) {
            return problem(where + e.what());
        }
        const std::string outside = declaredRangeProblem(record[f]);
        if (!outside.empty()) return problem(where + outside);
        if (limit != kNoLimit && record[f].get<unsigned long>() >= limit)
            problem(where + "record number " + valueText(record[f]) + " is past the end of the referenced table (" +
                    std::to_string(limit) + " records)");
    }

    // For each field, the record count of the table it refers to, or kNoLimit.
    std::vector<unsigned long> referenceLimits(const TFields& fields) {
        std::vector<unsigned long> limits(fields.size(), kNoLimit);
        for (unsigned f = 0; f < fields.size(); ++f) {
            std::string target;
            if (!referencedTable(fields[f], target)) continue;
            if (!m_catalog.contains(target)) {
                problem("field " + fields[f].name() + " refers to table " + target + ", which does not exist");
                continue;
            }
            try {
                const pointer<TTable> referenced = defineTable(m_catalog, target);
                requireContents(m_catalog, *referenced);
                limits[f] = TOpenTable(*referenced, false).size();
            } catch (const std::exception& e) {
                problem("field " + fields[f].name() + " refers to table " + target + ", which does not open (" +
                        e.what() + ")");
            }
        }
        return limits;
    }

    static constexpr unsigned long kNoLimit = static_cast<unsigned long>(-1);

    Catalog& m_catalog;
    TableEntry m_entry;
    unsigned long m_records = 0;
    unsigned long m_problems = 0;
    unsigned long m_shown = 0;
    std::vector<std::string> m_lines;
};

}  // namespace

int checkCommand(const Words& words) {
    Arguments args("check", words, {}, {});
    if (args.help()) return std::cout << commandHelp("check"), 0;
    args.expect(1, static_cast<std::size_t>(-1), "DIR [TABLE...]");
    const std::string& directory = args.positionals()[0];
    std::unique_ptr<Catalog> opened;
    try {
        opened = std::make_unique<Catalog>(directory, Access::read);
    } catch (const std::runtime_error& e) {
        // A journal no command will apply (refused, or unreadable) is damage
        // like any other: one line naming it and what is wrong. Only when it
        // is what stopped the set from opening (not, say, a writer's lock).
        const std::string problem = Host::RollbackJournal::problem(directory);
        if (problem.empty() || std::string(e.what()).rfind(problem, 0) != 0) throw;
        const std::string journal = directory + "/" + Host::kJournalFileName;
        std::cout << (problem.rfind(journal, 0) == 0 ? problem : journal + ": " + problem) << "\n"
                  << "1 problem in the journal of a change that was cut off\n";
        return 1;
    }
    Catalog& catalog = *opened;
    std::vector<TableEntry> chosen;
    for (std::size_t i = 1; i < args.positionals().size(); ++i) chosen.push_back(catalog.entry(args.positionals()[i]));
    if (chosen.empty()) chosen = catalog.tables();

    unsigned long problems = 0, troubled = 0;
    for (const TableEntry& entry : chosen) {
        const unsigned long found = TableCheck(catalog, entry).run();
        problems += found;
        troubled += found ? 1 : 0;
    }
    if (catalog.files().pendingChange())
        std::cout << "note: a change was cut off (" << Host::kJournalFileName
                  << "): the tables are checked as they were before it; the next writing command rolls it back\n";
    const std::vector<std::string> leftovers = leftoverProblems(catalog.files().list());
    for (const std::string& leftover : leftovers) std::cout << leftover << "\n";
    problems += leftovers.size();
    if (problems == 0) {
        std::cout << "all " << chosen.size() << (chosen.size() == 1 ? " table is" : " tables are") << " well\n";
        return 0;
    }
    std::vector<std::string> where;
    if (troubled) where.push_back(std::to_string(troubled) + (troubled == 1 ? " table" : " tables"));
    if (!leftovers.empty())
        where.push_back(std::to_string(leftovers.size()) + (leftovers.size() == 1 ? " leftover file" : " leftover files"));
    std::cout << problems << (problems == 1 ? " problem" : " problems") << " in " << where.front()
              << (where.size() > 1 ? " and " + where.back() : std::string()) << "\n";
    return 1;
}

}  // namespace Tool
