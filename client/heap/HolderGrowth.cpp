#include "heap/HolderGrowth.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_map>

#include "heap/HeapText.h"

namespace vesk {

namespace {

const char STEP_SEPARATOR[] = " / ";
const double CHAIN_SHARE = 0.9;

uint64_t Mix(uint64_t hash, uint64_t value) {
    hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    hash *= 0xff51afd7ed558ccdULL;
    return hash ^ (hash >> 33);
}

uint64_t Hash(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
    return hash;
}

// How one step of a path is reached, for the keys.
enum class Via { Field, Element, HashedElement };

// Hashes the parts of paths, with per-class figures computed once.
class KeyParts {
public:
    explicit KeyParts(const HeapGraph& graph) : graph(graph), describing(graph.Classes().size()) {
        // Only instances of these classes can be class or thread objects,
        // which Label asks the graph's maps about.
        for (const HeapClass& cls : graph.Classes())
            if (cls.node != NO_NODE && graph.ClassOf(cls.node) != NO_CLASS) describing[graph.ClassOf(cls.node)] = true;
        for (const HeapThread& thread : graph.Threads())
            if (thread.node != NO_NODE && graph.ClassOf(thread.node) != NO_CLASS)
                describing[graph.ClassOf(thread.node)] = true;
        for (const HeapClass& cls : graph.Classes()) {
            labels.push_back(Hash(cls.name));
            arrays.push_back(cls.IsArray());
            const std::string& name = cls.name;
            auto endsWith = [&name](const std::string& tail) {
                return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
            };
            // Where an entry sits in a hash table depends on its hash and the table's size, not on what it is.
            hashTables.push_back(endsWith("Node[]") || endsWith("Entry[]"));
        }
    }

    uint64_t Label(NodeId node) const {
        uint32_t cls = graph.ClassOf(node);
        if (cls == NO_CLASS ||
            (describing[cls] && (graph.DescribedClass(node) != NO_CLASS || graph.DescribedThread(node) != NO_THREAD)))
            return Hash(NodeLabel(graph, node));
        return labels[cls];
    }

    // How child was reached from referrer by edge; above is the step that
    // reached referrer (its referrer and edge), null for a root's object.
    Via HowReached(NodeId referrer, const HeapEdge& edge, const PathStep* above, NodeId aboveReferrer) const {
        uint32_t cls = graph.ClassOf(referrer);
        if (edge.index < 0 || cls == NO_CLASS || !arrays[cls] || graph.DescribedClass(referrer) != NO_CLASS)
            return Via::Field;
        bool table = hashTables[cls] || (above && graph.EdgeName(aboveReferrer, above->edge) == "table");
        return table ? Via::HashedElement : Via::Element;
    }

    Via HowReached(const HeapPath& path, size_t step) const {
        return HowReached(path.steps[step - 1].node, path.steps[step].edge, step >= 2 ? &path.steps[step - 1] : nullptr,
                          step >= 2 ? path.steps[step - 2].node : NO_NODE);
    }

    // Element indices kept below INDEX_BOUND, outside hash tables.
    bool KeepsIndex(Via via, int32_t index) const { return via == Via::Element && index < INDEX_BOUND; }

    uint64_t Root(const HeapRoot& root) const {
        uint64_t hash = Mix(0, static_cast<uint64_t>(root.kind));
        if (root.thread != NO_THREAD && root.thread < graph.Threads().size())
            hash = Mix(hash, Hash(graph.Threads()[root.thread].name));
        return hash;
    }

    const HeapGraph& graph;

private:
    std::vector<uint64_t> labels;
    std::vector<bool> describing, arrays, hashTables;
};

const uint64_t ELEMENT_MARK = 0x5b5d;

// The keys of every candidate. Candidates share most of their paths (a
// list's nodes, a tree's subtrees), so each path's hashes are folded once per
// object on it, from its referrer's, never again per candidate below it.
class PathKeys {
public:
    // paths is dropped once read, before the keys take their room.
    PathKeys(const KeyParts& parts, const DominatorTree& tree, std::unique_ptr<PathFinder> paths)
        : parts(parts), graph(parts.graph), paths(std::move(paths)), at_(graph.NodeCount(), NONE) {
        std::vector<NodeId> candidates;
        for (NodeId node = 0; node < graph.NodeCount(); node++)
            if (tree.Reachable(node) && tree.Retained(node) >= HOLDER_FLOOR && this->paths->Reachable(node))
                candidates.push_back(node);
        // Counted first, so that the entries take no more room than they need.
        size_t count = 0;
        for (NodeId node : candidates)
            for (NodeId at = node; at != NO_NODE && at_[at] == NONE; at = this->paths->Parent(at), count++)
                at_[at] = PENDING;
        entries.reserve(count);
        for (NodeId node : candidates) Reach(node);
        this->paths.reset();
        FindEdges();
        FindRoots();
        for (Entry& entry : entries) Fold(entry);
        // Entries by index from here on: the map of every node goes before the keys come.
        for (NodeId& node : candidates) node = at_[node];
        std::vector<uint32_t>().swap(at_);
        keys.reserve(candidates.size());
        nodes.reserve(candidates.size());
        for (uint32_t entry : candidates) {
            keys.push_back(KeyOf(entries[entry], tree.Retained(entries[entry].node)));
            nodes.push_back(entries[entry].node);
        }
    }

