// libFuzzer entry for the transformers_binary target; the body is Fuzz::readTransformersBinary.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::readTransformersBinary, data, size);
}
