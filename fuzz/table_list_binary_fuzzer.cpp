// libFuzzer entry for the table_list_binary target; the body is Fuzz::readTableListBinary.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::readTableListBinary, data, size);
}
