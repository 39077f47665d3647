// The orvex command-line tool, driven as a user drives it: run the built
// program with arguments and standard input, then read its standard output,
// standard error and exit status, and look at the files it left (with the
// library itself where the files' content matters).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "host/directory_file_set.h"
#include "tests/tool_runner.h"

namespace fs = std::filesystem;
using namespace Orvex;
using namespace TestSupport;

namespace {

// A set the test reads while the tool may read it too.
Host::DirectoryFileSet::Options readOnly() {
    Host::DirectoryFileSet::Options options;
    options.writable = false;
    return options;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

const char* const kCustomersCsv =
    "id,name,city\n"
    "1,Ada,OSLO\n"
    "2,\"Dubois, Ben\",LYON\n"
    "3,\"Say \"\"hi\"\"\nthere\",gent\n"
    "4,,\n";

const char* const kOrdersCsv =
    "id,customer,qty,price\n"
    "30,0,5,1.50\n"
    "10,1,-3,2.25\n"
    "20,2,7,3\n"
    "20,0,9,0.01\n"
    "40,3,4095,4999.99\n";

class ToolTest : public ::testing::Test {
protected:
    // Runs orvex with `args`, `input` on standard input, `env` prefixed.
    Outcome orvex(const std::vector<std::string>& args, const std::string& input = std::string(),
                  const std::string& env = std::string()) {
        return runOrvex(root, args, input, env);
    }

    // A run that must succeed.
    Outcome ok(const std::vector<std::string>& args, const std::string& input = std::string()) {
        Outcome run = orvex(args, input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        return run;
    }

    // A run that must fail with status 1 and this one line on standard error.
    void fails(const std::vector<std::string>& args, const std::string& message, const std::string& input = "") {
        const Outcome run = orvex(args, input);
        EXPECT_EQ(run.status, 1) << args[0] << " " << message;
        EXPECT_EQ(run.err, "orvex: " + message + "\n");
    }

    fs::path file(const std::string& name) const { return fs::path(dir) / name; }

    void makeShop() {
        ok({"create", dir, "customers", "id:u_long:32", "|", "name:str:20", "city:str:8:packed"});
        ok({"create", dir, "orders",
            "id:u_long:32 | customer:u_long:32@ref=customers qty:int:13@range=-5000..5000 price:fixed:2:20"});
    }

    void loadShop() {
        makeShop();
        ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
        ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    }

    TempDir tmp{"orvex-tool-test"};
    fs::path root = tmp.path();
    std::string dir = (root / "db").string();
};

// ------------------------------------------------------------------ usage

TEST_F(ToolTest, BadUsageGivesOneLineAndStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"dump", dir},
        {"dump", dir, "t", "extra"},
        {"dump", dir, "t", "--bogus"},
        {"demo", "--orders", "many"},
        {"demo", "--orders"},
        {"create", dir, "t"},
        {"create", dir, "t", "a:int"},
        {"create", dir, "t", "a:int:33"},
        {"create", dir, "t", "a:float:3"},
        {"create", dir, "t", "a:str:0"},
        {"create", dir, "t", "a:fixed:2"},
        {"create", dir, "t", "a:int:3@ref=x"},
        {"create", dir, "t", "a:u_int:3@range=-1..5"},
        {"create", dir, "t", "a:int:3@range=5..1"},
        {"create", dir, "t", "a:int:3", "a:int:4"},
        {"create", dir, "t", "|", "a:int:3"},
        {"create", dir, "t", "a:int:3", "|"},
        {"create", dir, "temp", "a:int:3"},
        {"create", dir, "bad-name", "a:int:3"},
    };
    for (const auto& args : cases) {
        const Outcome run = orvex(args);
        const std::string shown = ::testing::PrintToString(args) + "\n" + run.err;
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_TRUE(startsWith(run.err, "orvex: ")) << shown;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown;
        EXPECT_EQ(run.out, "") << shown;
    }
    EXPECT_FALSE(fs::exists(file("t.dsb")));
    EXPECT_FALSE(fs::exists(file("tables.lst")));
}

TEST_F(ToolTest, HelpForTheProgramAndEachCommand) {
    const Outcome program = ok({"--help"});
    for (const char* command : {"demo", "info", "create", "dump", "load", "sort", "find", "strip", "check"}) {
        EXPECT_TRUE(has(program.out, std::string("  ") + command + " "));
        const Outcome help = ok({command, "--help"});
        EXPECT_TRUE(startsWith(help.out, std::string("Usage: orvex ") + command)) << help.out;
        EXPECT_EQ(ok({"help", command}).out, help.out);
    }
    EXPECT_TRUE(has(program.out, "tables.lst"));
    EXPECT_TRUE(has(ok({"create", "--help"}).out, "@ref=TABLE"));
}

// ----------------------------------------------------------------- create

TEST_F(ToolTest, CreateWritesTheTableFilesAndTheList) {
    makeShop();
    ok({"create", dir, "notes", "--text", "n:u_int:8", "body:str:40"});
    for (const char* name : {"customers.dsb", "customers.trb", "customers.bin", "orders.dsb", "orders.trb",
                             "orders.bin", "notes.dst", "notes.trt", "notes.bin"})
        EXPECT_TRUE(fs::exists(file(name))) << name;
    EXPECT_EQ(fs::file_size(file("orders.bin")), 4u);  // an empty table

    {  // The list is the table set's own text form: the library reads it back.
    Host::DirectoryFileSet files(dir, readOnly());
    TTables set(files);
    FileSet::ivfstream list(files, "tables.lst", std::ios_base::in, false, true);
    set.from_stream(list);
    ASSERT_EQ(set.size(), 3u);
    EXPECT_EQ(set.at(0).name() + " " + set.at(1).name() + " " + set.at(2).name(), "customers orders notes");
    EXPECT_TRUE(set.at(1).binDesc());
    EXPECT_FALSE(set.at(2).binDesc());
    const TFields& orders = set.at(1).fields();
    ASSERT_EQ(orders.size(), 4u);
    EXPECT_EQ(orders.endOfKey(), 1u);
    EXPECT_EQ(orders.bitSize(), 32u + 32 + 13 + 20);
    ASSERT_TRUE(orders["customer"].transformer());
    EXPECT_EQ(orders["customer"].transformer()->category(), "sizeForRef");
    EXPECT_EQ(orders["qty"].transformer()->category(), "sizeForRange");
    EXPECT_FALSE(orders["price"].transformer());
    EXPECT_EQ(set.at(2).fields().endOfKey(), 2u);  // no '|': the whole record
    }
    fails({"create", dir, "orders", "a:int:3"}, "table orders already exists in " + dir);
}

// ------------------------------------------------------------------- info

TEST_F(ToolTest, InfoShowsTablesAndFields) {
    makeShop();
    ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    const Outcome all = ok({"info", dir});
    EXPECT_TRUE(has(all.out, "(from tables.lst)"));
    EXPECT_TRUE(has(all.out, "customers  binary        4          240       3  id"));
    const Outcome one = ok({"info", dir, "orders"});
    for (const char* expected :
         {"form:        binary (orders.dsb, orders.trb, orders.bin)", "records:     0",
          "record size: 97 bits, 13 bytes", "key:         id (32 bits)",
          "syntax:      id:u_long:32 | customer:u_long:32@ref=customers qty:int:13@range=-5000..5000 "
          "price:fixed:2:20",
          "1  customer  u_long    32      32                    sizeForRef customers",
          "2  qty       int       13      64                    sizeForRange -5000..5000",
          "3  price     fixed     20      77       precision 2"})
        EXPECT_TRUE(has(one.out, expected));
    EXPECT_TRUE(has(ok({"info", dir, "customers"}).out, "length 8, packed"));
    fails({"info", dir, "nope"}, "Table nope doesn't exists");
    EXPECT_EQ(orvex({"info", (root / "missing").string()}).status, 1);
}

TEST_F(ToolTest, WithoutAListTablesAreFoundByTheirStructureFiles) {
    makeShop();
    ok({"create", dir, "notes", "--text", "n:u_int:8"});
    fs::remove(file("tables.lst"));
    writeFile(file("temp.dsb"), "left over");
    const Outcome run = ok({"info", dir});
    for (const char* expected : {"(no tables.lst; found by their structure files)", "  customers  binary",
                                 "  notes      text", "  orders     binary"})
        EXPECT_TRUE(has(run.out, expected));
    EXPECT_FALSE(has(run.out, "temp"));
}

// -------------------------------------------------------------- dump, load

TEST_F(ToolTest, CsvRoundTripKeepsAwkwardStrings) {
    makeShop();
    EXPECT_EQ(ok({"load", dir, "customers", "--csv"}, kCustomersCsv).out, "loaded 4 records into customers\n");
    // The packed city comes back upper-cased; the rest as given.
    const std::string expected = "id,name,city\n1,Ada,OSLO\n2,\"Dubois, Ben\",LYON\n3,\"Say \"\"hi\"\"\nthere\",GENT\n4,,\n";
    EXPECT_EQ(ok({"dump", dir, "customers", "--csv"}).out, expected);
    // Loading the dump again gives the same contents file, byte for byte.
    const std::string before = readFile(file("customers.bin"));
    ok({"load", dir, "customers", "--csv"}, expected);
    EXPECT_EQ(readFile(file("customers.bin")), before);
    EXPECT_EQ(before.size(), 4u + 4 * 30);  // 240 bits a record
}

TEST_F(ToolTest, CsvLinesAreCountedInTheInputAndCrLfIsAccepted) {
    makeShop();
    // Record 3 spans lines 4 and 5, so the bad id is on line 7.
    const std::string input = "id,name,city\r\n1,Ada,OSLO\r\n\r\n2,\"two\r\nlines\",LYON\r\n3,x,GENT\r\nfour,y,CORK\r\n";
    fails({"load", dir, "customers", "--csv"}, "line 7, field id: not an integer: 'four'", input);
    ok({"load", dir, "customers", "--csv"}, input.substr(0, input.rfind("four")));
    EXPECT_EQ(ok({"dump", dir, "customers", "--csv"}).out, "id,name,city\n1,Ada,OSLO\n2,\"two\r\nlines\",LYON\n3,x,GENT\n");
}

TEST_F(ToolTest, TextFormTablesWorkLikeBinaryOnes) {
    ok({"create", dir, "notes", "--text", "n:u_int:16 | body:str:40"});
    ok({"load", dir, "notes", "--csv"}, "n,body\n300,\"tab\there\"\n7,plain\n");
    ok({"sort", dir, "notes"});
    ok({"strip", dir});
    EXPECT_TRUE(fs::exists(file("notes.dst")));
    EXPECT_FALSE(fs::exists(file("notes.dsb")));
    EXPECT_TRUE(has(ok({"info", dir, "notes"}).out, "syntax:      n:u_int:9 | body:str:8\n"));
    EXPECT_EQ(ok({"dump", dir, "notes", "--csv"}).out, "n,body\n7,plain\n300,tab\there\n");
    EXPECT_EQ(ok({"dump", dir, "notes"}).out, "7\t\"plain\"\t\n300\t\"tab\\there\"\t\n");
}

TEST_F(ToolTest, TextDumpIsTheTablesTextFormAndLoadsBack) {
    loadShop();
    const Outcome text = ok({"dump", dir, "orders"});
    {
        Host::DirectoryFileSet files(dir, readOnly());
        std::ostringstream library;
        TTable orders(files, "orders", true);
        library << TOpenTable(orders, false);
        EXPECT_EQ(text.out, library.str());
    }

    const std::string csv = ok({"dump", dir, "orders", "--csv"}).out;
    ok({"load", dir, "orders"}, "\n" + text.out + "\n");  // blank lines are skipped
    EXPECT_EQ(ok({"dump", dir, "orders", "--csv"}).out, csv);
    EXPECT_EQ(csv, "id,customer,qty,price\n30,0,5,1.50\n10,1,-3,2.25\n20,2,7,3.00\n20,0,9,0.01\n40,3,4095,4999.99\n");
}

TEST_F(ToolTest, BadInputNamesLineAndFieldAndLeavesTheTableAsItWas) {
    loadShop();
    const std::string before = readFile(file("orders.bin"));
    const std::string header = "id,customer,qty,price\n";
    const struct {
        std::string input;
        bool csv;
        std::string message;
    } cases[] = {
        {header + "1,0,5,1\n2,0,4096,1\n", true, "line 3, field qty: 4096 does not fit (int of 13 bits holds -4096..4095)"},
        {header + "1,0,5,1\n2,0,-4097,1\n", true, "line 3, field qty: -4097 does not fit (int of 13 bits holds -4096..4095)"},
        {header + "1,0,5,10485.76\n", true, "line 2, field price: 10485.76 does not fit (fixed of 20 bits holds -5242.88..5242.87)"},
        {header + "1,0,5,1.005\n", true, "line 2, field price: 1.005 has more than the field's 2 decimals"},
        {header + "-1,0,5,1\n", true, "line 2, field id: -1 does not fit (u_long of 32 bits holds 0..4294967295)"},
        {header + "4294967296,0,5,1\n", true, "line 2, field id: 4294967296 does not fit (u_long of 32 bits holds 0..4294967295)"},
        {header + "1,0,five,1\n", true, "line 2, field qty: not an integer: 'five'"},
        {header + "1,0,5,\n", true, "line 2, field price: not a decimal number: ''"},
        {header + "1,0,5\n", true, "line 2: 3 values, the table has 4 fields"},
        {header + "1,0,5,1,9\n", true, "line 2: 5 values, the table has 4 fields"},
        {header + "1,0,\"5,1\n", true, "line 2: a quoted value is never closed"},
        {header + "1,0,5\"x,1\n", true, "line 2: a quote inside an unquoted value"},
        {header + "1,0,\"5\"x,1\n", true, "line 2: text after a closing quote"},
        {"id,qty,customer,price\n", true, "line 1: the header id,qty,customer,price does not match the fields id,customer,qty,price"},
        {"", true, "line 1: no header line (expected id,customer,qty,price)"},
        {"1 0 5 1.00\n2 0 5\n", false, "line 2, field price: value missing"},
        {"1 0 5 1.00 7\n", false, "line 1: more values than the table's 4 fields"},
        {"1 0 5 \"1.00\n", false, "line 1, field price: malformed value"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"load", dir, "orders"};
        if (c.csv) args.push_back("--csv");
        const Outcome run = orvex(args, c.input);
        EXPECT_EQ(run.status, 1) << c.input;
        EXPECT_EQ(run.err, "orvex: " + c.message + "\n") << c.input;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(readFile(file("orders.bin")), before) << c.input;
    }
    EXPECT_FALSE(fs::exists(file(".orders.bin.loading")));
}

TEST_F(ToolTest, LoadChecksStringsAndDeclaredRanges) {
    ok({"create", dir, "t", "k:u_int:8 | q:int:16@range=-5..5 s:str:3 p:str:4:packed f:fixed:1:16@range=0..2.5"});
    ok({"load", dir, "t", "--csv"}, "k,q,s,p,f\n1,-5,abc,a_z,2.5\n");
    const std::pair<const char*, const char*> cases[] = {
        {"2,6,a,a,0", "field q: 6 is outside the declared range -5..5"},
        {"2,0,abcd,a,0", "field s: a string of 4 characters does not fit (str of length 3)"},
        {"2,0,a,~,0", "field p: '~' cannot be kept in a packed string"},
        {"2,0,a,a,2.6", "field f: 2.6 is outside the declared range 0..2.5"},
        {"256,0,a,a,0", "field k: 256 does not fit (u_int of 8 bits holds 0..255)"},
    };
    for (const auto& [values, message] : cases) {
        const Outcome run = orvex({"load", dir, "t", "--csv"}, std::string("k,q,s,p,f\n") + values + "\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(startsWith(run.err, std::string("orvex: line 2, ") + message)) << run.err;
    }
    EXPECT_EQ(ok({"dump", dir, "t", "--csv"}).out, "k,q,s,p,f\n1,-5,abc,A_Z,2.5\n");
}

// ------------------------------------------------------------ sort, find

TEST_F(ToolTest, SortThenFindGivesPositionsAndRecords) {
    loadShop();
    EXPECT_TRUE(startsWith(ok({"sort", dir, "orders"}).out, "sorted orders: 5 records on id (0."));
    EXPECT_TRUE(startsWith(ok({"dump", dir, "orders", "--csv"}).out, "id,customer,qty,price\n10,1,-3,2.25\n20,"));
    const Outcome two = ok({"find", dir, "orders", "20"});
    EXPECT_TRUE(has(two.out, "  lower bound  1\n  upper bound  3\n2 records with this key:\n"));
    EXPECT_TRUE(has(two.out, "  find         2\n"));  // the middle of 0..5
    EXPECT_TRUE(has(two.out, ": id=20 customer=2 qty=7 price=3.00\n"));
    EXPECT_TRUE(has(two.out, ": id=20 customer=0 qty=9 price=0.01\n"));
    EXPECT_TRUE(has(ok({"find", dir, "orders", "40"}).out,
                    "  find         4\n  lower bound  4\n  upper bound  5\n1 record with this key:\n"
                    "  4: id=40 customer=3 qty=4095 price=4999.99\n"));
    EXPECT_TRUE(has(ok({"find", dir, "orders", "25"}).out,
                    "  find         not found (5 = end)\n  lower bound  3\n  upper bound  3\n0 records with this key\n"));
    EXPECT_EQ(orvex({"find", dir, "orders", "1", "2"}).status, 2);
    fails({"find", dir, "orders", "x"}, "key id: not an integer: 'x'");
    fails({"sort", dir, "nope"}, "Table nope doesn't exists");
}

// ------------------------------------------------------------------ strip

TEST_F(ToolTest, StripShrinksFieldsAndKeepsValues) {
    loadShop();
    const std::string csv = ok({"dump", dir, "orders", "--csv"}).out;
    const Outcome run = ok({"strip", dir});
    EXPECT_TRUE(has(run.out, "stripped 2 tables in "));
    // orders: id 6 bits (max 40), customer 3 bits (record numbers of 4
    // customers), qty 14 bits (declared -5000..5000), price 20 bits (raw
    // 499999 and a sign) = 43 bits.
    EXPECT_TRUE(has(run.out, "  orders           5           97          43            69           34\n"));
    EXPECT_EQ(ok({"dump", dir, "orders", "--csv"}).out, csv);

    {
        Host::DirectoryFileSet files(dir, readOnly());
        TTable orders(files, "orders", true);
        EXPECT_EQ(shapeOf(orders.fields()["customer"]), "customer u_long 3");
        EXPECT_EQ(orders.fields()["customer"].transformer()->category(), "sizeForRef");
        EXPECT_EQ(shapeOf(orders.fields()["qty"]), "qty int 14");
    }
    EXPECT_FALSE(fs::exists(file("temp.dsb")));
    EXPECT_FALSE(fs::exists(file("temp.bin")));
    EXPECT_EQ(ok({"check", dir}).out,
              "customers: ok, 4 records\norders: ok, 5 records\n"
              "  note: not sorted on its key (find needs a sorted table: orvex sort)\nall 2 tables are well\n");
    fails({"strip", dir, "nope"}, "Table nope doesn't exists");
}

TEST_F(ToolTest, AnInterruptedStripIsRecoveredWithANote) {
    loadShop();
    const std::string csv = ok({"dump", dir, "orders", "--csv"}).out;
    writeFile(file("temp.jnl"), "\"orders\"\t1\tprepared\tend\n");
    writeFile(file("temp.bin"), "half a table");
    // A reader changes nothing: it can't use the set until a writer recovers it.
    fails({"dump", dir, "orders", "--csv"},
          "temp.jnl in " + dir + " is the journal of a strip that was cut off, which a command that only reads can't act "
          "on; a command that writes (or orvex check) will deal with it (Couldn't remove the temporary files of an "
          "interrupted strip; temp.jnl is left for the next attempt)");
    EXPECT_TRUE(fs::exists(file("temp.jnl")));
    const Outcome run = orvex({"sort", dir, "customers"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "orvex: " + dir + ": recovered from an interrupted strip (temp.jnl)\n");
    EXPECT_EQ(ok({"dump", dir, "orders", "--csv"}).out, csv);
    EXPECT_FALSE(fs::exists(file("temp.jnl")));
    EXPECT_FALSE(fs::exists(file("temp.bin")));
}

// ------------------------------------------------------------------ check

TEST_F(ToolTest, CheckFindsDamagedFilesAndValuesThatDoNotFit) {
    loadShop();
    ok({"check", dir});
    {  // Records written past the tool's checks, straight through the library.
        Host::DirectoryFileSet files(dir);
        TTable orders(files, "orders", true);
        TOpenTable open(orders, false);
        // customers holds 4 records; -5000..5000 is declared for qty.
        open.push_back(recordOf(open.fields(), 50UL, 9UL, 4000));
        open.push_back(recordOf(open.fields(), 60UL, 0UL, -4096));
    }
    Outcome run = orvex({"check", dir});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(has(run.out, "orders: 1 problem\n  record 5, field customer: record number 9 is past the end of the "
                             "referenced table (4 records)\n"));
    EXPECT_FALSE(has(run.out, "record 6"));
    EXPECT_TRUE(has(run.out, "1 problem in 1 table\n"));

    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    fs::resize_file(file("orders.bin"), fs::file_size(file("orders.bin")) - 3);
    run = orvex({"check", dir});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(has(run.out, "customers: ok, 4 records\n"));
    EXPECT_TRUE(has(run.out, "orders: 1 problem\n  orders.bin: 66 bytes, but its 5 records need 69\n"));
    EXPECT_EQ(orvex({"check", dir, "customers"}).status, 0);

    writeFile(file("orders.bin"), le32(7) + std::string(13, '\0'));  // 1 record where 7 are declared
    EXPECT_TRUE(has(orvex({"check", dir, "orders"}).out, "  orders.bin: 17 bytes, but its 7 records need 95\n"));
    fs::remove(file("orders.bin"));
    EXPECT_TRUE(has(orvex({"check", dir, "orders"}).out, "  orders.bin is missing\n"));
    EXPECT_FALSE(fs::exists(file("orders.bin")));  // checking creates nothing

    writeFile(file("customers.dsb"), "garbage");
    run = orvex({"check", dir, "customers"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(has(run.out, "  customers.dsb: damaged (ends before its last field)\n"));
}

TEST_F(ToolTest, DamagedContentsFileIsAnErrorOfEveryCommand) {
    loadShop();
    const std::string bytes = readFile(file("orders.bin")) + '\x01';  // one byte more than whole records
    writeFile(file("orders.bin"), bytes);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"dump", dir, "orders"}, {"dump", dir, "orders", "--csv"}, {"sort", dir, "orders"},
          {"find", dir, "orders", "10"}, {"info", dir, "orders"}})
        fails(args, "orders.bin file content mismatched with description from orders.dsb");
    fails({"strip", dir, "orders"},
          "cannot strip orders: orders.bin: 1 byte past the last of its 5 records (its record count does not cover them)");
    const Outcome list = orvex({"info", dir});
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(has(list.out, "  error in orders: orders.bin file content mismatched"));
    EXPECT_EQ(readFile(file("orders.bin")), bytes);  // nothing was changed by the failures
    writeFile(file("tables.lst"), "3\n\"customers\"\t1\n");
    fails({"info", dir}, "tables.lst: damaged table list");
}

// ------------------------------------------------------------------- demo

TEST_F(ToolTest, DemoBuildsSortsSearchesAndStripsASmallDatabase) {
    const Outcome run = ok({"demo", dir, "--orders", "3000", "--customers", "50"});
    for (const char* expected :
         {"Orvex demo: 50 customers, 3000 orders in ", "  generate and load the records", "  sort orders on id",
          "  look up 5 order ids", "  strip customers and orders", "  total", "bits/record before  after",
          "  id 1: found at 0: id=1 customer=", "  id 3001: not found (lower and upper bound 3000, 3000)",
          "After stripping the same lookups found the same records.",
          // orders: 192 bits before; after: id 12, customer 6, qty 10, price 18, status 48, day 11.
          "  orders        3000                 192    105              72004  42004\n"})
        EXPECT_TRUE(has(run.out, expected));
    EXPECT_EQ(ok({"check", dir}).out, "customers: ok, 50 records\norders: ok, 3000 records\nall 2 tables are well\n");
    Host::DirectoryFileSet files(dir);
    TTable orders(files, "orders", true);
    TOpenTable open(orders, false);
    ASSERT_EQ(open.size(), 3000u);
    for (unsigned long i = 0; i < open.size(); i += 250) EXPECT_EQ(open.at(i)[0].get<unsigned long>(), i + 1);
    const Outcome again = orvex({"demo", dir, "--orders", "10"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(has(again.err, "is not empty"));
}

TEST_F(ToolTest, DemoWithoutDirectoryMakesOneUnderTmpdir) {
    const Outcome run = orvex({"demo", "--orders", "100", "--customers", "5"}, "", "TMPDIR=" + shellQuoted(root.string()));
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<fs::path> made;
    for (const auto& entry : fs::directory_iterator(root))
        if (startsWith(entry.path().filename().string(), "orvex-demo-")) made.push_back(entry.path());
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(has(run.out, "in " + made[0].string() + "\n"));
    EXPECT_TRUE(fs::exists(made[0] / "orders.bin"));
    EXPECT_TRUE(fs::exists(made[0] / "tables.lst"));
}

}  // namespace
