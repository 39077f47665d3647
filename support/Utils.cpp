#include "support/Utils.h"

#include <stdexcept>

namespace Utils {
void raise_runtime_error(const std::string& message) { throw std::runtime_error(message); }
void raise_out_of_range(const std::string& message) { throw std::out_of_range(message); }
void raise_logic_error(const std::string& message) { throw std::logic_error(message); }
}  // namespace Utils
