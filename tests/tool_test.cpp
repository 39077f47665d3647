// The orvex program as a user runs it: spellings, exit codes, messages and
// one happy path per command (create, info, load, dump, sort, find, strip,
// demo, help, version), and the rules every command keeps (one line per
// error, readers change nothing, output that can't be written fails).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "host/directory_file_set.h"
#include "orvex/version.h"
#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace Orvex;
using namespace TestSupport;

namespace {

// `word` as one word of a POSIX shell command.
std::string shellQuoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

const char* const kCustomersCsv = "id,name,city\n1,Ada,OSLO\n2,\"Dubois, Ben\",LYON\n3,\"Say \"\"hi\"\"\nthere\",gent\n4,,\n";
const char* const kOrdersCsv = "id,customer,qty,price\n30,0,5,1.50\n10,1,-3,2.25\n20,2,7,3\n20,0,9,0.01\n40,3,4095,4999.99\n";

class ToolTest : public ToolSession {
protected:
    // Narrower fields than ToolSession's shop: the widths below depend on them.
    void makeSmallShop(bool load = true) {
        ok({"create", dir, "customers", "id:u_long:32", "|", "name:str:20", "city:str:8:packed"});
        ok({"create", dir, "orders",
            "id:u_long:32 | customer:u_long:32@ref=customers qty:int:13@range=-5000..5000 price:fixed:2:20"});
        if (!load) return;
        ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
        ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    }
    // A shell command's exit status, its standard error kept in root/err.
    int shell(const std::string& command) { return std::system((command + " 2>" + shellQuoted((root / "err").string())).c_str()); }
    std::string tool() const { return shellQuoted(ORVEX_TOOL); }
};

// ------------------------------------------------------------ usage, help

TEST_F(ToolTest, BadUsageGivesOneLineAndStatusTwoAndWritesNothing) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, ""},
        {{"frobnicate"}, "unknown command 'frobnicate' (orvex --help lists them)"},
        {{"dump", dir}, ""}, {{"dump", dir, "t", "extra"}, ""}, {{"dump", dir, "t", "--bogus"}, ""},
        {{"demo", "--orders", "many"}, ""}, {{"demo", "--orders"}, ""}, {{"create", dir, "t"}, ""},
        {{"create", dir, "t", "a:int"}, ""}, {{"create", dir, "t", "a:int:33"}, "bad field 'a:int:33': BITS must be a number from 1 to 32"},
        {{"create", dir, "t", "a:float:3"}, ""}, {{"create", dir, "t", "a:str:0"}, ""}, {{"create", dir, "t", "a:fixed:2"}, ""},
        {{"create", dir, "t", "a:int:3@ref=x"}, ""}, {{"create", dir, "t", "a:u_int:3@range=-1..5"}, ""},
        {{"create", dir, "t", "a:int:3@range=5..1"}, ""}, {{"create", dir, "t", "a:int:3", "a:int:4"}, ""},
        {{"create", dir, "t", "a:str:3@range=1..2"}, "bad field 'a:str:3@range=1..2': @range is for numeric fields"},
        {{"create", dir, "t", "a:int:3@colour=red"}, ""}, {{"create", dir, "t", "|", "a:int:3"}, ""},
        {{"create", dir, "t", "a:int:3", "|"}, ""}, {{"create", dir, "temp", "a:int:3"}, ""},
        {{"create", dir, "bad-name", "a:int:3"}, ""},
        {{"sort", dir, "orders", "--wait", "soon"}, "--wait must be a number of seconds from 0 to 86400"},
        {{"demo", dir, "--orders", "18446744073709551617"}, ""},
    };
    for (const auto& [args, message] : cases) {
        const ToolOutcome run = orvex(args);
        const std::string shown = ::testing::PrintToString(args) + "\n" + run.err;
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_TRUE(startsWith(run.err, "orvex: ")) << shown;
        if (!message.empty()) {
            EXPECT_EQ(run.err, "orvex: " + message + "\n");
        }
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown;
        EXPECT_EQ(run.out, "") << shown;
    }
    EXPECT_FALSE(fs::exists(file("t.dsb")) || fs::exists(file("tables.lst")));
}

