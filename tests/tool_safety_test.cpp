// The orvex program tells a user what happened to a set: every way in
// refuses the same values, the exit status follows the commit whatever
// becomes of the report, closed standard descriptors stay out of the set,
// and a refusal names the file and the reason.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

// Shell lines that run the tool ("$0" "$@") with its descriptors or limits changed.
const std::string kPlain = "exec \"$0\" \"$@\"";
const std::string kFull = kPlain + " >/dev/full";
const std::string kClosedPipe = "exec > >(:); wait $!; " + kPlain;  // the reader is gone before the tool starts

class ToolSafety : public ::testing::Test {
protected:
    ToolOutcome run(const std::vector<std::string>& args, const std::string& input = "", const std::string& shell = kPlain) {
        ToolCall call{{"-c", shell, ORVEX_TOOL}, input, {}};
        call.args.insert(call.args.end(), args.begin(), args.end());
        return runTool("/bin/bash", call, root / "run");
    }
    void ok(const std::vector<std::string>& args, const std::string& input = "") {
        const ToolOutcome done = run(args, input);
        ASSERT_EQ(done.status, 0) << done.err;
    }
    // The exit status and the one line on standard error; a command that
    // writes changed the set exactly when the status says so (0 and 3).
    void expect(const std::vector<std::string>& args, int status, const std::string& message,
                const std::string& input = "", const std::string& shell = kPlain) {
        static const std::set<std::string> writers = {"load", "sort", "update", "delete", "alter", "create", "drop"};
        const auto before = directorySnapshot(dir);
        const ToolOutcome done = run(args, input, shell);
        EXPECT_EQ(done.status, status) << message;
        EXPECT_EQ(done.err, message.empty() ? "" : "orvex: " + message + "\n");
        const bool changed = writers.count(args[0]) && (status == 0 || status == 3);
        EXPECT_NE(before == directorySnapshot(dir), changed) << message;
    }
    // An import refused with `message`, leaving `target` as it was.
    void importRefused(const std::string& target, const std::string& stream, const std::string& message) {
        fs::create_directories(target);
        const auto before = directorySnapshot(target);
        const ToolOutcome done = run({"import", target}, stream);
        EXPECT_EQ(done.status, 1);
        EXPECT_EQ(done.err, "orvex: " + message + "\n");
        EXPECT_EQ(before, directorySnapshot(target));
    }
    void makeShop() {
        ok({"create", dir, "customers", "id:u_long:32 | name:str:12"});
        ok({"create", dir, "orders", "id:u_long:32 | customer:u_long:32@ref=customers qty:int:16@range=1..500 price:fixed:2:32"});
        ok({"load", dir, "customers", "--csv"}, "id,name\n1,Ann\n2,Ben\n3,Cy\n4,Di\n");
        ok({"load", dir, "orders", "--csv"}, "id,customer,qty,price\n1003,2,1,19.99\n1001,0,12,4.50\n1002,1,3,1.00\n");
    }

    TempDir tmp{"orvex-safety-test"};
    fs::path root = tmp.path();
    std::string dir = (root / "shop").string();
};

TEST_F(ToolSafety, TheExitStatusSaysWhetherTheSetChanged) {
    makeShop();
    const std::string made = "the change to " + dir + " was made, but its report couldn't be written: ";
    std::string many;  // more bytes than a limit of one block
    for (int id = 2000; id < 3000; ++id) many += std::to_string(id) + "\t1\t2\t3.00\tn\n";
    const struct {
        std::vector<std::string> args;
        std::string input, shell;
        int status;
        std::string message;
    } cases[] = {
        {{"load", dir, "orders", "--append"}, "1004\t1\t2\t3.00\n", kFull, 3, made + "no space left on device"},
        {{"load", dir, "orders", "--append"}, "1005\t1\t2\t3.00\n", kClosedPipe, 3, made + "broken pipe"},
        {{"sort", dir, "orders"}, "", kFull, 3, made + "no space left on device"},
        {{"update", dir, "orders", "1001", "qty=7"}, "", kClosedPipe, 3, made + "broken pipe"},
        {{"delete", dir, "orders", "1005"}, "", kFull, 3, made + "no space left on device"},
        {{"alter", dir, "orders", "add", "note:str:4"}, "", kFull, 3, made + "no space left on device"},
        {{"create", dir, "extra", "id:int:8"}, "", kClosedPipe, 3, made + "broken pipe"},
        {{"drop", dir, "extra"}, "", kFull, 3, made + "no space left on device"},
        // Before the commit a failure is exit 1 and changes nothing, whatever the output.
        {{"load", dir, "orders", "--append"}, "1006\t1\t900\t3.00\n", kFull, 1,
         "line 1, field qty: 900 is outside the declared range 1..500"},
        {{"dump", dir, "orders"}, "", kFull, 1, "Couldn't write to standard output: no space left on device"},
        {{"dump", dir, "orders"}, "", kClosedPipe, 1, "Couldn't write to standard output: broken pipe"},
        // A file-size limit is a failed write, not a signal: the load is taken back.
        {{"load", dir, "orders", "--append"}, many, "ulimit -f 1; " + kPlain, 1,
         "Couldn't write the files of " + dir + "; the change will be rolled back: file too large"},
    };
    for (const auto& c : cases) expect(c.args, c.status, c.message, c.input, c.shell);
}

