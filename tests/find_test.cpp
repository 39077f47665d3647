// orvex find: one key or a range of keys, in the text form, CSV or JSON
// Lines, on sorted tables by halving and on any table with --scan.
#include <gtest/gtest.h>

#include "tests/tool_process.h"

using namespace TestSupport;

namespace {

class FindTest : public ToolSession {};

TEST_F(FindTest, ARangeListsTheRecordsBetweenBothKeysIncluded) {
    makeShop();
    ok({"sort", dir, "orders"});
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1002", "--to", "1003"}),
              "orders, key id from 1002 to 1003 (4 records): 2 records:\n"
              "  1: id=1002 customer=2 qty=250 price=0.75\n"
              "  2: id=1003 customer=2 qty=1 price=19.99\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1003", "--csv"}),
              "id,customer,qty,price\n1003,2,1,19.99\n1004,1,3,120.00\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--to", "1001", "--csv"}), "id,customer,qty,price\n1001,0,12,4.50\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "0", "--to", "99999", "--limit", "1", "--csv"}),
              "id,customer,qty,price\n1001,0,12,4.50\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1000", "--to", "1001", "--limit", "0"}),
              "orders, key id from 1000 to 1001 (4 records): 1 record:\n  ... and 1 more\n");
    // Bounds between the keys, and a reversed range.
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1002", "--to", "1002", "--csv"}),
              "id,customer,qty,price\n1002,2,250,0.75\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1004", "--to", "1001", "--csv"}), "id,customer,qty,price\n");
    misused({"find", dir, "orders", "1002", "--from", "1"}, "find: expects DIR TABLE --from KEY --to KEY2 (no KEY... with a range)");
    misused({"find", dir, "orders", "--from", "1", "--limit", "-1"}, "find: --limit must be a number from 0 to 9223372036854775807");
    misused({"find", dir, "orders", "1002", "--csv", "--json"}, "--csv and --json exclude each other");
    fails({"find", dir, "orders", "--from", "x"}, "key id: not an integer: 'x'");
}

TEST_F(FindTest, JsonLinesKeepNumbersDecimalsAndUtf8) {
    makeShop();
    ok({"sort", dir, "orders"});
    EXPECT_EQ(ok({"find", dir, "orders", "1004", "--json"}), "{\"id\":1004,\"customer\":1,\"qty\":3,\"price\":120.00}\n");
    EXPECT_EQ(ok({"dump", dir, "customers", "--json"}),
              "{\"id\":1,\"name\":\"Ada Lovelace\",\"city\":\"LONDON\"}\n"
              "{\"id\":2,\"name\":\"Dubois, Ben\",\"city\":\"LYON\"}\n"
              "{\"id\":3,\"name\":\"Chloé Park\",\"city\":\"OSLO\"}\n"
              "{\"id\":4,\"name\":\"Dan\",\"city\":\"ROME\"}\n");
    ok({"create", dir, "notes", "n:int:8 | body:str:16 amount:fixed:3:32"});
    ok({"load", dir, "notes"}, "-5\t\"say \\\"hi\\\"\\n\\tok\\\\\"\t-0.050\n");
    EXPECT_EQ(ok({"dump", dir, "notes", "--json"}),
              "{\"n\":-5,\"body\":\"say \\\"hi\\\"\\n\\tok\\\\\",\"amount\":-0.050}\n");
}

TEST_F(FindTest, AnUnsortedTableIsRefusedUnlessScanned) {
    makeShop();  // orders are loaded out of key order
    const std::string unsorted = "table orders is not sorted on its key; run `orvex sort`";
    fails({"find", dir, "orders", "1002"}, unsorted);
    fails({"find", dir, "orders", "--from", "1"}, unsorted);
    fails({"delete", dir, "orders", "1002"}, unsorted);
    fails({"update", dir, "orders", "1002", "qty=2"}, unsorted);
    EXPECT_EQ(ok({"find", dir, "orders", "1002", "--scan"}),
              "orders, key id = 1002 (4 records, scanned: the table is read record by record)\n"
              "1 record with this key:\n  3: id=1002 customer=2 qty=250 price=0.75\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1002", "--to", "1003", "--scan", "--csv"}),
              "id,customer,qty,price\n1003,2,1,19.99\n1002,2,250,0.75\n");
    // A table whose last record alone is out of order.
    ok({"sort", dir, "orders"});
    ok({"load", dir, "orders", "--csv", "--append"}, "id,customer,qty,price\n1000,0,1,1\n");
    fails({"find", dir, "orders", "1004"}, unsorted);
}