TEST_F(ToolTest, HelpListsEveryCommandAndOptionAndEachCommandHasAnExample) {
    const std::string program = ok({"--help"});
    for (const char* command : {"demo", "info", "create", "dump", "load", "sort", "find", "delete", "update", "alter",
                                "drop", "export", "import", "strip", "check"}) {
        EXPECT_TRUE(has(program, std::string("\n  ") + command + " ")) << command;
        const std::string help = ok({command, "--help"});
        EXPECT_TRUE(startsWith(help, std::string("Usage: orvex ") + command)) << help;
        EXPECT_TRUE(has(help, std::string("Example")));
        EXPECT_TRUE(has(help, std::string("  orvex ") + command + " ")) << help;
        EXPECT_EQ(ok({"help", command}), help);
    }
    for (const char* option : {"--orders N", "--customers N", "--text", "--csv", "--json", "--append", "--scan",
                               "--limit N", "--from KEY", "--to KEY2", "--default VALUE", "--wait SECONDS", "--no-sync",
                               "tables.lst"})
        EXPECT_TRUE(has(program, option));
    EXPECT_TRUE(has(ok({"create", "--help"}), "@ref=TABLE"));
    EXPECT_TRUE(has(ok({"import", "--help"}), "  orvex import shop-copy < shop.orvex\n"));
}

TEST_F(ToolTest, VersionIsTheHeadersTheLibrarysAndTheToolsForBothSpellings) {
    const std::string dotted = std::to_string(ORVEX_VERSION_MAJOR) + "." + std::to_string(ORVEX_VERSION_MINOR) + "." +
                               std::to_string(ORVEX_VERSION_PATCH);
    EXPECT_EQ(ORVEX_VERSION_STRING, dotted);
    EXPECT_EQ(ORVEX_VERSION_NUMBER, ORVEX_VERSION_MAJOR * 1000000 + ORVEX_VERSION_MINOR * 1000 + ORVEX_VERSION_PATCH);
    EXPECT_EQ(Orvex::libraryVersion(), dotted);
    EXPECT_EQ(Orvex::libraryVersionNumber(), ORVEX_VERSION_NUMBER);
    for (const char* spelling : {"--version", "version"}) EXPECT_EQ(ok({spelling}), "orvex " + dotted + "\n");
}

// Load and check draw a progress bar on a terminal, and nothing elsewhere.
TEST_F(ToolTest, LoadAndCheckDrawAProgressBarOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs script(1)";
    ok({"create", dir, "orders", "id:u_long:32 | qty:int:16"});
    std::string csv = "id,qty\n";
    for (int i = 0; i < 2000; ++i) csv += std::to_string(i) + ",1\n";
    writeFile(root / "orders.csv", csv);
    const std::pair<std::string, std::string> runs[] = {
        {" load " + shellQuoted(dir) + " orders --csv < " + shellQuoted((root / "orders.csv").string()), "Loading orders ["},
        {" check " + shellQuoted(dir), "Checking orders ["}};
    for (const auto& [command, bar] : runs) {
        const std::string shown = (root / "terminal").string();
        ASSERT_EQ(std::system(("script -qec " + shellQuoted(tool() + command + " > /dev/null") + " /dev/null > " +
                               shellQuoted(shown)).c_str()), 0);
        EXPECT_TRUE(has(readFile(shown), bar));
        EXPECT_TRUE(has(readFile(shown), "100%"));
    }
    EXPECT_EQ(orvex({"check", dir}).err, "");
}

// ------------------------------------------------------------ create, info

