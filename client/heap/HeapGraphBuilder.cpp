#include "heap/HeapGraphBuilder.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "base/FreshPages.h"
#include "heap/ReferrerOrder.h"

namespace vesk {

HeapGraphBuilder::HeapGraphBuilder() = default;

HeapGraphBuilder::~HeapGraphBuilder() = default;

void HeapGraphBuilder::Reserve(uint64_t nodes, uint64_t references) {
    nodes = std::min(nodes, MAX_NODES);
    graph.tags.Reserve(nodes);
    graph.classOf.reserve(nodes);
    graph.shallow.reserve(nodes);
    graph.edges.reserve(references);
    referrers.reserve(references);
}

NodeId HeapGraphBuilder::NewNode(uint64_t tag, uint32_t classIndex, uint64_t size) {
    size_t node = graph.classOf.size();
    if (node >= MAX_NODES) throw std::length_error(TooManyObjects(node + 1));
    graph.tags.Add(static_cast<NodeId>(node), tag);
    graph.classOf.push_back(classIndex);
    graph.shallow.push_back(0);
    graph.SetShallow(static_cast<NodeId>(node), size);
    return static_cast<NodeId>(node);
}

uint32_t HeapGraphBuilder::AddClass(HeapClass cls, uint64_t superTag) {
    uint32_t index = static_cast<uint32_t>(graph.classes.size());
    cls.node = NewNode(cls.tag, NO_CLASS, 0);
    cls.super = NO_CLASS;
    cls.referentField = NO_INDEX;
    for (size_t i = 0; i < cls.fields.size(); i++)
        if (cls.fields[i].name == "referent" && cls.fields[i].definingClass == "java.lang.ref.Reference")
            cls.referentField = static_cast<int32_t>(i);
    classByTag.emplace(cls.tag, index);
    graph.classNodes.emplace(cls.node, index);
    graph.classes.push_back(std::move(cls));
    superTags.push_back(superTag);
    return index;
}

uint32_t HeapGraphBuilder::AddThread(HeapThread thread) {
    uint32_t index = static_cast<uint32_t>(graph.threads.size());
    thread.node = NewNode(thread.tag, NO_CLASS, 0);
    threadByTag.emplace(thread.tag, index);
    graph.threadNodes.emplace(thread.node, index);
    graph.threads.push_back(std::move(thread));
    return index;
}

NodeId HeapGraphBuilder::AddObject(uint64_t tag, uint32_t classIndex, uint64_t size) {
    return NewNode(tag, classIndex, size);
}

void HeapGraphBuilder::Describe(NodeId node, uint32_t classIndex, uint64_t size) {
    graph.classOf[node] = classIndex;
    graph.SetShallow(node, size);
}

uint32_t HeapGraphBuilder::FindClassTag(uint64_t tag) const {
    auto at = classByTag.find(tag);
    return at == classByTag.end() ? NO_CLASS : at->second;
}

uint32_t HeapGraphBuilder::FindThreadTag(uint64_t tag) const {
    auto at = threadByTag.find(tag);
    return at == threadByTag.end() ? NO_THREAD : at->second;
}

void HeapGraphBuilder::AddReference(NodeId referrer, uint64_t target, int32_t index) {
    if (referrer == NO_NODE) {
        graph.unresolved++;
        return;
    }
    NodeId node = graph.tags.Find(target);
    if (node == NO_NODE) pendingTargets.push_back({graph.edges.size(), target});
    graph.edges.push_back({node, index});
    referrers.push_back(referrer);
}

void HeapGraphBuilder::AddRoot(uint64_t target, RootKind kind, uint32_t thread, int32_t depth, uint32_t method) {
    HeapRoot root{graph.tags.Find(target), kind, thread, depth, method};
    if (root.node == NO_NODE) pendingRoots.push_back({target, root});
    else graph.roots.push_back(root);
}

uint32_t HeapGraphBuilder::AddMethod(std::string name) {
    graph.methods.push_back(std::move(name));
    return static_cast<uint32_t>(graph.methods.size() - 1);
}

size_t HeapGraphBuilder::MemoryBytes() const {
    return graph.MemoryBytes() + referrers.capacity() * sizeof(NodeId) + pendingTargets.capacity() * sizeof(Pending) +
           pendingRoots.capacity() * sizeof(PendingRoot) + (classByTag.size() + threadByTag.size()) * 32;
}

// Drops references to tags nothing described; keeps their order.
static uint64_t DropUnresolved(std::vector<HeapEdge>& edges, std::vector<NodeId>& referrers) {
    // Nothing moves before the first one dropped (mostly: none is).
    size_t kept = 0;
    while (kept < edges.size() && edges[kept].target != NO_NODE) kept++;
    for (size_t i = kept; i < edges.size(); i++) {
        if (edges[i].target == NO_NODE) continue;
        edges[kept] = edges[i];
        referrers[kept++] = referrers[i];
    }
    uint64_t dropped = edges.size() - kept;
    edges.resize(kept);
    referrers.resize(kept);
    return dropped;
}

NodeId HeapGraphBuilder::AddObjects(uint64_t count, uint64_t leastTag, uint64_t mostTag, uint64_t differing) {
    size_t first = graph.classOf.size();
    if (count > MAX_NODES - first) throw std::length_error(TooManyObjects(first + count));
    size_t nodes = first + static_cast<size_t>(count);
    // Faulted in on another thread while this one lays out the tags and
    // the offsets: about half the fresh pages each.
    graph.classOf.reserve(nodes);
    graph.shallow.reserve(nodes);
    FreshPages fresh({FreshPages::RoomOf(graph.classOf), FreshPages::RoomOf(graph.shallow)});
    graph.tags.CompactFor(nodes, leastTag, mostTag, differing);
    graph.offsets.Zero(nodes + 1);  // counts until LayOutReferences
    fresh.Wait();
    graph.classOf.resize(nodes, NO_CLASS);
    graph.shallow.resize(nodes, 0);
    bulk = true;
    return static_cast<NodeId>(first);
}

void HeapGraphBuilder::SetObject(NodeId node, uint64_t tag, uint32_t classIndex, uint64_t size, uint32_t references) {
    graph.tags.Set(node, tag);
    graph.classOf[node] = classIndex;
    graph.offsets.SetCount(node, references);
    if (!HeapGraph::IsLarge(size)) {
        graph.shallow[node] = static_cast<uint16_t>(size / HeapGraph::SIZE_UNIT);
    } else {
        std::lock_guard<std::mutex> lock(largeSizesLock);
        graph.SetShallow(node, size);
    }
}

void HeapGraphBuilder::LayOutReferences() {
    // The references added one by one, sorted as Finish would.
    std::vector<Pending>().swap(pendingTargets);
    graph.unresolved += DropUnresolved(graph.edges, referrers);
    NodeId earlier = 0;
    for (NodeId referrer : referrers) earlier = std::max(earlier, referrer + 1);
    std::vector<uint64_t> sorted = ReferrerOrder<uint64_t>(earlier).Place(graph.edges, referrers);
    std::vector<NodeId>().swap(referrers);
    for (NodeId n = 0; n < earlier; n++) graph.offsets.SetCount(n, static_cast<uint32_t>(sorted[n + 1] - sorted[n]));
    uint64_t sum = graph.offsets.Sum();
    // Prepared room, or else the second half faulted in on another thread
    // while this one fills the first.
    std::unique_ptr<FreshPages> fresh = std::move(preparedReferences);
    if (graph.edges.capacity() < sum) fresh.reset();  // the prepared room moves
    graph.edges.reserve(sum);
    if (!fresh)
        fresh = std::make_unique<FreshPages>(std::vector<std::pair<void*, size_t>>{FreshPages::SecondHalfOf(graph.edges)});
    graph.edges.resize(sum);
}

void HeapGraphBuilder::PrepareReferences(uint64_t atLeast) {
    graph.edges.reserve(atLeast);
    preparedReferences = std::make_unique<FreshPages>(std::vector<std::pair<void*, size_t>>{FreshPages::RoomOf(graph.edges)});
}

HeapGraph HeapGraphBuilder::Finish(WorkProgress& progress) {
    // Counting the references, then placing them (one step each).
    progress.Phase("graph", 2 * graph.edges.size(), "");
    NodeId nodes = graph.NodeCount();
    // Made first, so that its arrays are faulted in while the tags are resolved.
    std::optional<ReferrerOrder<uint32_t>> order;
    if (!bulk && referrers.size() <= UINT32_MAX) order.emplace(nodes);
    graph.tags.Compact();
    for (size_t i = 0; i < graph.classes.size(); i++)
        if (superTags[i] != 0) graph.classes[i].super = FindClassTag(superTags[i]);

    for (const Pending& pending : pendingTargets) graph.edges[pending.position].target = graph.tags.Find(pending.tag);
    std::vector<Pending>().swap(pendingTargets);
    for (const PendingRoot& pending : pendingRoots) {
        HeapRoot root = pending.root;
        root.node = graph.tags.Find(pending.tag);
        if (root.node == NO_NODE) graph.unresolved++;
        else graph.roots.push_back(root);
    }
    std::vector<PendingRoot>().swap(pendingRoots);
    graph.tags.DropOrder();
    for (const HeapClass& cls : graph.classes) graph.roots.push_back({cls.node, RootKind::ClassObject, NO_THREAD, -1});

    if (bulk) {
        // Drop the references to tags nothing described, in place.
        uint64_t from = 0, to = 0;
        graph.offsets.Restart();
        for (NodeId n = 0; n < nodes; n++) {
            uint64_t end = from + graph.offsets.Count(n);
            graph.offsets.Put(n, to);
            for (; from < end; from++)
                if (graph.edges[from].target != NO_NODE) graph.edges[to++] = graph.edges[from];
        }
        graph.offsets.Put(nodes, to);
        graph.unresolved += from - to;
        graph.edges.resize(to);
    } else {
        graph.unresolved += DropUnresolved(graph.edges, referrers);
        if (order) {
            graph.offsets.Take(order->Place(graph.edges, referrers, progress));
            order.reset();
            std::vector<NodeId>().swap(referrers);
        } else {
            std::vector<uint64_t> offsets = ReferrerOrder<uint64_t>(nodes).Place(graph.edges, referrers, progress);
            std::vector<NodeId>().swap(referrers);
            graph.offsets.Take(offsets);
        }
    }
    graph.tags.Merge();  // no-op for dropped orders

    HeapGraph done = std::move(graph);
    graph = HeapGraph();
    classByTag.clear();
    threadByTag.clear();
    superTags.clear();
    bulk = false;
    return done;
}

}  // namespace vesk
