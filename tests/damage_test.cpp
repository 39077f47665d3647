// The orvex tool against numbers past their fields, damaged table files,
// leftovers and files that are not what their names say: each is refused
// with one line naming the problem, and nothing is changed or wrapped. The
// program is run as a user runs it, its output and files looked at after.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

class DamageTest : public ToolSession {
protected:
    // The tables of makeTables afresh, copied rather than made again.
    void freshTables() {
        const fs::path pristine = root / "pristine";
        if (!fs::exists(pristine)) {
            makeTables();
            fs::copy(dir, pristine);
        }
        fs::remove_all(dir);
        fs::copy(pristine, dir);
    }

    // orders in the binary form, with two records; notes in the text form.
    void makeTables() {
        ok({"create", dir, "orders", "id:u_long:32 | qty:int:16@range=1..500 price:fixed:2:32 note:str:8"});
        ok({"load", dir, "orders", "--csv"}, "id,qty,price,note\n1,5,1.50,a\n2,6,2.00,b\n");
        ok({"create", dir, "notes", "--text", "n:u_long:32 | qty:int:16@range=1..500 body:str:8 price:fixed:2:32"});
        ok({"load", dir, "notes", "--csv"}, "n,qty,body,price\n1,2,x,0.50\n");
    }
};

// ---------------------------------------------------------------- numbers

TEST_F(DamageTest, ValuesPastEveryFieldAreRefusedAsNotFittingAndLoadNothing) {
    makeTables();
    const std::string u32 = "u_long of 32 bits holds 0..4294967295";
    const std::string before = readFile(file("orders.bin"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"18446744073709551616,5,1.00,a", "field id: 18446744073709551616 does not fit (" + u32 + ")"},
        {"18446744073709551615,5,1.00,a", "field id: 18446744073709551615 does not fit (" + u32 + ")"},
        {"4294967296,5,1.00,a", "field id: 4294967296 does not fit (" + u32 + ")"},
        {"00018446744073709551621,5,1.00,a", "field id: 18446744073709551621 does not fit (" + u32 + ")"},
        {"1,18446744073709552116,1.00,a",
         "field qty: 18446744073709552116 does not fit (int of 16 bits holds -32768..32767)"},
        {"1,-18446744073709551616,1.00,a",
         "field qty: -18446744073709551616 does not fit (int of 16 bits holds -32768..32767)"},
        {"1,5,21474836.48,a", "field price: 21474836.48 does not fit (fixed of 32 bits holds -21474836.48..21474836.47)"},
        {"1,5,99999999999999999999.5,a",
         "field price: 99999999999999999999.5 does not fit (fixed of 32 bits holds -21474836.48..21474836.47)"},
        {"1,5,0.123456789012,a", "field price: 0.123456789012 has more than the field's 2 decimals"},
        {"1,5,1.0x,a", "field price: not a decimal number: '1.0x'"},
        {"1x,5,1.00,a", "field id: not an integer: '1x'"},
    };
    for (const auto& c : cases)
        fails({"load", dir, "orders", "--csv"}, "line 2, " + c.second, "id,qty,price,note\n" + c.first + "\n");
    EXPECT_EQ(readFile(file("orders.bin")), before);

    // The largest values that do fit still load, with a sign and leading zeros.
    ok({"load", dir, "orders", "--csv"}, "id,qty,price,note\n+0004294967295,500,21474836.47,a\n");
    EXPECT_TRUE(has(orvex({"dump", dir, "orders", "--csv"}).out, "4294967295,500,21474836.47,a"));
}

TEST_F(DamageTest, ValuesPastEveryFieldAreRefusedInTheTextFormToo) {
    makeTables();
    fails({"load", dir, "notes"}, "line 1, field n: 18446744073709551616 does not fit (u_long of 32 bits holds 0..4294967295)",
          "18446744073709551616\t5\t\"b\"\t1.00\n");
}

// A key past the field is in no record; it must not be taken for the largest
// value the field holds, nor wrap to a small one.
TEST_F(DamageTest, AKeyPastTheFieldIsNotFound) {
    makeTables();
    ok({"load", dir, "orders", "--csv", "--append"}, "id,qty,price,note\n4294967295,5,1.50,c\n");
    for (const std::string key : {"4294967296", "18446744073709551616", "18446744073709551617"}) {
        const ToolOutcome run = orvex({"find", dir, "orders", key});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(has(run.out, "  find         not found (3 = end)\n  lower bound  3\n  upper bound  3\n"
                                 "0 records with this key\n"));
    }
}

