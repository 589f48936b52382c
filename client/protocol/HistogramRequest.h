// The agent's HISTOGRAM request, with RUNTIME before it: one class histogram
// of the live heap from a single pass over it (no object tags, no reference
// walk), and the heap's use at that moment. An extension of the protocol: an
// agent without it answers "Unknown command: HISTOGRAM", which RequestHistogram
// reports as false so that the caller can take a snapshot instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/VeskClient.h"

namespace vesk {

struct HistogramClass {
    std::string name;
    int64_t instances = 0;
    int64_t bytes = 0;
};

struct HistogramSample {
    int64_t timeMillis = 0;     // when the agent began (hs-time), ms since the epoch
    int64_t heapUsed = 0;       // RUNTIME's total-heap minus free-heap
    int64_t heapCommitted = 0;  // RUNTIME's total-heap
    int64_t totalInstances = 0;
    int64_t totalBytes = 0;
    int64_t passMillis = 0;  // the heap pass: the JVM's pause
    int64_t gcMillis = 0;    // the collection before it (live), else 0
    std::string source;      // "jvm" (the JVM's own histogram) or "heap-pass"; empty from older agents
    std::vector<HistogramClass> classes;  // classes with instances, in the agent's order
};

// "<vesk-cmd tag=\"1\"><cmd name=\"RUNTIME\"/><cmd name=\"HISTOGRAM\"[ live=\"true\"]/></vesk-cmd>"
std::string HistogramRequestText(bool live);
// Sends the request on a connected (and authenticated) client and reads its
// answer into sample. False when the agent does not know HISTOGRAM. Throws
// AgentReported for any other error the agent answers (a refusal by
// min-interval, another pause running, a cancellation), and what
// VeskClient's reading throws.
bool RequestHistogram(VeskClient& client, bool live, HistogramSample& sample);
// The answer's frames read into sample, as RequestHistogram does.
bool ReadHistogram(const std::vector<Frame>& frames, HistogramSample& sample);

}  // namespace vesk