    std::vector<HolderKey> keys;
    std::vector<NodeId> nodes;  // keys[i]'s, in node order

private:
    static constexpr uint32_t NONE = std::numeric_limits<uint32_t>::max();
    static constexpr uint32_t PENDING = NONE - 1;  // an entry to come

    struct Entry {
        uint64_t path, loosePath;
        NodeId node;
        uint32_t up;     // the referrer's entry; NONE for a root's object
        int32_t index;   // of the edge from the referrer
        uint32_t root;   // a root's object only: its first root in the graph's list, else NONE
        HeapEdge Edge() const { return {node, index}; }
    };

    // Entries for node and the objects above it that have none yet, each
    // after its referrer's.
    void Reach(NodeId node) {
        std::vector<NodeId> chain;
        for (NodeId at = node; at_[at] == PENDING; at = paths->Parent(at)) {
            chain.push_back(at);
            if (paths->Parent(at) == NO_NODE) break;
        }
        for (size_t i = chain.size(); i-- > 0;) {
            NodeId at = chain[i];
            NodeId parent = paths->Parent(at);
            uint32_t up = parent == NO_NODE ? NONE : at_[parent];
            at_[at] = static_cast<uint32_t>(entries.size());
            entries.push_back({0, 0, at, up, NO_INDEX, NONE});
        }
    }

    // The first edge from each referrer to each of its entries, as the path
    // search takes it: every referrer's edges are scanned once.
    void FindEdges() {
        std::vector<std::pair<NodeId, uint32_t>> below;  // (referrer, entry)
        for (uint32_t i = 0; i < entries.size(); i++)
            if (entries[i].up != NONE) below.push_back({entries[entries[i].up].node, i});
        std::sort(below.begin(), below.end(), [this](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : entries[a.second].node < entries[b.second].node;
        });
        std::vector<bool> found(entries.size());
        for (size_t from = 0; from < below.size();) {
            size_t to = from;
            while (to < below.size() && below[to].first == below[from].first) to++;
            NodeId referrer = below[from].first;
            for (const HeapEdge* e = graph.EdgesBegin(referrer); e < graph.EdgesEnd(referrer); e++) {
                if (graph.IsWeak(referrer, *e)) continue;
                auto at = std::lower_bound(below.begin() + from, below.begin() + to, e->target,
                                           [this](const auto& a, NodeId target) { return entries[a.second].node < target; });
                if (at == below.begin() + to || entries[at->second].node != e->target || found[at->second]) continue;
                found[at->second] = true;
                entries[at->second].index = e->index;
            }
            from = to;
        }
    }

    // The first root the graph lists for each root's object.
    void FindRoots() {
        const std::vector<HeapRoot>& roots = graph.Roots();
        for (uint32_t i = 0; i < roots.size(); i++) {
            uint32_t at = at_[roots[i].node];
            if (at != NONE && entries[at].up == NONE && entries[at].root == NONE) entries[at].root = i;
        }
    }

    // How entry was reached (its referrer's entry is up) and the step's hash.
    uint64_t Step(const Entry& entry, Via* via) const {
        const Entry& up = entries[entry.up];
        PathStep above{up.node, up.Edge()};
        NodeId aboveReferrer = up.up == NONE ? NO_NODE : entries[up.up].node;
        *via = parts.HowReached(up.node, entry.Edge(), up.up == NONE ? nullptr : &above, aboveReferrer);
        return *via == Via::Field ? Hash(graph.EdgeName(up.node, entry.Edge())) : ELEMENT_MARK;
    }

