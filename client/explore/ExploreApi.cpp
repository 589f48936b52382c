#include "explore/ExploreApi.h"

#include "explore/HeapExplorer.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace vesk {

static const char* KindName(HeapInput::Kind kind) {
    switch (kind) {
        case HeapInput::Kind::Hprof: return "hprof";
        case HeapInput::Kind::Stream: return "snapshot";
        case HeapInput::Kind::Live: return "live";
    }
    return "live";
}

std::unique_ptr<ExploreApi> ExploreApi::Open(const HeapInput& input, const HeapInput* newer, WorkProgress& progress) {
#ifdef __GLIBC__
    // The calls' large scratch is mapped on its own and goes back when
    // freed: without this, glibc raises the threshold as such blocks are
    // freed, and later ones stay behind as holes in the heap for good.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
#endif
    // The views browse the later heap; of the earlier one only what the
    // comparison needs is kept, and it is freed before the later is read.
    std::unique_ptr<OlderHeap> older;
    if (newer) {
        HeapGraph graph = input.Graph();
        std::unique_ptr<DominatorTree> tree = input.Tree(graph);
        progress.Phase("holders");
        older = std::make_unique<OlderHeap>(OlderHeap{tree->ReachableBytes(), tree->ByClass(), HolderKeys(graph, *tree)});
    }
    auto kept = std::make_unique<HeapInput>(newer ? *newer : input);
    auto [graph, tree] = kept->GraphAndTree();
    std::unique_ptr<HeapDetails> details = OpenDetails(*kept, *graph, progress);
    progress.Phase("views");
    HeapOrigin origin{kept->Source(), KindName(kept->GetKind())};
    return std::make_unique<HeapExplorer>(std::move(graph), std::move(tree), std::move(details), origin,
                                          older.get(), std::move(kept));
}

}  // namespace vesk
