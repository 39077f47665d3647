// Commands that change records and structures: load --append, delete,
// update, alter and drop; references (@ref) stay true through all of them
// and through sort.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/tool_process.h"

using namespace TestSupport;

namespace {

class EditCommandsTest : public ToolSession {};

const std::string kHeader = "id,customer,qty,price\n";

TEST_F(EditCommandsTest, AppendDeleteAndUpdateSayHowManyRecords) {
    makeShop();
    EXPECT_EQ(ok({"load", dir, "orders", "--csv", "--append"}, kHeader + "1005,3,2,1.00\n1002,1,5,5\n"),
              "appended 2 records to orders (6 in all)\n");
    ok({"load", dir, "orders", "--append"}, "1000\t0\t1\t1.00\n");  // the text form appends too
    EXPECT_EQ(dump("orders"), kHeader + "1003,2,1,19.99\n1001,0,12,4.50\n1004,1,3,120.00\n1002,2,250,0.75\n"
                                        "1005,3,2,1.00\n1002,1,5,5.00\n1000,0,1,1.00\n");
    ok({"sort", dir, "orders"});
    EXPECT_EQ(ok({"update", dir, "orders", "1002", "qty=7", "price=1.5"}), "updated 2 records of orders\n");
    EXPECT_EQ(ok({"update", dir, "orders", "1003", "customer=3"}), "updated 1 record of orders\n");
    EXPECT_EQ(ok({"update", dir, "orders", "1999", "qty=7"}), "updated 0 records of orders\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "1000"}), "deleted 1 record from orders (6 left)\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "1000"}), "deleted 0 records from orders (6 left)\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "1004", "--to", "1999"}), "deleted 2 records from orders (4 left)\n");
    const std::string left = dump("orders");
    for (const char* row : {"1001,0,12,4.50\n1002,", "1002,2,7,1.50\n", "1002,1,7,1.50\n", "1.50\n1003,3,1,19.99\n"}) EXPECT_TRUE(has(left, row)) << left;
    // The contents file keeps nothing past its records.
    EXPECT_EQ(readFile(file("orders.bin")).size(), 4u + 4 * 14u);
}

// Refusals of the editing commands: one line, status 1 (2 for misuse), the
// set's files as they were.
TEST_F(EditCommandsTest, EditsThatWouldBreakTheTablesAreRefused) {
    makeShop();
    ok({"create", dir, "staff", "id:u_int:16 | boss:u_long:32@ref=staff"});
    ok({"load", dir, "staff", "--csv"}, "id,boss\n1,2\n2,0\n3,0\n");
    ok({"sort", dir, "orders"});
    const std::string o = "orders";
    refuses({
        {{"load", dir, o, "--csv", "--append"}, kHeader + "1006,0,1,1\n1007,0,900,1\n", "line 3, field qty: 900 is outside the declared range 1..500"},
        {{"load", dir, o, "--csv"}, kHeader + "1,3,1,1\n2,4,1,1\n", "line 3, field customer: 4 is not a record of customers (4 records)"},
        {{"load", dir, "staff", "--csv", "--append"}, "id,boss\n4,5\n", "line 2, field boss: 5 is not a record of staff (4 records after the load)"},
        {{"load", dir, "customers", "--csv"}, "id,name,city\n9,Zed,Oslo\n",
         "table customers is referred to by orders.customer and 4 records refer to it; replacing its records would "
         "change what they designate (load --append adds records and moves none)"},
        {{"create", dir, "lost", "id:u_int:16 | to:u_long:32@ref=nowhere"}, "", "field to refers to table nowhere, which does not exist"},
        {{"delete", dir, "customers", "1", "--to", "4"}, "",
         "nothing deleted: record 0 of orders (field customer) refers to record 0 of customers, which would be deleted"},
        {{"delete", dir, "nope", "1"}, "", "Table nope doesn't exists"},
        {{"delete", dir, o}, "", "delete: expects DIR TABLE KEY [--to KEY2]", 2},
        {{"update", dir, o, "1002", "qty=8", "price=1.999"}, "", "field price: 1.999 has more than the field's 2 decimals"},
        {{"update", dir, o, "1002", "customer=4"}, "", "field customer: 4 is not a record of customers (4 records)"},
        {{"update", dir, o, "1002", "id=5"}, "",
         "field id is part of the key of orders; update does not change keys (the records would move): delete the "
         "record and load it again with --append, then sort"},
        {{"update", dir, o, "1002", "colour=red"}, "", "table orders has no field colour"},
        {{"update", dir, o, "1002", "qty"}, "", "update: expects FIELD=VALUE, not 'qty'", 2},
        {{"update", dir, o, "1002", "qty=1", "qty=2"}, "", "update: field qty is given twice", 2},
        {{"update", dir, o, "1002"}, "", "update: expects DIR TABLE KEY FIELD=VALUE...", 2},
        {{"alter", dir, o, "add", "level:int:4", "--default", "8"}, "", "--default: 8 does not fit (int of 4 bits holds -8..7)"},
        {{"alter", dir, o, "add", "grade:int:8@range=1..5"}, "", "--default: 0 is outside the declared range 1..5"},
        {{"alter", dir, o, "add", "qty:str:3"}, "", "table orders already has a field qty"},
        {{"alter", dir, o, "add", "agent:u_long:8@ref=staff", "--default", "3"}, "", "--default: 3 is not a record of staff (3 records)"},
        {{"alter", dir, o, "add", "a:int:4 b:int:4"}, "", "alter add: give one field, without '|'", 2},
        {{"alter", dir, o, "rename", "a"}, "", "alter: expects add or drop, not 'rename'", 2},
        {{"alter", dir, o, "drop", "id"}, "", "field id is part of the key of orders; a key field can't be dropped"},
        {{"alter", dir, o, "drop", "colour"}, "", "table orders has no field colour"},
        {{"drop", dir, "customers"}, "", "table customers is referred to by orders.customer; drop or alter those first"},
        {{"drop", dir}, "", "drop: expects DIR TABLE", 2},
    });
}