TEST_F(ToolTest, CreateWritesTheTableFilesAndTheListAndInfoShowsThem) {
    makeSmallShop(false);
    ok({"create", dir, "notes", "--text", "n:u_int:8", "body:str:40"});
    for (const char* name : {"customers.dsb", "customers.trb", "orders.dsb", "orders.trb", "notes.dst", "notes.trt"})
        EXPECT_TRUE(fs::exists(file(name))) << name;
    EXPECT_EQ(fs::file_size(file("orders.bin")), 4u);  // an empty table
    {  // The list is the table set's own text form: the library reads it back.
        Host::DirectoryFileSet::Options readOnly;
        readOnly.writable = false;
        Host::DirectoryFileSet files(dir, readOnly);
        TTables set(files);
        FileSet::ivfstream list(files, "tables.lst", std::ios_base::in, false, true);
        set.from_stream(list);
        ASSERT_EQ(set.size(), 3u);
        EXPECT_EQ(set.at(0).name() + " " + set.at(1).name() + " " + set.at(2).name(), "customers orders notes");
        EXPECT_TRUE(set.at(1).binDesc() && !set.at(2).binDesc());
        EXPECT_EQ(set.at(2).fields().endOfKey(), 2u);  // no '|': the whole record
    }
    fails({"create", dir, "orders", "a:int:3"}, "table orders already exists in " + dir);
    ok({"create", dir, "widest", "a:int:32@range=-2147483648..2147483647"});
    ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    EXPECT_TRUE(has(ok({"info", dir}), "(from tables.lst)"));
    EXPECT_TRUE(has(ok({"info", dir}), "customers  binary        4          240       3  id"));
    const std::string one = ok({"info", dir, "orders"});
    for (const char* expected :
         {"form:        binary (orders.dsb, orders.trb, orders.bin)", "records:     0", "record size: 97 bits, 13 bytes",
          "key:         id (32 bits)",
          "syntax:      id:u_long:32 | customer:u_long:32@ref=customers qty:int:13@range=-5000..5000 price:fixed:2:20",
          "1  customer  u_long    32      32                    sizeForRef customers",
          "2  qty       int       13      64                    sizeForRange -5000..5000",
          "3  price     fixed     20      77       precision 2"})
        EXPECT_TRUE(has(one, expected));
    EXPECT_TRUE(has(ok({"info", dir, "customers"}), "length 8, packed"));
    fails({"info", dir, "nope"}, "Table nope doesn't exists");
    EXPECT_EQ(orvex({"info", (root / "missing").string()}).status, 1);
    // Without a list, tables are found by their structure files.
    fs::remove(file("tables.lst"));
    writeFile(file("temp.dsb"), "left over");
    const std::string found = ok({"info", dir});
    for (const char* expected : {"(no tables.lst; found by their structure files)", "  customers  binary",
                                 "  notes      text", "  orders     binary"})
        EXPECT_TRUE(has(found, expected));
    EXPECT_FALSE(has(found, "temp"));
    fs::remove_all(dir);
    fs::create_directories(dir);
    EXPECT_TRUE(has(ok({"info", dir}), "  none\n"));
}

// ------------------------------------------------------------- dump, load

