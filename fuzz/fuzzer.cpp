// libFuzzer entry of one target, named at build time (ORVEX_FUZZ_TARGET,
// its name in Fuzz::targets()); the bodies are in readers.cpp.
#include <cstdlib>
#include <cstring>

#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Fuzz::Target* const target = [] {
        for (const Fuzz::Target& t : Fuzz::targets())
            if (std::strcmp(t.name, ORVEX_FUZZ_TARGET) == 0) return &t;
        std::abort();
    }();
    return Fuzz::runForFuzzer(target->run, data, size);
}
