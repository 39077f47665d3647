// The orvex program as a user runs it: spellings, exit codes, messages and
// one happy path per command (create, info, load, dump, sort, find, strip,
// demo, help, version), and the rules every command keeps (one line per
// error, readers change nothing).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/directory_file_set.h"
#include "orvex/version.h"
#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

// `word` as one word of a POSIX shell command.
std::string shellWord(const std::string& word) {
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
};

TEST_F(ToolTest, BadUsageGivesOneLineAndStatusTwoAndWritesNothing) {
    const std::string wait = "--wait must be a number of seconds from 0 to 86400";
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, ""}, {{"frobnicate"}, "unknown command 'frobnicate' (orvex --help lists them)"},
        {{"dump", dir}, ""}, {{"dump", dir, "t", "extra"}, ""}, {{"dump", dir, "t", "--bogus"}, ""},
        {{"demo", "--orders", "many"}, ""}, {{"demo", "--orders"}, ""}, {{"demo", dir, "--orders", "18446744073709551617"}, ""},
        {{"create", dir, "t"}, ""}, {{"create", dir, "t", "a:int:3", "a:int:4"}, ""}, {{"create", dir, "t", "|", "a:int:3"}, ""},
        {{"create", dir, "t", "a:int:3", "|"}, ""}, {{"create", dir, "temp", "a:int:3"}, ""}, {{"create", dir, "bad-name", "a:int:3"}, ""},
        {{"create", dir, "t", "a:int:33"}, "bad field 'a:int:33': BITS must be a number from 1 to 32"},
        {{"create", dir, "t", "a:str:3@range=1..2"}, "bad field 'a:str:3@range=1..2': @range is for numeric fields"},
        {{"sort", dir, "orders", "--wait", "soon"}, wait}, {{"sort", dir, "orders", "--wait=-1"}, wait},
        {{"sort", dir, "orders", "--wait", "1e3"}, wait}, {{"sort", dir, "orders", "--wait", " 1"}, wait}};
    for (const char* field : {"a:int", "a:int:0", "a:float:3", "a:fixed:2", "a:int:3@ref=x", "a:u_int:3@range=-1..5",
                              "a:int:3@range=5..1", "a:int:3@colour=red"})
        cases.push_back({{"create", dir, "t", field}, ""});
    for (const auto& [args, message] : cases) {
        const ToolOutcome run = orvex(args);
        const std::string shown = ::testing::PrintToString(args) + "\n" + run.err;
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_TRUE(startsWith(run.err, "orvex: ")) << shown;
        if (!message.empty()) { EXPECT_EQ(run.err, "orvex: " + message + "\n"); }
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown;
        EXPECT_EQ(run.out, "") << shown;
    }
    EXPECT_FALSE(fs::exists(file("t.dsb")) || fs::exists(file("tables.lst")));
}

TEST_F(ToolTest, HelpListsEveryCommandAndOptionAndVersionNamesTheRelease) {
    const std::string program = ok({"--help"});
    for (const char* command : {"demo", "info", "create", "dump", "load", "sort", "find", "delete", "update", "alter",
                                "drop", "export", "import", "strip", "check"}) {
        EXPECT_TRUE(has(program, std::string("\n  ") + command + " ")) << command;
        const std::string help = ok({command, "--help"});
        EXPECT_TRUE(startsWith(help, std::string("Usage: orvex ") + command)) << help;
        EXPECT_TRUE(has(help, std::string(":\n  orvex ") + command + " ")) << help;
        EXPECT_EQ(ok({"help", command}), help);
        EXPECT_EQ(ok({command, "-h"}), help);
    }
    for (const char* option : {"--orders N", "--customers N", "--text", "--csv", "--json", "--append", "--scan",
                               "--limit N", "--from KEY", "--to KEY2", "--default VALUE", "--wait SECONDS", "--no-sync"})
        EXPECT_TRUE(has(program, option));
    for (const char* spelling : {"--version", "version"})
        EXPECT_EQ(ok({spelling}), std::string("orvex ") + ORVEX_VERSION_STRING + "\n");
}

