// The orvex program tells a user what happened to a set: the exit status
// follows the commit whatever becomes of the report, closed standard
// descriptors stay out of the set, every way in refuses the same values,
// and a refusal names the file and the reason.
#include <gtest/gtest.h>

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

class ToolSafety : public ToolSession {
protected:
    // The exit status and the one line on standard error; a command that
    // writes changed the set exactly when the status says so (0 and 3).
    void expect(const std::vector<std::string>& args, int status, const std::string& message,
                const std::string& input = "", const std::string& shell = kPlain) {
        static const std::set<std::string> writers = {"load", "sort", "update", "delete", "alter", "create", "drop"};
        const auto before = directorySnapshot(dir);
        ToolCall call{{"-c", shell, ORVEX_TOOL}, input, {}};
        call.args.insert(call.args.end(), args.begin(), args.end());
        const ToolOutcome done = runTool("/bin/bash", call, root / "run");
        EXPECT_EQ(done.status, status) << message;
        EXPECT_EQ(done.err, message.empty() ? "" : "orvex: " + message + "\n");
        const bool changed = writers.count(args[0]) && (status == 0 || status == 3);
        EXPECT_NE(before == directorySnapshot(dir), changed) << message;
    }
    // An import into `target` refused with `message`, leaving it as it was.
    void importRefused(const fs::path& target, const std::string& stream, const std::string& message) {
        fs::create_directories(target);
        const auto before = directorySnapshot(target);
        const ToolOutcome done = orvex({"import", target.string()}, stream);
        EXPECT_EQ(done.status, 1);
        EXPECT_EQ(done.err, "orvex: " + message + "\n");
        EXPECT_EQ(before, directorySnapshot(target));
    }
};

TEST_F(ToolSafety, TheExitStatusSaysWhetherTheSetChanged) {
    makeShop();
    const std::string made = "the change to " + dir + " was made, but its report couldn't be written: ";
    const std::string full = made + "no space left on device", pipe = made + "broken pipe";
    std::string many;  // more bytes than a limit of one block
    for (int id = 2000; id < 3000; ++id) many += std::to_string(id) + "\t1\t2\t3.00\tn\n";
    const struct {
        std::vector<std::string> args;
        std::string input, shell;
        int status;
        std::string message;
    } cases[] = {
        {{"load", dir, "orders", "--append"}, "1005\t1\t2\t3.00\n", kFull, 3, full},
        {{"load", dir, "orders", "--append"}, "1006\t1\t2\t3.00\n", kClosedPipe, 3, pipe},
        {{"sort", dir, "orders"}, "", kFull, 3, full},
        {{"update", dir, "orders", "1001", "qty=7"}, "", kClosedPipe, 3, pipe},
        {{"delete", dir, "orders", "1005"}, "", kFull, 3, full},
        {{"alter", dir, "orders", "add", "note:str:4"}, "", kFull, 3, full},
        {{"create", dir, "extra", "id:int:8"}, "", kClosedPipe, 3, pipe},
        {{"drop", dir, "extra"}, "", kFull, 3, full},
        // Before the commit a failure is exit 1 and changes nothing, whatever the output.
        {{"dump", dir, "orders"}, "", kFull, 1, "Couldn't write to standard output: no space left on device"},
        {{"dump", dir, "orders"}, "", kClosedPipe, 1, "Couldn't write to standard output: broken pipe"},
        // A file-size limit is a failed write, not a signal: the load is taken back.
        {{"load", dir, "orders", "--append"}, many, "ulimit -f 1; " + kPlain, 1,
         "Couldn't write the files of " + dir + "; the change will be rolled back: file too large"},
        // Closed standard descriptors are never opened as the set's files; a lost message stays lost.
        {{"dump", dir, "orders"}, "", kPlain + " >&-", 0, ""},
        {{"find", dir, "nothing", "7"}, "", kPlain + " 2>&-", 1, ""},
        {{"info", dir}, "", kPlain + " <&- >&-", 0, ""},
        {{"create", dir, std::string(252, 'a'), "id:int:8"}, "", kPlain, 2, "table name too long (252 bytes; the limit is 250)"},
        {{"alter", dir, "orders", "add", "grade:int:8@range=1..5", "--default", "9"}, "", kPlain, 1,
         "--default: 9 is outside the declared range 1..5"},
        {{"create", dir, "r", "id:u_long:8@ref=ghost"}, "", kPlain, 1, "field id refers to table ghost, which does not exist"},
    };
    for (const auto& c : cases) expect(c.args, c.status, c.message, c.input, c.shell);
    EXPECT_EQ(fs::file_size(file(".orvex-lock")), 0u);
}