TEST_F(DamageTest, FieldSyntaxRefusesHugeWidthsLengthsAndBounds) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"id:u_long:18446744073709551621", "BITS must be a number from 1 to 32"},
        {"p:fixed:18446744073709551618:32", "PRECISION must be a number from 0 to 9"},
        {"s:str:18446744073709551617", "LENGTH must be a number from 1 to 65535"},
        {"q:int:16@range=1..18446744073709552116", "range bounds must lie in -2147483648..2147483647"},
        {"q:int:16@range=-18446744073709551617..1", "range bounds must lie in -2147483648..2147483647"},
        {"q:u_long:16@range=18446744073709551616", "range of an unsigned field must lie in 0..4294967295"},
        {"p:fixed:2:32@range=0..21474836.48", "21474836.48 does not fit a 32-bit fixed-point value"},
    };
    for (const auto& c : cases) {
        const ToolOutcome run = orvex({"create", dir, "t", c.first});
        EXPECT_EQ(run.status, 2) << c.first;
        EXPECT_EQ(run.err, "orvex: bad field '" + c.first + "': " + c.second + "\n");
    }
    EXPECT_FALSE(fs::exists(file("t.dsb")));

    const ToolOutcome demo = orvex({"demo", dir, "--orders", "18446744073709551617"});
    EXPECT_EQ(demo.status, 2);
    EXPECT_TRUE(has(demo.err, "--orders must be a number from 1 to 20000000"));
}

// --------------------------------------------------------- damaged tables

