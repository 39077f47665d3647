// The orvex program's help (every command, every option, an example each)
// and its progress bars on a terminal.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/tool_session.h"

using namespace TestSupport;

namespace {

class HelpTest : public ToolSession {};

TEST_F(HelpTest, TheMainHelpListsEveryCommandAndOptionAndEachHelpHasAnExample) {
    const std::string program = ok({"--help"});
    for (const char* command : {"demo", "info", "create", "dump", "load", "sort", "find", "delete", "update", "alter",
                                "drop", "export", "import", "strip", "check"}) {
        EXPECT_TRUE(has(program, std::string("\n  ") + command + " ")) << command;
        const std::string help = ok({command, "--help"});
        EXPECT_TRUE(has(help, std::string("Usage: orvex ") + command));
        EXPECT_TRUE(has(help, std::string("Example")));
        EXPECT_TRUE(has(help, std::string("  orvex ") + command + " ")) << help;
    }
    for (const char* option : {"--orders N", "--customers N", "--text", "--csv", "--json", "--append", "--scan",
                               "--limit N", "--from KEY", "--to KEY2", "--default VALUE", "--wait SECONDS", "--no-sync"})
        EXPECT_TRUE(has(program, option));
}

// Runs `command` with standard error on a terminal (through script(1)) and
// returns what the terminal showed.
std::string onTerminal(const std::filesystem::path& scratch, const std::string& command) {
    const std::string shown = (scratch / "terminal").string();
    const std::string line = "script -qec " + shellQuoted(command) + " /dev/null > " + shellQuoted(shown);
    if (std::system(line.c_str()) != 0) return std::string();
    return readFile(shown);
}

TEST_F(HelpTest, LoadAndCheckDrawAProgressBarOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs script(1)";
    ok({"create", dir, "orders", "id:u_long:32 | qty:int:16"});
    std::string csv = "id,qty\n";
    for (int i = 0; i < 2000; ++i) csv += std::to_string(i) + ",1\n";
    writeFile(root / "orders.csv", csv);
    const std::string tool = shellQuoted(ORVEX_TOOL);
    const std::string load = onTerminal(root, tool + " load " + shellQuoted(dir) + " orders --csv < " +
                                                  shellQuoted((root / "orders.csv").string()) + " > /dev/null");
    EXPECT_TRUE(has(load, "Loading orders ["));
    EXPECT_TRUE(has(load, "100%"));
    const std::string check = onTerminal(root, tool + " check " + shellQuoted(dir) + " > /dev/null");
    EXPECT_TRUE(has(check, "Checking orders ["));
    // Not on a terminal: nothing but the result.
    const Outcome quiet = orvex({"check", dir});
    EXPECT_EQ(quiet.err, "");
}

}  // namespace
