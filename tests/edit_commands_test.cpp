// Commands that change records and structures: load --append, delete,
// update, alter and drop; references (@ref) stay true through all of them
// and through sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tool_process.h"

using namespace TestSupport;

namespace {


class EditCommandsTest : public ToolSession {};

const char kOrdersHeader[] = "id,customer,qty,price\n";

TEST_F(EditCommandsTest, AppendAddsAfterTheRecordsAllOrNothing) {
    makeShop();
    EXPECT_EQ(ok({"load", dir, "orders", "--csv", "--append"}, std::string(kOrdersHeader) + "1005,3,2,1.00\n1000,1,1,0\n"),
              "appended 2 records to orders (6 in all)\n");
    EXPECT_EQ(dump("orders"), std::string(kOrdersHeader) +
                                  "1003,2,1,19.99\n1001,0,12,4.50\n1004,1,3,120.00\n1002,2,250,0.75\n"
                                  "1005,3,2,1.00\n1000,1,1,0.00\n");
    fails({"load", dir, "orders", "--csv", "--append"},
          "line 3, field qty: 900 is outside the declared range 1..500",
          std::string(kOrdersHeader) + "1006,0,1,1\n1007,0,900,1\n");
    ok({"load", dir, "orders", "--append"}, "1006\t0\t1\t1.00\n");  // the text form appends too
    EXPECT_TRUE(has(dump("orders"), "1000,1,1,0.00\n1006,0,1,1.00\n"));
}

TEST_F(EditCommandsTest, DeleteRemovesAKeyOrARangeAndSaysHowMany) {
    makeShop();
    ok({"load", dir, "orders", "--csv", "--append"}, std::string(kOrdersHeader) + "1002,1,5,5\n");
    ok({"sort", dir, "orders"});
    EXPECT_EQ(ok({"delete", dir, "orders", "1002"}), "deleted 2 records from orders (3 left)\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "1002"}), "deleted 0 records from orders (3 left)\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "1000", "--to", "1003"}), "deleted 2 records from orders (1 left)\n");
    EXPECT_EQ(dump("orders"), std::string(kOrdersHeader) + "1004,1,3,120.00\n");
    EXPECT_EQ(ok({"delete", dir, "orders", "99999999999999"}), "deleted 0 records from orders (1 left)\n");
    // The contents file keeps nothing past its records.
    EXPECT_EQ(readFile(root / "shop" / "orders.bin").size(), 4u + 14u);
    misused({"delete", dir, "orders"}, "delete: expects DIR TABLE KEY [--to KEY2]");
    fails({"delete", dir, "nope", "1"}, "Table nope doesn't exists");
}

TEST_F(EditCommandsTest, DeleteRenumbersReferencesAndRefusesToRemoveAReferencedRecord) {
    makeShop();  // orders refer to customers 0 (Ada), 1 (Ben) and 2 (Chloé), not 3 (Dan)
    ok({"load", dir, "orders", "--csv", "--append"}, std::string(kOrdersHeader) + "1005,3,1,1\n");
    fails({"delete", dir, "customers", "2"},
          "nothing deleted: record 2 of orders (field customer) refers to record 1 of customers, which would be deleted");
    fails({"delete", dir, "customers", "1", "--to", "4"},
          "nothing deleted: record 0 of orders (field customer) refers to record 2 of customers, which would be deleted");
    ok({"delete", dir, "orders", "1004", "--scan"});  // Ben's only order
    EXPECT_EQ(ok({"delete", dir, "customers", "2"}), "deleted 1 record from customers (3 left)\n");
    // Chloé and Dan moved up one place, and so did the references to them.
    EXPECT_EQ(dump("customers"), "id,name,city\n1,Ada Lovelace,LONDON\n3,Chloé Park,OSLO\n4,Dan,ROME\n");
    EXPECT_EQ(dump("orders"), std::string(kOrdersHeader) + "1003,1,1,19.99\n1001,0,12,4.50\n1002,1,250,0.75\n1005,2,1,1.00\n");
    EXPECT_TRUE(has(ok({"check", dir}), "all 2 tables are well"));
}

