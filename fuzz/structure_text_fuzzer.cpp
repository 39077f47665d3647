// libFuzzer entry for the structure_text target; the body is Fuzz::readStructureText.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::readStructureText, data, size);
}