// A change to one file, the problem check reports for it, and whether the
// library still opens the table (dump then runs; else it names the problem).
struct Damage {
    const char* what;
    std::function<void(const fs::path& dir)> apply;
    std::string problem;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::string::size_type at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

void edit(const fs::path& path, const std::string& from, const std::string& to) {
    writeFile(path, replaced(readFile(path), from, to));
}

void append(const fs::path& path, const std::string& bytes) { writeFile(path, readFile(path) + bytes); }

const std::vector<Damage>& damages() {
    static const std::vector<Damage> all = {
        {"a record count lowered by hand",
         [](const fs::path& d) { edit(d / "orders.bin", std::string("\x02\0\0\0", 4), std::string("\x01\0\0\0", 4)); },
         "orders.bin: 18 bytes past the last of its 1 record (its record count does not cover them)"},
        {"a record count raised by hand",
         [](const fs::path& d) { edit(d / "orders.bin", std::string("\x02\0\0\0", 4), std::string("\x03\0\0\0", 4)); },
         "orders.bin: 40 bytes, but its 3 records need 58"},
        {"a contents file cut short",
         [](const fs::path& d) { writeFile(d / "orders.bin", std::string("\x02\0", 2)); },
         "orders.bin: shorter than its 4-byte record count"},
        {"bytes after a binary structure", [](const fs::path& d) { append(d / "orders.dsb", "xy"); },
         "orders.dsb: bytes after its last field"},
        {"bytes after a binary transformer file", [](const fs::path& d) { append(d / "orders.trb", "xy"); },
         "orders.trb: entry 2: damaged (no field position and category)"},
        {"an extra line after a text structure", [](const fs::path& d) { append(d / "notes.dst", "junk\n"); },
         "notes.dst: bytes after its last field"},
        {"an extra line after a text transformer file", [](const fs::path& d) { append(d / "notes.trt", "junk\n"); },
         "notes.trt: entry 2: damaged (no field position and category)"},
        {"a fixed precision of 10", [](const fs::path& d) { edit(d / "notes.dst", "32\t2\t", "32\t10\t"); },
         "notes.dst: field price has precision 10, above the largest a 32-bit value allows (9)"},
        {"a fixed precision of 255", [](const fs::path& d) { edit(d / "notes.dst", "32\t2\t", "32\t255\t"); },
         "notes.dst: field price has precision 255, above the largest a 32-bit value allows (9)"},
        {"a key count above the field count", [](const fs::path& d) { edit(d / "notes.dst", "4\t1\t", "4\t9\t"); },
         "notes.dst: a key of 9 fields, but only 4 fields"},
        {"an empty field name", [](const fs::path& d) { edit(d / "notes.dst", "\"body\"", "\"\""); },
         "notes.dst: field 2 has an empty name"},
        {"a field name holding NUL", [](const fs::path& d) { edit(d / "notes.dst", "\"body\"", "\"bo\\x00dy\""); },
         "notes.dst: field 2 has a name holding a NUL character"},
        {"no fields at all", [](const fs::path& d) { writeFile(d / "orders.dsb", std::string(4, '\0')); },
         "orders.dsb: no fields (a table needs at least one)"},
        {"a reversed range", [](const fs::path& d) { edit(d / "notes.trt", "0\t1\t0\t500\t", "0\t500\t0\t1\t"); },
         "notes.trt: entry 1: the range of field qty is reversed (500..1)"},
        {"a range on a string field", [](const fs::path& d) { edit(d / "notes.trt", "1\t\"sizeForRange\"", "2\t\"sizeForRange\""); },
         "notes.trt: entry 1: sizeForRange on field body of type str (a range is for numeric fields)"},
        {"a reference on an int field",
         [](const fs::path& d) { writeFile(d / "notes.trt", "1\t\"sizeForRef\"\t\"orders\"\t\n"); },
         "notes.trt: entry 1: sizeForRef on field qty of type int (a reference is a u_long)"},
        {"an entry past the last field", [](const fs::path& d) { edit(d / "notes.trt", "1\t\"sizeForRange\"", "7\t\"sizeForRange\""); },
         "notes.trt: entry 1: for field 7, but there are only 4 fields"},
        {"two entries for one field",
         [](const fs::path& d) { append(d / "notes.trt", "1\t\"sizeForRange\"\t0\t1\t0\t9\t\n"); },
         "notes.trt: entry 2: a second entry for field qty"},
        {"a category nobody registered", [](const fs::path& d) { edit(d / "notes.trt", "\"sizeForRange\"", "\"bogus\""); },
         "notes.trt: entry 1: cannot create transformer args (category: bogus)"},
        {"the strip category, which is never stored",
         [](const fs::path& d) { edit(d / "notes.trt", "\"sizeForRange\"", "\"strip\""); },
         "notes.trt: entry 1: cannot create transformer args (category: strip)"},
    };
    return all;
}

std::string tableOf(const std::string& problem) { return problem.substr(0, problem.find('.')); }

TEST_F(DamageTest, CheckReportsEachDamageAsAProblemNamingTheFile) {
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.what);
        freshTables();
        ASSERT_EQ(orvex({"check", dir}).status, 0);
        damage.apply(dir);
        const ToolOutcome run = orvex({"check", dir});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.out, tableOf(damage.problem) + ": 1 problem\n  " + damage.problem + "\n"));
        EXPECT_TRUE(has(run.out, "1 problem in 1 table\n"));
    }
}

TEST_F(DamageTest, StripRefusesADamagedTableAndChangesNothing) {
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.what);
        freshTables();
        damage.apply(dir);
        const auto before = directorySnapshot(dir);
        fails({"strip", dir}, "cannot strip " + tableOf(damage.problem) + ": " + damage.problem);
        EXPECT_EQ(directorySnapshot(dir), before);
    }
}

TEST_F(DamageTest, StripOfASoundTableBesideADamagedOneGoesAhead) {
    makeTables();
    edit(file("notes.trt"), "0\t1\t0\t500\t", "0\t500\t0\t1\t");
    ok({"strip", dir, "orders"});
    fails({"strip", dir, "notes"}, "cannot strip notes: notes.trt: entry 1: the range of field qty is reversed (500..1)");
}

TEST_F(DamageTest, CommandsNameTheFileTheLibraryCouldNotRead) {
    makeTables();
    writeFile(file("orders.dsb"), std::string(4, '\0'));
    for (const char* command : {"dump", "info", "sort"})
        fails({command, dir, "orders"}, "orders.dsb: no fields (a table needs at least one)");

    edit(file("notes.trt"), "\"sizeForRange\"", "\"bogus\"");
    fails({"dump", dir, "notes"}, "notes.trt: entry 1: cannot create transformer args (category: bogus)");
}