// Load and check draw a progress bar on a terminal, and nothing elsewhere.
TEST_F(ToolTest, LoadAndCheckDrawAProgressBarOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs script(1)";
    ok({"create", dir, "orders", "id:u_long:32 | qty:int:16"});
    std::string csv = "id,qty\n";
    for (int i = 0; i < 2000; ++i) csv += std::to_string(i) + ",1\n";
    writeFile(root / "orders.csv", csv);
    const std::string shown = (root / "terminal").string();
    for (const auto& [command, bar] : {std::pair<std::string, std::string>{" load " + shellWord(dir) + " orders --csv < " + shellWord((root / "orders.csv").string()), "Loading orders ["},
                                       {" check " + shellWord(dir), "Checking orders ["}}) {
        const std::string line = shellWord(ORVEX_TOOL) + command + " > /dev/null";
        ASSERT_EQ(std::system(("script -qec " + shellWord(line) + " /dev/null > " + shellWord(shown)).c_str()), 0);
        EXPECT_TRUE(has(readFile(shown), bar));
        EXPECT_TRUE(has(readFile(shown), "100%"));
    }
    EXPECT_EQ(orvex({"check", dir}).err, "");
}

TEST_F(ToolTest, CreateWritesTheTableFilesAndTheListAndInfoShowsThem) {
    makeSmallShop(false);
    ok({"create", dir, "notes", "--text", "n:u_int:8", "body:str:40"});
    EXPECT_TRUE(fs::exists(file("notes.dst")) && fs::exists(file("notes.trt")) && fs::exists(file("orders.bin")));
    fails({"create", dir, "orders", "a:int:3"}, "table orders already exists in " + dir);
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
    EXPECT_TRUE(has(ok({"info", dir, "notes"}), "syntax:      n:u_int:8 body:str:40\n"));  // no '|': the whole record
    fails({"info", dir, "nope"}, "Table nope doesn't exists");
    // Without a list, tables are found by their structure files.
    fs::remove(file("tables.lst"));
    writeFile(file("temp.dsb"), "left over");
    const std::string found = ok({"info", dir});
    for (const char* expected : {"(no tables.lst; found by their structure files)", "  customers  binary",
                                 "  notes      text", "  orders     binary"})
        EXPECT_TRUE(has(found, expected));
    EXPECT_FALSE(has(found, "temp"));
}

TEST_F(ToolTest, CsvAndTextFormsRoundTripByteForByte) {
    makeSmallShop(false);
    EXPECT_EQ(ok({"load", dir, "customers", "--csv"}, kCustomersCsv), "loaded 4 records into customers\n");
    // The packed city comes back upper-cased; the rest as given.
    const std::string expected = "id,name,city\n1,Ada,OSLO\n2,\"Dubois, Ben\",LYON\n3,\"Say \"\"hi\"\"\nthere\",GENT\n4,,\n";
    EXPECT_EQ(dump("customers"), expected);
    const std::string before = readFile(file("customers.bin"));
    ok({"load", dir, "customers", "--csv"}, "\xEF\xBB\xBF" + expected);  // a byte order mark is skipped
    EXPECT_EQ(readFile(file("customers.bin")), before);
    // Lines are counted in the input; CR LF and blank lines are taken.
    const std::string crlf = "id,name,city\r\n1,Ada,OSLO\r\n\r\n2,\"two\r\nlines\",LYON\r\n3,x,GENT\r\nfour,y,CORK\r\n";
    fails({"load", dir, "customers", "--csv"}, "line 7, field id: not an integer: 'four'", crlf);
    ok({"load", dir, "customers", "--csv"}, crlf.substr(0, crlf.rfind("four")));
    EXPECT_EQ(dump("customers"), "id,name,city\n1,Ada,OSLO\n2,\"two\r\nlines\",LYON\n3,x,GENT\n");
    ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    const std::string text = ok({"dump", dir, "orders"});
    EXPECT_TRUE(startsWith(text, "30\t0\t5\t1.50\t\n10\t1\t-3\t2.25\t\n"));
    ok({"load", dir, "orders"}, "\n" + text + "\n");  // blank lines are skipped
    EXPECT_EQ(dump("orders"),
              "id,customer,qty,price\n30,0,5,1.50\n10,1,-3,2.25\n20,2,7,3.00\n20,0,9,0.01\n40,3,4095,4999.99\n");
    ok({"create", dir, "one", "v:int:32"});
    ok({"load", dir, "one", "--csv"}, "v\n2147483647\n-2147483648\n\r\n7\n");  // the widest values, one-letter rows
    EXPECT_EQ(dump("one"), "v\n2147483647\n-2147483648\n7\n");
}

