#include "heap/FreshPages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace vesk {

static void Populate(void* data, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    // Whole pages only: the partly used ones at the edges may be another allocation's.
    uintptr_t first = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    uintptr_t last = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(page - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)data, (void)bytes;
#endif
}

FreshPages::FreshPages(std::vector<std::pair<void*, size_t>> ranges) {
    try {
        worker = std::thread([ranges] {
            for (const auto& range : ranges) Populate(range.first, range.second);
        });
    } catch (const std::system_error&) {
        // No thread to spare: the fill takes the faults.
    }
}

FreshPages::~FreshPages() { Wait(); }

void FreshPages::Wait() {
    if (worker.joinable()) worker.join();
}

}  // namespace vesk
