// libFuzzer entry for the strip target; the body is Fuzz::stripSet.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::stripSet, data, size);
}
