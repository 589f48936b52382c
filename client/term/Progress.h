// A status line on standard error for long tasks (receiving a snapshot,
// reading or analysing a large stream): the phase, how far it got of how
// much, the rate, the time left and the time elapsed, redrawn in place.
// Drawn only when the stream is a terminal; otherwise every call is a no-op,
// so callers need not check. One thread uses a Progress.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vesk {

struct ProgressState {
    std::string phase;          // what is happening, e.g. "the agent is walking the heap"
    uint64_t done = 0;          // amount of the phase done so far
    uint64_t total = 0;         // the phase's whole amount; 0 when not known
    // The counted noun ("references"); nullptr: the amount is bytes; "": a
    // share of the phase, shown as a percentage without amount or rate.
    const char* unit = nullptr;
    double phaseSeconds = 0;    // since the phase began: gives the rate and the time left
    double seconds = 0;         // since the task began
    // A transfer: the bytes received, and what they decode to (0: as many).
    uint64_t wireBytes = 0;
    uint64_t plainBytes = 0;
};

// The line for a state, without terminal controls:
// "TITLE: PHASE: 42% of 5.0 M references, 1.2 M/s, 3 s left (11.2 s)".
// The amount is left out while none is done and no total is known, the rate
// and the time left until the phase has run long enough to measure a rate;
// a share of a phase shows "PHASE: 42%, 3 s left". A transfer adds
// ", 1.2 MiB on the wire" before the time elapsed, and ", compressed 17.3x"
// when its bytes decode to more.
std::string ProgressLine(const std::string& title, const ProgressState& state);

class Progress {
public:
    // title heads the line ("snapshot", "top"); drawn on stderr when a terminal.
    explicit Progress(std::string title);
    // Draws on out when enabled, whatever out is (for tests).
    Progress(std::string title, FILE* out, bool enabled);
    // Erases a line still drawn, so that later output starts clean.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool Enabled() const { return enabled; }
    // Starts a phase and draws it at once; total 0 when the amount is unknown.
    void Phase(const std::string& name, uint64_t total = 0, const char* unit = nullptr);
    // Sets how far the phase got and redraws, at most five times a second.
    void Update(uint64_t done);
    // Redraws with the elapsed time moved on (same throttle), e.g. while waiting.
    void Tick() { Update(state.done); }
    // The transfer's bytes so far, for every later line (Update draws them).
    void Transfer(uint64_t wireBytes, uint64_t plainBytes) {
        state.wireBytes = wireBytes;
        state.plainBytes = plainBytes;
    }
    // Replaces the line with "TITLE: text" and ends it: a lasting last word.
    void Finish(const std::string& text);
    // Erases the line (a later Phase or Update draws again).
    void Clear();
    double Seconds() const;

private:
    void Draw(const std::string& line);

    std::string title;
    FILE* out;
    bool enabled;
    bool drawn = false;
    ProgressState state;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point phaseStart;
    std::chrono::steady_clock::time_point lastDrawn;
};

}  // namespace vesk
