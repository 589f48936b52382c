#include "heap/HeapGraph.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "base/FreshPages.h"
#include "heap/ReferrerOrder.h"

namespace vesk {

const char* RootKindName(RootKind kind) {
    switch (kind) {
        case RootKind::ClassObject: return "class";
        case RootKind::JniGlobal: return "JNI global";
        case RootKind::SystemClass: return "system class";
        case RootKind::Monitor: return "monitor";
        case RootKind::StackLocal: return "stack local";
        case RootKind::JniLocal: return "JNI local";
        case RootKind::Thread: return "thread";
        case RootKind::Other: return "other";
    }
    return "other";
}

void TagIndex::Add(NodeId node, uint64_t tag) {
    if (compact) {
        if (!nodeTags.empty() || tag < tagBase || ((tag - tagBase) & ((1ull << tagShift) - 1)) != 0 ||
            (tag - tagBase) >> tagShift > UINT32_MAX) {
            // Widened for a tag out of reach, from then on.
            if (nodeTags.empty()) {
                nodeTags.reserve(nearTags.capacity());
                for (uint32_t near : nearTags) nodeTags.push_back(tagBase + (static_cast<uint64_t>(near) << tagShift));
                std::vector<uint32_t>().swap(nearTags);
            }
            nodeTags.push_back(tag);
        } else {
            nearTags.push_back(static_cast<uint32_t>((tag - tagBase) >> tagShift));
        }
        return;
    }
    if (!runs.empty()) {
        TagRun& last = runs.back();
        if (last.firstTag + last.count == tag && last.firstNode + last.count == node && last.count < UINT32_MAX) {
            last.count++;
            return;
        }
    }
    runs.push_back({tag, node, 1});
}

// Entries 0 .. keys.size() - 1 ordered by key, equal keys by entry: a
// stable radix sort of (key, entry) pairs, 11 bits a pass, skipping passes
// whose digit is the same for all. Heap dumps list objects by address
// (after the class objects, themselves by address), so a few ascending runs
// are recognised first and merged instead.
static void SortByKey(const std::vector<uint32_t>& keys, std::vector<uint32_t>& order) {
    const size_t n = keys.size();
    order.resize(n);
    constexpr size_t FEW_RUNS = 8;
    std::vector<size_t> runs{0};
    for (size_t i = 1; i < n && runs.size() <= FEW_RUNS; i++)
        if (keys[i - 1] > keys[i]) runs.push_back(i);
    if (runs.size() <= FEW_RUNS) {
        for (size_t i = 0; i < n; i++) order[i] = static_cast<uint32_t>(i);
        runs.push_back(n);
        // Neighbouring runs merged pairwise; on equal keys the earlier run's
        // entry comes first. In place: a dump's class objects are a short
        // run beside the objects' long one, and the merge then needs room
        // for the short one only, rather than a second array of them all.
        auto byKey = [&keys](uint32_t a, uint32_t b) { return keys[a] < keys[b]; };
        while (runs.size() > 2) {
            std::vector<size_t> joined{0};
            for (size_t r = 0; r + 1 < runs.size(); r += 2) {
                size_t middle = runs[r + 1], end = r + 2 < runs.size() ? runs[r + 2] : middle;
                std::inplace_merge(order.begin() + static_cast<long>(runs[r]), order.begin() + static_cast<long>(middle),
                                   order.begin() + static_cast<long>(end), byKey);
                joined.push_back(end);
            }
            runs.swap(joined);
        }
        return;
    }
    constexpr unsigned BITS = 11, DIGITS = 3;
    constexpr size_t RADIX = size_t(1) << BITS;
    std::vector<uint64_t> from(n), to(n);
    std::vector<size_t> counts(DIGITS * RADIX, 0);
    for (size_t i = 0; i < n; i++) {
        from[i] = static_cast<uint64_t>(keys[i]) << 32 | i;
        for (unsigned d = 0; d < DIGITS; d++) counts[d * RADIX + (keys[i] >> (d * BITS) & (RADIX - 1))]++;
    }
    for (unsigned d = 0; d < DIGITS; d++) {
        size_t* count = &counts[d * RADIX];
        if (*std::max_element(count, count + RADIX) == n) continue;
        size_t sum = 0;
        for (size_t r = 0; r < RADIX; r++) sum += std::exchange(count[r], sum);
        for (uint64_t pair : from) to[count[pair >> (32 + d * BITS) & (RADIX - 1)]++] = pair;
        from.swap(to);
    }
    std::vector<uint64_t>().swap(to);
    for (size_t i = 0; i < n; i++) order[i] = static_cast<uint32_t>(from[i]);
}

// Folds the entries added since the last call into the tag order; equal
// tags keep the order they were added in.
void TagIndex::Merge() const {
    size_t entries = Entries();
    if (!ordered || sorted == entries) return;
    size_t old = byTag.size();
    std::vector<uint32_t>().swap(directory);
    if (old == 0 && compact && nodeTags.empty()) {
        SortByKey(nearTags, byTag);
        sorted = entries;
        BuildDirectory();
        return;
    }
    byTag.reserve(entries);
    for (size_t i = sorted; i < entries; i++) byTag.push_back(static_cast<uint32_t>(i));
    auto less = [this](uint32_t a, uint32_t b) { return FirstTag(a) < FirstTag(b); };
    auto lessOrEarlier = [this](uint32_t a, uint32_t b) {
        uint64_t x = FirstTag(a), y = FirstTag(b);
        return x != y ? x < y : a < b;
    };
    std::sort(byTag.begin() + static_cast<long>(old), byTag.end(), lessOrEarlier);
    std::inplace_merge(byTag.begin(), byTag.begin() + static_cast<long>(old), byTag.end(), less);
    sorted = entries;
    if (compact && nodeTags.empty()) BuildDirectory();
}

// Where each range of near tags begins in byTag, about two entries a range,
// so that a lookup reads a few entries rather than bisecting them all.
void TagIndex::BuildDirectory() const {
    const size_t n = byTag.size();
    if (n < 64) return;
    uint32_t most = nearTags[byTag[n - 1]];
    directoryShift = 0;
    while ((static_cast<uint64_t>(most) >> directoryShift) + 1 > n / 2) directoryShift++;
    size_t ranges = (static_cast<size_t>(most) >> directoryShift) + 1;
    directory.assign(ranges + 1, 0);
    size_t at = 0;
    for (size_t r = 0; r <= ranges; r++) {
        while (at < n && (nearTags[byTag[at]] >> directoryShift) < r) at++;
        directory[r] = static_cast<uint32_t>(at);
    }
}

void TagIndex::Compact() {
    // Worth it when runs take more room than 8 bytes a node would.
    if (compact || runs.size() <= 16 || runs.size() * 5 <= (static_cast<size_t>(runs.back().firstNode) + runs.back().count) * 2)
        return;
    std::vector<uint32_t>().swap(byTag);
    std::vector<uint32_t>().swap(directory);
    sorted = 0;
    size_t nodes = static_cast<size_t>(runs.back().firstNode) + runs.back().count;
    uint64_t least = UINT64_MAX, most = 0, bits = 0;
    for (const TagRun& run : runs) {
        least = std::min(least, run.firstTag);
        most = std::max(most, run.firstTag + run.count - 1);
    }
    for (const TagRun& run : runs) bits |= (run.firstTag - least) | (run.count > 1 ? 1 : 0);
    tagBase = least;
    tagShift = 0;
    while (tagShift < 32 && bits != 0 && (bits >> tagShift & 1) == 0) tagShift++;
    if ((most - least) >> tagShift <= UINT32_MAX) {
        nearTags.reserve(nodes);
        for (const TagRun& run : runs)
            for (uint32_t i = 0; i < run.count; i++)
                nearTags.push_back(static_cast<uint32_t>((run.firstTag + i - tagBase) >> tagShift));
    } else {
        nodeTags.reserve(nodes);
        for (const TagRun& run : runs)
            for (uint32_t i = 0; i < run.count; i++) nodeTags.push_back(run.firstTag + i);
    }
    std::vector<TagRun>().swap(runs);
    compact = true;
    Merge();
}

void TagIndex::CompactFor(size_t nodes, uint64_t least, uint64_t most, uint64_t differing) {
    std::vector<uint64_t> present;
    if (compact) {
        for (size_t i = 0; i < CompactCount(); i++) present.push_back(NodeTag(i));
    } else {
        for (const TagRun& run : runs)
            for (uint32_t i = 0; i < run.count; i++) present.push_back(run.firstTag + i);
    }
    uint64_t bits = differing;
    for (uint64_t tag : present) {
        if (least != UINT64_MAX) bits |= tag ^ least;
        least = std::min(least, tag);
        most = std::max(most, tag);
    }
    if (least == UINT64_MAX) least = most = 0;
    std::vector<TagRun>().swap(runs);
    std::vector<uint32_t>().swap(byTag);
    std::vector<uint32_t>().swap(directory);
    std::vector<uint32_t>().swap(nearTags);
    std::vector<uint64_t>().swap(nodeTags);
    sorted = 0;
    compact = true;
    tagBase = least;
    tagShift = 0;
    while (tagShift < 32 && bits != 0 && (bits >> tagShift & 1) == 0) tagShift++;
    if ((most - least) >> tagShift <= UINT32_MAX) nearTags.resize(nodes);
    else nodeTags.resize(nodes);
    for (size_t i = 0; i < present.size(); i++) Set(static_cast<NodeId>(i), present[i]);
}

void TagIndex::DropOrder() {
    if (!compact) return;
    std::vector<uint32_t>().swap(byTag);
    std::vector<uint32_t>().swap(directory);
    ordered = false;
}

NodeId TagIndex::FindIn(size_t entry, uint64_t tag) const {
    if (compact) return NodeTag(entry) == tag ? static_cast<NodeId>(entry) : NO_NODE;
    const TagRun& run = runs[entry];
    return tag - run.firstTag < run.count ? run.firstNode + static_cast<NodeId>(tag - run.firstTag) : NO_NODE;
}

NodeId TagIndex::Find(uint64_t tag) const {
    size_t entries = Entries();
    if (entries == 0) return NO_NODE;
    // The heap's objects form the last, longest run.
    if (!compact) {
        const TagRun& last = runs.back();
        if (tag - last.firstTag < last.count) return last.firstNode + static_cast<NodeId>(tag - last.firstTag);
    }
    if (!ordered) {
        for (size_t i = 0; i < entries; i++)
            if (NodeTag(i) == tag) return static_cast<NodeId>(i);
        return NO_NODE;
    }
    // While building, a short unsorted tail is scanned; a long one is merged.
    if (entries - sorted > 64) Merge();
    for (size_t i = sorted; i < entries; i++) {
        NodeId node = FindIn(i, tag);
        if (node != NO_NODE) return node;
    }
    if (compact && nodeTags.empty() && !directory.empty()) {
        if (tag < tagBase || ((tag - tagBase) & ((1ull << tagShift) - 1)) != 0 || (tag - tagBase) >> tagShift > UINT32_MAX)
            return NO_NODE;
        uint32_t near = static_cast<uint32_t>((tag - tagBase) >> tagShift);
        size_t range = near >> directoryShift;
        if (range + 1 >= directory.size()) return NO_NODE;
        // The first of equal tags.
        auto at = std::lower_bound(byTag.begin() + directory[range], byTag.begin() + directory[range + 1], near,
                                   [this](uint32_t entry, uint32_t t) { return nearTags[entry] < t; });
        return at == byTag.begin() + directory[range + 1] ? NO_NODE : FindIn(*at, tag);
    }
    if (compact) {
        // The first of equal tags.
        auto at = std::lower_bound(byTag.begin(), byTag.end(), tag,
                                   [this](uint32_t entry, uint64_t t) { return NodeTag(entry) < t; });
        return at == byTag.end() ? NO_NODE : FindIn(*at, tag);
    }
    auto at = std::upper_bound(byTag.begin(), byTag.end(), tag,
                               [this](uint64_t t, uint32_t entry) { return t < runs[entry].firstTag; });
    return at == byTag.begin() ? NO_NODE : FindIn(*(at - 1), tag);
}

uint64_t TagIndex::TagOf(NodeId node) const {
    if (compact) return node < CompactCount() ? NodeTag(node) : 0;
    auto at = std::upper_bound(runs.begin(), runs.end(), node,
                               [](NodeId n, const TagRun& run) { return n < run.firstNode; });
    if (at == runs.begin()) return 0;
    --at;
    return node - at->firstNode < at->count ? at->firstTag + (node - at->firstNode) : 0;
}

void TagIndex::Reserve(size_t count) { runs.reserve(count); }

size_t TagIndex::MemoryBytes() const {
    return runs.capacity() * sizeof(TagRun) + nearTags.capacity() * sizeof(uint32_t) +
           nodeTags.capacity() * sizeof(uint64_t) +
           (byTag.capacity() + directory.capacity()) * sizeof(uint32_t);
}

const std::string& HeapGraph::ClassName(NodeId node) const {
    static const std::string unknown = "?";
    uint32_t cls = classOf[node];
    return cls == NO_CLASS ? unknown : classes[cls].name;
}

uint32_t HeapGraph::DescribedClass(NodeId node) const {
    auto at = classNodes.find(node);
    return at == classNodes.end() ? NO_CLASS : at->second;
}

uint32_t HeapGraph::DescribedThread(NodeId node) const {
    auto at = threadNodes.find(node);
    return at == threadNodes.end() ? NO_THREAD : at->second;
}

bool HeapGraph::IsWeak(NodeId referrer, const HeapEdge& edge) const {
    uint32_t cls = classOf[referrer];
    return cls != NO_CLASS && edge.index != NO_INDEX && classes[cls].referentField == edge.index;
}

std::string HeapGraph::EdgeName(NodeId referrer, const HeapEdge& edge) const {
    if (edge.index == NO_INDEX) return "";
    // A class object's field references are its static fields, or else
    // fields of java.lang.Class, its own class.
    uint32_t cls = DescribedClass(referrer);
    if (cls != NO_CLASS && edge.index < NO_INDEX) {
        cls = classOf[referrer];
        const int32_t index = ClassObjectField(edge.index);
        if (cls == NO_CLASS || static_cast<size_t>(index) >= classes[cls].fields.size()) return "?";
        return classes[cls].fields[static_cast<size_t>(index)].name;
    }
    if (cls == NO_CLASS) {
        cls = classOf[referrer];
        if (cls != NO_CLASS && classes[cls].IsArray()) return "[" + std::to_string(edge.index) + "]";
    }
    if (cls == NO_CLASS || static_cast<size_t>(edge.index) >= classes[cls].fields.size()) return "?";
    return classes[cls].fields[static_cast<size_t>(edge.index)].name;
}

std::vector<uint32_t> HeapGraph::FindClasses(const std::string& name) const {
    std::vector<uint32_t> found;
    for (uint32_t i = 0; i < classes.size(); i++)
        if (classes[i].name == name) found.push_back(i);
    return found;
}

std::vector<ClassTotals> HeapGraph::Histogram() const {
    std::vector<ClassTotals> totals(classes.size());
    for (NodeId node = 0; node < NodeCount(); node++) {
        uint32_t cls = classOf[node];
        if (cls == NO_CLASS) continue;
        totals[cls].instances++;
        totals[cls].bytes += static_cast<int64_t>(ShallowSize(node));
    }
    for (size_t i = 0; i < classes.size(); i++) totals[i].name = classes[i].name;
    return totals;
}

void HeapGraph::LeaveOutFillers(const std::vector<NodeId>& nodes) {
    for (NodeId node : nodes) {
        fillers++;
        fillerBytes += ShallowSize(node);
        classOf[node] = NO_CLASS;
        SetShallow(node, 0);
    }
}

uint64_t HeapGraph::WrappedOffset(NodeId node) const {
    uint64_t high = static_cast<uint64_t>(std::upper_bound(offsetWraps.begin(), offsetWraps.end(), node) - offsetWraps.begin());
    return high << 32 | offsets[node];
}

void HeapGraph::SetShallow(NodeId node, uint64_t size) {
    if (!IsLarge(size)) {
        // Only a node marked large has an entry: no hash for the others.
        if (shallow[node] == LARGE_SIZE) largeSizes.erase(node);
        shallow[node] = static_cast<uint16_t>(size / SIZE_UNIT);
    } else {
        shallow[node] = LARGE_SIZE;
        largeSizes[node] = size;
    }
}

size_t HeapGraph::MemoryBytes() const {
    return classOf.capacity() * sizeof(uint32_t) + shallow.capacity() * sizeof(uint16_t) + largeSizes.size() * 32 +
           offsets.capacity() * sizeof(uint32_t) + offsetWraps.capacity() * sizeof(NodeId) +
           edges.capacity() * sizeof(HeapEdge) + tags.MemoryBytes() +
           roots.capacity() * sizeof(HeapRoot) + classes.capacity() * sizeof(HeapClass) +
           threads.capacity() * sizeof(HeapThread) + (classNodes.size() + threadNodes.size()) * 32;
}

HeapGraphBuilder::HeapGraphBuilder() = default;

HeapGraphBuilder::~HeapGraphBuilder() = default;

std::string TooManyObjects(uint64_t count) {
    return std::to_string(count) + " objects, more than the " + std::to_string(MAX_NODES) + " a heap graph can number";
}

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

void HeapGraphBuilder::AddRoot(uint64_t target, RootKind kind, uint32_t thread, int32_t depth) {
    HeapRoot root{graph.tags.Find(target), kind, thread, depth};
    if (root.node == NO_NODE) pendingRoots.push_back({target, root});
    else graph.roots.push_back(root);
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
    graph.offsets.assign(nodes + 1, 0);  // counts until LayOutReferences
    fresh.Wait();
    graph.classOf.resize(nodes, NO_CLASS);
    graph.shallow.resize(nodes, 0);
    bulk = true;
    return static_cast<NodeId>(first);
}

void HeapGraphBuilder::SetObject(NodeId node, uint64_t tag, uint32_t classIndex, uint64_t size, uint32_t references) {
    graph.tags.Set(node, tag);
    graph.classOf[node] = classIndex;
    graph.offsets[node] = references;
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
    for (NodeId n = 0; n < earlier; n++) graph.offsets[n] = static_cast<uint32_t>(sorted[n + 1] - sorted[n]);
    // Counts into offsets, in place.
    uint64_t sum = 0;
    graph.offsetWraps.clear();
    for (size_t n = 0; n < graph.offsets.size(); n++) {
        uint64_t count = graph.offsets[n];
        graph.offsets[n] = static_cast<uint32_t>(sum);
        while (graph.offsetWraps.size() < sum >> 32) graph.offsetWraps.push_back(static_cast<NodeId>(n));
        sum += count;
    }
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
        // Drop the references to tags nothing described, in place: a node's
        // count is the difference of the low parts of its offsets.
        uint64_t from = 0, to = 0;
        std::vector<NodeId> wraps;
        for (NodeId n = 0; n < nodes; n++) {
            uint64_t end = from + static_cast<uint32_t>(graph.offsets[n + 1] - graph.offsets[n]);
            graph.offsets[n] = static_cast<uint32_t>(to);
            while (wraps.size() < to >> 32) wraps.push_back(n);
            for (; from < end; from++)
                if (graph.edges[from].target != NO_NODE) graph.edges[to++] = graph.edges[from];
        }
        graph.offsets[nodes] = static_cast<uint32_t>(to);
        while (wraps.size() < to >> 32) wraps.push_back(nodes);
        graph.unresolved += from - to;
        graph.edges.resize(to);
        graph.offsetWraps.swap(wraps);
    } else {
        graph.unresolved += DropUnresolved(graph.edges, referrers);
        if (order) {
            graph.offsets = order->Place(graph.edges, referrers, progress);
            order.reset();
            std::vector<NodeId>().swap(referrers);
        } else {
            std::vector<uint64_t> offsets = ReferrerOrder<uint64_t>(nodes).Place(graph.edges, referrers, progress);
            std::vector<NodeId>().swap(referrers);
            graph.offsets.resize(offsets.size());
            for (size_t n = 0; n < offsets.size(); n++) {
                graph.offsets[n] = static_cast<uint32_t>(offsets[n]);
                while (graph.offsetWraps.size() < offsets[n] >> 32) graph.offsetWraps.push_back(static_cast<NodeId>(n));
            }
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
