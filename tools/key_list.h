// Many keys in one command (find --keys, delete --keys, update --csv): a
// list of keys read from a file or standard input, and the records of each
// found in one table with one pass at most.
//
// One key a line. For a table keyed on one field a line is the value as the
// command line takes it (a "\r\n" line end counts as "\n"); for a key of
// several fields it is a CSV row of their values in key order. Blank lines
// are skipped. As on the command line, fewer values than key fields stand
// for every key that starts with them.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "tools/key_search.h"
#include "tools/usage.h"

namespace Tool {

struct ListedKey {
    unsigned long line;               // where the list gives it, from 1
    std::vector<std::string> values;  // as given, one per key field named
    KeyBound from, to;
};

// One key of a list, its bounds worked out; InputError "line N: ..." when
// it has more values than key fields or a value is not of its field's kind.
ListedKey listedKey(const Orvex::TFields& fields, unsigned long line, const std::vector<std::string>& values);

// The keys of the list in `file` ("-": standard input), in the order given.
std::vector<ListedKey> readKeyList(const Orvex::TFields& fields, const std::string& file);

// "id = 1002" or "customer = 3, day = 20".
std::string keyShown(const Orvex::TFields& fields, const ListedKey& key);

// Finds the records of many keys: by halving in a table sorted on its key,
// or with `scan` by halving in an index of every record (read once, held in
// memory), so that a list of keys costs one pass however long it is.
class KeyFinder {
public:
    // `vouched`: the set's record of sorted tables vouches for this one, so
    // its order is not read first.
    KeyFinder(const Orvex::TOpenTable& table, bool scan, bool vouched = false);
    // The positions, ascending, of the records of `key`.
    std::vector<unsigned long> positions(const ListedKey& key) const;

private:
    const Orvex::TOpenTable& m_table;
    bool m_scan;
    std::vector<Orvex::TRecord> m_records;  // with scan: every record, in key order
    std::vector<unsigned long> m_order;     // and where each is in the table
};

// find DIR TABLE --keys FILE.
int findByKeys(const Arguments& args);

}  // namespace Tool
