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
        const ToolOutcome imported = orvex({"import", into}, stream);
        ASSERT_EQ(imported.status, 0) << imported.err;
        EXPECT_EQ(directorySnapshot(from), directorySnapshot(into));
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
}

TEST_F(ExportTest, ASetWithoutTableListComesBackWithoutOne) {
    makeShop();
    fs::remove(root / "shop" / "tables.lst");
    const std::string stream = ok({"export", dir});
    EXPECT_EQ(stream.substr(0, 22), "orvex export 1\nlist 0\n");
    roundTrip(dir, (root / "copy").string());
    EXPECT_FALSE(fs::exists(root / "copy" / "tables.lst"));
}

TEST_F(ExportTest, ADamagedStreamOrANonEmptyDirectoryIsRefusedAndChangesNothing) {
    makeShop();
    const std::string source = dir;
    const std::string stream = ok({"export", source});
    // Lines: 1-2 header, customers on 3-14 (its 4 records on 11-14), orders
    // on 15-29 (its records on 26-29), "end" on 30.
    dir = (root / "target").string();  // the directory whose files fails() watches
    fs::create_directories(dir);
    fails({"import", dir}, "line 29: the stream ends after 3 records of orders", stream.substr(0, stream.rfind("1002\t")));
    fails({"import", dir}, "line 1: expected 'orvex export 1', found 'hello'", "hello\n");
    std::string bad = stream;
    bad.replace(bad.find("1003\t2\t1\t19.99"), 14, "1003\t2\t1\tx");
    fails({"import", dir}, "line 26, field price: not a decimal number: 'x'", bad);
    fails({"import", dir}, "line 30: text after 'end'", stream + "more\n");
    bad = stream;
    bad.replace(bad.find("records 4"), 9, "records 4x");
    fails({"import", dir}, "line 10: 'records' needs a count, not '4x'", bad);
    ok({"import", dir}, stream);
    EXPECT_EQ(directorySnapshot(source), directorySnapshot(dir));
    fails({"import", dir}, dir + " already holds tables; import goes into an empty or new directory", stream);
}

}  // namespace
