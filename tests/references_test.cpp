// References (@ref) stay true: load, load --append and update refuse a
// record number that designates no record, and sort moves the references
// with their records.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tool_session.h"

using namespace TestSupport;

namespace {

class ReferencesTest : public ToolSession {};

TEST_F(ReferencesTest, LoadRefusesAReferenceThatIsNotARecordNamingLineAndField) {
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

TEST_F(ReferencesTest, ReplacingTheRecordsOfAReferencedTableIsRefusedAppendingIsNot) {
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

TEST_F(ReferencesTest, SortingAReferencedTableMovesTheReferencesWithTheirRecords) {
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

}  // namespace
