// The orvex command-line tool, driven as a user drives it: run the built
// program with arguments and standard input, then read its standard output,
// standard error and exit status, and look at the files it left (with the
// library itself where the files' content matters).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "host/directory_file_set.h"

#ifndef ORVEX_TOOL
#error "ORVEX_TOOL must name the orvex program"
#endif

namespace fs = std::filesystem;
using namespace Orvex;

namespace {

struct Outcome {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out, err;
};

std::string quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios_base::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios_base::binary | std::ios_base::trunc);
    out << bytes;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

unsigned lineCount(const std::string& text) {
    unsigned n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvex-tool-test-XXXXXX";
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        root = pattern;
        dir = (root / "db").string();
    }
    void TearDown() override { fs::remove_all(root); }

    // Runs orvex with `args`, `input` on standard input, `env` prefixed.
    Outcome orvex(const std::vector<std::string>& args, const std::string& input = std::string(),
              const std::string& env = std::string()) {
        writeFile(root / "stdin", input);
        std::string command = env + " " + quoted(ORVEX_TOOL);
        for (const std::string& a : args) command += " " + quoted(a);
        command += " <" + quoted((root / "stdin").string()) + " >" + quoted((root / "stdout").string()) + " 2>" +
                   quoted((root / "stderr").string());
        Outcome run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = readFile(root / "stdout");
        run.err = readFile(root / "stderr");
        return run;
    }

    // A run that must succeed.
    Outcome ok(const std::vector<std::string>& args, const std::string& input = std::string()) {
        Outcome run = orvex(args, input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        return run;
    }

    fs::path file(const std::string& name) const { return fs::path(dir) / name; }

    void makeShop() {
        ok({"create", dir, "customers", "id:u_long:32", "|", "name:str:20", "city:str:8:packed"});
        ok({"create", dir, "orders",
            "id:u_long:32 | customer:u_long:32@ref=customers qty:int:13@range=-5000..5000 price:fixed:2:20"});
    }

    fs::path root;
    std::string dir;
};

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
        std::string shown;
        for (const auto& a : args) shown += " " + a;
        EXPECT_EQ(run.status, 2) << shown << "\n" << run.err;
        EXPECT_EQ(run.err.compare(0, 7, "orvex: "), 0) << shown << "\n" << run.err;
        EXPECT_EQ(lineCount(run.err), 1u) << shown << "\n" << run.err;
        EXPECT_EQ(run.out, "") << shown;
    }
    EXPECT_FALSE(fs::exists(file("t.dsb")));
    EXPECT_FALSE(fs::exists(file("tables.lst")));
}

TEST_F(ToolTest, HelpForTheProgramAndEachCommand) {
    const Outcome program = ok({"--help"});
    for (const char* command : {"demo", "info", "create", "dump", "load", "sort", "find", "strip", "check"}) {
        EXPECT_NE(program.out.find(std::string("  ") + command + " "), std::string::npos) << command;
        const Outcome help = ok({command, "--help"});
        EXPECT_TRUE(startsWith(help.out, std::string("Usage: orvex ") + command)) << help.out;
        EXPECT_EQ(ok({"help", command}).out, help.out);
    }
    EXPECT_NE(program.out.find("tables.lst"), std::string::npos);
    EXPECT_NE(ok({"create", "--help"}).out.find("@ref=TABLE"), std::string::npos);
}

// ----------------------------------------------------------------- create

