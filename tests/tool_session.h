// A test fixture for driving the orvex program on one table set in a fresh
// directory: run it, expect success or one exact error line, and build the
// small shop set that the command tests share.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tests/tool_runner.h"

namespace TestSupport {

class ToolSession : public ::testing::Test {
protected:
    Outcome orvex(const std::vector<std::string>& args, const std::string& input = "") {
        return runOrvex(root, args, input);
    }
    // Status 0; the output.
    std::string ok(const std::vector<std::string>& args, const std::string& input = "") {
        const Outcome run = orvex(args, input);
        EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
        return run.out;
    }
    // Status 1 (a data problem) and exactly this one line on standard error,
    // and the set's files as they were.
    void fails(const std::vector<std::string>& args, const std::string& message, const std::string& input = "") {
        const auto before = directorySnapshot(dir);
        const Outcome run = orvex(args, input);
        EXPECT_EQ(run.status, 1) << message << "\n" << run.out;
        EXPECT_EQ(run.err, "orvex: " + message + "\n");
        EXPECT_TRUE(sameFiles(before, directorySnapshot(dir))) << message;
    }
    // Status 2 (bad usage) and nothing changed.
    void misused(const std::vector<std::string>& args, const std::string& message) {
        const auto before = directorySnapshot(dir);
        const Outcome run = orvex(args);
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_EQ(run.err, "orvex: " + message + "\n");
        EXPECT_TRUE(sameFiles(before, directorySnapshot(dir))) << message;
    }

    // customers 0..3 (ids 1, 2, 3, 4, sorted) and orders referring to them,
    // loaded out of key order.
    void makeShop() {
        ok({"create", dir, "customers", "id:u_long:32 | name:str:24 city:str:12:packed"});
        ok({"create", dir, "orders",
            "id:u_long:32 | customer:u_long:32@ref=customers qty:int:16@range=1..500 price:fixed:2:32"});
        ok({"load", dir, "customers", "--csv"},
           "id,name,city\n1,Ada Lovelace,London\n2,\"Dubois, Ben\",Lyon\n3,Chloé Park,Oslo\n4,Dan,Rome\n");
        ok({"load", dir, "orders", "--csv"},
           "id,customer,qty,price\n1003,2,1,19.99\n1001,0,12,4.50\n1004,1,3,120.00\n1002,2,250,0.75\n");
    }

    std::string dump(const std::string& table) { return ok({"dump", dir, table, "--csv"}); }

    TempDir tmp{"orvex-tool-session"};
    std::filesystem::path root = tmp.path();
    std::string dir = (root / "shop").string();
};

}  // namespace TestSupport