TEST_F(ToolSafety, ClosedStandardDescriptorsAreNeverTheSetsFiles) {
    makeShop();
    expect({"dump", dir, "orders"}, 0, "", "", kPlain + " >&-");
    expect({"find", dir, "nothing", "7"}, 1, "", "", kPlain + " 2>&-");  // the message is lost, not written into the set
    expect({"info", dir}, 0, "", "", kPlain + " <&- >&-");
    EXPECT_EQ(fs::file_size(fs::path(dir) / ".orvex-lock"), 0u);
}

TEST_F(ToolSafety, EveryWayInRefusesTheSameValues) {
    makeShop();
    const std::string stream = run({"export", dir}).out;
    const std::string record = "1001\t0\t12\t4.50\t";
    const std::string streamLine = std::to_string(std::count(stream.begin(), stream.begin() + stream.find(record), '\n') + 1);
    const struct {
        std::string field, customer, qty, price, reason;
    } cases[] = {
        {"customer", "4", "12", "4.50", "4 is not a record of customers (4 records)"},
        {"qty", "0", "900", "4.50", "900 is outside the declared range 1..500"},
        {"price", "0", "12", "2.009", "2.009 has more than the field's 2 decimals"},
    };
    for (const auto& c : cases) {
        const std::string value = c.field == "customer" ? c.customer : c.field == "qty" ? c.qty : c.price;
        expect({"load", dir, "orders", "--csv", "--append"}, 1, "line 2, field " + c.field + ": " + c.reason,
               "id,customer,qty,price\n1009," + c.customer + "," + c.qty + "," + c.price + "\n");
        expect({"update", dir, "orders", "1001", c.field + "=" + value, "--scan"}, 1, "field " + c.field + ": " + c.reason);
        std::string bad = stream;
        bad.replace(bad.find(record), record.size(), "1001\t" + c.customer + "\t" + c.qty + "\t" + c.price + "\t");
        importRefused((root / "copy").string(), bad, "line " + streamLine + ", field " + c.field + ": " + c.reason);
    }
    expect({"alter", dir, "orders", "add", "grade:int:8@range=1..5", "--default", "9"}, 1,
           "--default: 9 is outside the declared range 1..5");
    expect({"create", dir, "r", "id:u_long:8@ref=ghost"}, 1, "field id refers to table ghost, which does not exist");
    // import takes load's line limit, and create's care for files already there.
    importRefused((root / "long").string(), "orvex export 1\n" + std::string(1 << 21, 'a'),
                  "line 2: longer than 1048576 bytes");
    const std::string stray = (root / "stray").string();
    fs::create_directories(stray);
    writeFile(fs::path(stray) / "orders.bin", "mine");
    importRefused(stray, stream, "table orders already exists in " + stray);
}

TEST_F(ToolSafety, RefusalsNameTheFileAndTheReason) {
    makeShop();
    const fs::path bin = fs::path(dir) / "orders.bin";
    fs::permissions(bin, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    expect({"sort", dir, "orders"}, 1, "orders.bin: permission denied (the file is read-only)");
    expect({"load", dir, "orders", "--append"}, 1, "orders.bin: permission denied (the file is read-only)", "1\t1\t1\t1\n");
    fs::permissions(bin, fs::perms::owner_write, fs::perm_options::add);
    // A table only read need not be writable: references are checked against it.
    fs::permissions(fs::path(dir) / "customers.bin", fs::perms::owner_write, fs::perm_options::remove);
    expect({"load", dir, "orders", "--append"}, 0, "", "1009\t1\t1\t1\n");
    fs::permissions(fs::path(dir) / "customers.bin", fs::perms::owner_write, fs::perm_options::add);
    fs::rename(bin, root / "orders.bin");
    ASSERT_EQ(::mkfifo(bin.c_str(), 0644), 0);
    expect({"load", dir, "orders", "--append"}, 1, "orders.bin is not a regular file", "1\t1\t1\t1\n");
    fs::remove(bin);
    fs::create_directory(bin);
    expect({"update", dir, "orders", "1001", "qty=2"}, 1, "orders.bin is not a regular file");
    fs::remove(bin);
    fs::rename(root / "orders.bin", bin);

    expect({"create", dir, std::string(252, 'a'), "id:int:8"}, 2, "table name too long (252 bytes; the limit is 250)");
    writeFile(fs::path(dir) / "temp.jnl", "garbage");
    expect({"dump", dir, "orders"}, 1,
           "temp.jnl in " + dir + " is the journal of a strip that was cut off, which a command that only reads can't act "
           "on; a command that writes (or orvex check) will deal with it (Couldn't remove the strip journal temp.jnl)");
    fs::remove(fs::path(dir) / "temp.jnl");

    // A stripped reference field holds record numbers up to the count it was
    // stripped for; a sort that moves a record it designates further is refused.
    ok({"strip", dir, "orders"});
    ok({"load", dir, "customers", "--csv", "--append"}, "id,name\n0,a\n0,b\n0,c\n0,d\n0,e\n0,f\n0,g\n0,h\n");
    expect({"sort", dir, "customers"}, 1,
           "record 0 of orders (field customer) can't hold 10, the new number of the record of customers it refers to: "
           "the field was stripped when customers had fewer records; strip orders, then try again "
           "(Field customer maximum value exceeded: 10)");
}

}  // namespace
