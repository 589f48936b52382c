#include "term/InterruptGuard.h"

#include <signal.h>

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

}  // namespace vesk
