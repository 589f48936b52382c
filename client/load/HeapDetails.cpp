#include "load/HeapDetails.h"

#include <map>

#include "load/HeapInput.h"
#include "load/HprofDetails.h"

namespace vesk {

namespace {

// A snapshot stream's details, and the live heap's: what the graph knows.
// Fields are the references (named by the class records, typed by their
// targets); threads have their stack-local and JNI-local roots by frame
// depth, with the frame's method when the stream names it (no source, no
// line: the stream has neither).
class GraphDetails : public HeapDetails {
public:
    explicit GraphDetails(const HeapGraph& graph) : graph(graph) {}
    bool HasValues() const override { return false; }
    std::vector<FieldView> Fields(NodeId node, uint64_t offset, uint64_t limit) const override {
        std::vector<FieldView> fields;
        if (node >= graph.NodeCount()) return fields;
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
        std::vector<std::map<int32_t, FrameView>> depths(threads.size());
        for (const HeapRoot& root : graph.Roots()) {
            if ((root.kind != RootKind::StackLocal && root.kind != RootKind::JniLocal) || root.thread >= threads.size())
                continue;
            FrameView& frame = depths[root.thread][root.depth];
            if (frame.method.empty())
                frame.method = root.method < graph.Methods().size() ? graph.Methods()[root.method]
                                                                    : "frame " + std::to_string(root.depth);
            frame.locals.push_back(root.node);
        }
        for (size_t t = 0; t < threads.size(); t++)
            for (auto& [depth, frame] : depths[t]) threads[t].frames.push_back(std::move(frame));
        return threads;
    }

private:
    const HeapGraph& graph;
};

}  // namespace

std::unique_ptr<HeapDetails> OpenDetails(const HeapInput& input, const HeapGraph& graph, WorkProgress& progress) {
    if (input.GetKind() == HeapInput::Kind::Hprof) return std::make_unique<HprofDetails>(input, graph, progress);
    return std::make_unique<GraphDetails>(graph);
}

}  // namespace vesk
