// Large allocations of the vesk program (a graph's arrays, the dominator
// tree's) ask the kernel for transparent huge pages: the analysis reads and
// writes them at random places, and with 4 KiB pages nearly every such
// access also misses the TLB. The memory is glibc's as always (freed with
// free()); only its placement changes, and at most the last huge page of
// each array is touched beyond what the array uses.
//
// Such allocations are mapped on their own and unmapped when freed: glibc
// would otherwise raise its mapping threshold after the first free, and a
// phase's freed arrays would stay resident under the next phase's.
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "base/Pages.h"

namespace {

using vesk::HUGE_PAGE;
constexpr size_t LARGE = size_t(4) << 20;

[[maybe_unused]] const int fixedThreshold = mallopt(M_MMAP_THRESHOLD, static_cast<int>(LARGE));

void* Allocate(size_t size) {
    if (size < LARGE) return malloc(size ? size : 1);
    void* memory = nullptr;
    if (posix_memalign(&memory, HUGE_PAGE, size) != 0) return nullptr;
    vesk::AdviseHugePages(memory, size);
    return memory;
}

}  // namespace

void* operator new(size_t size) {
    if (void* memory = Allocate(size)) return memory;
    throw std::bad_alloc();
}

void* operator new[](size_t size) { return operator new(size); }

void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }

void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }

void operator delete(void* memory) noexcept { free(memory); }

void operator delete[](void* memory) noexcept { free(memory); }

void operator delete(void* memory, size_t) noexcept { free(memory); }

void operator delete[](void* memory, size_t) noexcept { free(memory); }

void operator delete(void* memory, const std::nothrow_t&) noexcept { free(memory); }

void operator delete[](void* memory, const std::nothrow_t&) noexcept { free(memory); }
