// Items from one thread to another, at most a given number waiting: the
// producer waits when the queue is full, so memory stays bounded whatever
// the pace of either side. Either side can end it: the producer with Close
// (the consumer takes what is queued, then sees the end), the consumer with
// Cancel (the producer's next Push fails at once, queued items are dropped).
// Failures travel beside it, through the thread's Beside (base/Parallel.h).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace vesk {

template <class T>
class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : capacity(capacity) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Waits for room. False, item untouched, once the queue is cancelled.
    bool Push(T& item) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return cancelled || items.size() < capacity; });
        if (cancelled) return false;
        items.push_back(std::move(item));
        hold.unlock();
        changed.notify_all();
        return true;
    }
    bool Push(T&& item) { return Push(item); }

    // Waits for an item. False once the queue is closed and empty, or cancelled.
    bool Pop(T& item) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return cancelled || closed || !items.empty(); });
        if (cancelled || items.empty()) return false;
        item = std::move(items.front());
        items.pop_front();
        hold.unlock();
        changed.notify_all();
        return true;
    }

    // An item when one is queued, without waiting.
    bool TryPop(T& item) {
        std::lock_guard<std::mutex> hold(lock);
        if (items.empty()) return false;
        item = std::move(items.front());
        items.pop_front();
        changed.notify_all();
        return true;
    }

    // The producer is done.
    void Close() {
        {
            std::lock_guard<std::mutex> hold(lock);
            closed = true;
        }
        changed.notify_all();
    }

    // The consumer is gone.
    void Cancel() {
        {
            std::lock_guard<std::mutex> hold(lock);
            cancelled = true;
            items.clear();
        }
        changed.notify_all();
    }

private:
    const size_t capacity;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<T> items;
    bool closed = false;
    bool cancelled = false;
};

}  // namespace vesk