// Batches: a later row wins, a record counts once, references are renumbered
// once for all the records removed, and any bad line leaves the set as it was.
TEST_F(EditCommandsTest, BatchesOfKeysAreOneChangeCheckedWhole) {
    makeShop();
    ok({"sort", dir, "orders"});
    EXPECT_EQ(ok({"update", dir, "orders", "--csv"}, "id,price,qty\n1002,1.5,7\n1003,2,8\n1002,3,9\n"),
              "updated 2 records of orders\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "--keys", "-"}, "1004\n1001\n1004\n"), "deleted 2 records from orders (2 left)\n");
    EXPECT_EQ(ok({"delete", dir, "customers", "--keys", "-"}, "4\n2\n"), "deleted 2 records from customers (2 left)\n");
    EXPECT_EQ(dump("orders"), kHeader + "1002,1,9,3.00\n1003,1,8,2.00\n");
    const std::string o = "orders";
    refuses({
        {{"update", dir, o, "--csv"}, "id,qty\n1002,5\n1003,0\n", "line 3, field qty: 0 is outside the declared range 1..500"},
        {{"update", dir, o, "--csv"}, "id,qty\n1002,5\n1009,5\n", "line 3: no record of orders has the key id = 1009; nothing updated"},
        {{"update", dir, o, "--csv"}, "id,qty\n1002\n", "line 2: 1 values, the header has 2"},
        {{"update", dir, o, "--csv"}, "qty,id\n5,1002\n", "line 1: the header begins with the key fields id, then the fields to set"},
        {{"update", dir, o, "--csv"}, "id,id\n1002,1002\n", "line 1: field id is part of the key of orders; update does not change keys"},
        {{"update", dir, o, "--csv", "1002"}, "", "update: expects DIR TABLE --csv, the changes on standard input", 2},
        {{"delete", dir, o, "--keys", "-"}, "1002\n1009\n", "line 2: no record of orders has the key id = 1009; nothing deleted"},
        {{"delete", dir, "customers", "--keys", "-"}, "3\n",
         "nothing deleted: record 0 of orders (field customer) refers to record 1 of customers, which would be deleted"},
        {{"delete", dir, o, "--keys", "-", "--to", "3"}, "", "delete: --keys takes no --to", 2},
    });
}

TEST_F(EditCommandsTest, DeleteAndSortMoveTheReferencesWithTheirRecords) {
    makeShop();  // orders refer to customers 0 (Ada), 1 (Ben) and 2 (Chloé), not 3 (Dan)
    ok({"delete", dir, "orders", "1004", "--scan"});  // Ben's only order
    EXPECT_EQ(ok({"delete", dir, "customers", "2"}), "deleted 1 record from customers (3 left)\n");
    // Chloé and Dan moved up one place, and so did the references to them.
    EXPECT_EQ(dump("orders"), kHeader + "1003,1,1,19.99\n1001,0,12,4.50\n1002,1,250,0.75\n");
    EXPECT_EQ(ok({"load", dir, "customers", "--csv", "--append"}, "id,name,city\n0,Zed,Oslo\n"),
              "appended 1 record to customers (4 in all)\n");
    ok({"load", dir, "orders", "--csv", "--append"}, kHeader + "1005,3,1,1\n");  // Zed's
    EXPECT_TRUE(has(ok({"sort", dir, "customers"}), "sorted customers: 4 records on id"));
    EXPECT_EQ(dump("customers"), "id,name,city\n0,Zed,OSLO\n1,Ada Lovelace,LONDON\n3,Chloé Park,OSLO\n4,Dan,ROME\n");
    EXPECT_EQ(dump("orders"), kHeader + "1003,2,1,19.99\n1001,1,12,4.50\n1002,2,250,0.75\n1005,0,1,1.00\n");
    // A table that refers to itself: boss 1 is record 1 before the sort and record 0 after it.
    ok({"create", dir, "staff", "id:u_int:16 | boss:u_long:32@ref=staff"});
    ok({"load", dir, "staff", "--csv"}, "id,boss\n3,1\n1,1\n2,0\n");
    ok({"sort", dir, "staff"});
    EXPECT_EQ(dump("staff"), "id,boss\n1,0\n2,2\n3,0\n");
    EXPECT_TRUE(has(ok({"check", dir}), "all 3 tables are well"));
}

TEST_F(EditCommandsTest, WhereWithoutAKeyEditsEveryRecordItHoldsFor) {
    makeShop();  // unsorted: --where alone needs no order
    EXPECT_EQ(ok({"update", dir, "orders", "qty=7", "--where", "price < 5"}), "updated 2 records of orders\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "--where", "customer = 1"}), "deleted 1 record from orders (3 left)\n");
    EXPECT_EQ(ok({"delete", dir, "customers", "--where", "city = lyon"}), "deleted 1 record from customers (3 left)\n");
    EXPECT_EQ(dump("orders"), kHeader + "1003,1,1,19.99\n1001,0,7,4.50\n1002,1,7,0.75\n");
}

TEST_F(EditCommandsTest, AlterAddsAndDropsFieldsAndDropRemovesATable) {
    makeShop();
    EXPECT_EQ(ok({"alter", dir, "orders", "add", "note:str:8", "--default", "new"}),
              "added note:str:8 to orders: 4 records hold new\n");
    EXPECT_EQ(ok({"alter", dir, "orders", "add", "rush:u_int:1"}), "added rush:u_int:1 to orders: 4 records hold 0\n");
    EXPECT_TRUE(has(dump("orders"), "id,customer,qty,price,note,rush\n1003,2,1,19.99,new,0\n"));
    EXPECT_EQ(ok({"alter", dir, "orders", "drop", "note"}), "dropped field note from orders (4 records)\n");
    ok({"alter", dir, "orders", "drop", "customer"});  // the reference itself
    EXPECT_EQ(dump("orders"), "id,qty,price,rush\n1003,1,19.99,0\n1001,12,4.50,0\n1004,3,120.00,0\n1002,250,0.75,0\n");
    ok({"create", dir, "notes", "--text", "n:u_int:8 | body:str:8 stars:u_int:3"});
    ok({"alter", dir, "notes", "drop", "body"});
    EXPECT_TRUE(std::filesystem::exists(file("notes.dst")) && !std::filesystem::exists(file("notes.dsb")));
    EXPECT_EQ(ok({"drop", dir, "orders"}), "dropped table orders\n");
    for (const char* name : {"orders.dsb", "orders.trb", "orders.bin"}) EXPECT_FALSE(std::filesystem::exists(file(name))) << name;
    EXPECT_EQ(readFile(file("tables.lst")), "2\t\n\"customers\"\t1\t\n\"notes\"\t0\t\n");
    fails({"drop", dir, "orders"}, "Table orders doesn't exists");
}

}  // namespace
