// The changes the writing commands make to a set, each inside the catalog's
// open change: the commands read their words, open the catalog, make one
// change here, commit and print; the Python package makes several in its
// set's one change and commits at the end of its `with` block.
//
// Each change reads and checks everything it can before its first write, so
// that a refusal (UsageError, InputError, and the read errors of files that
// are missing or may not be written) leaves the set as it was and the caller
// may go on with the change. A failure after the first write (a write that
// fails, damage found part way) is thrown as HalfWritten with the failure's
// own message: the change then holds part of the operation, and only
// rolling it back whole leaves nothing half done. The tool never commits
// after a failure anyway; the Python set rolls back and closes.
//
// Appends from Python check first rather than undo: every value is read and
// checked into the records' bytes in memory, and only then is the first
// record written. Holding the appended part of the file costs no more than
// the data given, and it keeps the table untouched by a bad row, wherever
// it is, without a second pass over the data.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"
#include "tools/commands.h"

namespace Tool {

class HalfWritten : public std::runtime_error {
public:
    explicit HalfWritten(const std::string& message) : std::runtime_error(message) {}
};

// UsageError unless `name` may name a new table (create's words).
void requireTableName(const std::string& name);
// Defines an empty table; InputError when the name is taken or a
// reference names a table that is not in the set.
TableEntry createTable(Catalog& catalog, const std::string& name, const Orvex::TFields& fields, bool binary);

// load: replaces the table's records (or adds to them with `append`) from
// `in`, CSV or the text form, each value checked: the records there before
// (0 when replaced) and those added. Writes as it reads, so a bad line
// leaves part of the load in the change.
struct Loaded {
    unsigned long before, added;
};
Loaded loadRecords(Catalog& catalog, const Orvex::TTable& table, bool append, bool csv, std::istream& in);

// The values of rows to append, as the text `load` would read.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual unsigned long rows() const = 0;
    // The text of field `field` in row `row` (from 0).
    virtual void text(unsigned field, unsigned long row, std::string& out) = 0;
};
// Appends the rows with load's checks, all or nothing (see above); a bad
// value is InputError "row 3, field qty: 900 is outside the declared range
// 1..500". A reference to the table itself may designate an appended row.
void appendRows(Catalog& catalog, const Orvex::TTable& table, RowSource& rows);

// Sorts the table on its key, references to it following their records;
// the record count.
unsigned long sortTable(Catalog& catalog, const Orvex::TTable& table);

// What stripping did to one table; `contents` names its contents file.
struct Stripped {
    std::string table, contents;
    unsigned long records;
    unsigned bitsBefore, bitsAfter;
    unsigned long long bytesBefore;
};
// Strips the named tables (every table when none is named).
std::vector<Stripped> stripTables(Catalog& catalog, Words chosen);

// The records a delete or an update acts on, ascending, and whether the
// table is known sorted afterwards.
struct Selection {
    std::vector<unsigned long> positions;
    bool sorted = false;
};
typedef std::function<Selection(const Orvex::TOpenTable&)> Chooser;
// The records of the keys from `key` to `lastKey`, as find finds them
// (tools/key_search.h): by halving in a sorted table, by reading them all
// with `scan`.
Selection keyRange(Catalog& catalog, const Orvex::TTable& table, const Orvex::TOpenTable& open, const std::string& key,
                   const std::string& lastKey, bool scan);

// Removes the chosen records and renumbers the references to those after
// them; refuses (InputError "nothing deleted: ...") while a reference
// designates one. The records removed and left.
struct Removal {
    unsigned long removed, left;
};
Removal deleteRecords(Catalog& catalog, const Orvex::TTable& table, const Chooser& choose);

// Sets fields of the chosen records from FIELD=VALUE words, each value read
// and checked once before any record is written; the records updated.
unsigned long updateRecords(Catalog& catalog, const Orvex::TTable& table, const Words& assignments,
                            const Chooser& choose);

}  // namespace Tool
