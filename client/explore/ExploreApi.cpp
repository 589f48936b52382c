#include "explore/ExploreApi.h"

#include <nlohmann/json.hpp>

namespace vesk {

namespace {

// Until the calls are built: the heap is read, every call answers 501.
class PendingApi : public ExploreApi {
public:
    explicit PendingApi(HeapGraph graph) : graph(std::move(graph)) {}
    ApiAnswer Handle(const std::string& path, const std::map<std::string, std::string>&) const override {
        return {501, nlohmann::json{{"error", "not built yet: " + path}}.dump()};
    }

private:
    HeapGraph graph;
};

}  // namespace

std::unique_ptr<ExploreApi> ExploreApi::Open(const HeapInput& input, const HeapInput*, WorkProgress&) {
    return std::make_unique<PendingApi>(input.Graph());
}

}  // namespace vesk