TEST_F(ToolTest, CreateWritesTheTableFilesAndTheList) {
    makeShop();
    ok({"create", dir, "notes", "--text", "n:u_int:8", "body:str:40"});
    for (const char* name : {"customers.dsb", "customers.trb", "customers.bin", "orders.dsb", "orders.trb",
                             "orders.bin", "notes.dst", "notes.trt", "notes.bin"})
        EXPECT_TRUE(fs::exists(file(name))) << name;
    EXPECT_EQ(fs::file_size(file("orders.bin")), 4u);  // an empty table

    // The list is the table set's own text form: the library reads it back.
    Host::DirectoryFileSet files(dir);
    TTables set(files);
    FileSet::ivfstream list(files, "tables.lst", std::ios_base::in, false, true);
    set.from_stream(list);
    ASSERT_EQ(set.size(), 3u);
    EXPECT_EQ(set.at(0).name(), "customers");
    EXPECT_EQ(set.at(2).name(), "notes");
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

    const Outcome again = orvex({"create", dir, "orders", "a:int:3"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "orvex: table orders already exists in " + dir + "\n");
}

// ------------------------------------------------------------------- info

TEST_F(ToolTest, InfoShowsTablesAndFields) {
    makeShop();
    ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    const Outcome all = ok({"info", dir});
    EXPECT_NE(all.out.find("(from tables.lst)"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("customers  binary        4          240       3  id"), std::string::npos) << all.out;

    const Outcome one = ok({"info", dir, "orders"});
    for (const char* expected :
         {"form:        binary (orders.dsb, orders.trb, orders.bin)", "records:     0",
          "record size: 97 bits, 13 bytes", "key:         id (32 bits)",
          "syntax:      id:u_long:32 | customer:u_long:32@ref=customers qty:int:13@range=-5000..5000 "
          "price:fixed:2:20",
          "1  customer  u_long    32      32                    sizeForRef customers",
          "2  qty       int       13      64                    sizeForRange -5000..5000",
          "3  price     fixed     20      77       precision 2"})
        EXPECT_NE(one.out.find(expected), std::string::npos) << expected << "\n" << one.out;
    EXPECT_NE(ok({"info", dir, "customers"}).out.find("length 8, packed"), std::string::npos);

    const Outcome unknown = orvex({"info", dir, "nope"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "orvex: Table nope doesn't exists\n");
    EXPECT_EQ(orvex({"info", (root / "missing").string()}).status, 1);
}

TEST_F(ToolTest, WithoutAListTablesAreFoundByTheirStructureFiles) {
    makeShop();
    ok({"create", dir, "notes", "--text", "n:u_int:8"});
    fs::remove(file("tables.lst"));
    writeFile(file("temp.dsb"), "left over");
    const Outcome run = ok({"info", dir});
    EXPECT_NE(run.out.find("(no tables.lst; found by their structure files)"), std::string::npos);
    EXPECT_NE(run.out.find("  customers  binary"), std::string::npos);
    EXPECT_NE(run.out.find("  notes      text"), std::string::npos);
    EXPECT_NE(run.out.find("  orders     binary"), std::string::npos);
    EXPECT_EQ(run.out.find("temp"), std::string::npos);
}

// -------------------------------------------------------------- dump, load

TEST_F(ToolTest, CsvRoundTripKeepsAwkwardStrings) {
    makeShop();
    const Outcome load = ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    EXPECT_EQ(load.out, "loaded 4 records into customers\n");
    // The packed city comes back upper-cased; the rest as given.
    const std::string expected =
        "id,name,city\n"
        "1,Ada,OSLO\n"
        "2,\"Dubois, Ben\",LYON\n"
        "3,\"Say \"\"hi\"\"\nthere\",GENT\n"
        "4,,\n";
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
    const Outcome bad = orvex({"load", dir, "customers", "--csv"}, input);
    EXPECT_EQ(bad.err, "orvex: line 7, field id: not an integer: 'four'\n");
    ok({"load", dir, "customers", "--csv"}, input.substr(0, input.rfind("four")));
    EXPECT_EQ(ok({"dump", dir, "customers", "--csv"}).out,
              "id,name,city\n1,Ada,OSLO\n2,\"two\r\nlines\",LYON\n3,x,GENT\n");
}

TEST_F(ToolTest, TextFormTablesWorkLikeBinaryOnes) {
    ok({"create", dir, "notes", "--text", "n:u_int:16 | body:str:40"});
    ok({"load", dir, "notes", "--csv"}, "n,body\n300,\"tab\there\"\n7,plain\n");
    ok({"sort", dir, "notes"});
    ok({"strip", dir});
    EXPECT_TRUE(fs::exists(file("notes.dst")));
    EXPECT_FALSE(fs::exists(file("notes.dsb")));
    EXPECT_NE(ok({"info", dir, "notes"}).out.find("syntax:      n:u_int:9 | body:str:8\n"), std::string::npos);
    EXPECT_EQ(ok({"dump", dir, "notes", "--csv"}).out, "n,body\n7,plain\n300,tab\there\n");
    EXPECT_EQ(ok({"dump", dir, "notes"}).out, "7\t\"plain\"\t\n300\t\"tab\\there\"\t\n");
}

TEST_F(ToolTest, TextDumpIsTheTablesTextFormAndLoadsBack) {
    makeShop();
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    const Outcome text = ok({"dump", dir, "orders"});

    Host::DirectoryFileSet files(dir);
    TTable orders(files, "orders", true);
    std::ostringstream library;
    {
        TOpenTable open(orders, false);
        library << open;
    }
    EXPECT_EQ(text.out, library.str());

    const std::string csv = ok({"dump", dir, "orders", "--csv"}).out;
    ok({"load", dir, "orders"}, "\n" + text.out + "\n");  // blank lines are skipped
    EXPECT_EQ(ok({"dump", dir, "orders", "--csv"}).out, csv);
    EXPECT_EQ(csv,
              "id,customer,qty,price\n30,0,5,1.50\n10,1,-3,2.25\n20,2,7,3.00\n20,0,9,0.01\n40,3,4095,4999.99\n");
}

TEST_F(ToolTest, BadInputNamesLineAndFieldAndLeavesTheTableAsItWas) {
    makeShop();
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    const std::string before = readFile(file("orders.bin"));
    const std::string header = "id,customer,qty,price\n";
    struct Case {
        std::string input;
        bool csv;
        std::string message;
    };
    const std::vector<Case> cases = {
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
    for (const Case& c : cases) {
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
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2,6,a,a,0", "field q: 6 is outside the declared range -5..5"},
        {"2,0,abcd,a,0", "field s: a string of 4 characters does not fit (str of length 3)"},
        {"2,0,a,~,0", "field p: '~' cannot be kept in a packed string"},
        {"2,0,a,a,2.6", "field f: 2.6 is outside the declared range 0..2.5"},
        {"256,0,a,a,0", "field k: 256 does not fit (u_int of 8 bits holds 0..255)"},
    };
    for (const auto& c : cases) {
        const Outcome run = orvex({"load", dir, "t", "--csv"}, "k,q,s,p,f\n" + c.first + "\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(startsWith(run.err, "orvex: line 2, " + c.second)) << run.err;
    }
    EXPECT_EQ(ok({"dump", dir, "t", "--csv"}).out, "k,q,s,p,f\n1,-5,abc,A_Z,2.5\n");
}

// ------------------------------------------------------------ sort, find

TEST_F(ToolTest, SortThenFindGivesPositionsAndRecords) {
    makeShop();
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    EXPECT_TRUE(startsWith(ok({"sort", dir, "orders"}).out, "sorted orders: 5 records on id (0."));
    EXPECT_TRUE(startsWith(ok({"dump", dir, "orders", "--csv"}).out, "id,customer,qty,price\n10,1,-3,2.25\n20,"));

    const Outcome two = ok({"find", dir, "orders", "20"});
    EXPECT_NE(two.out.find("  lower bound  1\n  upper bound  3\n2 records with this key:\n"), std::string::npos)
        << two.out;
    EXPECT_NE(two.out.find("  find         2\n"), std::string::npos) << two.out;  // the middle of 0..5
    EXPECT_NE(two.out.find(": id=20 customer=2 qty=7 price=3.00\n"), std::string::npos);
    EXPECT_NE(two.out.find(": id=20 customer=0 qty=9 price=0.01\n"), std::string::npos);

    const Outcome last = ok({"find", dir, "orders", "40"});
    EXPECT_NE(last.out.find("  find         4\n  lower bound  4\n  upper bound  5\n1 record with this key:\n"
                            "  4: id=40 customer=3 qty=4095 price=4999.99\n"),
              std::string::npos)
        << last.out;
    const Outcome none = ok({"find", dir, "orders", "25"});
    EXPECT_NE(none.out.find("  find         not found (5 = end)\n  lower bound  3\n  upper bound  3\n"
                            "0 records with this key\n"),
              std::string::npos)
        << none.out;

    EXPECT_EQ(orvex({"find", dir, "orders", "1", "2"}).status, 2);
    const Outcome bad = orvex({"find", dir, "orders", "x"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "orvex: key id: not an integer: 'x'\n");
    EXPECT_EQ(orvex({"sort", dir, "nope"}).err, "orvex: Table nope doesn't exists\n");
}

// ------------------------------------------------------------------ strip

TEST_F(ToolTest, StripShrinksFieldsAndKeepsValues) {
    makeShop();
    ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    const std::string csv = ok({"dump", dir, "orders", "--csv"}).out;
    const Outcome run = ok({"strip", dir});
    EXPECT_NE(run.out.find("stripped 2 tables in "), std::string::npos);
    // orders: id 6 bits (max 40), customer 3 bits (record numbers of 4
    // customers), qty 14 bits (declared -5000..5000), price 20 bits (raw
    // 499999 and a sign) = 43 bits.
    EXPECT_NE(run.out.find("  orders           5           97          43            69           34\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(ok({"dump", dir, "orders", "--csv"}).out, csv);

    Host::DirectoryFileSet files(dir);
    TTable orders(files, "orders", true);
    EXPECT_EQ(static_cast<const TField<unsigned long>&>(orders.fields()["customer"]).bits(), 3u);
    EXPECT_EQ(orders.fields()["customer"].transformer()->category(), "sizeForRef");
    EXPECT_EQ(static_cast<const TField<int>&>(orders.fields()["qty"]).bits(), 14u);
    EXPECT_FALSE(fs::exists(file("temp.dsb")));
    EXPECT_FALSE(fs::exists(file("temp.bin")));
    EXPECT_EQ(ok({"check", dir}).out,
              "customers: ok, 4 records\norders: ok, 5 records\n"
              "  note: not sorted on its key (find needs a sorted table: orvex sort)\nall 2 tables are well\n");

    EXPECT_EQ(orvex({"strip", dir, "nope"}).err, "orvex: Table nope doesn't exists\n");
}

// ------------------------------------------------------------------ check

TEST_F(ToolTest, CheckFindsDamagedFilesAndValuesThatDoNotFit) {
    makeShop();
    ok({"load", dir, "customers", "--csv"}, kCustomersCsv);
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    ok({"check", dir});

    {  // Records written past the tool's checks, straight through the library.
        Host::DirectoryFileSet files(dir);
        TTable orders(files, "orders", true);
        TOpenTable open(orders, false);
        TRecord record(open.fields());
        record[0] = 50UL;
        record[1] = 9UL;  // customers holds 4 records
        record[2] = 4000;  // declared -5000..5000: fine
        open.push_back(record);
        record[1] = 0UL;
        record[2] = -4096;
        record[0] = 60UL;
        open.push_back(record);
    }
    Outcome run = orvex({"check", dir});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("orders: 1 problem\n  record 5, field customer: record number 9 is past the end of the "
                           "referenced table (4 records)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("record 6"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1 problem in 1 table\n"), std::string::npos);

    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    fs::resize_file(file("orders.bin"), fs::file_size(file("orders.bin")) - 3);
    run = orvex({"check", dir});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("customers: ok, 4 records\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("orders: 1 problem\n  orders.bin file content mismatched with description from orders.dsb\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(orvex({"check", dir, "customers"}).status, 0);

    const std::string shortFile = std::string("\x07\x00\x00\x00", 4) + std::string(13, '\0');
    writeFile(file("orders.bin"), shortFile);  // 1 record where 7 are declared
    run = orvex({"check", dir, "orders"});
    EXPECT_NE(run.out.find("  Table shorter than declared in orders.bin\n"), std::string::npos) << run.out;

    fs::remove(file("orders.bin"));
    run = orvex({"check", dir, "orders"});
    EXPECT_NE(run.out.find("  orders.bin is missing\n"), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(file("orders.bin")));  // checking creates nothing

    writeFile(file("customers.dsb"), "garbage");
    run = orvex({"check", dir, "customers"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("  Error reading table structure from file customers.dsb\n"), std::string::npos) << run.out;
}

TEST_F(ToolTest, DamagedContentsFileIsAnErrorOfEveryCommand) {
    makeShop();
    ok({"load", dir, "orders", "--csv"}, kOrdersCsv);
    std::string bytes = readFile(file("orders.bin"));
    bytes.push_back('\x01');  // one byte more than whole records
    writeFile(file("orders.bin"), bytes);
    const std::string message = "orvex: orders.bin file content mismatched with description from orders.dsb\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"dump", dir, "orders"}, {"dump", dir, "orders", "--csv"}, {"sort", dir, "orders"},
          {"find", dir, "orders", "10"}, {"info", dir, "orders"}, {"strip", dir, "orders"}}) {
        const Outcome run = orvex(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_EQ(run.err, message) << args[0];
    }
    const Outcome list = orvex({"info", dir});
    EXPECT_EQ(list.status, 1);
    EXPECT_NE(list.out.find("  error in orders: orders.bin file content mismatched"), std::string::npos) << list.out;
    EXPECT_EQ(readFile(file("orders.bin")), bytes);  // nothing was changed by the failures

    writeFile(file("tables.lst"), "3\n\"customers\"\t1\n");
    const Outcome damagedList = orvex({"info", dir});
    EXPECT_EQ(damagedList.status, 1);
    EXPECT_EQ(damagedList.err, "orvex: tables.lst: damaged table list\n");
}

// ------------------------------------------------------------------- demo

TEST_F(ToolTest, DemoBuildsSortsSearchesAndStripsASmallDatabase) {
    const Outcome run = ok({"demo", dir, "--orders", "3000", "--customers", "50"});
    for (const char* expected :
         {"Orvex demo: 50 customers, 3000 orders in ", "  generate and load the records", "  sort orders on id",
          "  look up 5 order ids", "  strip customers and orders", "  total", "bits/record before  after",
          "  id 1: found at 0: id=1 customer=", "  id 3001: not found (lower and upper bound 3000, 3000)",
          "After stripping the same lookups found the same records."})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
    // orders: 192 bits before; after: id 12, customer 6, qty 10, price 18,
    // status 48, day 11.
    EXPECT_NE(run.out.find("  orders        3000                 192    105              72004  42004\n"),
              std::string::npos)
        << run.out;

    EXPECT_EQ(ok({"check", dir}).out, "customers: ok, 50 records\norders: ok, 3000 records\nall 2 tables are well\n");
    Host::DirectoryFileSet files(dir);
    TTable orders(files, "orders", true);
    TOpenTable open(orders, false);
    ASSERT_EQ(open.size(), 3000u);
    for (unsigned long i = 0; i < open.size(); i += 250) EXPECT_EQ(open.at(i)[0].get<unsigned long>(), i + 1);

    const Outcome again = orvex({"demo", dir, "--orders", "10"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("is not empty"), std::string::npos);
}

TEST_F(ToolTest, DemoWithoutDirectoryMakesOneUnderTmpdir) {
    const Outcome run = orvex({"demo", "--orders", "100", "--customers", "5"}, "", "TMPDIR=" + quoted(root.string()));
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<fs::path> made;
    for (const auto& entry : fs::directory_iterator(root))
        if (entry.path().filename().string().compare(0, 11, "orvex-demo-") == 0) made.push_back(entry.path());
    ASSERT_EQ(made.size(), 1u);
    EXPECT_NE(run.out.find("in " + made[0].string() + "\n"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(made[0] / "orders.bin"));
    EXPECT_TRUE(fs::exists(made[0] / "tables.lst"));
}

}  // namespace
