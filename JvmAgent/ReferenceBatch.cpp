#include "ReferenceBatch.h"

#include <cstdint>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace Orlo {

namespace {

// Where the kernel has them, whole batches sit in 2 MiB pages: a few
// faults and TLB entries instead of thousands.
constexpr size_t LARGE_PAGE = size_t(2) << 20;
constexpr size_t SMALL_PAGE = 4096;

}  // namespace

ReferenceBatch::ReferenceBatch(size_t capacity)
    : records(nullptr), bytes((capacity ? capacity : 1) * sizeof(HeapRecord::Captured)), capacity(capacity) {
#ifdef _WIN32
    void* memory = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!memory) throw std::bad_alloc();
#else
    // Large batches are placed on a large-page boundary: the spare head and
    // tail of a slightly bigger mapping go back at once.
    const bool large = bytes >= LARGE_PAGE;
    if (large) bytes = (bytes + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
    const size_t mapped = large ? bytes + LARGE_PAGE : bytes;
    void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    if (large) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(memory);
        const uintptr_t aligned = (start + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
        if (aligned > start) munmap(memory, aligned - start);
        if (start + mapped > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), start + mapped - aligned - bytes);
        memory = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
        madvise(memory, bytes, MADV_HUGEPAGE);  // a hint: refused, small pages do
#endif
    }
#endif
    // Every page faulted in now, on the thread making the batch: the walk
    // then stores at a safepoint without a page fault.
    for (size_t at = 0; at < bytes; at += SMALL_PAGE) static_cast<volatile char*>(memory)[at] = 0;
    records = static_cast<HeapRecord::Captured*>(memory);
}

ReferenceBatch::~ReferenceBatch() {
#ifdef _WIN32
    VirtualFree(records, 0, MEM_RELEASE);
#else
    munmap(records, bytes);
#endif
}

}  // namespace Orlo
