// orvex find: one key or a range of keys, in the text form, CSV or JSON
// Lines or a table, on sorted tables by halving and on any table with --scan.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "Core/Orvex/__table.h"
#include "host/directory_file_set.h"
#include "tests/tool_process.h"

using namespace TestSupport;

namespace {

class FindTest : public ToolSession {};

TEST_F(FindTest, ARangeOrAKeyInEveryFormAndItsMisuses) {
    makeShop();
    ok({"sort", dir, "orders"});
    const std::string head = "id,customer,qty,price\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--from", "1002", "--to", "1003"}, "orders, key id from 1002 to 1003 (4 records): 2 records:\n"
                                             "  1: id=1002 customer=2 qty=250 price=0.75\n  2: id=1003 customer=2 qty=1 price=19.99\n"},
        {{"--from=1003", "--csv"}, head + "1003,2,1,19.99\n1004,1,3,120.00\n"},
        {{"--to", "1001", "--csv"}, head + "1001,0,12,4.50\n"},
        {{"--from", "0", "--to", "99999", "--limit", "1", "--csv"}, head + "1001,0,12,4.50\n"},
        {{"--from", "1000", "--to", "1001", "--limit", "0"}, "orders, key id from 1000 to 1001 (4 records): 1 record:\n  ... and 1 more\n"},
        {{"--from", "1004", "--to", "1001", "--csv"}, head},
        {{"1004", "--json"}, "{\"id\":1004,\"customer\":1,\"qty\":3,\"price\":120.00}\n"},
    };
    for (const auto& [args, expected] : cases) {
        std::vector<std::string> call = {"find", dir, "orders"};
        call.insert(call.end(), args.begin(), args.end());
        EXPECT_EQ(ok(call), expected) << ::testing::PrintToString(args);
    }
    refuses({{{"find", dir, "orders", "1002", "--from", "1"}, "", "find: expects DIR TABLE --from KEY --to KEY2 (no KEY... with a range)", 2},
             {{"find", dir, "orders", "--from", "1", "--limit", "-1"}, "", "find: --limit must be a number from 0 to 9223372036854775807", 2},
             {{"find", dir, "orders", "1002", "--csv", "--json"}, "", "--csv and --json exclude each other", 2},
             {{"find", dir, "orders", "1002", "--table", "--json"}, "", "--table and --json exclude each other", 2},
             {{"find", dir, "orders", "--from", "x"}, "", "key id: not an integer: 'x'"}});
}

// --table aligns by display columns (a wide character two, a combining mark
// none, a byte that is not UTF-8 and a tab shown visibly) and cuts to COLUMNS.
TEST_F(FindTest, TablesAlignByDisplayWidthAndCutToTheColumns) {
    ok({"create", dir, "p", "id:u_int:8 | name:str:20 city:str:6:packed price:fixed:2:16"});
    ok({"load", dir, "p", "--csv"},
       "id,name,city,price\n1,\"M\u00fcller, S\u00f8ren\",OSLO,1.50\n2,\u65e5\u672c\u8a9e,ROMA,120.00\n"
       "3,\"Jose\u0301\ta\xFF" "b\",,-3.25\n");
    const std::vector<std::tuple<std::vector<std::string>, std::string, std::string>> cases = {
        {{"dump", dir, "p", "--table"}, "",
         "id  name           city   price\n 1  M\u00fcller, S\u00f8ren  OSLO    1.50\n 2  \u65e5\u672c\u8a9e         ROMA  120.00\n"
         " 3  Jose\u0301\\ta\uFFFD" "b             -3.25\n"},
        {{"find", dir, "p", "--from", "2", "--table"}, "24",
         "id  name    city   price\n 2  \u65e5\u672c\u8a9e  ROMA  120.00\n 3  Jose\u0301\\\u2026         -3.25\n"},
    };
    for (const auto& [args, columns, expected] : cases)
        EXPECT_EQ(runTool(ORVEX_TOOL, {args, "", {{"COLUMNS", columns}}}, root / "run").out, expected) << columns;
}

TEST_F(FindTest, AnUnsortedTableIsRefusedUnlessScanned) {
    makeShop();  // orders are loaded out of key order
    const std::string unsorted = "table orders is not sorted on its key; run `orvex sort`";
    refuses({{{"find", dir, "orders", "1002"}, "", unsorted}, {{"find", dir, "orders", "--from", "1"}, "", unsorted},
             {{"delete", dir, "orders", "1002"}, "", unsorted}, {{"update", dir, "orders", "1002", "qty=2"}, "", unsorted}});
    EXPECT_EQ(ok({"find", dir, "orders", "1002", "--scan"}),
              "orders, key id = 1002 (4 records, scanned: the table is read record by record)\n"
              "1 record with this key:\n  3: id=1002 customer=2 qty=250 price=0.75\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1002", "--to", "1003", "--scan", "--csv"}),
              "id,customer,qty,price\n1003,2,1,19.99\n1002,2,250,0.75\n");
}

