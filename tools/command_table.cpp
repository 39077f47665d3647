#include "tools/command_table.h"

#include "tools/usage.h"

namespace Tool {

namespace {

const char* const programIntro = R"(orvex: look into and maintain Orvex tables from a shell.

Usage: orvex COMMAND ARGUMENTS...

A table set is a directory. A table NAME is kept in it as NAME.bin (the
records) beside NAME.dsb and NAME.trb (structure and transformer arguments,
binary form) or NAME.dst and NAME.trt (text form). The tables of a directory
are listed in its file tables.lst, which create and demo keep; without that
file the tables are the NAME.dsb / NAME.dst files found there.

Commands:
)";

const char* const programClosing = R"(
Every command also takes:
  --wait SECONDS    how long to wait while another process uses the set
                    (default 5); then the command fails
  --no-sync         don't fsync at the end of a change: faster for bulk work,
                    but a power cut may lose or tear the last change

A command that changes a set changes it all or nothing: one that fails or is
cut off leaves the set as it was.

'orvex COMMAND --help' tells more about a command.
Exit status: 0 when all went well; 1 on an error (its message goes to
standard error) or when check finds a problem, and the set is as it was;
2 on bad usage; 3 when the change was made but its report couldn't be
written (a full device, a closed pipe): don't run the command again.
)";

// Where the summaries of the program's list begin. A form that leaves less
// than two spaces before it gets its summary on the lines below.
const std::string::size_type summaryColumn = 40;

void listCommand(const Command& command, std::string& out) {
    std::string line;
    for (const char* usage : command.usages) {
        if (!line.empty()) out += line + "\n";
        line = std::string("  ") + usage;
    }
    if (line.size() + 2 > summaryColumn) {
        out += line + "\n";
        line.clear();
    }
    for (const char* summary : command.summary) {
        line.resize(summaryColumn, ' ');
        out += line + summary + "\n";
        line.clear();
    }
}

}  // namespace

