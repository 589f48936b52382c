// Catches Ctrl-C (SIGINT) while it lives and counts the presses, so that a
// long task can stop at a point of its choosing and clean up instead of
// dying mid-write; the previous handler comes back when it ends. One guard
// at a time; the count is safe to read from the thread that made it.
#pragma once

namespace vesk {

class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Ctrl-C presses since the guard was made.
    int Presses() const;
};

}  // namespace vesk
