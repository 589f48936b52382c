// Fresh memory costs a page fault per page at its first touch, where the
// kernel zeroes the page: for large arrays a good share of the time. A
// FreshPages takes those faults for reserved room on a thread of its own
// while the caller works on, so that a fill that follows finds the room
// resident. Resident memory grows as if the room were filled at once.
//
// Advice only: where the kernel cannot populate ahead (before Linux 5.14),
// nothing happens and the fill takes the faults as before. Not copyable;
// the destructor waits for the thread.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "base/Parallel.h"

namespace vesk {

class FreshPages {
public:
    // Each range: a start and a length in bytes; pages already in stay as they are.
    explicit FreshPages(std::vector<std::pair<void*, size_t>> ranges);
    ~FreshPages();
    FreshPages(const FreshPages&) = delete;
    FreshPages& operator=(const FreshPages&) = delete;

    // The whole room of a vector, reserved or filled.
    template <class T>
    static std::pair<void*, size_t> RoomOf(std::vector<T>& values) {
        return {values.data(), values.capacity() * sizeof(T)};
    }

    // The second half of a vector's room: faulted in on another thread
    // while the caller fills the first.
    template <class T>
    static std::pair<void*, size_t> SecondHalfOf(std::vector<T>& values) {
        auto room = RoomOf(values);
        return {static_cast<char*>(room.first) + room.second / 2, room.second - room.second / 2};
    }

    // Waits until the faults are taken.
    void Wait();

private:
    Beside<> worker;
};

}  // namespace vesk