const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = {
        {"demo", {"demo [DIR] [--orders N] [--customers N]"},
         {"build, sort, search and strip a sample", "database, and report on each step"},
         R"(Usage: orvex demo [DIR] [--orders N] [--customers N]

Builds a small database and reports what each step took. Tables:
  customers  id:u_long:32 | name:str:24 city:str:16:packed since:u_int:32
  orders     id:u_long:32 | customer:u_long:32@ref=customers
             qty:int:16@range=1..500 price:fixed:2:32 status:str:10:packed
             day:u_int:32
N orders (default 1000000) for 10000 customers (default) are generated with
their ids shuffled and loaded; orders is sorted on its key; a few ids are
looked up; all tables are stripped; the same ids are looked up again. The
report gives each step's time and, per table, records, bits per record and
contents file bytes before and after stripping. A progress bar shows on long
steps when standard error is a terminal.

DIR must be missing or empty. Without DIR a new directory is made under
$TMPDIR (or /tmp) and kept, so that its tables can be explored afterwards
with the other commands; the report says where it is.

Example:
  orvex demo --orders 100000 --customers 1000
)", demoCommand},
        {"info", {"info DIR [TABLE]"}, {"the tables of DIR, or one in detail"},
         R"(Usage: orvex info DIR [TABLE]

Without TABLE: the tables of DIR (from tables.lst, else from the structure
files found) with their form, record count, bits per record, field count and
key. A table that cannot be read shows its error, and the exit status is 1.

With TABLE: its form and files, record count, record size, key, contents
file size, its fields in create's syntax, and per field the type, bits, bit
offset, whether it is in the key, precision or length and packing, and the
transformer arguments attached ("sizeForRange MIN..MAX", "sizeForRef TABLE").

Example:
  orvex info shop orders
)", infoCommand},
        {"create", {"create DIR TABLE FIELD... [--text]"}, {"define a new, empty table"},
         R"(Usage: orvex create DIR TABLE FIELD... [--text]

Defines a new, empty table in DIR (made if missing; its parent must exist)
and adds it to DIR/tables.lst. The structure and transformer files are
written in binary form (TABLE.dsb, TABLE.trb), or in text form with --text
(TABLE.dst, TABLE.trt); TABLE.bin holds no records yet. "temp" is reserved.

Fields, in record order:
  NAME:int:BITS  NAME:u_int:BITS  NAME:long:BITS  NAME:u_long:BITS
                                 32-bit integers stored in BITS bits (1..32)
  NAME:fixed:PRECISION:BITS      decimal with PRECISION (0..9) decimals
  NAME:str:LENGTH                string of up to LENGTH bytes (1..65535)
  NAME:str:LENGTH:packed         6 bits a character: space, digits, upper-case
                                 letters (lower case is stored upper-cased)
                                 and punctuation up to '_'
Optional transformer arguments, used when the table is stripped:
  ...@range=MIN..MAX or @range=MAX   declared range ("sizeForRange"); for
                                 int, u_int, long, u_long and fixed
  ...@ref=TABLE                  a record number in TABLE ("sizeForRef"),
                                 sized to TABLE's record count; u_long only
A word '|' ends the key (quote it for the shell); without it the key is the
whole record. Keys compare as unsigned bit strings, so negative values sort
after positive ones. Several fields may share one quoted argument.

Example:
  orvex create shop orders 'id:u_long:32 | customer:u_long:32@ref=customers
      qty:int:13@range=-5000..5000 price:fixed:2:20 name:str:12:packed'
)", createCommand},
        {"dump", {"dump DIR TABLE [--csv | --json | --table] [--where 'FIELD OP VALUE']..."},
         {"write the records to standard output"},
         R"(Usage: orvex dump DIR TABLE [--csv | --json | --table]
                  [--where 'FIELD OP VALUE']...

Writes the records of TABLE to standard output, in table order: in the
table's text form (one record a line, values as tokens separated by tabs,
strings in double quotes with backslash escapes), with --csv as CSV with a
header line of the field names (values quoted only when they hold a comma, a
quote, a line break or an outer space), or with --json as JSON Lines: one
object per record, the field names as keys, numbers as JSON numbers
(fixed-point values with their decimals, 19.90), strings as JSON strings
(UTF-8 kept, control characters escaped, a byte that is not UTF-8 as
U+FFFD). The text form and CSV read back with load.

--table prints a table to read: a header line of the field names, then one
line a record in columns two spaces apart, numbers to the right, strings to
the left as text (CSV's values: packed strings without their trailing '_').
Widths count display columns (a combining mark none, a wide East Asian
character two); a byte that is not UTF-8 shows as U+FFFD, a control
character as an escape (\t, \x01). Columns are as wide as their widest
value among the first 1000 records; a longer value after them is cut to
its column with "…". Lines are kept to COLUMNS when it is set, else to the
width of the terminal: the widest columns are cut first, to no fewer than 3
columns. Output to a file or a pipe without COLUMNS is not cut.

--where 'FIELD OP VALUE' (OP one of = != < <= > >=, repeated: all must
hold) keeps only the records whose FIELD compares so with VALUE: numbers as
numbers (negative ones first), strings byte by byte. VALUE is read as load
reads it: one its field can't hold (bits, decimals, range) is refused with
load's message, exit 1, rather than compared.

Examples:
  orvex dump shop orders --json > orders.jsonl
  orvex dump shop customers --table
  orvex dump shop orders --csv --where 'qty >= 10' --where 'price < 5'
)", dumpCommand},
        {"load", {"load DIR TABLE [--csv] [--append]"},
         {"replace (or add to) the records from", "standard input"},
         R"(Usage: orvex load DIR TABLE [--csv] [--append] < INPUT

Replaces the records of TABLE with those read from standard input, or with
--append adds them after the records already there: the table's text form
(as dump writes it; blank lines are skipped), or with --csv CSV whose header
line names the table's fields in order (a CSV row may be at most 1 MiB long;
a UTF-8 byte-order mark before the header is skipped). Every value is
checked against its field: its type, its bits, the decimals of a fixed
field, the characters of a packed string and any declared range. A number
too large for its field is refused, never wrapped. A reference (@ref=T)
must be a record of T: below T's record count (for a table that refers to
itself, its count after the load).

