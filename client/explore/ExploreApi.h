// The explorer's JSON API over one heap (and, for the comparison views, a
// later one): each call answered from memory, once the heap is read or
// loaded from its index. vesk serve answers HTTP requests with it; vesk
// object and vesk children print its documents. docs/api.md lists the calls.
//
// Threads: Handle is safe to call from several threads at once.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "base/WorkProgress.h"
#include "load/HeapInput.h"

namespace vesk {

// One call's answer: an HTTP status and a JSON document ({"error": "..."}
// for a status other than 200).
struct ApiAnswer {
    int status = 200;
    std::string body;
};

class ExploreApi {
public:
    // Reads input (or loads it from its index: its graph and tree side by
    // side) and makes the summary; newer, when given, is the later heap of
    // a comparison.
    // progress: the reading and analysis phases. Throws ClientError as
    // HeapInput does.
    static std::unique_ptr<ExploreApi> Open(const HeapInput& input, const HeapInput* newer,
                                            WorkProgress& progress = NoProgress());
    virtual ~ExploreApi() = default;

    // path: "/api/summary", "/api/histogram", ...; query: the decoded
    // parameters. Bad arguments are a 400 answer, an unknown tag a 404, an
    // unknown path a 404; never throws for what a request holds.
    virtual ApiAnswer Handle(const std::string& path, const std::map<std::string, std::string>& query) const = 0;
    // Starts building, on a thread of its own, what the calls build on first
    // use, so that they find it ready (vesk serve, once it answers). The
    // memory is the same; calls meanwhile wait only for what they need.
    virtual void Prepare() = 0;
};

}  // namespace vesk