// A list of keys of two fields, whole or a first value, prints in the order
// given both by halving and through the index --scan makes.
TEST_F(FindTest, AListOfKeysInTheOrderGivenSortedOrScanned) {
    ok({"create", dir, "visits", "customer:u_int:16 day:u_int:16 | note:str:12"});
    ok({"load", dir, "visits", "--csv"}, "customer,day,note\n2,5,b\n1,9,a\n2,1,\"x, y\"\n3,1,c\n2,9,d\n");
    const std::string keys = "3,1\n\n2\n7,7\n1,9\r\n";
    EXPECT_EQ(ok({"find", dir, "visits", "--keys", "-", "--csv", "--scan"}, keys),
              "customer,day,note\n3,1,c\n2,5,b\n2,1,\"x, y\"\n2,9,d\n1,9,a\n");
    ok({"sort", dir, "visits"});
    EXPECT_EQ(ok({"find", dir, "visits", "--keys", "-", "--limit", "1"}, keys),
              "visits, 4 keys from standard input (5 records; sorted)\ncustomer = 3, day = 1: 1 record:\n"
              "  4: customer=3 day=1 note=\"c\"\ncustomer = 2: 3 records:\n  1: customer=2 day=1 note=\"x, y\"\n"
              "  ... and 2 more\ncustomer = 7, day = 7: 0 records\ncustomer = 1, day = 9: 1 record:\n"
              "  0: customer=1 day=9 note=\"a\"\n");
    refuses({{{"find", dir, "visits", "--keys", "-"}, "1,2,3\n", "line 1: 3 values; the key is customer, day"},
             {{"find", dir, "visits", "--keys", "-"}, "1,2\nx\n", "line 2: key customer: not an integer: 'x'"},
             {{"find", dir, "visits", "--keys", "-", "--from", "1"}, "", "find: --keys takes no --from or --to", 2}});
}

// A key of several fields, and keys a field can't hold: they still have
// their place among the stored bits (past the largest unsigned value, before
// the negative signed ones, after what a field keeps of more decimals or a
// longer string; a packed '_' and a blank sort after the letters).
TEST_F(FindTest, KeysOfSeveralFieldsAndKeysTheFieldCantHold) {
    const struct {
        const char* table;
        const char* syntax;
        const char* rows;
    } tables[] = {{"visits", "customer:u_int:16 day:u_int:16 | note:str:12", "customer,day,note\n2,5,b\n1,9,a\n2,1,\"x, y\"\n3,1,c\n2,9,d\n"},
                  {"signed", "k:int:8 | v:u_int:8", "k,v\n-3,1\n5,2\n127,3\n-128,4\n"},
                  {"prices", "p:fixed:2:32 | n:u_int:8", "p,n\n1.00,1\n1.01,2\n2.50,3\n"},
                  {"codes", "c:str:3:packed | n:u_int:8", "c,n\nABC,1\nAB_,4\nABD,2\nAB,3\n"}};
    for (const auto& t : tables) {
        ok({"create", dir, t.table, t.syntax});
        ok({"load", dir, t.table, "--csv"}, t.rows);
        ok({"sort", dir, t.table});
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"visits", "--from", "2", "--to", "2"}, "customer,day,note\n2,1,\"x, y\"\n2,5,b\n2,9,d\n"},
        {{"visits", "--from", "2,5", "--to", "3,1"}, "customer,day,note\n2,5,b\n2,9,d\n3,1,c\n"},
        {{"visits", "2", "9"}, "customer,day,note\n2,9,d\n"},
        {{"visits", "--from", "-1", "--to", "1"}, "customer,day,note\n1,9,a\n"},
        {{"signed", "--from", "0", "--to", "1000"}, "k,v\n5,2\n127,3\n"},
        {{"signed", "--from", "-1000"}, "k,v\n-128,4\n-3,1\n"},
        {{"signed", "128"}, "k,v\n"},
        {{"prices", "1.005"}, "p,n\n"},
        {{"prices", "1.010"}, "p,n\n1.01,2\n"},
        {{"prices", "--from", "1.005", "--to", "2.499"}, "p,n\n1.01,2\n"},
        {{"codes", "ABCZ"}, "c,n\n"},
        {{"codes", "ab~"}, "c,n\n"},
        {{"codes", "--from", "ABCZ"}, "c,n\nABD,2\nAB,4\nAB,3\n"},
        {{"codes", "--to", "ABCZ"}, "c,n\nABC,1\n"},
    };
    for (const auto& [args, expected] : cases) {
        std::vector<std::string> call = {"find", dir};
        call.insert(call.end(), args.begin(), args.end());
        call.push_back("--csv");
        EXPECT_EQ(ok(call), expected) << ::testing::PrintToString(args);
    }
    fails({"find", dir, "visits", "--from", "1,2,3"}, "the key '1,2,3' has 3 values; the key is customer, day");
}