References to TABLE: while records of other tables refer to TABLE, a load
that replaces its records is refused (those references would designate other
records); --append moves no record and is allowed. Appended records may
leave the table unsorted: run orvex sort before find, delete or update.

The first bad value stops the load with "line N, field NAME: reason" and
exit status 1; a failed load leaves the table as it was. A progress bar
shows when standard error is a terminal and standard input a file.

Example:
  orvex load shop orders --csv --append < more-orders.csv
)", loadCommand},
        {"sort", {"sort DIR TABLE"}, {"sort the records on the key, in place"},
         R"(Usage: orvex sort DIR TABLE

Sorts the records of TABLE on its key, in place in its contents file.

References to TABLE (fields with @ref=TABLE, in any table of DIR, TABLE
itself included) follow their records: the sort notes where each record
went and rewrites those fields in the same change, so every reference still
designates the record it did. Such a table is sorted in memory, keeping
records of equal keys in their order.

Example:
  orvex sort shop orders
)", sortCommand},
        {"find", {"find DIR TABLE KEY... [--scan] [--limit N] [--csv | --json | --table]",
                  "find DIR TABLE --from KEY [--to KEY2] [--scan] [--limit N]",
                  "     [--csv | --json | --table]",
                  "find DIR TABLE --where 'FIELD OP VALUE'... [--limit N]",
                  "     [--csv | --json | --table]",
                  "find DIR TABLE --keys FILE [--scan] [--limit N]",
                  "     [--csv | --json | --table]"},
         {"the records of a key, or of keys in a", "range"},
         R"(Usage: orvex find DIR TABLE KEY... [--scan] [--limit N]
                  [--csv | --json | --table]
       orvex find DIR TABLE --from KEY [--to KEY2] [--scan] [--limit N]
                  [--csv | --json | --table]
       orvex find DIR TABLE --where 'FIELD OP VALUE'... [--limit N]
                  [--csv | --json | --table]
       orvex find DIR TABLE --keys FILE [--scan] [--limit N]
                  [--csv | --json | --table]

Searches TABLE, which must be sorted on its key (orvex sort), by halving.
With KEY... (one value per key field, in order), prints the position that an
exact search finds ("not found" when none), the lower bound (first record not
below the key) and the upper bound (first record above it), and the records
from the lower to the upper bound (the first 10 unless --limit says).

With --from KEY and --to KEY2 (either may be left out: from the first key,
to the last), lists every record whose key lies in KEY..KEY2, both included,
in key order: the order sort gives, where keys compare as unsigned bit
strings, so negative values come after positive ones. For a key of several
fields, KEY holds their values separated by commas, as a CSV row ("3,120",
or '"Smith, J",7'); fewer values than key fields stand for every key that
starts with them (--from 3 --to 3 on a key "customer, day" gives every
record of customer 3).

A key that a field can't hold (too large for its bits, more decimals than
its precision, a string too long) is simply not found; as a bound it lies
between the keys around it.

A table that is not sorted is refused: "table T is not sorted on its key;
run `orvex sort`", exit 1 (every key is read once to make sure). --scan
reads every record instead and needs no order. --limit N lists at most N
records; --csv, --json and --table list only the records, as dump writes
them (--table: aligned columns with a header, cut to the terminal's width;
see orvex dump --help).

--where 'FIELD OP VALUE' (OP one of = != < <= > >=, repeated: all must
hold) keeps only the records whose FIELD compares so with VALUE: numbers as
numbers (negative ones first), strings byte by byte. VALUE is read as load
reads it: one its field can't hold (bits, decimals, range) is refused with
load's message, exit 1, rather than compared.
With a key or range it narrows what they find; alone it reads every record
(the table needs no order), with a progress bar on a terminal.

With --keys FILE (- for standard input), finds every key of the list, one
a line: for a key of one field the value as KEY takes it, for several a CSV
row. Prints, for each key in the order given, its records (the first 10
unless --limit says, per key); --csv and --json print only the records, in
that order. With --scan the table is read once, whatever the number of keys.

