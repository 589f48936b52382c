#include "term/ProgressDisplay.h"

#include <signal.h>
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
    if (redrawer.joinable()) return;
    // Ctrl-C is for the thread doing the work: its handler's last words
    // are not to race with a redraw from here.
    sigset_t interrupt, before;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &before);
    stopping = false;
    redrawer = std::thread([this] { Redraw(); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
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
    if (redrawer.joinable()) redrawer.join();
}

}  // namespace vesk