TEST_F(EditCommandsTest, UpdateSetsFieldsOfEveryRecordOfTheKeyAllOrNothing) {
    makeShop();
    ok({"load", dir, "orders", "--csv", "--append"}, std::string(kOrdersHeader) + "1002,1,5,5\n");
    ok({"sort", dir, "orders"});
    EXPECT_EQ(ok({"update", dir, "orders", "1002", "qty=7", "price=1.5"}), "updated 2 records of orders\n");
    const std::string updated = dump("orders");
    EXPECT_TRUE(has(updated, "1001,0,12,4.50\n1002,"));
    EXPECT_TRUE(has(updated, "1002,2,7,1.50\n"));  // the two records of 1002, in either order
    EXPECT_TRUE(has(updated, "1002,1,7,1.50\n"));
    EXPECT_TRUE(has(updated, "1.50\n1003,2,1,19.99\n1004,1,3,120.00\n"));
    EXPECT_EQ(ok({"update", dir, "orders", "1999", "qty=7"}), "updated 0 records of orders\n");
    EXPECT_EQ(ok({"update", dir, "orders", "1003", "customer=3"}), "updated 1 record of orders\n");

    fails({"update", dir, "orders", "1002", "qty=8", "price=1.999"}, "field price: 1.999 has more than the field's 2 decimals");
    fails({"update", dir, "orders", "1002", "qty=501"}, "field qty: 501 is outside the declared range 1..500");
    fails({"update", dir, "orders", "1002", "customer=4"}, "field customer: 4 is not a record of customers (4 records)");
    fails({"update", dir, "orders", "1002", "id=5"},
          "field id is part of the key of orders; update does not change keys (the records would move): delete the "
          "record and load it again with --append, then sort");
    fails({"update", dir, "orders", "1002", "colour=red"}, "table orders has no field colour");
    misused({"update", dir, "orders", "1002", "qty"}, "update: expects FIELD=VALUE, not 'qty'");
    misused({"update", dir, "orders", "1002", "qty=1", "qty=2"}, "update: field qty is given twice");
    misused({"update", dir, "orders", "1002"}, "update: expects DIR TABLE KEY FIELD=VALUE...");
}




TEST_F(EditCommandsTest, LoadRefusesAReferenceThatIsNotARecordNamingLineAndField) {
    makeShop();
    fails({"load", dir, "orders", "--csv"}, "line 3, field customer: 4 is not a record of customers (4 records)",
          "id,customer,qty,price\n1,3,1,1\n2,4,1,1\n");
    fails({"load", dir, "orders", "--append"}, "line 1, field customer: 9 is not a record of customers (4 records)",
          "7\t9\t1\t1.00\n");
    // A table that refers to itself is checked against its count after the load.
    ok({"create", dir, "staff", "id:u_int:16 | boss:u_long:32@ref=staff"});
    ok({"load", dir, "staff", "--csv"}, "id,boss\n1,2\n2,0\n3,0\n");
    fails({"load", dir, "staff", "--csv", "--append"}, "line 2, field boss: 5 is not a record of staff (4 records after the load)",
          "id,boss\n4,5\n");
    fails({"create", dir, "lost", "id:u_int:16 | to:u_long:32@ref=nowhere"},
          "field to refers to table nowhere, which does not exist");
}

TEST_F(EditCommandsTest, ReplacingTheRecordsOfAReferencedTableIsRefusedAppendingIsNot) {
    makeShop();
    fails({"load", dir, "customers", "--csv"},
          "table customers is referred to by orders.customer and 4 records refer to it; replacing its records would "
          "change what they designate (load --append adds records and moves none)",
          "id,name,city\n9,Zed,Oslo\n");
    EXPECT_EQ(ok({"load", dir, "customers", "--csv", "--append"}, "id,name,city\n9,Zed,Oslo\n"),
              "appended 1 record to customers (5 in all)\n");
    ok({"load", dir, "orders", "--csv"}, "id,customer,qty,price\n");  // no order refers to a customer any more
    EXPECT_EQ(ok({"load", dir, "customers", "--csv"}, "id,name,city\n9,Zed,Oslo\n"), "loaded 1 record into customers\n");
}

