// libFuzzer entry for the table_list_text target; the body is Fuzz::readTableListText.
#include "fuzz/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return Fuzz::runForFuzzer(Fuzz::readTableListText, data, size);
}