    void Fold(Entry& entry) {
        uint64_t label = parts.Label(entry.node);
        if (entry.up == NONE) {
            HeapRoot root = entry.root != NONE ? graph.Roots()[entry.root] : HeapRoot{};
            entry.path = entry.loosePath = Mix(parts.Root(root), label);
            return;
        }
        const Entry& up = entries[entry.up];
        Via via;
        uint64_t step = Step(entry, &via);
        entry.path = up.path;
        entry.loosePath = Mix(up.loosePath, step);
        if (via == Via::Field) {
            entry.path = Mix(entry.path, step);
        } else {
            uint64_t index = static_cast<uint64_t>(entry.index);
            // The array's size stands for its length.
            entry.path = Mix(Mix(Mix(entry.path, step), index), graph.ShallowSize(up.node));
            if (parts.KeepsIndex(via, entry.index)) entry.loosePath = Mix(entry.loosePath, index);
        }
        entry.path = Mix(entry.path, label);
        entry.loosePath = Mix(entry.loosePath, label);
    }

    HolderKey KeyOf(const Entry& entry, uint64_t retained) const {
        HolderKey key;
        key.retained = retained;
        key.path = entry.path;
        key.loosePath = entry.loosePath;
        // The chain: the last CHAIN_STEPS objects of the path and the steps between them.
        const Entry* chain[CHAIN_STEPS];
        size_t count = 0;
        for (const Entry* at = &entry; count < CHAIN_STEPS; at = &entries[at->up]) {
            chain[count++] = at;
            if (at->up == NONE) break;
        }
        for (size_t i = count; i-- > 0;) {
            if (i < count - 1) {
                Via via;
                key.chain = Mix(key.chain, Step(*chain[i], &via));
            }
            key.chain = Mix(key.chain, parts.Label(chain[i]->node));
        }
        key.shape = Mix(parts.Label(entry.node), graph.ShallowSize(entry.node));
        return key;
    }

