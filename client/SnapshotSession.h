// One SNAPSHOT request seen through: waits out the heap walk, hands on every
// frame as it arrives, shows progress on stderr and turns Ctrl-C into
// "<ABORT>" so that the agent stops the walk.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "VeskClient.h"

namespace vesk {

class SnapshotSession {
public:
    enum class Outcome {
        Complete,   // the final frame arrived and no frame reported an error
        Cancelled,  // the agent confirmed the cancellation, or a second Ctrl-C gave up
        Failed,     // a frame reported an error
    };

    // idleTimeoutMs bounds the silence once the first frame has arrived or a
    // cancellation was sent (0: no limit); the walk itself may take as long
    // as it takes, and Ctrl-C is the way to stop it.
    SnapshotSession(VeskClient& client, int idleTimeoutMs, bool showProgress);

    // Sends the request and calls onFrame for each frame up to the final one.
    // Ctrl-C is caught while it runs. Throws ClientError when the connection fails.
    Outcome Run(const std::function<void(const Frame&)>& onFrame);
    // Sends "<ABORT>" once; the agent then ends the stream with an error frame.
    void Cancel();

    // The agent's error text (Failed, Cancelled).
    const std::string& Error() const { return error; }
    uint64_t Frames() const { return frames; }
    uint64_t Bytes() const { return client.BytesReceived() - startBytes; }
    double Seconds() const;

private:
    void ShowProgress(bool final);

    VeskClient& client;
    int idleTimeoutMs;
    bool showProgress;
    bool cancelSent = false;
    uint64_t frames = 0;
    uint64_t startBytes = 0;
    std::string error;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastShown;
};

}  // namespace vesk
