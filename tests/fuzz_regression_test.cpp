// The fuzz targets' inputs kept in the repository, run through the same
// readers as the fuzzers, in the ordinary build: every seed of
// fuzz/corpus/<target>/ is valid input and must be accepted; every past
// finding, fuzz/regressions/<target>/<name>.<outcome>, must get the outcome
// its extension names (accepted, rejected or skipped). A broken check or an
// undocumented exception fails the case with its text; a crash or sanitizer
// report (in a sanitizer build) fails the program.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "fuzz/readers.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

std::string outcomeOf(const Fuzz::Target& target, const fs::path& input) {
    try {
        const char* const names[] = {"accepted", "rejected", "skipped"};
        return names[static_cast<int>(target.read(TestSupport::readFile(input)))];
    } catch (const Fuzz::Finding& f) {
        return "finding: " + f.what;
    } catch (const std::exception& e) {
        return std::string("undocumented exception: ") + e.what();
    }
}

TEST(FuzzInputs, EverySeedIsAcceptedAndEveryFindingGetsItsOutcome) {
    std::map<std::string, const Fuzz::Target*> byName;
    for (const Fuzz::Target& t : Fuzz::targets()) {
        byName[t.name] = &t;
        EXPECT_FALSE(fs::is_empty(fs::path(ORVEX_FUZZ_DIR) / "corpus" / t.name)) << "no seeds for " << t.name;
    }
    for (const std::string kind : {"corpus", "regressions"})
        for (const auto& dir : fs::directory_iterator(fs::path(ORVEX_FUZZ_DIR) / kind)) {
            const auto target = byName.find(dir.path().filename().string());
            ASSERT_NE(target, byName.end()) << dir.path() << " names no fuzz target";
            for (const auto& input : fs::directory_iterator(dir)) {
                const std::string expected = kind == "corpus" ? "accepted" : input.path().extension().string().substr(1);
                EXPECT_EQ(outcomeOf(*target->second, input.path()), expected) << input.path();
            }
        }
}

}  // namespace
