#include "base/FreshPages.h"

#include "base/Pages.h"

namespace vesk {

FreshPages::FreshPages(std::vector<std::pair<void*, size_t>> ranges) {
    worker.Start([ranges] {
        for (const auto& range : ranges) PopulatePages(range.first, range.second);
    });
}

FreshPages::~FreshPages() = default;

void FreshPages::Wait() { worker.Wait(); }

}  // namespace vesk
