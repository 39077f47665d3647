// The orvex tool against numbers past their fields, damaged table files,
// leftovers and files that are not what their names say: each is refused
// with one line naming the problem, and nothing is changed or wrapped. The
// program is run as a user runs it, its output and files looked at after.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Core/Orvex/table_list.h"
#include "Core/Orvex/table_soundness.h"
#include "host/memory_file_set.h"
#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace TestSupport;
using namespace std::string_literals;

namespace {

class DamageTest : public ToolSession {
protected:
    // orders in the binary form, with two records; notes in the text form.
    void makeTables() {
        ok({"create", dir, "orders", "id:u_long:32 | qty:int:16@range=1..500 price:fixed:2:32 note:str:8"});
        ok({"load", dir, "orders", "--csv"}, "id,qty,price,note\n1,5,1.50,a\n2,6,2.00,b\n");
        ok({"create", dir, "notes", "--text", "n:u_long:32 | qty:int:16@range=1..500 body:str:8 price:fixed:2:32"});
        ok({"load", dir, "notes", "--csv"}, "n,qty,body,price\n1,2,x,0.50\n");
    }
};

TEST_F(DamageTest, ValuesPastTheirFieldsAreRefusedAndChangeNothing) {
    makeTables();
    const std::string u32 = " does not fit (u_long of 32 bits holds 0..4294967295)";
    const std::string i16 = " does not fit (int of 16 bits holds -32768..32767)";
    const std::string f32 = " does not fit (fixed of 32 bits holds -21474836.48..21474836.47)";
    const std::vector<std::string> csv = {"load", dir, "orders", "--csv"};
    const struct {
        std::vector<std::string> args;
        std::string row, message;
        int status = 1;
    } cases[] = {
        {csv, "18446744073709551616,5,1.00,a", "line 2, field id: 18446744073709551616" + u32},
        {csv, "4294967296,5,1.00,a", "line 2, field id: 4294967296" + u32},
        {csv, "1,-18446744073709551616,1.00,a", "line 2, field qty: -18446744073709551616" + i16},
        {csv, "1,5,21474836.48,a", "line 2, field price: 21474836.48" + f32},
        {csv, "1,5,0.123456789012,a", "line 2, field price: 0.123456789012 has more than the field's 2 decimals"},
        {csv, "1,5,1.0x,a", "line 2, field price: not a decimal number: '1.0x'"},
        {csv, "1x,5,1.00,a", "line 2, field id: not an integer: '1x'"},
        // A byte order mark counts only before the header; further on it is a byte of the value.
        {csv, "\xEF\xBB\xBF" "8,5,1.50,a", "line 2, field id: not an integer: '\xEF\xBB\xBF" "8'"},
        {{"load", dir, "notes"}, "18446744073709551616\t5\t\"b\"\t1.00", "line 1, field n: 18446744073709551616" + u32},
        {{"create", dir, "t", "id:u_long:18446744073709551621"}, "",
         "bad field 'id:u_long:18446744073709551621': BITS must be a number from 1 to 32", 2},
        {{"create", dir, "t", "p:fixed:18446744073709551618:32"}, "",
         "bad field 'p:fixed:18446744073709551618:32': PRECISION must be a number from 0 to 9", 2},
        {{"create", dir, "t", "s:str:18446744073709551617"}, "",
         "bad field 's:str:18446744073709551617': LENGTH must be a number from 1 to 65535", 2},
        {{"create", dir, "t", "q:int:16@range=-18446744073709551617..1"}, "",
         "bad field 'q:int:16@range=-18446744073709551617..1': range bounds must lie in -2147483648..2147483647", 2},
        {{"create", dir, "t", "q:u_long:16@range=18446744073709551616"}, "",
         "bad field 'q:u_long:16@range=18446744073709551616': range of an unsigned field must lie in 0..4294967295", 2},
        {{"create", dir, "t", "p:fixed:2:32@range=0..21474836.48"}, "",
         "bad field 'p:fixed:2:32@range=0..21474836.48': 21474836.48 does not fit a 32-bit fixed-point value", 2},
        {{"demo", dir, "--orders", "18446744073709551617"}, "", "demo: --orders must be a number from 1 to 20000000", 2},
    };
    for (const auto& c : cases)
        fails(c.args, c.message, c.args[2] == "orders" ? "id,qty,price,note\n" + c.row + "\n" : c.row + "\n", c.status);

    // The largest values that fit load, with a sign, leading zeros and a byte order mark.
    ok(csv, "\xEF\xBB\xBFid,qty,price,note\n+0004294967295,500,21474836.47,a\n");
    EXPECT_EQ(dump("orders"), "id,qty,price,note\n4294967295,500,21474836.47,a\n");
    // A key past the field is in no record: not the largest value, nor wrapped to a small one.
    for (const std::string key : {"4294967296", "18446744073709551617"})
        EXPECT_TRUE(has(ok({"find", dir, "orders", key}), "  find         not found (1 = end)\n"));
}

TEST_F(DamageTest, ARowPastTheLimitIsRefusedWithItsFirstLine) {
    makeTables();
    const std::string header = "id,qty,price,note\n1,5,1.50,a\n", limit = "line 3: a row longer than 1048576 bytes";
    fails({"load", dir, "orders", "--csv"}, limit, header + "2,5,1.50," + std::string(1 << 20, 'x') + "\n");
    std::string quotedLines = "2,5,1.50,\"";
    for (int i = 0; i < (1 << 19) + 1; ++i) quotedLines += "x\n";
    fails({"load", dir, "orders", "--csv"}, limit, header + quotedLines + "\"\n");
    // A row at the limit is read; its value is then too long for the field.
    fails({"load", dir, "orders", "--csv"}, "line 3, field note: a string of 1048567 bytes, the field holds 8",
          header + "2,5,1.50," + std::string((1 << 20) - 9, 'x') + "\n");
}

// Each damage, made on a fresh copy of the tables: the file, the bytes
// replaced (none: `to` is appended; "*": the whole file), the problem check
// reports, and how strip refuses it (by default: naming the same problem).
TEST_F(DamageTest, CheckAndStripRefuseEachDamageNamingTheFile) {
    const struct {
        std::string file, from, to, problem, stripRefusal = "";
    } cases[] = {
        {"orders.bin", "\x02\0\0\0"s, "\x01\0\0\0"s,
         "orders.bin: 18 bytes past the last of its 1 record (its record count does not cover them)"},
        {"orders.bin", "\x02\0\0\0"s, "\x03\0\0\0"s, "orders.bin: 40 bytes, but its 3 records need 58"},
        {"orders.bin", "*", "\x02\0"s, "orders.bin: shorter than its 4-byte record count"},
        {"orders.bin", "\x02\0\x06"s, "\x02\x03\x84", "record 1, field qty: 900 is outside the declared range 1..500",
         "Field qty maximum value exceeded: 900"},  // in the second record, past one that is sound
        {"orders.dsb", "", "xy", "orders.dsb: bytes after its last field"},
        {"orders.dsb", "*", std::string(4, '\0'), "orders.dsb: no fields (a table needs at least one)"},
        {"orders.trb", "", "xy", "orders.trb: entry 2: damaged (no field position and category)"},
        {"notes.dst", "", "junk\n", "notes.dst: bytes after its last field"},
        {"notes.dst", "32\t2\t", "32\t10\t", "notes.dst: field price has precision 10, above the largest a 32-bit value allows (9)"},
        {"notes.dst", "4\t1\t", "4\t9\t", "notes.dst: a key of 9 fields, but only 4 fields"},
        {"notes.dst", "\"body\"", "\"\"", "notes.dst: field 2 has an empty name"},
        {"notes.dst", "\"body\"", "\"bo\\x00dy\"", "notes.dst: field 2 has a name holding a NUL character"},
        {"notes.trt", "", "junk\n", "notes.trt: entry 2: damaged (no field position and category)"},
        {"notes.trt", "500\t", "500\tjunk", "notes.trt: entry 1: text after its arguments"},
        {"notes.trt", "1\t\"size", "2\t\"size",
         "notes.trt: entry 1: sizeForRange on field body of type str (a range is for numeric fields)"},
        {"notes.trt", "*", "1\t\"sizeForRef\"\t\"orders\"\t\n",
         "notes.trt: entry 1: sizeForRef on field qty of type int (a reference is a u_long)"},
        {"notes.trt", "1\t\"size", "7\t\"size", "notes.trt: entry 1: for field 7, but there are only 4 fields"},
        {"notes.trt", "", "1\t\"sizeForRange\"\t0\t1\t0\t9\t\n", "notes.trt: entry 2: a second entry for field qty"},
        {"notes.trt", "\"sizeForRange\"", "\"strip\"", "notes.trt: entry 1: cannot create transformer args (category: strip)"},
        {"notes.trt", "0\t1\t0\t500\t", "0\t500\t0\t1\t", "notes.trt: entry 1: the range of field qty is reversed (500..1)"},
    };
    makeTables();
    ASSERT_EQ(orvex({"check", dir}).status, 0);
    fs::copy(dir, root / "pristine");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        fs::remove_all(dir);
        fs::copy(root / "pristine", dir);
        std::string text = c.from == "*" ? "" : readFile(file(c.file));
        const std::string::size_type at = c.from.empty() || c.from == "*" ? text.size() : text.find(c.from);
        ASSERT_NE(at, std::string::npos);
        writeFile(file(c.file), text.replace(at, c.from == "*" ? 0 : c.from.size(), c.to));
        const std::string table = c.file.substr(0, c.file.find('.'));
        fails({"strip", dir}, c.stripRefusal.empty() ? "cannot strip " + table + ": " + c.problem : c.stripRefusal);
        const ToolOutcome run = orvex({"check", dir});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.out, table + ": 1 problem\n  " + c.problem + "\n"));
        EXPECT_TRUE(has(run.out, "1 problem in 1 table\n"));
        if (!c.stripRefusal.empty()) continue;  // a value's problem, not a file's
        // The library finds a file's damage alike in any file set.
        Host::MemoryFileSet copy;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename().string()[0] != '.') copy.put(entry.path().filename(), readFile(entry.path()));
        EXPECT_EQ(Orvex::setProblems(copy, Orvex::table_list::discover(copy.list())), std::vector{c.problem});
    }
    Host::MemoryFileSet bare;
    EXPECT_EQ(Orvex::tableProblems(bare, "t", true), (std::vector<std::string>{"t.dsb is missing", "t.bin is missing"}));
    // A sound table beside a damaged one is stripped; commands name the file they could not read.
    ok({"strip", dir, "orders"});
    writeFile(file("orders.dsb"), std::string(4, '\0'));
    for (const char* command : {"dump", "info", "sort"})
        fails({command, dir, "orders"}, "orders.dsb: no fields (a table needs at least one)");
}

