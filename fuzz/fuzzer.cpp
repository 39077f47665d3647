// libFuzzer entry of one target, named at build time (ORVEX_FUZZ_TARGET, its
// name in Fuzz::targets()): a broken check is printed and aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto target = std::find_if(Fuzz::targets().begin(), Fuzz::targets().end(),
                                            [](const Fuzz::Target& t) { return std::strcmp(t.name, ORVEX_FUZZ_TARGET) == 0; });
    if (target == Fuzz::targets().end()) std::abort();
    try {
        target->read(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const Fuzz::Finding& f) {
        std::fprintf(stderr, "orvex fuzz finding: %s\n", f.what.c_str());
        std::abort();
    }
    return 0;
}
