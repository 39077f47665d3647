// The error raisers. Every failure of the library goes through one of these;
// each throws the standard exception of its name with `message` as its text.
#pragma once

#include <string>

namespace Utils {
[[noreturn]] void raise_runtime_error(const std::string& message);
[[noreturn]] void raise_out_of_range(const std::string& message);
[[noreturn]] void raise_logic_error(const std::string& message);
}  // namespace Utils
