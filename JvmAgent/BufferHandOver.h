// Passes batches of captured references from the heap walk to the writer
// thread and written ones back, two batches taking turns. The walk runs on the VM thread
// at a safepoint: its side never allocates and waits only while the writer
// still holds the buffer before, and never longer than the limit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Orlo {

class ReferenceBatch;

class BufferHandOver {
public:
    // spare: the empty buffer the walk gets at its first hand-over.
    BufferHandOver(std::chrono::milliseconds limit, ReferenceBatch* spare);
    BufferHandOver(const BufferHandOver&) = delete;
    BufferHandOver& operator=(const BufferHandOver&) = delete;

    // Walk side. Gives a filled buffer and returns the empty one to fill
    // next; null once the writer has stopped, or when it gave no buffer back
    // within the limit (then Stalled()).
    ReferenceBatch* Give(ReferenceBatch* filled);
    // Walk side: no more buffers. discard: the writer drops one not yet taken.
    void Close(bool discard);
    // Walk side, after Close: false (and Stalled()) when the writer has not
    // stopped within the limit.
    bool WaitStopped();
    bool Stalled() const { return stalled; }

    // Writer side: the next filled buffer, once there is one; null once
    // closed with nothing (or nothing wanted) left.
    ReferenceBatch* Take();
    // Writer side: hands a written buffer back, emptied.
    void Return(ReferenceBatch* written);
    // Writer side: takes nothing more, for good (after a failure or at the end).
    void Stop();
    // Cheap enough for the walk to poll.
    bool Stopped() const { return stopped.load(std::memory_order_relaxed); }

private:
    std::mutex lock;
    std::condition_variable changed;
    const std::chrono::milliseconds limit;
    ReferenceBatch* spare;
    ReferenceBatch* pending = nullptr;
    bool closed = false;
    bool discard = false;
    std::atomic<bool> stopped{false};
    std::atomic<bool> stalled{false};
};

}  // namespace Orlo
