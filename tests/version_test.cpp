// The version: the generated header's three numbers, string and number agree
// with each other and with what the library reports, and the tool prints it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "orvex/version.h"

#ifndef ORVEX_TOOL
#error "ORVEX_TOOL must name the orvex program"
#endif

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

ToolRun runTool(const std::string& arguments) {
    ToolRun run;
    FILE* pipe = ::popen((std::string("'") + ORVEX_TOOL + "' " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

TEST(Version, HeaderNumbersStringAndLibraryAgree) {
    const std::string dotted = std::to_string(ORVEX_VERSION_MAJOR) + "." + std::to_string(ORVEX_VERSION_MINOR) + "." +
                               std::to_string(ORVEX_VERSION_PATCH);
    EXPECT_EQ(ORVEX_VERSION_STRING, dotted);
    EXPECT_EQ(ORVEX_VERSION_NUMBER, ORVEX_VERSION_MAJOR * 1000000 + ORVEX_VERSION_MINOR * 1000 + ORVEX_VERSION_PATCH);
    EXPECT_EQ(Orvex::libraryVersion(), dotted);
    EXPECT_EQ(Orvex::libraryVersionNumber(), ORVEX_VERSION_NUMBER);
}

TEST(Version, ToolPrintsItForBothSpellings) {
    for (const char* spelling : {"--version", "version"}) {
        const ToolRun run = runTool(spelling);
        EXPECT_EQ(run.status, 0) << spelling;
        EXPECT_EQ(run.out, std::string("orvex ") + ORVEX_VERSION_STRING + "\n") << spelling;
    }
}

}  // namespace
