// One SNAPSHOT (or HEAPDUMP) request seen through: waits out the heap walk
// (or the JVM's dump), hands on every frame as it arrives, shows progress on
// stderr and turns Ctrl-C into "<ABORT>" so that the agent stops.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "term/Progress.h"
#include "protocol/VeskClient.h"

namespace vesk {

class InterruptGuard;

class SnapshotSession {
public:
    enum class Outcome {
        Complete,   // the final frame arrived and no frame reported an error
        Cancelled,  // the agent confirmed the cancellation, or a second Ctrl-C gave up
        Failed,     // a frame reported an error
    };

    // idleTimeoutMs bounds the silence once the first frame has arrived or a
    // cancellation was sent (0: no limit); the walk itself may take as long
    // as it takes, and Ctrl-C is the way to stop it. showProgress: the
    // phases on stderr, when it is a terminal (see Progress).
    // heapDump: a HEAPDUMP request, whose frames carry no references to count.
    // compress: ask for the answer compressed (zstd); an agent that does not
    // compress answers plain, which reads the same. walk: a SNAPSHOT by the
    // heap walk; else from the JVM's own heap dump, which an agent without
    // that source ignores (it walks, giving the same stream).
    SnapshotSession(VeskClient& client, int idleTimeoutMs, bool showProgress, bool heapDump = false,
                    bool compress = false, bool walk = false);
    // A HEAPDUMP of the capture the agent kept under this name (DUMPS), not a new dump.
    void SetKeptDump(const std::string& name) { keptName = name; }
    // Whether the agent said it made the snapshot from the heap dump.
    bool FromDump() const { return fromDump; }

    // Sends the request and calls onFrame for each frame up to the final one.
    // Ctrl-C is caught while it runs. Throws ClientError when the connection
    // fails. The progress line is gone when it returns, except for a last
    // word on a complete snapshot.
    Outcome Run(const std::function<void(const Frame&)>& onFrame);
    // Sends "<ABORT>" once; the agent then ends the stream with an error frame.
    void Cancel();
    // Redraws the progress line (at most five times a second): for an
    // onFrame that takes a while, between its parts.
    void ShowProgress();
    // Whether Ctrl-C was pressed while Run ran (or runs: onFrame may ask).
    // onFrame may stop then by throwing ClientError(Cancelled): Run returns
    // Cancelled with its message, without waiting for the agent to confirm.
    bool Interrupted() const;
    // The first Ctrl-C ends Run at once (Cancelled, "Ctrl-C"): "<ABORT>" is
    // sent, the agent's confirmation not waited for. For a caller that keeps
    // nothing of a cancelled snapshot and ends (an analysis).
    void StopAtOnce() { stopAtOnce = true; }

    // The agent's error text (Failed, Cancelled).
    const std::string& Error() const { return error; }
    uint64_t Frames() const { return frames; }
    // Bytes on the wire.
    uint64_t Bytes() const { return client.BytesReceived() - startBytes; }
    // What the frames handed on decode to: the plain stream of a snapshot,
    // the HPROF bytes of a dump (each frame but the last FRAME_DUMP_BYTES).
    uint64_t PlainBytes() const { return plainBytes; }
    // Whether any frame came compressed.
    bool Compressed() const { return compressed; }
    double Seconds() const { return progress.Seconds(); }

private:
    void OnHeader(const Frame& header);
    uint64_t ReferencesReceived() const;

    VeskClient& client;
    int idleTimeoutMs;
    bool heapDump;
    bool compress;
    bool walk;
    bool fromDump = false;
    std::string keptName;
    Progress progress;
    const InterruptGuard* guard = nullptr;  // while Run runs
    bool interrupted = false;               // once it returned
    bool stopAtOnce = false;
    bool cancelSent = false;
    uint64_t frames = 0;
    uint64_t startBytes = 0;
    uint64_t headerBytes = 0;  // bytes of the stream up to the end of the header frame
    uint64_t frameBytes = 0;   // bytes on the wire of the frames handed on
    uint64_t plainBytes = 0;
    bool compressed = false;
    uint64_t totalRefs = 0;    // the header's "total-refs"
    double walkSeconds = 0;    // until the header (a dump's first frame) arrived
    std::string error;
};

}  // namespace vesk
