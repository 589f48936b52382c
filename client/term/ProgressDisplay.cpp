#include "term/ProgressDisplay.h"

#include <unistd.h>

namespace vesk {

// Twice the redraw rate Progress allows, so that no redraw is skipped.
static const auto POLL_INTERVAL = std::chrono::milliseconds(100);

ProgressDisplay::ProgressDisplay(std::string title)
    : ProgressDisplay(std::move(title), stderr, isatty(fileno(stderr))) {}

ProgressDisplay::ProgressDisplay(std::string title, FILE* out, bool enabled) : progress(std::move(title), out, enabled) {}

ProgressDisplay::~ProgressDisplay() { Stop(); }

void ProgressDisplay::OnPhase(const std::string& name, uint64_t total, const char* unit) {
    if (!progress.Enabled()) return;
    if (name.empty()) return Stop();
    std::lock_guard<std::mutex> lock(mutex);
    progress.Phase(name, total, unit);
    shown = true;
    if (redrawer.Pending()) return;
    // Ctrl-C stays with the thread doing the work (Beside blocks it here):
    // its handler's last words are not to race with a redraw.
    stopping = false;
    redrawer.Start([this] { Redraw(); });
}

void ProgressDisplay::Redraw() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, POLL_INTERVAL, [this] { return stopping; }))
        if (shown) progress.Update(Done());
}

void ProgressDisplay::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        shown = false;
        progress.Clear();
    }
    wake.notify_all();
    redrawer.Wait();
}

}  // namespace vesk
