// Memory pages, rounded in one place: the whole pages a range holds, for
// advice to the kernel (a partly used page at either edge may be another
// allocation's and is left alone).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vesk {

// Transparent huge pages on x86-64 Linux.
constexpr size_t HUGE_PAGE = size_t(2) << 20;

// The system's page size.
size_t PageSize();

// The whole pages of size page (a power of two) inside [data, data +
// bytes): their start and length, the length 0 when there is none.
inline std::pair<void*, size_t> WholePages(void* data, size_t bytes, size_t page) {
    uintptr_t first = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    uintptr_t last = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(page - 1);
    if (last <= first) return {nullptr, 0};
    return {reinterpret_cast<void*>(first), last - first};
}

// Asks for huge pages for the whole ones inside the range. Advice only:
// without them, small pages serve. Allocates nothing.
void AdviseHugePages(void* data, size_t bytes);

// Faults in the whole pages inside the range now, on this thread. Advice
// only: before Linux 5.14 nothing happens.
void PopulatePages(void* data, size_t bytes);

}  // namespace vesk