TEST_F(FindTest, AKeyOfSeveralFieldsTakesCommaSeparatedValuesAndPrefixes) {
    ok({"create", dir, "visits", "customer:u_int:16 day:u_int:16 | note:str:12"});
    ok({"load", dir, "visits", "--csv"},
       "customer,day,note\n2,5,b\n1,9,a\n2,1,\"x, y\"\n3,1,c\n2,9,d\n");
    ok({"sort", dir, "visits"});
    EXPECT_EQ(ok({"find", dir, "visits", "--from", "2", "--to", "2", "--csv"}),
              "customer,day,note\n2,1,\"x, y\"\n2,5,b\n2,9,d\n");
    EXPECT_EQ(ok({"find", dir, "visits", "--from", "2,5", "--to", "3,1", "--csv"}),
              "customer,day,note\n2,5,b\n2,9,d\n3,1,c\n");
    EXPECT_EQ(ok({"find", dir, "visits", "2", "9", "--csv"}), "customer,day,note\n2,9,d\n");
    EXPECT_EQ(ok({"delete", dir, "visits", "2"}), "deleted 3 records from visits (2 left)\n");
    fails({"find", dir, "visits", "--from", "1,2,3"},
          "the key '1,2,3' has 3 values; the key is customer, day");
    ok({"create", dir, "people", "name:str:12 | age:u_int:8"});
    ok({"load", dir, "people", "--csv"}, "name,age\n\"Dubois, Ben\",40\nAda,36\n");
    ok({"sort", dir, "people"});
    EXPECT_EQ(ok({"find", dir, "people", "Dubois, Ben", "--csv"}), "name,age\n\"Dubois, Ben\",40\n");
}

// Keys compare as bits, and a value a field can't hold has its place among
// them: past the largest unsigned value, between the positive and negative
// signed values, after what a field keeps of a longer string or of more
// decimals.
TEST_F(FindTest, AKeyTheFieldCantHoldIsNotFoundAndBoundsStillPlaceIt) {
    makeShop();
    ok({"sort", dir, "orders"});
    ok({"strip", dir});  // id now takes 10 bits: 0..1023, and 99999 no longer fits
    EXPECT_TRUE(has(ok({"find", dir, "orders", "99999"}), "find         not found (4 = end)\n"));
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "1003", "--to", "99999", "--csv"}),
              "id,customer,qty,price\n1003,2,1,19.99\n1004,1,3,120.00\n");
    EXPECT_EQ(ok({"find", dir, "orders", "--from", "-1", "--to", "1001", "--csv"}), "id,customer,qty,price\n1001,0,12,4.50\n");

    ok({"create", dir, "signed", "k:int:8 | v:u_int:8"});
    ok({"load", dir, "signed", "--csv"}, "k,v\n-3,1\n5,2\n127,3\n-128,4\n");
    ok({"sort", dir, "signed"});
    EXPECT_EQ(ok({"dump", dir, "signed", "--csv"}), "k,v\n5,2\n127,3\n-128,4\n-3,1\n");  // in bit order
    EXPECT_EQ(ok({"find", dir, "signed", "--from", "0", "--to", "1000", "--csv"}), "k,v\n5,2\n127,3\n");
    EXPECT_EQ(ok({"find", dir, "signed", "--from", "-1000", "--csv"}), "k,v\n-128,4\n-3,1\n");
    EXPECT_TRUE(has(ok({"find", dir, "signed", "128"}), "0 records with this key\n"));

    ok({"create", dir, "prices", "p:fixed:2:32 | n:u_int:8"});
    ok({"load", dir, "prices", "--csv"}, "p,n\n1.00,1\n1.01,2\n2.50,3\n");
    ok({"sort", dir, "prices"});
    EXPECT_TRUE(has(ok({"find", dir, "prices", "1.005"}), "0 records with this key\n"));
    EXPECT_TRUE(has(ok({"find", dir, "prices", "1.010"}), "1 record with this key:\n"));
    EXPECT_EQ(ok({"find", dir, "prices", "--from", "1.005", "--to", "2.499", "--csv"}), "p,n\n1.01,2\n");

    ok({"create", dir, "codes", "c:str:3 | n:u_int:8"});
    ok({"load", dir, "codes", "--csv"}, "c,n\nabc,1\nabd,2\nab,3\n");
    ok({"sort", dir, "codes"});
    EXPECT_TRUE(has(ok({"find", dir, "codes", "abcz"}), "0 records with this key\n"));
    EXPECT_EQ(ok({"find", dir, "codes", "--from", "abcz", "--csv"}), "c,n\nabd,2\n");
    EXPECT_EQ(ok({"find", dir, "codes", "--to", "abcz", "--csv"}), "c,n\nab,3\nabc,1\n");
}

}  // namespace
