// libFuzzer entry for the structure_binary target; the body is Fuzz::readStructureBinary.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::readStructureBinary, data, size);
}
