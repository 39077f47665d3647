#include "support/scratch.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace Orvex {

namespace {
const std::size_t kHugePage = std::size_t(2) << 20;
}

void* allocateScratch(std::size_t bytes) {
    if (bytes < kHugePage) {
        void* small = std::malloc(bytes == 0 ? 1 : bytes);
        if (small == nullptr) throw std::bad_alloc();
        return small;
    }
    if (bytes > static_cast<std::size_t>(-1) - kHugePage) throw std::bad_alloc();
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* large = std::aligned_alloc(kHugePage, rounded);
    if (large == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Advice only: a kernel without huge pages refuses it, and the array
    // then works the same on small pages.
    ::madvise(large, rounded, MADV_HUGEPAGE);
#endif
    return large;
}

void ScratchRelease::operator()(void* bytes) const { std::free(bytes); }

}  // namespace Orvex