TEST_F(ToolTest, CsvAndTextFormsRoundTripByteForByte) {
    makeSmallShop(false);
    EXPECT_EQ(ok({"load", dir, "customers", "--csv"}, kCustomersCsv), "loaded 4 records into customers\n");
    // The packed city comes back upper-cased; the rest as given.
    const std::string expected = "id,name,city\n1,Ada,OSLO\n2,\"Dubois, Ben\",LYON\n3,\"Say \"\"hi\"\"\nthere\",GENT\n4,,\n";
    EXPECT_EQ(ok({"dump", dir, "customers", "--csv"}), expected);
    const std::string before = readFile(file("customers.bin"));
    ok({"load", dir, "customers", "--csv"}, expected);
    EXPECT_EQ(readFile(file("customers.bin")), before);
    EXPECT_EQ(before.size(), 4u + 4 * 30);  // 240 bits a record
    // Lines are counted in the input; CR LF is taken.
    const std::string crlf = "id,name,city\r\n1,Ada,OSLO\r\n\r\n2,\"two\r\nlines\",LYON\r\n3,x,GENT\r\nfour,y,CORK\r\n";
    fails({"load", dir, "customers", "--csv"}, "line 7, field id: not an integer: 'four'", crlf);
    ok({"load", dir, "customers", "--csv"}, crlf.substr(0, crlf.rfind("four")));
    EXPECT_EQ(ok({"dump", dir, "customers", "--csv"}), "id,name,city\n1,Ada,OSLO\n2,\"two\r\nlines\",LYON\n3,x,GENT\n");
    ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    const std::string text = ok({"dump", dir, "orders"});
    {
        Host::DirectoryFileSet files(dir);
        std::ostringstream library;
        TTable orders(files, "orders", true);
        library << TOpenTable(orders, false);
        EXPECT_EQ(text, library.str());
    }
    ok({"load", dir, "orders"}, "\n" + text + "\n");  // blank lines are skipped
    EXPECT_EQ(ok({"dump", dir, "orders", "--csv"}),
              "id,customer,qty,price\n30,0,5,1.50\n10,1,-3,2.25\n20,2,7,3.00\n20,0,9,0.01\n40,3,4095,4999.99\n");
    // A text-form table works as a binary one.
    ok({"create", dir, "notes", "--text", "n:u_int:16 | body:str:40"});
    ok({"load", dir, "notes", "--csv"}, "n,body\n300,\"tab\there\"\n7,plain\n");
    ok({"sort", dir, "notes"});
    ok({"strip", dir, "notes"});
    EXPECT_TRUE(fs::exists(file("notes.dst")) && !fs::exists(file("notes.dsb")));
    EXPECT_TRUE(has(ok({"info", dir, "notes"}), "syntax:      n:u_int:9 | body:str:8\n"));
    EXPECT_EQ(ok({"dump", dir, "notes"}), "7\t\"plain\"\t\n300\t\"tab\\there\"\t\n");
}

