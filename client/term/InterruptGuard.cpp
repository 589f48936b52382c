#include "term/InterruptGuard.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace vesk {

static volatile sig_atomic_t presses = 0;
static struct sigaction previous {};

static void OnInterrupt(int) { presses = presses + 1; }

// No SA_RESTART: a blocking call returns EINTR, and the loops around poll
// and recv go on, seeing the press on their next check.
InterruptGuard::InterruptGuard() {
    presses = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
}

InterruptGuard::~InterruptGuard() { sigaction(SIGINT, &previous, nullptr); }

int InterruptGuard::Presses() const { return presses; }

// Filled before the handler is set: the handler may only write and exit.
static char exitText[512];
static size_t exitLength = 0;
static int exitStatus = 0;
static struct sigaction beforeExit {};
static char removeOnExit[4096];

static void OnInterruptExit(int) {
    if (removeOnExit[0]) unlink(removeOnExit);
    ssize_t written = write(2, exitText, exitLength);
    (void)written;
    _exit(exitStatus);
}

InterruptExit::InterruptExit(const std::string& message, int status) {
    exitStatus = status;
    // "\r" and erase-line take the progress line and the terminal's "^C" away.
    std::string text = (isatty(2) ? "\r\x1b[K" : "") + std::string("vesk: ") + message + "\n";
    exitLength = std::min(text.size(), sizeof exitText);
    memcpy(exitText, text.data(), exitLength);
    struct sigaction action {};
    action.sa_handler = OnInterruptExit;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &beforeExit);
}

void RemoveOnInterruptExit(const std::string& path) {
    // Cleared before it changes: the handler never sees half a name.
    removeOnExit[0] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (path.size() >= sizeof removeOnExit) return;
    memcpy(removeOnExit + 1, path.data() + 1, path.size() > 0 ? path.size() - 1 : 0);
    removeOnExit[path.size()] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!path.empty()) removeOnExit[0] = path[0];
}

InterruptExit::~InterruptExit() { sigaction(SIGINT, &beforeExit, nullptr); }

}  // namespace vesk
