// How a long piece of work (reading a heap, building its graph, dominators,
// paths) tells how far it got, for whoever shows it: a phase, and an amount
// done of the phase's total. The work never waits on the watcher, which
// reads the amount on its own thread whenever it likes.
//
// Phase is called by the thread that leads the work. Set, Tick and Add are
// one relaxed atomic store or add, callable from any thread: Set and Tick
// (for the head of a tight loop) cost next to nothing; Add is for workers
// sharing a phase, once per chunk. The base class shows nothing. Ctrl-C is
// not asked here: it ends the program from its signal handler (see
// InterruptExit), so no loop needs to look for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace vesk {

class WorkProgress {
public:
    virtual ~WorkProgress() = default;

    // Starts a phase ("dominators") with nothing done. total: the amount the
    // phase ends at, 0 when not known. unit: the counted noun, nullptr for
    // bytes, "" for a share of the phase shown as a percentage only. An
    // empty name: between phases, nothing to show.
    void Phase(const std::string& name, uint64_t total = 0, const char* unit = nullptr) {
        done.store(0, std::memory_order_relaxed);
        OnPhase(name, total, unit);
    }
    void Set(uint64_t amount) { done.store(amount, std::memory_order_relaxed); }
    void Add(uint64_t amount) { done.fetch_add(amount, std::memory_order_relaxed); }
    // Set for an amount counted up one by one, only at every 65536th: for the
    // head of a tight loop.
    void Tick(uint64_t amount) {
        if ((amount & 0xFFFF) == 0) Set(amount);
    }
    uint64_t Done() const { return done.load(std::memory_order_relaxed); }

protected:
    virtual void OnPhase(const std::string& name, uint64_t total, const char* unit) {
        (void)name, (void)total, (void)unit;
    }

private:
    std::atomic<uint64_t> done{0};
};

// Progress nobody watches: the default where no caller gives one.
inline WorkProgress& NoProgress() {
    static WorkProgress none;
    return none;
}

}  // namespace vesk
