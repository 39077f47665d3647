// orvex load --append, delete and update: changing some records of a table,
// all or nothing, with the references to them kept true.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/tool_session.h"

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

TEST_F(EditCommandsTest, TheCommandsWorkOnTheStrippedDemoDatabase) {
    ok({"demo", dir, "--orders", "2000", "--customers", "50"});  // orders 1..2000, sorted and stripped
    const std::string range = ok({"find", dir, "orders", "--from", "100", "--to", "199", "--csv"});
    EXPECT_EQ(std::count(range.begin(), range.end(), '\n'), 101);
    EXPECT_TRUE(has(range, "\n100,"));
    EXPECT_TRUE(has(range, "\n199,"));
    EXPECT_EQ(ok({"update", dir, "orders", "150", "qty=7"}), "updated 1 record of orders\n");
    EXPECT_TRUE(has(ok({"find", dir, "orders", "150", "--json"}), "\"qty\":7,"));
    EXPECT_EQ(ok({"delete", dir, "orders", "1", "--to", "1000"}), "deleted 1000 records from orders (1000 left)\n");
    EXPECT_TRUE(has(ok({"find", dir, "orders", "99999"}), "0 records with this key\n"));
    const Outcome referenced = orvex({"delete", dir, "customers", "1", "--to", "50"});
    EXPECT_EQ(referenced.status, 1);
    EXPECT_TRUE(has(referenced.err, "nothing deleted: record 0 of orders (field customer) refers to record "));
    fails({"load", dir, "orders", "--append"}, "line 1, field customer: 50 is not a record of customers (50 records)",
          "2001\t50\t1\t1.00\t\"NEW\"\t1\n");
    EXPECT_TRUE(has(ok({"check", dir}), "all 2 tables are well"));
}

}  // namespace