// --where compares values, not key bits: negative numbers first, fixed
// values by value, strings byte by byte, packed ones as their text.
TEST_F(FindTest, WhereChoosesByValueOnAnyField) {
    ok({"create", dir, "t", "k:u_int:8 | n:int:8 p:fixed:2:16 s:str:4 c:str:3:packed"});
    ok({"load", dir, "t", "--csv"}, "k,n,p,s,c\n1,-3,1.50,b,AB\n2,5,-0.25,B,AC\n3,-128,0.00,bb,A\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"dump", "--where", "n<0"}, "1 3 "},          {{"dump", "--where", " n >= -3"}, "1 2 "},
        {{"dump", "--where", "p > -0.5", "--where", "p<1"}, "2 3 "}, {{"dump", "--where", "p = 1.5"}, "1 "},
        {{"dump", "--where", "s > B"}, "1 3 "},        {{"dump", "--where", "s < bb"}, "1 2 "},
        {{"dump", "--where", "c > A"}, "1 2 "},        {{"dump", "--where", "c != ab"}, "2 3 "},
        {{"find", "--from", "1", "--to", "2", "--where", "n < 0"}, "1 "},
        {{"find", "3", "--where", "n < 0", "--where", "s = b"}, ""},
    };
    for (const auto& [args, expected] : cases) {
        std::vector<std::string> call = {args[0], dir, "t", "--csv"};
        call.insert(call.end(), args.begin() + 1, args.end());
        std::istringstream rows(ok(call));
        std::string row, keys;
        for (std::getline(rows, row); std::getline(rows, row);) keys += row.substr(0, row.find(',')) + " ";
        EXPECT_EQ(keys, expected) << ::testing::PrintToString(args);
    }
    refuses({{{"dump", dir, "t", "--where", "n < 200"}, "", "field n: 200 does not fit (int of 8 bits holds -128..127)"},
             {{"find", dir, "t", "--where", "x = 1"}, "", "--where: there is no field x", 2},
             {{"delete", dir, "t", "--where", "n => 1"}, "", "--where: expects 'FIELD OP VALUE' (OP one of = != < <= > >=), not 'n => 1'", 2},
             {{"update", dir, "t", "--where", "n", "s=x"}, "", "--where: expects 'FIELD OP VALUE' (OP one of = != < <= > >=), not 'n'", 2}});
}

// The record of sorted tables must vouch for a table after every command that
// keeps it sorted, and never after anything else changed it, even in place
// through the library: a lookup believing a stale line would miss keys.
TEST_F(FindTest, TheRecordOfSortedTablesNeverOutlivesAChange) {
    const auto vouched = [&] {  // the line for t.bin matches the file and is older than the record
        struct stat record, contents;
        if (::stat(file(".orvex-sorted").c_str(), &record) != 0 || ::lstat(file("t.bin").c_str(), &contents) != 0)
            return false;
        const auto ns = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
        const std::string expected = std::to_string(contents.st_dev) + " " + std::to_string(contents.st_ino) + " " +
                                     std::to_string(contents.st_size) + " " + std::to_string(ns(contents.st_mtim)) +
                                     " " + std::to_string(ns(contents.st_ctim)) + " t.bin";
        std::ifstream in(file(".orvex-sorted"));
        for (std::string line; std::getline(in, line);)
            if (line == expected) return ns(contents.st_ctim) < ns(record.st_mtim);
        return false;
    };
    const std::string unsorted = "table t is not sorted on its key; run `orvex sort`";
    ok({"create", dir, "t", "k:u_int:16 | v:u_int:8"});
    ok({"load", dir, "t", "--csv"}, "k,v\n4,4\n2,2\n1,1\n3,3\n");
    EXPECT_FALSE(vouched());
    const std::vector<std::pair<std::vector<std::string>, std::string>> keeping = {
        {{"sort", dir, "t"}, ""}, {{"update", dir, "t", "2", "v=9"}, ""}, {{"delete", dir, "t", "4"}, ""}};
    for (const auto& [args, input] : keeping) {
        ok(args, input);
        EXPECT_TRUE(vouched()) << args[0];
    }
    EXPECT_EQ(ok({"find", dir, "t", "2", "--csv"}), "k,v\n2,9\n");
    {  // another program writes a key in place: same size, new order
        Host::DirectoryFileSet files(dir);
        Orvex::TTable table(files, "t", true);
        Orvex::TOpenTable open(table, false);
        open.update(2, open.at(0));
    }
    EXPECT_FALSE(vouched());
    refuses({{{"find", dir, "t", "1"}, "", unsorted}, {{"delete", dir, "t", "1"}, "", unsorted},
             {{"update", dir, "t", "1", "v=2"}, "", unsorted}});
    ok({"sort", dir, "t"});
    ok({"load", dir, "t", "--csv", "--append"}, "k,v\n0,0\n");
    refuses({{{"find", dir, "t", "1"}, "", unsorted}});
}

}  // namespace
