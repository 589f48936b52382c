#include "heap/HeapSummary.h"

#include <algorithm>

#include "heap/HeapText.h"

namespace vesk {

HeapSummary SummarizeHeap(const HeapGraph& graph, const DominatorTree& tree, size_t classes) {
    HeapSummary summary;
    summary.fillers = graph.Fillers();
    summary.fillerBytes = graph.FillerBytes();
    summary.objects = graph.ObjectCount();
    summary.references = graph.ReferenceCount();
    summary.reachableBytes = tree.ReachableBytes();
    // Fillers are no root's and have no size.
    summary.unreachableObjects = tree.UnreachableCount() - graph.Fillers();
    summary.unreachableBytes = tree.UnreachableBytes();
    if (summary.unreachableObjects == 0 || classes == 0) return summary;
    std::vector<ClassTotals> totals(graph.Classes().size());
    for (NodeId node = 0; node < graph.NodeCount(); node++) {
        uint32_t cls = graph.ClassOf(node);
        if (tree.Reachable(node) || cls == NO_CLASS) continue;
        totals[cls].instances++;
        totals[cls].bytes += static_cast<int64_t>(graph.ShallowSize(node));
    }
    for (size_t i = 0; i < totals.size(); i++) totals[i].name = graph.Classes()[i].name;
    totals.erase(std::remove_if(totals.begin(), totals.end(), [](const ClassTotals& row) { return row.instances == 0; }),
                 totals.end());
    std::sort(totals.begin(), totals.end(), [](const ClassTotals& a, const ClassTotals& b) {
        if (a.bytes != b.bytes) return a.bytes > b.bytes;
        if (a.instances != b.instances) return a.instances > b.instances;
        return a.name < b.name;
    });
    if (totals.size() > classes) totals.resize(classes);
    summary.unreachableClasses = std::move(totals);
    return summary;
}

std::string UnreachableText(const HeapSummary& summary, bool exact, bool total) {
    auto bytes = [exact](uint64_t n) { return SizeText(n, exact) + (exact ? " bytes" : ""); };
    std::string text;
    if (summary.unreachableObjects > 0) {
        text = total ? std::to_string(summary.unreachableObjects) + " objects (" + bytes(summary.unreachableBytes) +
                           ") unreachable from the roots, counted all the same:"
                     : "unreachable:";
        const char* separator = " ";
        uint64_t shown = 0;
        for (const ClassTotals& row : summary.unreachableClasses) {
            text += separator + std::to_string(row.instances) + " " + row.name + " (" +
                    bytes(static_cast<uint64_t>(row.bytes)) + ")";
            separator = ", ";
            shown += static_cast<uint64_t>(row.instances);
        }
        if (shown < summary.unreachableObjects)
            text += separator + std::to_string(summary.unreachableObjects - shown) + (shown ? " more" : " of no known class");
        text += "\n";
    }
    if (summary.fillers > 0)
        text += "left out: " + std::to_string(summary.fillers) + " filler objects of the JVM (" +
                bytes(summary.fillerBytes) + ")\n";
    return text;
}

}  // namespace vesk