// Each order's customer, by name, as the tables say.
std::map<std::string, std::string> customerOfEachOrder(const std::string& orders, const std::string& customers) {
    std::vector<std::string> names;
    std::istringstream c(customers);
    std::string line;
    std::getline(c, line);
    while (std::getline(c, line)) names.push_back(line.substr(line.find(',') + 1));
    std::map<std::string, std::string> result;
    std::istringstream o(orders);
    std::getline(o, line);
    while (std::getline(o, line)) {
        const std::string id = line.substr(0, line.find(','));
        const std::size_t number = std::stoul(line.substr(line.find(',') + 1));
        result[id] = number < names.size() ? names[number] : "?";
    }
    return result;
}

TEST_F(EditCommandsTest, SortingAReferencedTableMovesTheReferencesWithTheirRecords) {
    ok({"create", dir, "customers", "id:u_long:32 | name:str:24"});
    ok({"create", dir, "orders", "id:u_long:32 | customer:u_long:32@ref=customers"});
    ok({"create", dir, "staff", "id:u_int:16 | boss:u_long:32@ref=staff"});
    ok({"load", dir, "customers", "--csv"}, "id,name\n30,Cy\n10,Al\n40,Di\n20,Bo\n10,Al2\n");
    ok({"load", dir, "orders", "--csv"}, "id,customer\n1,0\n2,1\n3,2\n4,3\n5,4\n6,3\n");
    ok({"load", dir, "staff", "--csv"}, "id,boss\n3,1\n1,1\n2,0\n");
    const auto before = customerOfEachOrder(dump("orders"), dump("customers"));
    EXPECT_EQ(before.at("5"), "Al2");

    EXPECT_TRUE(has(ok({"sort", dir, "customers"}), "sorted customers: 5 records on id"));
    // Equal keys keep their order, and every order still names its customer.
    EXPECT_EQ(dump("customers"), "id,name\n10,Al\n10,Al2\n20,Bo\n30,Cy\n40,Di\n");
    EXPECT_EQ(customerOfEachOrder(dump("orders"), dump("customers")), before);
    EXPECT_EQ(dump("orders"), "id,customer\n1,3\n2,0\n3,4\n4,2\n5,1\n6,2\n");

    // A table that refers to itself: boss 1 is record 1 before the sort and
    // record 0 after it.
    ok({"sort", dir, "staff"});
    EXPECT_EQ(dump("staff"), "id,boss\n1,0\n2,2\n3,0\n");
    EXPECT_TRUE(has(ok({"check", dir}), "all 3 tables are well"));
}




TEST_F(EditCommandsTest, AddPutsAFieldAfterTheLastWithItsDefault) {
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
    ok({"create", dir, "solo", "id:u_int:8"});
    ok({"load", dir, "solo", "--csv"}, "id\n7\n");
    fails({"alter", dir, "orders", "add", "agent:u_long:8@ref=solo", "--default", "1"},
          "--default: 1 is not a record of solo (1 record)");
    misused({"alter", dir, "orders", "add", "a:int:4 b:int:4"}, "alter add: give one field, without '|'");
    misused({"alter", dir, "orders", "add", "a:int:99"}, "bad field 'a:int:99': BITS must be a number from 1 to 32");
    misused({"alter", dir, "orders", "rename", "a"}, "alter: expects add or drop, not 'rename'");
}

TEST_F(EditCommandsTest, DropRemovesAFieldButNotAKeyField) {
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

TEST_F(EditCommandsTest, DropTableIsRefusedWhileOthersReferToIt) {
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
