// Shows the progress of an analysis (reading, graph, dominators...) as one
// Progress line on standard error, redrawn in place five times a second by
// a thread of its own: the line moves, the time elapsed at least, through
// phases that report no amount, and the work never waits on the terminal.
// When standard error is no terminal nothing is drawn and no thread runs.
//
// Phases come from the thread leading the work, amounts from any (see
// WorkProgress). Stop erases the line, to be called before the command
// prints its results; the destructor stops too (an error on its way out).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "base/Parallel.h"
#include "base/WorkProgress.h"
#include "term/Progress.h"

namespace vesk {

class ProgressDisplay : public WorkProgress {
public:
    // title heads the line ("top").
    explicit ProgressDisplay(std::string title);
    // Draws on out when enabled, whatever out is (for tests).
    ProgressDisplay(std::string title, FILE* out, bool enabled);
    ~ProgressDisplay() override;
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Erases the line and ends the thread; a later phase starts it again.
    void Stop();

protected:
    void OnPhase(const std::string& name, uint64_t total, const char* unit) override;

private:
    void Redraw();

    std::mutex mutex;
    std::condition_variable wake;
    Beside<> redrawer;
    bool stopping = false;
    bool shown = false;  // a phase is on
    Progress progress;
};

}  // namespace vesk
