#include "support/pointer.h"

// The name is typeid's own, as the run-time library gives it (mangled on
// this platform), so that it can be compared with typeid(T).name().
null_pointer::null_pointer(const std::type_info& pointee)
    : std::runtime_error(std::string("refering to null ") + pointee.name()) {}

void null_pointer::raise(const std::type_info& pointee) { throw null_pointer(pointee); }
