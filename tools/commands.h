// The orvex commands. Each takes its own words (after the command name),
// writes its results to standard output and returns the exit status: 0 when
// all went well, 1 when `check` found problems. Bad usage throws UsageError,
// bad input data InputError, and the library's errors propagate as they are;
// the caller turns them into exit statuses 2 and 1.
#pragma once

#include <string>
#include <vector>

namespace Tool {

typedef std::vector<std::string> Words;

int infoCommand(const Words& words);    // tables of a directory, or one table
int createCommand(const Words& words);  // define a table from the field syntax
int dumpCommand(const Words& words);    // text form or CSV to standard output
int loadCommand(const Words& words);    // text form or CSV from standard input
int sortCommand(const Words& words);    // sort a table on its key, in place
int findCommand(const Words& words);    // one key or a range of keys
int deleteCommand(const Words& words);  // remove the records of a key or range
int updateCommand(const Words& words);  // set fields of the records of a key
int exportCommand(const Words& words);  // the whole set as one text stream
int importCommand(const Words& words);  // a set back from that stream
int alterCommand(const Words& words);   // add or drop a field
int dropCommand(const Words& words);    // remove a table
int stripCommand(const Words& words);   // strip tables to the bits they need
int checkCommand(const Words& words);   // every table opens and every value fits
int demoCommand(const Words& words);    // the worked example

}  // namespace Tool
