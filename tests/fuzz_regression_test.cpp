// The fuzz targets' inputs kept in the repository, run through the same
// reader functions as the fuzzers, in the ordinary build:
// - every seed of fuzz/corpus/<target>/ is valid input and must be accepted;
// - every past finding, fuzz/regressions/<target>/<name>.<outcome>, must get
//   the outcome its extension names ("accepted", "rejected" or "skipped").
// A broken check or an undocumented exception fails the case with its text;
// a crash or sanitizer report (in a sanitizer build) fails the program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "fuzz/readers.h"

namespace fs = std::filesystem;

namespace {

const fs::path kFuzzDir(ORVEX_FUZZ_DIR);

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    if (fs::is_directory(dir))
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

// The reader's outcome as text, or what went wrong instead.
std::string outcomeOf(const Fuzz::Target& t, const fs::path& input) {
    const std::string bytes = readFile(input);
    try {
        return Fuzz::outcomeName(t.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    } catch (const Fuzz::Finding& f) {
        return "finding: " + f.what();
    } catch (const std::exception& e) {
        return std::string("undocumented exception: ") + e.what();
    }
}

TEST(FuzzInputs, EverySeedIsAccepted) {
    for (const Fuzz::Target& t : Fuzz::targets()) {
        const std::vector<fs::path> seeds = filesIn(kFuzzDir / "corpus" / t.name);
        EXPECT_FALSE(seeds.empty()) << "no seeds for " << t.name;
        for (const fs::path& seed : seeds) EXPECT_EQ(outcomeOf(t, seed), "accepted") << seed;
    }
}

TEST(FuzzInputs, EveryFindingGetsItsOutcome) {
    for (const Fuzz::Target& t : Fuzz::targets()) {
        for (const fs::path& input : filesIn(kFuzzDir / "regressions" / t.name)) {
            const std::string expected = input.extension().string();
            ASSERT_TRUE(expected == ".accepted" || expected == ".rejected" || expected == ".skipped")
                << input << " must end in .accepted, .rejected or .skipped";
            EXPECT_EQ(outcomeOf(t, input), expected.substr(1)) << input;
        }
    }
}

TEST(FuzzInputs, InputDirectoriesNameTargets) {
    std::set<std::string> names;
    for (const Fuzz::Target& t : Fuzz::targets()) names.insert(t.name);
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = kFuzzDir / kind;
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_TRUE(names.count(e.path().filename().string())) << e.path() << " names no fuzz target";
    }
}

}  // namespace