// -------------------------------------------------------------- leftovers

TEST_F(DamageTest, CheckReportsLeftoverStagingAndScratchFiles) {
    makeTables();
    for (const char* name : {"orders.load", "temp.bin", "temp.dsb"}) {
        SCOPED_TRACE(name);
        writeFile(file(name), "leftover");
        const ToolOutcome run = orvex({"check", dir});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.out, std::string(name) + " is left over from an interrupted"));
        EXPECT_TRUE(has(run.out, "1 problem in 1 leftover file\n"));
        fs::remove(file(name));
    }
    EXPECT_EQ(orvex({"check", dir}).status, 0);
}

// ------------------------------------------------------ not regular files

TEST_F(DamageTest, TableFilesThatAreNotRegularFilesAreRefusedAsSuch) {
    makeTables();
    fs::rename(file("orders.bin"), root / "elsewhere.bin");
    const auto makers = std::vector<std::pair<const char*, std::function<void()>>>{
        {"symlink", [&] { fs::create_symlink(root / "elsewhere.bin", file("orders.bin")); }},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(file("orders.bin").c_str(), 0600), 0); }},
        {"directory", [&] { fs::create_directory(file("orders.bin")); }},
    };
    const std::string outside = readFile(root / "elsewhere.bin");
    for (const auto& maker : makers) {
        SCOPED_TRACE(maker.first);
        maker.second();
        for (const char* command : {"dump", "sort", "info"})
            fails({command, dir, "orders"}, "orders.bin is not a regular file");
        fails({"find", dir, "orders", "1"}, "orders.bin is not a regular file");
        fails({"strip", dir}, "cannot strip orders: orders.bin is not a regular file");
        const ToolOutcome check = orvex({"check", dir});
        EXPECT_EQ(check.status, 1);
        EXPECT_TRUE(has(check.out, "orders: 1 problem\n  orders.bin is not a regular file\n"));
        fs::remove(file("orders.bin"));
    }
    EXPECT_EQ(readFile(root / "elsewhere.bin"), outside);  // nothing went through the link

    fs::rename(root / "elsewhere.bin", file("orders.bin"));
    fs::rename(file("orders.dsb"), root / "orders.dsb");
    fs::create_symlink(root / "orders.dsb", file("orders.dsb"));
    fails({"dump", dir, "orders"}, "orders.dsb is not a regular file");
}

// ---------------------------------------------------------------- CSV

TEST_F(DamageTest, AByteOrderMarkBeforeTheHeaderIsSkipped) {
    makeTables();
    ok({"load", dir, "orders", "--csv"}, "\xEF\xBB\xBFid,qty,price,note\n7,5,1.50,a\n");
    EXPECT_EQ(orvex({"dump", dir, "orders", "--csv"}).out, "id,qty,price,note\n7,5,1.50,a\n");
    // Only at the very start: one further on is a byte of a value like any other.
    fails({"load", dir, "orders", "--csv"}, "line 2, field id: not an integer: '\xEF\xBB\xBF" "8'",
          "id,qty,price,note\n\xEF\xBB\xBF" "8,5,1.50,a\n");
}

TEST_F(DamageTest, ARowPastTheLimitIsRefusedWithItsLine) {
    makeTables();
    const std::string header = "id,qty,price,note\n1,5,1.50,a\n";
    const std::string limit = "a row longer than 1048576 bytes";
    fails({"load", dir, "orders", "--csv"}, "line 3: " + limit, header + "2,5,1.50," + std::string(1 << 20, 'x') + "\n");
    fails({"load", dir, "orders", "--csv"}, "line 3: " + limit, header + std::string(1 << 20, ',') + ",\n");
    // Inside quotes the row runs over many lines; it is named by its first.
    std::string quotedLines = "2,5,1.50,\"";
    for (int i = 0; i < (1 << 19) + 1; ++i) quotedLines += "x\n";
    fails({"load", dir, "orders", "--csv"}, "line 3: " + limit, header + quotedLines + "\"\n");
    // A row at the limit is read; its value is then too long for the field.
    fails({"load", dir, "orders", "--csv"},
          "line 3, field note: a string of 1048567 characters does not fit (str of length 8)",
          header + "2,5,1.50," + std::string((1 << 20) - 9, 'x') + "\n");
}

}  // namespace
