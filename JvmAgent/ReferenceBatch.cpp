#include "ReferenceBatch.h"

#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace Orlo {

ReferenceBatch::ReferenceBatch(size_t capacity)
    : records(nullptr), bytes((capacity ? capacity : 1) * sizeof(HeapRecord::Captured)), capacity(capacity) {
#ifdef _WIN32
    void* memory = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!memory) throw std::bad_alloc();
#else
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
#endif
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
