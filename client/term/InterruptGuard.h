// Catches Ctrl-C (SIGINT) while it lives and counts the presses, so that a
// long task can stop at a point of its choosing and clean up instead of
// dying mid-write; the previous handler comes back when it ends. One guard
// at a time; the count is safe to read from the thread that made it.
#pragma once

#include <string>

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

// For work that holds nothing to clean up and has no point to stop at (a
// heap being read or analysed in memory): while it lives, Ctrl-C erases a
// progress line on a terminal, prints "vesk: MESSAGE" on stderr and ends the
// program at once with exit status status, output not yet flushed dropped. An
// InterruptGuard made meanwhile takes Ctrl-C over until it ends. One at a
// time, made and ended on the main thread.
class InterruptExit {
public:
    InterruptExit(const std::string& message, int status);
    ~InterruptExit();
    InterruptExit(const InterruptExit&) = delete;
    InterruptExit& operator=(const InterruptExit&) = delete;
};

// A file that a Ctrl-C ending the program under InterruptExit removes first
// (a private temporary one); "" for none. Main thread.
void RemoveOnInterruptExit(const std::string& path);

}  // namespace vesk