Examples:
  orvex find shop orders 1002
  orvex find shop orders --from 1000 --to 1999 --limit 20 --json
  orvex find shop customers --from 1 --to 9 --table
  orvex find shop orders --where 'customer = 2' --where 'qty > 100'
  orvex find shop orders --keys wanted.txt --csv
)", findCommand},
        {"delete", {"delete DIR TABLE KEY [--to KEY2] [--scan] [--where 'FIELD OP VALUE']...",
                    "delete DIR TABLE --where 'FIELD OP VALUE'...",
                    "delete DIR TABLE --keys FILE [--scan] [--where 'FIELD OP VALUE']..."},
         {"remove the records of a key, a range", "or a list of keys"},
         R"(Usage: orvex delete DIR TABLE KEY [--to KEY2] [--scan] [--where 'FIELD OP VALUE']...
       orvex delete DIR TABLE --where 'FIELD OP VALUE'...
       orvex delete DIR TABLE --keys FILE [--scan] [--where 'FIELD OP VALUE']...

Removes every record of TABLE whose key is KEY, or with --to lies in
KEY..KEY2 (both included, in key order), and prints how many went. Keys are
given and found as find takes them (see orvex find --help): TABLE must be
sorted on its key, or --scan reads every record; a key that can't be stored
matches nothing. --where (see orvex find --help) removes only the records
of the key or range that it keeps, or alone every record of TABLE that it
keeps, in any order. With --keys FILE (- for standard input), removes the
records of every key of the list, one a line as find --keys reads it, in one
rewrite; a key that finds no record is refused, naming its line.

References to TABLE (fields with @ref=TABLE anywhere in DIR): the records
after those removed move up, and every reference to them is rewritten in the
same change so that it still designates its record. While some reference
designates a record to be removed, nothing is deleted: the message names the
referring record, its table and field.

All or nothing: a delete that fails leaves the set as it was.

Examples:
  orvex delete shop orders 1002
  orvex delete shop orders 1000 --to 1999
  orvex delete shop orders --where 'qty = 0'
  orvex delete shop orders --keys cancelled.txt
)", deleteCommand},
        {"update", {"update DIR TABLE KEY FIELD=VALUE... [--scan] [--where 'FIELD OP VALUE']...",
                    "update DIR TABLE FIELD=VALUE... --where 'FIELD OP VALUE'...",
                    "update DIR TABLE --csv [--scan] < CHANGES"},
         {"set fields of the records of a key, or", "many changes from CSV"},
         R"(Usage: orvex update DIR TABLE KEY FIELD=VALUE... [--scan] [--where 'FIELD OP VALUE']...
       orvex update DIR TABLE FIELD=VALUE... --where 'FIELD OP VALUE'...
       orvex update DIR TABLE --csv [--scan] < CHANGES

Sets the named fields, in every record of TABLE whose key is KEY, to the
values given, and prints how many records changed. Keys are given and found
as find takes them (see orvex find --help): TABLE must be sorted on its key,
or --scan reads every record. Values are checked as load checks them (type,
bits, decimals, packed characters, declared range), and a reference
(@ref=T) must be a record of T. A key field can't be changed this way (the
record would have to move): delete it and load it again with --append.
--where (see orvex find --help) changes only the records of the key that it
keeps, or without KEY every record of TABLE that it keeps, in any order;
with --where, a first word FIELD=VALUE naming a field is a change, not a key.

With --csv, reads the changes from standard input as CSV: a header naming
the key fields in key order and then the fields to set, and one row a
change, applied in order. Every row is checked before any is written; a bad
value, or a key that finds no record, is refused naming its line and field.

All or nothing: a bad value changes no record.

