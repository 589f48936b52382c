#include "protocol/SnapshotSession.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "VeskProtocol.h"
#include "term/InterruptGuard.h"

namespace vesk {

namespace wire = Orlo::Protocol;

// The agent sends a file frame each time the walk has recorded this many references.
constexpr uint64_t REFS_PER_FILE_FRAME = wire::REFS_PER_FILE;

static const int POLL_MS = 250;
// A second Ctrl-C leaves without waiting for the agent's confirmation; the
// receive hook's way out of a read is this error.
static const char GIVEN_UP[] = "interrupted before the agent confirmed the cancellation";

// Puts back the caller's read timeout and receive hook, whichever way Run ends.
class ClientGuard {
public:
    explicit ClientGuard(VeskClient& client) : client(client), timeoutMs(client.ReadTimeout()) {}
    ~ClientGuard() {
        client.SetReadTimeout(timeoutMs);
        client.SetReceiveHook(nullptr);
    }

private:
    VeskClient& client;
    int timeoutMs;
};

SnapshotSession::SnapshotSession(VeskClient& client, int idleTimeoutMs, bool showProgress, bool heapDump,
                                 bool compress, bool walk)
    : client(client), idleTimeoutMs(idleTimeoutMs), heapDump(heapDump), compress(compress), walk(walk),
      progress(heapDump ? "dump" : "snapshot", stderr, showProgress && isatty(fileno(stderr))) {}

void SnapshotSession::Cancel() {
    if (cancelSent) return;
    cancelSent = true;
    client.SendAbort();
    progress.Phase("cancelling: waiting for the agent to stop");
}

void SnapshotSession::OnHeader(const Frame& header) {
    walkSeconds = progress.Seconds();
    headerBytes = frameBytes;
    if (heapDump) {
        if (!cancelSent) progress.Phase("receiving");
        return;
    }
    for (const Prop& prop : CommandProps(header.Body(), wire::CMD_SNAPSHOT)) {
        if (prop.name == wire::PROP_TOTAL_REFERENCES) totalRefs = strtoull(prop.value.c_str(), nullptr, 10);
        if (prop.name == wire::PROP_SNAPSHOT_SOURCE) fromDump = prop.value == wire::SOURCE_DUMP;
    }
    if (!cancelSent)
        progress.Phase(fromDump ? "receiving (made from the JVM's heap dump)" : "receiving (made by the heap walk)",
                       totalRefs, "references");
}

// Whole file frames count their references exactly; the part of the next
// frame already received is estimated at the bytes per reference so far.
uint64_t SnapshotSession::ReferencesReceived() const {
    if (frames < 2) return 0;
    uint64_t fileFrames = frames - 1;
    uint64_t whole = fileFrames * REFS_PER_FILE_FRAME;
    double bytesPerRef = static_cast<double>(frameBytes - headerBytes) / whole;
    uint64_t inFlight = Bytes() - frameBytes;
    uint64_t partial = bytesPerRef > 0 ? static_cast<uint64_t>(inFlight / bytesPerRef) : 0;
    uint64_t done = whole + std::min(partial, REFS_PER_FILE_FRAME - 1);
    return totalRefs > 0 ? std::min(done, totalRefs) : done;
}

bool SnapshotSession::Interrupted() const { return guard ? guard->Presses() > 0 : interrupted; }

void SnapshotSession::ShowProgress() {
    // The part of a frame still arriving is taken to decode as the whole ones did.
    double ratio = frameBytes > 0 ? static_cast<double>(plainBytes) / frameBytes : 0;
    progress.Transfer(Bytes(), static_cast<uint64_t>(ratio * Bytes()));
    if (frames == 0 || cancelSent || heapDump) progress.Tick();
    else progress.Update(ReferencesReceived());
}

SnapshotSession::Outcome SnapshotSession::Run(const std::function<void(const Frame&)>& onFrame) {
    InterruptGuard interrupts;
    struct Watch {
        SnapshotSession& session;
        ~Watch() {
            session.interrupted = session.guard->Presses() > 0;
            session.guard = nullptr;
        }
    } watch{*this};
    guard = &interrupts;
    ClientGuard clientGuard(client);
    startBytes = client.BytesReceived();
    // Named by route: a live analysis may take any of the three.
    progress.Phase(!keptName.empty() ? "kept heap dump: the agent reads it"
                   : heapDump        ? "heap dump: the JVM writes it, paused meanwhile; then the agent redacts it"
                   : walk            ? "snapshot by the heap walk: the JVM is paused meanwhile"
                            : "snapshot from the JVM's heap dump: paused meanwhile; then the agent converts it");
    client.SetReadTimeout(POLL_MS);
    client.SetReceiveHook([&] {
        if (interrupts.Presses() > 0) Cancel();
        if (interrupts.Presses() > 1) throw ClientError(ErrorKind::Cancelled, GIVEN_UP);
        if (interrupts.Presses() > 0 && stopAtOnce) throw ClientError(ErrorKind::Cancelled, "Ctrl-C");
        ShowProgress();
    });
    client.Send(VeskClient::BuildRequest({heapDump ? wire::CMD_HEAPDUMP : wire::CMD_SNAPSHOT}, "1",
                                         compress ? wire::ENCODING_ZSTD : "",
                                         heapDump ? "" : walk ? wire::SOURCE_WALK : wire::SOURCE_DUMP, keptName));

    uint64_t seenBytes = startBytes;
    auto lastData = std::chrono::steady_clock::now();
    bool failed = false;
    try {
        for (;;) {
            if (interrupts.Presses() > 0) Cancel();
            if (interrupts.Presses() > 1) throw ClientError(ErrorKind::Cancelled, GIVEN_UP);
            if (interrupts.Presses() > 0 && stopAtOnce) throw ClientError(ErrorKind::Cancelled, "Ctrl-C");
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
                ShowProgress();
                continue;
            }
            frames++;
            frameBytes += frame.wireSize;
            compressed = compressed || frame.marked;
            if (!heapDump) {
                plainBytes += frame.bytes.size();
            } else if (!frame.last) {
                plainBytes += wire::FRAME_DUMP_BYTES;
            } else {
                for (const Prop& prop : CommandProps(frame.Body(), wire::CMD_HEAPDUMP))
                    if (prop.name == wire::PROP_DUMP_BYTES) plainBytes = strtoull(prop.value.c_str(), nullptr, 10);
            }
            lastData = std::chrono::steady_clock::now();
            seenBytes = client.BytesReceived();
            if (!failed && ResponseError(frame.Body(), &error)) failed = true;
            if (frames == 1 && !failed) OnHeader(frame);
            onFrame(frame);
            ShowProgress();
            if (frame.last) break;
        }
    } catch (const ClientError& e) {
        if (e.Kind() != ErrorKind::Cancelled) throw;
        progress.Clear();
        error = e.what();
        return Outcome::Cancelled;
    }
    if (failed) {
        progress.Clear();
        return cancelSent && error == wire::CANCELLED_MESSAGE ? Outcome::Cancelled : Outcome::Failed;
    }
    char amount[96] = "";
    if (compressed && Bytes() > 0)
        snprintf(amount, sizeof amount, " (%.1f MiB plain, compressed %.1fx)", plainBytes / 1048576.0,
                 static_cast<double>(plainBytes) / Bytes());
    char summary[240];
    snprintf(summary, sizeof summary, "%.1f MiB%s in %.1f s, of which %.1f s waiting for the %s", Bytes() / 1048576.0,
             amount, progress.Seconds(), walkSeconds,
             heapDump || fromDump ? "dump" : "heap walk");
    progress.Finish(std::string("received ") + (totalRefs ? std::to_string(totalRefs) + " references, " : "") + summary);
    return Outcome::Complete;
}

}  // namespace vesk
