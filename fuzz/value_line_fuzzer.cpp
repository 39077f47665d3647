// libFuzzer entry for the value_line target; the body is Fuzz::readValueLine.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::readValueLine, data, size);
}
