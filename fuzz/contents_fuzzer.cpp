// libFuzzer entry for the contents target; the body is Fuzz::openContents.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::openContents, data, size);
}
