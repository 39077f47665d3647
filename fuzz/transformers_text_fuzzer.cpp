// libFuzzer entry for the transformers_text target; the body is Fuzz::readTransformersText.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::readTransformersText, data, size);
}
