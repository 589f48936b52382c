// The explorer's API over one heap held in memory: the graph, its dominator
// tree and what the input tells besides (load/HeapDetails). Only the
// summary is made up front; what the other calls need (the tree's children
// of each node, the referrers, the shortest paths, the findings, the grouped
// histograms) is built on the first call that needs it, once, whichever
// thread asks first, or ahead of the calls by Prepare. A class's instances
// are found by a scan of the heap on each call that needs them.
//
// Threads: Handle is safe to call from several threads at once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/Parallel.h"
#include "explore/ExploreApi.h"
#include "heap/ClassGroups.h"
#include "heap/ClassInstances.h"
#include "heap/DominatorChildren.h"
#include "heap/DominatorTree.h"
#include "heap/HeapFindings.h"
#include "heap/HeapPaths.h"
#include "heap/HolderGrowth.h"
#include "heap/ObjectSets.h"
#include "heap/ReferrerIndex.h"
#include "load/HeapDetails.h"
#include "load/HeapInput.h"
#include "report/HeapJson.h"

namespace vesk {

// What the comparison views keep of the older heap.
struct OlderHeap {
    uint64_t reachable = 0;
    std::vector<ClassTotals> classes;  // the tree's ByClass
    HolderBaseline holders;
};

// Where the heap came from, for the summary.
struct HeapOrigin {
    std::string source;  // the file, or host:port
    std::string kind;    // "hprof", "snapshot" or "live"
};

class HeapExplorer : public ExploreApi {
public:
    // tree and details over *graph; older, when given, the earlier heap of a
    // comparison (graph the later one); input, when given, kept for the
    // details, which may read its file.
    HeapExplorer(std::unique_ptr<HeapGraph> graph, std::unique_ptr<DominatorTree> tree,
                 std::unique_ptr<HeapDetails> details, const HeapOrigin& origin, const OlderHeap* older = nullptr,
                 std::unique_ptr<HeapInput> input = nullptr);

    ~HeapExplorer() override;

    ApiAnswer Handle(const std::string& path, const std::map<std::string, std::string>& query) const override;
    void Prepare() override;

private:
    typedef std::map<std::string, std::string> Query;
    typedef nlohmann::ordered_json Json;
    // ClassGrouping's order.
    enum Grouping { BY_CLASS, BY_PACKAGE, BY_LOADER, BY_SUPERCLASS, GROUPINGS };

    Json Summary(const Query& query) const;
    Json Histogram(const Query& query) const;
    Json Instances(const Query& query) const;
    Json Children(const Query& query) const;
    Json Treemap(const Query& query) const;
    Json Object(const Query& query) const;
    Json Refs(const Query& query) const;
    Json Path(const Query& query) const;
    Json MergedPathsOf(const Query& query) const;
    Json ImmediateDominatorsOf(const Query& query) const;
    Json RetainedSet(const Query& query) const;
    Json Threads(const Query& query) const;
    Json Suspects(const Query& query) const;
    Json Diff(const Query& query) const;

    NodeId NodeOf(const Query& query) const;
    // The members of the set a query names (class=, package=, loader= or
    // superclass=: a histogram row's name), largest retained first per class.
    std::vector<NodeId> SetOf(const Query& query) const;
    // The classes of that set.
    std::vector<uint32_t> SetClasses(const Query& query) const;
    // The group each class falls in, and each group's name, by grouping.
    const ClassGroups& Groups(Grouping grouping) const;
    const std::vector<GroupRow>& Rows(Grouping grouping) const;
    // Rows of grouping, filtered and sorted as query asks (cached).
    std::shared_ptr<const std::vector<uint32_t>> SortedRows(Grouping grouping, const Query& query) const;
    Json ObjectRow(NodeId node) const;

    const DominatorChildren& Children() const;
    const ReferrerIndex& Referrers() const;
    const PathFinder& Paths() const;

    std::unique_ptr<HeapInput> input;
    std::unique_ptr<HeapGraph> graphOwned;
    const HeapGraph& graph;
    std::unique_ptr<DominatorTree> treeOwned;
    const DominatorTree& tree;
    std::unique_ptr<HeapDetails> details;
    ClassInstances instances;
    Json overview;  // the summary's document
    std::optional<Json> diffRows, grownHolders;
    std::optional<Growth> growth;

    mutable std::once_flag childrenOnce, referrersOnce, pathsOnce, findingsOnce;
    mutable std::unique_ptr<DominatorChildren> children;
    mutable std::unique_ptr<ReferrerIndex> referrers;
    mutable std::unique_ptr<PathFinder> paths;
    mutable std::optional<Json> findings;
    mutable std::array<std::once_flag, GROUPINGS> groupsOnce, rowsOnce;
    mutable std::array<ClassGroups, GROUPINGS> groups;
    mutable std::array<std::vector<GroupRow>, GROUPINGS> rows;
    mutable std::mutex viewsLock;
    mutable std::map<std::string, std::shared_ptr<const std::vector<uint32_t>>> views;
    std::atomic<bool> stopping{false};
    Beside<> preparing;  // last: joined first
};

}  // namespace vesk