TEST_F(ToolTest, BadInputNamesLineAndFieldAndLeavesTheTableAsItWas) {
    makeSmallShop();
    ok({"create", dir, "t", "k:u_int:8 | q:int:16@range=-5..5 s:str:3 p:str:4:packed f:fixed:1:16@range=0..2.5"});
    const std::string orders = "id,customer,qty,price\n", t = "k,q,s,p,f\n";
    const std::vector<std::string> csv = {"load", dir, "orders", "--csv"}, text = {"load", dir, "orders"},
                                   csvT = {"load", dir, "t", "--csv"};
    refuses({
        {csv, orders + "1,0,5,1\n2,0,4096,1\n", "line 3, field qty: 4096 does not fit (int of 13 bits holds -4096..4095)"},
        {csv, orders + "1,0,5,10485.76\n", "line 2, field price: 10485.76 does not fit (fixed of 20 bits holds -5242.88..5242.87)"},
        {csv, orders + "1,0,5,1.005\n", "line 2, field price: 1.005 has more than the field's 2 decimals"},
        {csv, orders + "4294967296,0,5,1\n", "line 2, field id: 4294967296 does not fit (u_long of 32 bits holds 0..4294967295)"},
        {csv, orders + "1,0,+,1\n", "line 2, field qty: not an integer: '+'"},
        {csv, orders + "1,0,5,1x\n", "line 2, field price: not a decimal number: '1x'"},
        {csv, orders + "1,0,5\n", "line 2: 3 values, the table has 4 fields"},
        {csv, orders + "1,0,\"5,1\n", "line 2: a quoted value is never closed"},
        {csv, orders + "1,0,5\"x,1\n", "line 2: a quote inside an unquoted value"},
        {csv, orders + "1,0,\"5\"x,1\n", "line 2: text after a closing quote"},
        {csv, "id,qty,customer,price\n", "line 1: the header id,qty,customer,price does not match the fields id,customer,qty,price"},
        {csv, "", "line 1: no header line (expected id,customer,qty,price)"},
        {text, "1 0 5 1.00\n2 0 5\n", "line 2, field price: value missing"},
        {text, "1 0 5 1.00 7\n", "line 1: more values than the table's 4 fields"},
        {text, "1 0 5 \"1.00\n", "line 1, field price: malformed value"},
        {csvT, t + "2,-6,a,a,0\n", "line 2, field q: -6 is outside the declared range -5..5"},
        {csvT, t + "2,0,\xC3\xA9\xC3\xA9,a,0\n", "line 2, field s: a string of 4 bytes, the field holds 3"},
        {csvT, t + "2,0,a,~,0\n", "line 2, field p: '~' cannot be kept in a packed string (space, digits, letters and punctuation up to '_')"},
        {csvT, t + "2,0,a,a,2.6\n", "line 2, field f: 2.6 is outside the declared range 0..2.5"},
    });
    ok({"load", dir, "t", "--csv"}, t + "1,-5,abc,a_z,2.5\n2,5,,,0\n");
    EXPECT_EQ(dump("t"), "k,q,s,p,f\n1,-5,abc,A_Z,2.5\n2,5,,,0.0\n");
}

