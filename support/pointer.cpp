#include "support/pointer.h"

#include <boost/core/demangle.hpp>

null_pointer::null_pointer(const std::type_info& pointee)
    : std::runtime_error("refering to null " + boost::core::demangle(pointee.name())) {}

void null_pointer::raise(const std::type_info& pointee) { throw null_pointer(pointee); }
