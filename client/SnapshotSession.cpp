#include "SnapshotSession.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace vesk {

static const int POLL_MS = 250;
static volatile sig_atomic_t interrupts = 0;

static void OnInterrupt(int) { interrupts = interrupts + 1; }

// Catches SIGINT for the lifetime of a Run and puts the old handler back.
class InterruptGuard {
public:
    InterruptGuard() {
        interrupts = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous);
    }
    ~InterruptGuard() { sigaction(SIGINT, &previous, nullptr); }

private:
    struct sigaction previous {};
};

// Restores the caller's read timeout, whichever way Run ends.
class TimeoutGuard {
public:
    TimeoutGuard(VeskClient& client, int saved) : client(client), saved(saved) {}
    ~TimeoutGuard() { client.SetReadTimeout(saved); }

private:
    VeskClient& client;
    int saved;
};

SnapshotSession::SnapshotSession(VeskClient& client, int idleTimeoutMs, bool showProgress)
    : client(client), idleTimeoutMs(idleTimeoutMs), showProgress(showProgress && isatty(2)) {}

double SnapshotSession::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void SnapshotSession::Cancel() {
    if (cancelSent) return;
    cancelSent = true;
    client.SendAbort();
}

void SnapshotSession::ShowProgress(bool final) {
    if (!showProgress) return;
    auto now = std::chrono::steady_clock::now();
    if (!final && now - lastShown < std::chrono::milliseconds(500)) return;
    lastShown = now;
    fprintf(stderr, "\rsnapshot: %s%llu frames, %.1f MiB, %.1f s   ", cancelSent ? "cancelling, " : "",
            static_cast<unsigned long long>(frames), Bytes() / 1048576.0, Seconds());
    if (final) fputc('\n', stderr);
}

SnapshotSession::Outcome SnapshotSession::Run(const std::function<void(const Frame&)>& onFrame) {
    InterruptGuard interruptGuard;
    TimeoutGuard timeoutGuard(client, client.ReadTimeout());
    start = lastShown = std::chrono::steady_clock::now();
    startBytes = client.BytesReceived();
    client.SetReadTimeout(POLL_MS);
    client.Send(VeskClient::BuildRequest({"SNAPSHOT"}));

    auto lastData = start;
    uint64_t seenBytes = startBytes;
    bool failed = false;
    for (;;) {
        if (interrupts > 0) Cancel();
        if (interrupts > 1) {
            ShowProgress(true);
            error = "interrupted before the agent confirmed the cancellation";
            return Outcome::Cancelled;
        }
        Frame frame;
        try {
            frame = client.ReadResponseFrame();
        } catch (const ClientError& e) {
            if (e.Kind() != ErrorKind::Timeout) throw;
            auto now = std::chrono::steady_clock::now();
            if (client.BytesReceived() != seenBytes) {
                seenBytes = client.BytesReceived();
                lastData = now;
            }
            bool bounded = idleTimeoutMs > 0 && (frames > 0 || cancelSent);
            if (bounded && now - lastData > std::chrono::milliseconds(idleTimeoutMs))
                throw ClientError(ErrorKind::Timeout, "no data from the agent for " +
                                                          std::to_string(idleTimeoutMs / 1000) + " s");
            ShowProgress(false);
            continue;
        }
        frames++;
        lastData = std::chrono::steady_clock::now();
        seenBytes = client.BytesReceived();
        if (!failed && ResponseError(frame.Body(), &error)) failed = true;
        onFrame(frame);
        ShowProgress(frame.last);
        if (frame.last) break;
    }
    if (!failed) return Outcome::Complete;
    return cancelSent && error == "Operation cancelled by user" ? Outcome::Cancelled : Outcome::Failed;
}

}  // namespace vesk