TEST_F(DamageTest, CheckReportsLeftoversAndFilesThatAreNotRegular) {
    makeTables();
    for (const char* name : {"orders.load", "temp.bin", "temp.dsb", "temp.jnl"}) {
        writeFile(file(name), "leftover");
        const ToolOutcome run = orvex({"check", dir});
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_TRUE(has(run.out, std::string(name) + " is left over from an interrupted"));
        EXPECT_TRUE(has(run.out, "1 problem in 1 leftover file\n"));
        fs::remove(file(name));
    }
    fs::rename(file("orders.bin"), root / "elsewhere.bin");
    const std::string outside = readFile(root / "elsewhere.bin");
    const std::vector<std::function<void()>> makers = {
        [&] { fs::create_symlink(root / "elsewhere.bin", file("orders.bin")); },
        [&] { ASSERT_EQ(mkfifo(file("orders.bin").c_str(), 0600), 0); },
        [&] { fs::create_directory(file("orders.bin")); },
    };
    for (const auto& make : makers) {
        make();
        fails({"dump", dir, "orders"}, "orders.bin is not a regular file");
        fails({"find", dir, "orders", "1"}, "orders.bin is not a regular file");
        fails({"load", dir, "orders", "--append"}, "orders.bin is not a regular file", "3\t1\t1\t1\n");
        fails({"strip", dir}, "cannot strip orders: orders.bin is not a regular file");
        EXPECT_TRUE(has(orvex({"check", dir}).out, "orders: 1 problem\n  orders.bin is not a regular file\n"));
        fs::remove(file("orders.bin"));
    }
    EXPECT_EQ(readFile(root / "elsewhere.bin"), outside);  // nothing went through the link
    fs::rename(root / "elsewhere.bin", file("orders.bin"));
    fs::rename(file("orders.dsb"), root / "orders.dsb");
    fs::create_symlink(root / "orders.dsb", file("orders.dsb"));
    fails({"dump", dir, "orders"}, "orders.dsb is not a regular file");
}

}  // namespace
