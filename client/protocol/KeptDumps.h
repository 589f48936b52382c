// The agent's DUMPS answer: the heaps it kept at OutOfMemoryErrors
// (oom-dump=DIR), which HEAPDUMP file="NAME" fetches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/VeskClient.h"

namespace vesk {

struct KeptCapture {
    std::string name;        // the file's name in the agent's DIR
    uint64_t size = 0;       // bytes on disk (zstd)
    int64_t timeMillis = 0;  // when the error came, since the epoch
    std::string message;     // the OutOfMemoryError's
};

struct KeptCaptures {
    bool armed = false;      // the agent runs with oom-dump
    std::string directory;   // its DIR, as the agent names it
    uint64_t events = 0;     // Java heap OutOfMemoryErrors it saw
    std::vector<KeptCapture> captures;  // oldest first
};

// Asks DUMPS. Throws AgentReported when the agent answers with an error,
// saying so plainly for an agent older than DUMPS; the connection's own
// failures as VeskClient throws them.
KeptCaptures RequestKeptCaptures(VeskClient& client);
// Reads a DUMPS answer's frames; throws Protocol on a body it cannot read.
KeptCaptures ReadKeptCaptures(const std::vector<Frame>& frames);

}  // namespace vesk
