// orvex alter (add or drop a field) and orvex drop (a table): the table is
// rewritten as one change, values and references kept.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/tool_session.h"

using namespace TestSupport;

namespace {

class AlterTest : public ToolSession {};

TEST_F(AlterTest, AddPutsAFieldAfterTheLastWithItsDefault) {
    makeShop();
    EXPECT_EQ(ok({"alter", dir, "orders", "add", "note:str:8", "--default", "new"}),
              "added note:str:8 to orders: 4 records hold new\n");
    EXPECT_EQ(dump("orders"), "id,customer,qty,price,note\n1003,2,1,19.99,new\n1001,0,12,4.50,new\n"
                              "1004,1,3,120.00,new\n1002,2,250,0.75,new\n");
    EXPECT_EQ(ok({"alter", dir, "orders", "add", "rush:u_int:1"}), "added rush:u_int:1 to orders: 4 records hold 0\n");
    EXPECT_TRUE(has(ok({"info", dir, "orders"}),
                    "syntax:      id:u_long:32 | customer:u_long:32@ref=customers qty:int:16@range=1..500 "
                    "price:fixed:2:32 note:str:8 rush:u_int:1\n"));
    // The new fields load, sort and check like the others.
    ok({"load", dir, "orders", "--csv", "--append"}, "id,customer,qty,price,note,rush\n1000,3,1,1,late,1\n");
    ok({"sort", dir, "orders"});
    EXPECT_TRUE(has(dump("orders"), "id,customer,qty,price,note,rush\n1000,3,1,1.00,late,1\n1001,"));
    EXPECT_TRUE(has(ok({"check", dir}), "all 2 tables are well"));

    fails({"alter", dir, "orders", "add", "level:int:4", "--default", "8"},
          "--default: 8 does not fit (int of 4 bits holds -8..7)");
    fails({"alter", dir, "orders", "add", "grade:int:8@range=1..5"}, "--default: 0 is outside the declared range 1..5");
    fails({"alter", dir, "orders", "add", "note:str:3"}, "table orders already has a field note");
    fails({"alter", dir, "orders", "add", "agent:u_long:8@ref=customers", "--default", "4"},
          "--default: 4 is not a record of customers (4 records)");
    misused({"alter", dir, "orders", "add", "a:int:4 b:int:4"}, "alter add: give one field, without '|'");
    misused({"alter", dir, "orders", "add", "a:int:99"}, "bad field 'a:int:99': BITS must be a number from 1 to 32");
    misused({"alter", dir, "orders", "rename", "a"}, "alter: expects add or drop, not 'rename'");
}

TEST_F(AlterTest, DropRemovesAFieldButNotAKeyField) {
    makeShop();
    ok({"create", dir, "notes", "--text", "n:u_int:8 | body:str:8 stars:u_int:3"});
    ok({"load", dir, "notes", "--csv"}, "n,body,stars\n2,b,5\n1,a,4\n");
    EXPECT_EQ(ok({"alter", dir, "notes", "drop", "body"}), "dropped field body from notes (2 records)\n");
    EXPECT_EQ(dump("notes"), "n,stars\n2,5\n1,4\n");
    // The table keeps its text form.
    EXPECT_TRUE(std::filesystem::exists(root / "shop" / "notes.dst"));
    EXPECT_FALSE(std::filesystem::exists(root / "shop" / "notes.dsb"));
    fails({"alter", dir, "notes", "drop", "n"}, "field n is part of the key of notes; a key field can't be dropped");
    fails({"alter", dir, "notes", "drop", "body"}, "table notes has no field body");
    // Dropping the reference itself leaves the records where they were.
    ok({"alter", dir, "orders", "drop", "customer"});
    EXPECT_EQ(dump("orders"), "id,qty,price\n1003,1,19.99\n1001,12,4.50\n1004,3,120.00\n1002,250,0.75\n");
}

TEST_F(AlterTest, DropTableIsRefusedWhileOthersReferToIt) {
    makeShop();
    fails({"drop", dir, "customers"}, "table customers is referred to by orders.customer; drop or alter those first");
    EXPECT_EQ(ok({"drop", dir, "orders"}), "dropped table orders\n");
    for (const char* file : {"orders.dsb", "orders.trb", "orders.bin"})
        EXPECT_FALSE(std::filesystem::exists(root / "shop" / file)) << file;
    EXPECT_EQ(readFile(root / "shop" / "tables.lst"), "1\t\n\"customers\"\t1\t\n");
    EXPECT_EQ(ok({"drop", dir, "customers"}), "dropped table customers\n");
    fails({"drop", dir, "customers"}, "Table customers doesn't exists");
    misused({"drop", dir}, "drop: expects DIR TABLE");
}

}  // namespace
