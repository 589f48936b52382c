#include "base/Pages.h"

#include <sys/mman.h>
#include <unistd.h>

namespace vesk {

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

void AdviseHugePages(void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
    std::pair<void*, size_t> pages = WholePages(data, bytes, HUGE_PAGE);
    if (pages.second) madvise(pages.first, pages.second, MADV_HUGEPAGE);
#else
    (void)data, (void)bytes;
#endif
}

void PopulatePages(void* data, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    std::pair<void*, size_t> pages = WholePages(data, bytes, PageSize());
    if (pages.second) madvise(pages.first, pages.second, MADV_POPULATE_WRITE);
#else
    (void)data, (void)bytes;
#endif
}

}  // namespace vesk