TEST_F(ToolTest, AMissingDirectoryIsNamedAndNoCommandMakesItsParents) {
    const std::string missing = (root / "no" / "such").string();
    refuses({{{"dump", dir, "t"}, "", "no such directory: " + dir},
             {{"create", missing + "/shop", "t", "a:int:3"}, "", "no such directory: " + missing},
             {{"import", missing + "/copy"}, "", "no such directory: " + missing}});
    EXPECT_FALSE(fs::exists(root / "no"));
}

TEST_F(ToolTest, SortFindAndStripGiveTheirReports) {
    makeSmallShop();
    EXPECT_TRUE(startsWith(ok({"sort", dir, "orders"}), "sorted orders: 5 records on id (0."));
    EXPECT_TRUE(has(ok({"find", dir, "orders", "40"}), "  find         4\n  lower bound  4\n  upper bound  5\n1 record with "
                                                         "this key:\n  4: id=40 customer=3 qty=4095 price=4999.99\n"));
    EXPECT_TRUE(has(ok({"find", dir, "orders", "25"}),
                    "  find         not found (5 = end)\n  lower bound  3\n  upper bound  3\n0 records with this key\n"));
    fails({"sort", dir, "nope"}, "Table nope doesn't exists");
    const std::string csv = dump("orders");
    const std::string stripped = ok({"strip", dir});
    EXPECT_TRUE(has(stripped, "stripped 2 tables in "));
    // orders: id 6 bits (max 40), customer 3 bits (record numbers of 4
    // customers), qty 14 bits (declared -5000..5000), price 20 bits = 43 bits.
    EXPECT_TRUE(has(stripped, "  orders           5           97          43            69           34\n"));
    EXPECT_EQ(dump("orders"), csv);
    EXPECT_EQ(ok({"check", dir}), "customers: ok, 4 records\norders: ok, 5 records\nall 2 tables are well\n");
}

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
    EXPECT_TRUE(has(orvex({"demo", dir, "--orders", "10"}).err, "is not empty"));
    // Without a directory it makes one under $TMPDIR.
    const ToolOutcome fresh = runTool(ORVEX_TOOL, {{"demo", "--orders", "100", "--customers", "5"}, "", {{"TMPDIR", root.string()}}}, root / "run");
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_TRUE(has(fresh.out, "in " + (root / "orvex-demo-").string()));
}

TEST_F(ToolTest, AWriterWaitsForTheSetAndReadersChangeNothing) {
    makeSmallShop();
    {
        Host::DirectoryFileSet held(dir);  // another writer, as far as the program can tell
        fails({"sort", dir, "orders", "--wait", "0.2"}, "table set " + dir + " is in use by another process");
        fails({"dump", dir, "orders", "--wait=0"}, "table set " + dir + " is in use by another process");
    }
    ok({"sort", dir, "orders", "--wait", "0", "--no-sync"});
    const auto before = directorySnapshot(dir);
    for (const std::vector<std::string>& reader : std::vector<std::vector<std::string>>{
             {"info", dir}, {"info", dir, "orders"}, {"dump", dir, "orders"}, {"find", dir, "orders", "7"}, {"check", dir}})
        ok(reader);
    EXPECT_EQ(directorySnapshot(dir), before);
    const std::string err = (root / "err").string();
    EXPECT_NE(std::system((shellWord(ORVEX_TOOL) + " load " + shellWord(dir) + " orders <" + shellWord(root.string()) + " 2>" + shellWord(err)).c_str()), 0);
    EXPECT_EQ(readFile(err), "orvex: standard input is a directory, not a file of records\n");
}

}  // namespace