TEST_F(ToolSafety, EveryWayInRefusesTheSameValues) {
    makeShop();
    const std::string stream = ok({"export", dir}), record = "1001\t0\t12\t4.50\t";
    const std::string line = std::to_string(std::count(stream.begin(), stream.begin() + stream.find(record), '\n') + 1);
    const struct {
        std::string field, value, row, reason;
    } cases[] = {
        {"customer", "4", "4\t12\t4.50", "4 is not a record of customers (4 records)"},
        {"qty", "900", "0\t900\t4.50", "900 is outside the declared range 1..500"},
        {"price", "2.009", "0\t12\t2.009", "2.009 has more than the field's 2 decimals"},
    };
    for (const auto& c : cases) {
        expect({"load", dir, "orders", "--append"}, 1, "line 1, field " + c.field + ": " + c.reason, "1009\t" + c.row + "\n");
        expect({"update", dir, "orders", "1001", c.field + "=" + c.value, "--scan"}, 1, "field " + c.field + ": " + c.reason);
        std::string bad = stream;
        importRefused(root / "copy", bad.replace(bad.find(record), record.size(), "1001\t" + c.row + "\t"),
                      "line " + line + ", field " + c.field + ": " + c.reason);
    }
    // import takes load's line limit, and create's care for files already there.
    importRefused(root / "long", "orvex export 1\n" + std::string(1 << 21, 'a'), "line 2: longer than 1048576 bytes");
    fs::create_directories(root / "stray");
    writeFile(root / "stray" / "orders.bin", "mine");
    importRefused(root / "stray", stream, "table orders already exists in " + (root / "stray").string());
}

TEST_F(ToolSafety, RefusalsNameTheFileAndTheReason) {
    makeShop();
    const fs::path bin = file("orders.bin"), customers = file("customers.bin");
    fs::permissions(bin, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write, fs::perm_options::remove);
    expect({"sort", dir, "orders"}, 1, "orders.bin: permission denied (the file is read-only)");
    expect({"load", dir, "orders", "--append"}, 1, "orders.bin: permission denied (the file is read-only)", "1\t1\t1\t1\n");
    fs::permissions(bin, fs::perms::owner_write, fs::perm_options::add);
    // A table only read need not be writable: references are checked against it.
    fs::permissions(customers, fs::perms::owner_write, fs::perm_options::remove);
    expect({"load", dir, "orders", "--append"}, 0, "", "1009\t1\t1\t1.00\n");
    fs::permissions(customers, fs::perms::owner_write, fs::perm_options::add);

    // A stripped reference field holds record numbers up to the count it was
    // stripped for; a sort that moves a record it designates further is refused.
    ok({"strip", dir, "orders"});
    ok({"load", dir, "customers", "--csv", "--append"}, "id,name,city\n0,a,x\n0,b,x\n0,c,x\n0,d,x\n0,e,x\n0,f,x\n0,g,x\n0,h,x\n");
    expect({"sort", dir, "customers"}, 1,
           "record 0 of orders (field customer) can't hold 10, the new number of the record of customers it refers to: "
           "the field was stripped when customers had fewer records; strip orders, then try again "
           "(Field customer maximum value exceeded: 10)");
}

}  // namespace