TEST_F(ToolTest, BadInputNamesLineAndFieldAndLeavesTheTableAsItWas) {
    makeSmallShop();
    ok({"create", dir, "t", "k:u_int:8 | q:int:16@range=-5..5 s:str:3 p:str:4:packed f:fixed:1:16@range=0..2.5"});
    const std::string orders = "id,customer,qty,price\n", t = "k,q,s,p,f\n";
    const struct {
        const char* table;
        std::string input;
        bool csv;
        std::string message;
    } cases[] = {
        {"orders", orders + "1,0,5,1\n2,0,4096,1\n", true, "line 3, field qty: 4096 does not fit (int of 13 bits holds -4096..4095)"},
        {"orders", orders + "1,0,5,1\n2,0,-4097,1\n", true, "line 3, field qty: -4097 does not fit (int of 13 bits holds -4096..4095)"},
        {"orders", orders + "1,0,5,10485.76\n", true, "line 2, field price: 10485.76 does not fit (fixed of 20 bits holds -5242.88..5242.87)"},
        {"orders", orders + "1,0,5,1.005\n", true, "line 2, field price: 1.005 has more than the field's 2 decimals"},
        {"orders", orders + "-1,0,5,1\n", true, "line 2, field id: -1 does not fit (u_long of 32 bits holds 0..4294967295)"},
        {"orders", orders + "4294967296,0,5,1\n", true, "line 2, field id: 4294967296 does not fit (u_long of 32 bits holds 0..4294967295)"},
        {"orders", orders + "1,0,five,1\n", true, "line 2, field qty: not an integer: 'five'"},
        {"orders", orders + "1,0,+,1\n", true, "line 2, field qty: not an integer: '+'"},
        {"orders", orders + "1,0,5,\n", true, "line 2, field price: not a decimal number: ''"},
        {"orders", orders + "1,0,5\n", true, "line 2: 3 values, the table has 4 fields"},
        {"orders", orders + "1,0,5,1,9\n", true, "line 2: 5 values, the table has 4 fields"},
        {"orders", orders + "1,0,\"5,1\n", true, "line 2: a quoted value is never closed"},
        {"orders", orders + "1,0,5\"x,1\n", true, "line 2: a quote inside an unquoted value"},
        {"orders", orders + "1,0,\"5\"x,1\n", true, "line 2: text after a closing quote"},
        {"orders", "id,qty,customer,price\n", true, "line 1: the header id,qty,customer,price does not match the fields id,customer,qty,price"},
        {"orders", "", true, "line 1: no header line (expected id,customer,qty,price)"},
        {"orders", "1 0 5 1.00\n2 0 5\n", false, "line 2, field price: value missing"},
        {"orders", "1 0 5 1.00 7\n", false, "line 1: more values than the table's 4 fields"},
        {"orders", "1 0 5 \"1.00\n", false, "line 1, field price: malformed value"},
        {"t", t + "2,6,a,a,0\n", true, "line 2, field q: 6 is outside the declared range -5..5"},
        {"t", t + "2,-6,a,a,0\n", true, "line 2, field q: -6 is outside the declared range -5..5"},
        {"t", t + "2,0,abcd,a,0\n", true, "line 2, field s: a string of 4 characters does not fit (str of length 3)"},
        {"t", t + "2,0,a,~,0\n", true, "line 2, field p: '~' cannot be kept in a packed string (space, digits, letters and punctuation up to '_')"},
        {"t", t + "2,0,a,a,2.6\n", true, "line 2, field f: 2.6 is outside the declared range 0..2.5"},
        {"t", t + "256,0,a,a,0\n", true, "line 2, field k: 256 does not fit (u_int of 8 bits holds 0..255)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"load", dir, c.table};
        if (c.csv) args.push_back("--csv");
        fails(args, c.message, c.input);
    }
    ok({"load", dir, "t", "--csv"}, t + "1,-5,abc,a_z,2.5\n2,5,,,0\n");
    EXPECT_EQ(ok({"dump", dir, "t", "--csv"}), "k,q,s,p,f\n1,-5,abc,A_Z,2.5\n2,5,,,0.0\n");
}

// ------------------------------------------------------ sort, find, strip

TEST_F(ToolTest, SortFindAndStripGiveTheirReports) {
    makeSmallShop();
    EXPECT_TRUE(startsWith(ok({"sort", dir, "orders"}), "sorted orders: 5 records on id (0."));
    EXPECT_TRUE(startsWith(ok({"dump", dir, "orders", "--csv"}), "id,customer,qty,price\n10,1,-3,2.25\n20,"));
    const std::string two = ok({"find", dir, "orders", "20"});
    EXPECT_TRUE(has(two, "  find         2\n  lower bound  1\n  upper bound  3\n2 records with this key:\n"));
    EXPECT_TRUE(has(two, ": id=20 customer=2 qty=7 price=3.00\n"));
    EXPECT_TRUE(has(two, ": id=20 customer=0 qty=9 price=0.01\n"));
    EXPECT_TRUE(has(ok({"find", dir, "orders", "40"}), "  find         4\n  lower bound  4\n  upper bound  5\n1 record with "
                                                         "this key:\n  4: id=40 customer=3 qty=4095 price=4999.99\n"));
    EXPECT_TRUE(has(ok({"find", dir, "orders", "25"}),
                    "  find         not found (5 = end)\n  lower bound  3\n  upper bound  3\n0 records with this key\n"));
    EXPECT_EQ(orvex({"find", dir, "orders", "1", "2"}).status, 2);
    fails({"find", dir, "orders", "x"}, "key id: not an integer: 'x'");
    fails({"sort", dir, "nope"}, "Table nope doesn't exists");

    const std::string csv = ok({"dump", dir, "orders", "--csv"});
    const std::string stripped = ok({"strip", dir});
    EXPECT_TRUE(has(stripped, "stripped 2 tables in "));
    // orders: id 6 bits (max 40), customer 3 bits (record numbers of 4
    // customers), qty 14 bits (declared -5000..5000), price 20 bits = 43 bits.
    EXPECT_TRUE(has(stripped, "  orders           5           97          43            69           34\n"));
    EXPECT_EQ(ok({"dump", dir, "orders", "--csv"}), csv);
    EXPECT_TRUE(has(ok({"info", dir, "orders"}),
                    "syntax:      id:u_long:6 | customer:u_long:3@ref=customers qty:int:14@range=-5000..5000 price:fixed:2:20\n"));
    EXPECT_FALSE(fs::exists(file("temp.dsb")) || fs::exists(file("temp.bin")));
    EXPECT_EQ(ok({"check", dir}), "customers: ok, 4 records\norders: ok, 5 records\nall 2 tables are well\n");
    fails({"strip", dir, "nope"}, "Table nope doesn't exists");
}

// ------------------------------------------------------------------ demo

TEST_F(ToolTest, DemoBuildsSortsSearchesAndStripsASmallDatabase) {
    const std::string run = ok({"demo", dir, "--orders", "3000", "--customers", "50"});
    for (const char* expected :
         {"Orvex demo: 50 customers, 3000 orders in ", "  generate and load the records", "  sort orders on id",
          "  look up 5 order ids", "  strip customers and orders", "  total", "bits/record before  after",
          "  id 1: found at 0: id=1 customer=", "  id 3001: not found (lower and upper bound 3000, 3000)",
          "After stripping the same lookups found the same records.",
          // orders: 192 bits before; after: id 12, customer 6, qty 10, price 18, status 48, day 11.
          "  orders        3000                 192    105              72004  42004\n"})
        EXPECT_TRUE(has(run, expected));
    EXPECT_EQ(ok({"check", dir}), "customers: ok, 50 records\norders: ok, 3000 records\nall 2 tables are well\n");
    const ToolOutcome again = orvex({"demo", dir, "--orders", "10"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(has(again.err, "is not empty"));
    // Without a directory it makes one under $TMPDIR.
    const ToolOutcome fresh = runTool(ORVEX_TOOL, {{"demo", "--orders", "100", "--customers", "5"}, "", {{"TMPDIR", root.string()}}}, root / "run");
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    std::vector<fs::path> made;
    for (const auto& entry : fs::directory_iterator(root))
        if (startsWith(entry.path().filename().string(), "orvex-demo-")) made.push_back(entry.path());
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(has(fresh.out, "in " + made[0].string() + "\n"));
    EXPECT_TRUE(fs::exists(made[0] / "orders.bin") && fs::exists(made[0] / "tables.lst"));
}

// ------------------------------------------------------- what every command keeps

TEST_F(ToolTest, AWriterWaitsForTheSetThenNamesIt) {
    makeSmallShop();
    {
        Host::DirectoryFileSet held(dir);  // another writer, as far as the program can tell
        fails({"sort", dir, "orders", "--wait", "0.2"}, "table set " + dir + " is in use by another process");
        fails({"dump", dir, "orders", "--wait=0"}, "table set " + dir + " is in use by another process");
    }
    ok({"sort", dir, "orders", "--wait", "0"});
    ok({"sort", dir, "orders", "--no-sync"});
}

TEST_F(ToolTest, ReadersChangeNothingAndWriteProtectedFilesAreRefused) {
    makeSmallShop();
    ok({"sort", dir, "orders"});
    const auto before = directorySnapshot(dir);
    for (const std::vector<std::string>& reader : std::vector<std::vector<std::string>>{
             {"info", dir}, {"info", dir, "orders"}, {"dump", dir, "orders"}, {"find", dir, "orders", "7"}, {"check", dir}})
        ok(reader);
    EXPECT_EQ(directorySnapshot(dir), before);
    const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(file("orders.bin"), readOnly);
    EXPECT_EQ(orvex({"load", dir, "orders", "--csv"}, kOrdersCsv).status, 1);
    EXPECT_EQ(orvex({"sort", dir, "orders"}).status, 1);
    EXPECT_EQ(fs::status(file("orders.bin")).permissions() & fs::perms::all, readOnly);
    EXPECT_EQ(readFile(file("orders.bin")), before.at("orders.bin"));
}

TEST_F(ToolTest, InputThatIsADirectoryFails) {
    makeSmallShop();
    EXPECT_NE(shell(tool() + " load " + shellQuoted(dir) + " orders <" + shellQuoted(root.string())), 0);
    EXPECT_EQ(readFile(root / "err"), "orvex: standard input is a directory, not a file of records\n");
}
}  // namespace
