// The host's assertion handler: the library's internal checks (BOOST_ASSERT)
// end here. A broken invariant is a bug, so we say where and stop.
#include <boost/assert.hpp>

#include <cstdio>
#include <cstdlib>

namespace boost {

void assertion_failed(char const* expr, char const* function, char const* file, long line) {
    std::fprintf(stderr, "orvex: internal check failed: %s in %s (%s:%ld)\n", expr, function, file, line);
    std::abort();
}

void assertion_failed_msg(char const* expr, char const* msg, char const* function, char const* file, long line) {
    std::fprintf(stderr, "orvex: internal check failed: %s (%s) in %s (%s:%ld)\n", expr, msg, function, file, line);
    std::abort();
}

}  // namespace boost
