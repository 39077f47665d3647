// libFuzzer entry for the type_name target; the body is Fuzz::lookupTypeName.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::lookupTypeName, data, size);
}