Examples:
  orvex update shop orders 1002 qty=3 price=1.25
  orvex update shop orders price=0.99 --where 'price > 0.9' --where 'price < 1'
  orvex update shop orders --csv < changes.csv
)", updateCommand},
        {"alter", {"alter DIR TABLE add FIELD [--default VALUE]", "alter DIR TABLE drop FIELD"},
         {"add a field after the last one, or", "drop one that is not in the key"},
         R"(Usage: orvex alter DIR TABLE add FIELD [--default VALUE]
       orvex alter DIR TABLE drop FIELD

add: adds FIELD (written as create takes it, e.g. 'note:str:20' or
'vip:u_int:1@range=1') after the last field. Every record gets VALUE, checked
as load checks a value, or without --default 0 (an empty string). The key
stays what it was.

drop: removes FIELD, which may not be in the key, and its values.

Either rewrites TABLE (its structure, transformer and contents files, in its
form) as one change: no record moves, so references to it stay true.

Examples:
  orvex alter shop orders add 'note:str:20' --default none
  orvex alter shop orders drop note
)", alterCommand},
        {"drop", {"drop DIR TABLE"}, {"remove a table"},
         R"(Usage: orvex drop DIR TABLE

Removes TABLE: its files and its line in tables.lst. Refused while a field
of another table refers to it (@ref=TABLE); the message names them.

Example:
  orvex drop shop archive
)", dropCommand},
        {"export", {"export DIR"}, {"the whole set to standard output"},
         R"(Usage: orvex export DIR > FILE

Writes the whole set to standard output as one text stream: a header line,
whether the set has tables.lst, then per table (in list order) its name and
form, the text form of its structure and transformer files (each preceded by
its length in bytes) and its records in the text form, one a line; "end"
closes the stream. orvex import reads it back.

Example:
  orvex export shop > shop.orvex
)", exportCommand},
        {"import", {"import DIR"},
         {"a set from standard input (as export", "writes it) into an empty directory"},
         R"(Usage: orvex import DIR < FILE

Reads a stream that orvex export wrote and makes the set again in DIR,
which must be new or hold no tables. Each table comes back in its own form
(binary or text) with its transformers and records, and tables.lst as the
set had it, so the files are the same, byte for byte, as those exported
(a contents file holds only its records). A stream that is damaged or cut
short is refused with its line number and leaves DIR as it was.

Example:
  orvex import shop-copy < shop.orvex
)", importCommand},
        {"strip", {"strip DIR [TABLE...]"}, {"shrink every field to the bits its", "data need"},
         R"(Usage: orvex strip DIR [TABLE...]

Rewrites the named tables (all tables of DIR when none is named), in the
order of tables.lst, so that each field takes only the bits it needs: a field
with @range gets the width of its declared range, one with @ref the width of
the referenced table's record numbers, and every other field the width of the
values it holds (strings their longest length, fixed fields the fewest
decimals that keep every value exact). Prints records, bits per record and
contents file bytes before and after. Stripping uses the scratch name "temp".
A table whose files break the rules that check applies is not stripped: the
strip stops with the problem before it changes anything.

Example:
  orvex strip shop orders
)", stripCommand},
        {"check", {"check DIR [TABLE...]"}, {"verify that tables open and every value", "fits its field"},
         R"(Usage: orvex check DIR [TABLE...]

Checks the named tables (all tables of DIR when none is named): the structure
and contents files are regular files that exist and open; they hold only what
create and strip write (at least one field, a key no longer than the fields,
names neither empty nor holding NUL, a fixed precision of at most 9, ranges
not reversed and only on numeric fields, references only on u_long fields,
nothing after the last field or entry); the contents file is exactly its
4-byte record count and that many records; and every value of every record
can be stored in its field again, lies in its declared range, and as a record
number (@ref) lies below the referenced table's record count. Files left
over by an interrupted load or strip (NAME.load, temp.*) are problems too.
Lists each problem (the first 10 of a table); notes a table that is not
sorted on its key. Exit status 0 when all is well, 1 otherwise. A progress
bar shows when standard error is a terminal.

Example:
  orvex check shop
)", checkCommand},
        {"version", {"version"}, {"print the version (also --version)"}, nullptr, nullptr},
    };
    return table;
}

const Command* commandNamed(const std::string& name) {
    for (const Command& command : commandTable())
        if (name == command.name) return &command;
    return nullptr;
}

std::string programHelp() {
    std::string help = programIntro;
    for (const Command& command : commandTable()) listCommand(command, help);
    return help + programClosing;
}

std::string commandHelp(const std::string& name) {
    const Command* command = commandNamed(name);
    return command && command->help ? command->help : std::string();
}

}  // namespace Tool