    const KeyParts& parts;
    const HeapGraph& graph;
    std::unique_ptr<PathFinder> paths;
    std::vector<Entry> entries;
    std::vector<uint32_t> at_;  // each node's entry, NONE for most
};

PathKeys Keys(const KeyParts& parts, const DominatorTree& tree) {
    return PathKeys(parts, tree, std::make_unique<PathFinder>(parts.graph, false));
}

// A retained size under the floor fits below a shape's hash.
const int SMALL_BITS = 10;
static_assert(HOLDER_FLOOR <= (1u << SMALL_BITS), "retained sizes under the floor take SMALL_BITS");

uint64_t SmallShape(uint64_t shape) { return shape >> SMALL_BITS; }

std::vector<std::pair<uint64_t, uint32_t>> SmallObjects(const KeyParts& parts, const DominatorTree& tree) {
    const HeapGraph& graph = parts.graph;
    // Counted, not listed: objects of one shape mostly retain the same few sizes.
    std::unordered_map<uint64_t, uint32_t> counts;
    for (NodeId node = 0; node < graph.NodeCount(); node++) {
        if (!tree.Reachable(node) || tree.Retained(node) >= HOLDER_FLOOR) continue;
        uint64_t shape = Mix(parts.Label(node), graph.ShallowSize(node));
        counts[SmallShape(shape) << SMALL_BITS | tree.Retained(node)]++;
    }
    std::vector<std::pair<uint64_t, uint32_t>> small(counts.begin(), counts.end());
    std::sort(small.begin(), small.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    return small;
}

// "class / class AppCache / .SESSIONS -> java.util.HashMap / [] -> ...": the
// path as matched, without tags; indices shown where kept.
std::string PathText(const KeyParts& parts, const HeapPath& path) {
    const HeapGraph& graph = parts.graph;
    std::string text = RootText(graph, path.root);
    // A frame depth changes with what the thread is doing, not with who holds what.
    size_t frame = text.find(", frame ");
    if (frame != std::string::npos) text.resize(frame);
    for (size_t i = 0; i < path.steps.size(); i++) {
        text += STEP_SEPARATOR;
        if (i > 0) {
            const HeapEdge& edge = path.steps[i].edge;
            Via via = parts.HowReached(path, i);
            std::string name = graph.EdgeName(path.steps[i - 1].node, edge);
            if (via != Via::Field) text += parts.KeepsIndex(via, edge.index) ? name + " -> " : "[] -> ";
            else if (!name.empty()) text += "." + name + " -> ";
        }
        text += NodeLabel(graph, path.steps[i].node);
    }
    return text;
}

const uint64_t UNMATCHED = std::numeric_limits<uint64_t>::max();

// Pairs the objects still unmatched that share a key, by rank of retained
// size within it; beforeOf[i]: the retained size of after[i]'s match.
void PairBy(uint64_t HolderKey::*key, const std::vector<HolderKey>& before, std::vector<bool>& used,
            const std::vector<HolderKey>& after, std::vector<uint64_t>& beforeOf) {
    // Sorted mostly on the keys' high halves, held in place: a sort that
    // looks every key up waits on a cache miss per comparison.
    struct Ranked {
        uint32_t high;  // of the key
        uint32_t at;    // in its side, which is in node order
    };
    auto unmatched = [key](const std::vector<HolderKey>& side, auto taken) {
        size_t count = 0;
        for (uint32_t i = 0; i < side.size(); i++) count += !taken(i);
        std::vector<Ranked> left;
        left.reserve(count);
        for (uint32_t i = 0; i < side.size(); i++)
            if (!taken(i)) left.push_back({static_cast<uint32_t>(side[i].*key >> 32), i});
        std::sort(left.begin(), left.end(), [&side, key](const Ranked& x, const Ranked& y) {
            if (x.high != y.high) return x.high < y.high;
            const HolderKey &a = side[x.at], &b = side[y.at];
            if (a.*key != b.*key) return a.*key < b.*key;
            return a.retained != b.retained ? a.retained > b.retained : x.at < y.at;
        });
        return left;
    };
    std::vector<Ranked> a = unmatched(before, [&used](uint32_t i) { return bool(used[i]); });
    std::vector<Ranked> b = unmatched(after, [&beforeOf](uint32_t i) { return beforeOf[i] != UNMATCHED; });
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        uint64_t x = before[a[i].at].*key, y = after[b[j].at].*key;
        if (x < y) {
            i++;
        } else if (y < x) {
            j++;
        } else {
            used[a[i].at] = true;
            beforeOf[b[j].at] = before[a[i].at].retained;
            i++;
            j++;
        }
    }
}

// Pairs the objects still unmatched with OLD's under the floor of their
// shape, by rank of retained size.
void PairWithSmall(const std::vector<std::pair<uint64_t, uint32_t>>& small, const std::vector<HolderKey>& after,
                   std::vector<uint64_t>& beforeOf) {
    std::vector<uint32_t> left;
    for (uint32_t i = 0; i < after.size(); i++)
        if (beforeOf[i] == UNMATCHED) left.push_back(i);
    // As small is sorted: shape, then retained, descending.
    std::sort(left.begin(), left.end(), [&after](uint32_t a, uint32_t b) {
        const HolderKey &x = after[a], &y = after[b];
        if (SmallShape(x.shape) != SmallShape(y.shape)) return SmallShape(x.shape) > SmallShape(y.shape);
        return x.retained != y.retained ? x.retained > y.retained : a < b;
    });
    const uint64_t sizeMask = (uint64_t{1} << SMALL_BITS) - 1;
    uint32_t taken = 0;  // of small[i]'s count
    for (size_t i = 0, j = 0; i < small.size() && j < left.size();) {
        uint64_t x = small[i].first >> SMALL_BITS, y = SmallShape(after[left[j]].shape);
        if (x > y) {
            i++;
            taken = 0;
        } else if (y > x) {
            j++;
        } else {
            beforeOf[left[j++]] = small[i].first & sizeMask;
            if (++taken == small[i].second) {
                i++;
                taken = 0;
            }
        }
    }
}

// Each candidate's dominator, as an index into nodes (which are in order),
// nodes.size() for the virtual root. A candidate's dominator retains
// more, so is a candidate too.
std::vector<uint32_t> DominatorIndices(const std::vector<NodeId>& nodes, const DominatorTree& tree) {
    const uint32_t count = static_cast<uint32_t>(nodes.size());
    std::vector<std::pair<NodeId, uint32_t>> below;  // (dominator, candidate)
    for (uint32_t i = 0; i < count; i++) {
        NodeId dominator = tree.Dominator(nodes[i]);
        if (dominator != DominatorTree::VIRTUAL_ROOT && dominator != NO_NODE) below.push_back({dominator, i});
    }
    std::sort(below.begin(), below.end());
    std::vector<uint32_t> indices(count, count);
    uint32_t at = 0;
    for (const auto& [dominator, i] : below) {
        while (at < count && nodes[at] < dominator) at++;
        if (at < count && nodes[at] == dominator) indices[i] = at;
    }
    return indices;
}

}  // namespace

HolderBaseline HolderKeys(const HeapGraph& graph, const DominatorTree& tree) {
    KeyParts parts(graph);
    HolderBaseline baseline;
    baseline.keys = Keys(parts, tree).keys;
    baseline.small = SmallObjects(parts, tree);
    return baseline;
}

std::vector<HolderChange> GrownHolders(const HolderBaseline& before, const HeapGraph& graph,
                                       const DominatorTree& tree, size_t n) {
    KeyParts parts(graph);
    PathKeys keyed = Keys(parts, tree);
    const std::vector<HolderKey>& after = keyed.keys;
    const std::vector<NodeId>& nodes = keyed.nodes;
    const size_t count = after.size();  // below 2^32: candidates are nodes
    std::vector<uint64_t> beforeOf(count, UNMATCHED);
    std::vector<bool> used(before.keys.size());
    for (uint64_t HolderKey::*key : {&HolderKey::path, &HolderKey::loosePath, &HolderKey::chain, &HolderKey::shape})
        PairBy(key, before.keys, used, after, beforeOf);
    PairWithSmall(before.small, after, beforeOf);
    std::vector<int64_t> growth(count);
    for (size_t i = 0; i < count; i++)
        growth[i] = static_cast<int64_t>(after[i].retained) -
                    static_cast<int64_t>(beforeOf[i] == UNMATCHED ? 0 : beforeOf[i]);

    std::vector<uint32_t> dominators = DominatorIndices(nodes, tree);
    auto above = [&dominators](size_t i) { return static_cast<size_t>(dominators[i]); };

    // The top of each one's chain, each chain walked once.
    std::vector<size_t> top(count, count);
    std::vector<size_t> walked;
    for (size_t i = 0; i < count; i++) {
        size_t at = i, found = count;
        walked.clear();
        while (found == count) {
            if (top[at] != count) {
                found = top[at];
                break;
            }
            size_t up = above(at);
            walked.push_back(at);
            if (up == count ||
                static_cast<double>(after[at].retained) < CHAIN_SHARE * static_cast<double>(after[up].retained))
                found = at;
            else
                at = up;
        }
        for (size_t w : walked) top[w] = found;
    }
    std::vector<int64_t> least(count, std::numeric_limits<int64_t>::max());
    for (size_t i = 0; i < count; i++) least[top[i]] = std::min(least[top[i]], growth[i]);
    auto isRow = [&](size_t i) { return top[i] == i && least[i] > 0; };

    // A row whose growth one below it accounts for is left to that one.
    std::vector<bool> explained(count);
    for (size_t row = 0; row < count; row++) {
        if (!isRow(row)) continue;
        for (size_t up = above(row); up != count; up = above(up)) {
            up = top[up];
            if (static_cast<double>(growth[row]) < CHAIN_SHARE * static_cast<double>(growth[up])) break;
            if (isRow(up)) explained[up] = true;
        }
    }
    std::vector<size_t> rows;
    for (size_t i = 0; i < count; i++)
        if (isRow(i) && !explained[i]) rows.push_back(i);
    std::sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
        return growth[a] != growth[b] ? growth[a] > growth[b] : a < b;
    });
    if (rows.size() > n) rows.resize(n);

    std::vector<HolderChange> changes;
    if (rows.empty()) return changes;
    // Searched again: a few rows' paths did not justify holding the search through the matching.
    PathFinder paths(graph, false);
    for (size_t i : rows) {
        HolderChange change;
        change.afterPath = paths.ShortestPath(nodes[i]);
        change.path = PathText(parts, change.afterPath);
        change.before = beforeOf[i] == UNMATCHED ? 0 : beforeOf[i];
        change.after = after[i].retained;
        changes.push_back(std::move(change));
    }
    return changes;
}

std::vector<HolderChange> GrowthSuspects(const HolderBaseline& before, const HeapGraph& graph,
                                         const DominatorTree& tree, double percent, uint64_t minBytes, size_t n) {
    std::vector<HolderChange> suspects = GrownHolders(before, graph, tree, n);
    double line = std::max(percent / 100 * static_cast<double>(tree.ReachableBytes()), static_cast<double>(minBytes));
    // Largest growth first: the rest are below the line too.
    auto below = std::find_if(suspects.begin(), suspects.end(), [line](const HolderChange& holder) {
        return static_cast<double>(holder.Growth()) < line;
    });
    suspects.erase(below, suspects.end());
    return suspects;
}

}  // namespace vesk
