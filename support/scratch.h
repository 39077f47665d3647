// Scratch arrays: memory a pass over a whole table holds for a short while
// (the in-memory sort's copy of the records and its entries).
//
// Fresh memory is mapped on first touch, one page fault per 4 KiB page;
// under a hypervisor a fault costs several microseconds, so touching the
// 20 MB that sorting a million records takes cost as much as the sorting.
// A large scratch array is therefore asked of the kernel in transparent huge
// pages (2 MiB each, one fault for 512 small pages). Where the kernel offers
// none, the advice is ignored and the array is made of small pages.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace Orvex {

struct ScratchRelease {
    void operator()(void* bytes) const;
};

// `bytes` uninitialised bytes, aligned for any type; from 2 MiB on, aligned
// to 2 MiB, rounded up to a multiple of it and advised to use huge pages.
// Raises std::bad_alloc when the memory cannot be had.
void* allocateScratch(std::size_t bytes);

template <class T>
using ScratchArray = std::unique_ptr<T[], ScratchRelease>;

// `count` uninitialised elements of a trivial type; std::bad_alloc when
// their size does not fit a std::size_t or the memory cannot be had.
template <class T>
ScratchArray<T> scratchArray(std::size_t count) {
    static_assert(std::is_trivial<T>::value, "scratch elements are never constructed");
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return ScratchArray<T>(static_cast<T*>(allocateScratch(count * sizeof(T))));
}

}  // namespace Orvex
