// Every helper thread of the client starts here, and its failure comes back
// one way: as std::async's future does, the exception a task throws is
// thrown again by the call that waits for it, on the waiting thread.
//
// Beside runs one task on a thread of its own while the caller goes on;
// ForRuns splits a range over a few threads, the caller's one of them.
// Where no thread can be started (the system refuses one), the work runs
// on the caller's thread instead: Beside's when it is waited for, ForRuns'
// runs one after another. Results never depend on which happened.
#pragma once

#include <signal.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vesk {

// A task on a thread of its own. Wait (or Get) joins it and throws what it
// threw; the destructor joins too, dropping any exception (a caller on its
// way out with an error of its own). Not copyable; one waiting thread. A
// task is kept in a std::function, so it must be copyable itself.
//
// Ctrl-C (SIGINT) is blocked on the task's thread: it is handled by the
// thread that leads the work (see InterruptExit).
template <class T = void>
class Beside {
public:
    Beside() = default;
    template <class Task>
    explicit Beside(Task&& task) {
        Start(std::forward<Task>(task));
    }
    ~Beside() {
        try {
            Wait();
        } catch (...) {
        }
    }
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;

    // Starts task, after waiting for the one before (whose failure is thrown).
    template <class Task>
    void Start(Task&& task) {
        Wait();
        work = std::forward<Task>(task);
        failure = nullptr;
        result.reset();
        pending = true;
        sigset_t interrupt, before;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        pthread_sigmask(SIG_BLOCK, &interrupt, &before);
        try {
            thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // No thread to spare: Wait runs the task.
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }

    // True while a task was started and not yet waited for.
    bool Pending() const { return pending; }

    // Waits for the task; throws what it threw. Nothing when none is pending.
    void Wait() {
        if (!pending) return;
        pending = false;
        if (thread.joinable()) thread.join();
        else Run();
        work = nullptr;
        if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
    }

    // Waits for the task and hands over its result.
    template <class U = T, class = std::enable_if_t<!std::is_void_v<U>>>
    U Get() {
        Wait();
        return std::move(*result);
    }

private:
    void Run() {
        try {
            if constexpr (std::is_void_v<T>) work();
            else result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
    }

    using Result = std::conditional_t<std::is_void_v<T>, char, T>;
    std::function<T()> work;
    std::optional<Result> result;
    std::exception_ptr failure;
    bool pending = false;
    std::thread thread;
};

// Runs work(first, last) over contiguous runs of [0, count) of about equal
// weight(i), at most threads of them at once, the caller's thread taking
// the first. Returns once every run has ended; then throws the exception of
// the earliest run that threw.
inline void ForRuns(size_t count, unsigned threads, const std::function<uint64_t(size_t)>& weight,
                    const std::function<void(size_t first, size_t last)>& work) {
    if (count == 0) return;
    threads = std::max(1u, threads);
    uint64_t total = 0;
    for (size_t i = 0; i < count; i++) total += weight(i);
    std::vector<size_t> bounds{0};
    uint64_t sum = 0;
    for (size_t i = 0; i < count && bounds.size() < threads; i++) {
        sum += weight(i);
        if (sum * threads >= total * bounds.size() && i + 1 < count) bounds.push_back(i + 1);
    }
    bounds.push_back(count);
    size_t runs = bounds.size() - 1;
    std::vector<Beside<>> helpers(runs - 1);
    for (size_t r = 1; r < runs; r++) helpers[r - 1].Start([&, r] { work(bounds[r], bounds[r + 1]); });
    std::exception_ptr failure;
    try {
        work(bounds[0], bounds[1]);
    } catch (...) {
        failure = std::current_exception();
    }
    for (Beside<>& helper : helpers) {
        try {
            helper.Wait();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

// Threads worth a pass over a file's pieces: the machine's, at most four.
inline unsigned PassThreads() { return std::max(1u, std::min(std::thread::hardware_concurrency(), 4u)); }

}  // namespace vesk
