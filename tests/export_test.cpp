// orvex export and import: a whole set as one text stream and back into an
// empty directory, with the same files byte for byte.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/tool_process.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

class ExportTest : public ToolSession {
protected:
    // Exports `from`, imports the stream into a new directory and expects
    // the same files there.
    void roundTrip(const std::string& from, const std::string& into) {
        const std::string stream = ok({"export", from});
        ok({"import", into}, stream);
        // The record of sorted tables names files by inode: it stays with its directory.
        auto original = directorySnapshot(from);
        original.erase(".orvex-sorted");
        EXPECT_EQ(original, directorySnapshot(into));
        EXPECT_EQ(ok({"export", into}), stream);
    }
};

TEST_F(ExportTest, ASetComesBackByteForByteInEveryForm) {
    makeShop();
    ok({"create", dir, "notes", "--text", "n:int:8 | body:str:40 code:str:6:packed amount:fixed:3:24@range=-5..5"});
    ok({"load", dir, "notes"}, "-5\t\"tab\\there \\\"q\\\" é\\n\"\t\"A_B\"\t-0.125\n7\t\"\"\t\"\"\t5.000\n");
    roundTrip(dir, (root / "copy").string());
    ok({"sort", dir, "orders"});
    ok({"strip", dir});  // narrow widths, and transformer arguments beside them
    roundTrip(dir, (root / "stripped").string());
    EXPECT_EQ(ok({"import", (root / "empty").string()}, "orvex export 1\nlist 1\nend\n"),
              "imported 0 tables with 0 records into " + (root / "empty").string() + "\n");
    // A set without a table list comes back without one.
    fs::remove(file("tables.lst"));
    EXPECT_EQ(ok({"export", dir}).substr(0, 22), "orvex export 1\nlist 0\n");
    roundTrip(dir, (root / "unlisted").string());
    EXPECT_FALSE(fs::exists(root / "unlisted" / "tables.lst"));
}

TEST_F(ExportTest, ADamagedStreamOrANonEmptyDirectoryIsRefusedAndChangesNothing) {
    makeShop();
    const std::string source = dir, stream = ok({"export", source});
    // Lines: 1-2 header, customers on 3-14 (its 4 records on 11-14), orders
    // on 15-29 (its records on 26-29), "end" on 30.
    const auto changed = [&](const std::string& from, const std::string& to) {
        std::string bad = stream;
        return bad.replace(bad.find(from), from.size(), to);
    };
    dir = (root / "target").string();  // the directory whose files fails() watches
    fs::create_directories(dir);
    const std::vector<std::string> args = {"import", dir};
    refuses({{args, stream.substr(0, stream.rfind("1002\t")), "line 29: the stream ends after 3 records of orders"},
             {args, "hello\n", "line 1: expected 'orvex export 1', found 'hello'"},
             {args, changed("1003\t2\t1\t19.99", "1003\t2\t1\tx"), "line 26, field price: not a decimal number: 'x'"},
             {args, stream + "more\n", "line 30: text after 'end'"},
             {args, changed("records 4", "records 4x"), "line 10: 'records' needs a count, not '4x'"},
             {args, changed("records 4", "records -4"), "line 10: 'records' needs a count, not '-4'"},
             {args, changed("records 4", "records  4"), "line 10: 'records' needs a count, not ' 4'"},
             {args, changed("list 1", "list 2"), "line 2: 'list' is 0 or 1, not '2'"}});
    ok(args, stream);
    EXPECT_EQ(directorySnapshot(source), directorySnapshot(dir));
    fails(args, dir + " already holds tables; import goes into an empty or new directory", stream);
}

}  // namespace
