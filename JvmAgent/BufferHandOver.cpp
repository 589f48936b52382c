#include "BufferHandOver.h"

namespace Orlo {

BufferHandOver::BufferHandOver(std::chrono::milliseconds limit, ReferenceBatch* spare)
    : limit(limit), spare(spare) {}

ReferenceBatch* BufferHandOver::Give(ReferenceBatch* filled) {
    std::unique_lock<std::mutex> guard(lock);
    if (!changed.wait_for(guard, limit, [this] { return (spare && !pending) || stopped; })) {
        stalled = true;
        return nullptr;
    }
    if (stopped) return nullptr;
    pending = filled;
    ReferenceBatch* next = spare;
    spare = nullptr;
    changed.notify_all();
    return next;
}

void BufferHandOver::Close(bool drop) {
    std::lock_guard<std::mutex> guard(lock);
    closed = true;
    discard = drop;
    changed.notify_all();
}

bool BufferHandOver::WaitStopped() {
    std::unique_lock<std::mutex> guard(lock);
    if (changed.wait_for(guard, limit, [this] { return stopped.load(); })) return true;
    stalled = true;
    return false;
}

ReferenceBatch* BufferHandOver::Take() {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return pending || closed; });
    if (!pending || discard) return nullptr;
    ReferenceBatch* filled = pending;
    pending = nullptr;
    return filled;
}

void BufferHandOver::Return(ReferenceBatch* written) {
    std::lock_guard<std::mutex> guard(lock);
    spare = written;
    changed.notify_all();
}

void BufferHandOver::Stop() {
    std::lock_guard<std::mutex> guard(lock);
    stopped = true;
    changed.notify_all();
}

}  // namespace Orlo
