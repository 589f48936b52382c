// One snapshot file's worth of captured references, filled by the heap walk
// and formatted by the snapshot writer thread. Fixed capacity, allocated
// once: the walk appends without allocating and learns when it is full.
// One thread at a time, the hand-over passes it between them.
#pragma once

#include <cstddef>

#include "HeapRecord.h"

namespace Orlo {

class ReferenceBatch {
public:
    // Throws std::bad_alloc when the records cannot be had. Takes the time
    // to fault in every page: call it before the walk, not during it.
    explicit ReferenceBatch(size_t capacity);
    ~ReferenceBatch();
    ReferenceBatch(const ReferenceBatch&) = delete;
    ReferenceBatch& operator=(const ReferenceBatch&) = delete;

    // The next record to fill, counted as used; null when full.
    HeapRecord::Captured* Next() { return used < capacity ? &records[used++] : nullptr; }
    bool Full() const { return used == capacity; }
    size_t Size() const { return used; }
    const HeapRecord::Captured& operator[](size_t i) const { return records[i]; }
    void Clear() { used = 0; }

private:
    // Straight from the system, not from malloc: freeing a block of this
    // size would raise the C library's mmap threshold for the whole process,
    // and the JVM's own large blocks (its tag map) would then stay in the
    // heap after they are freed. Every page is faulted in by the constructor,
    // in large pages where the system gives them: a fault in the walk stalls
    // the VM thread at its safepoint (they cost 15 % of the walk).
    HeapRecord::Captured* records;
    size_t bytes;
    size_t capacity;
    size_t used = 0;
};

}  // namespace Orlo
