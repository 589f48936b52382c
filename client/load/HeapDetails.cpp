#include "load/HeapDetails.h"

namespace vesk {

namespace {

// Until the inputs are read for their details: the graph's own knowledge only.
class GraphDetails : public HeapDetails {
public:
    explicit GraphDetails(const HeapGraph& graph) : graph(graph) {}
    bool HasValues() const override { return false; }
    NodeId LoaderOf(uint32_t) const override { return NO_NODE; }
    std::vector<FieldView> Fields(NodeId node, uint64_t offset, uint64_t limit) const override {
        std::vector<FieldView> fields;
        uint64_t i = 0;
        for (const HeapEdge* e = graph.EdgesBegin(node); e != graph.EdgesEnd(node); ++e, ++i) {
            if (i < offset || i - offset >= limit) continue;
            FieldView field;
            field.name = graph.EdgeName(node, *e);
            field.type = graph.ClassName(e->target);
            field.target = e->target;
            fields.push_back(std::move(field));
        }
        return fields;
    }
    int64_t Length(NodeId) const override { return -1; }
    std::vector<ThreadView> Threads() const override {
        std::vector<ThreadView> threads;
        for (const HeapThread& thread : graph.Threads()) threads.push_back({thread.node, thread.name, {}});
        return threads;
    }

private:
    const HeapGraph& graph;
};

}  // namespace

std::unique_ptr<HeapDetails> OpenDetails(const HeapInput&, const HeapGraph& graph, WorkProgress&) {
    return std::make_unique<GraphDetails>(graph);
}

}  // namespace vesk
