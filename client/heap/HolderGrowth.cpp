#include "heap/HolderGrowth.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_map>

#include "heap/HeapText.h"
#include "heap/MarkedNodes.h"

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

uint64_t Shape(const KeyParts& parts, NodeId node) { return Mix(parts.Label(node), parts.graph.ShallowSize(node)); }

// The keys of every candidate. Candidates share most of their paths (a
// list's nodes, a tree's subtrees), so each path's hashes are folded once per
// object on it, from its referrer's, never again per candidate below it.
// Entries are the candidates and the objects above them on their paths, in
// node order, one array per member: the arrays that only the folding needs
// go before the keys' take their room.
class PathKeys {
public:
    PathKeys(const KeyParts& parts, const DominatorTree& tree)
        : parts(parts), graph(parts.graph) {
        {
            PathFinder paths(graph, false);
            Reach(tree, paths);
        }
        FindEdges();
        Fold();
        Key(tree);
    }

    HolderColumns keys;
    std::vector<NodeId> nodes;  // keys'

private:
    static constexpr uint32_t NONE = std::numeric_limits<uint32_t>::max();

    void Reach(const DominatorTree& tree, const PathFinder& paths) {
        MarkedNodes marked(graph.NodeCount());
        for (NodeId node = 0; node < graph.NodeCount(); node++)
            if (tree.Reachable(node) && tree.Retained(node) >= HOLDER_FLOOR && paths.Reachable(node))
                for (NodeId at = node; at != NO_NODE && !marked.Has(at); at = paths.Parent(at)) marked.Mark(at);
        uint32_t count = marked.Count();
        nodes.reserve(count);
        up.reserve(count);
        marked.ForEach([&](NodeId node) {
            nodes.push_back(node);
            NodeId parent = paths.Parent(node);
            up.push_back(parent == NO_NODE ? NONE : marked.Rank(parent));
        });
        index.assign(count, NO_INDEX);
        root.assign(count, NONE);
        // The first root the graph lists for each root's object.
        const std::vector<HeapRoot>& roots = graph.Roots();
        for (uint32_t i = 0; i < roots.size(); i++) {
            if (!marked.Has(roots[i].node)) continue;
            uint32_t at = marked.Rank(roots[i].node);
            if (up[at] == NONE && root[at] == NONE) root[at] = i;
        }
    }

    // The first edge from each referrer to each of its entries, as the path
    // search takes it: every referrer's edges are scanned once.
    void FindEdges() {
        std::vector<std::pair<NodeId, uint32_t>> below;  // (referrer, entry): entries are in node order
        for (uint32_t i = 0; i < nodes.size(); i++)
            if (up[i] != NONE) below.push_back({nodes[up[i]], i});
        std::sort(below.begin(), below.end());
        std::vector<bool> found(nodes.size());
        for (size_t from = 0; from < below.size();) {
            size_t to = from;
            while (to < below.size() && below[to].first == below[from].first) to++;
            NodeId referrer = below[from].first;
            for (const HeapEdge* e = graph.EdgesBegin(referrer); e < graph.EdgesEnd(referrer); e++) {
                if (graph.IsWeak(referrer, *e)) continue;
                auto at = std::lower_bound(below.begin() + from, below.begin() + to, e->target,
                                           [this](const auto& a, NodeId target) { return nodes[a.second] < target; });
                if (at == below.begin() + to || nodes[at->second] != e->target || found[at->second]) continue;
                found[at->second] = true;
                index[at->second] = e->index;
            }
            from = to;
        }
    }

    HeapEdge EdgeTo(uint32_t entry) const { return {nodes[entry], index[entry]}; }

    // How entry was reached from its referrer's entry and the step's hash.
    uint64_t Step(uint32_t entry, Via* via) const {
        uint32_t from = up[entry];
        PathStep above{nodes[from], EdgeTo(from)};
        NodeId aboveReferrer = up[from] == NONE ? NO_NODE : nodes[up[from]];
        *via = parts.HowReached(nodes[from], EdgeTo(entry), up[from] == NONE ? nullptr : &above, aboveReferrer);
        return *via == Via::Field ? Hash(graph.EdgeName(nodes[from], EdgeTo(entry))) : ELEMENT_MARK;
    }

    // Every entry after its referrer's.
    void Fold() {
        path.resize(nodes.size());
        loosePath.resize(nodes.size());
        std::vector<bool> folded(nodes.size());
        std::vector<uint32_t> pending;
        for (uint32_t i = 0; i < nodes.size(); i++) {
            for (uint32_t at = i; at != NONE && !folded[at]; at = up[at]) pending.push_back(at);
            for (; !pending.empty(); pending.pop_back()) {
                FoldOne(pending.back());
                folded[pending.back()] = true;
            }
        }
    }

    void FoldOne(uint32_t entry) {
        uint64_t label = parts.Label(nodes[entry]);
        if (up[entry] == NONE) {
            HeapRoot held = root[entry] != NONE ? graph.Roots()[root[entry]] : HeapRoot{};
            path[entry] = loosePath[entry] = Mix(parts.Root(held), label);
            return;
        }
        uint32_t from = up[entry];
        Via via;
        uint64_t step = Step(entry, &via);
        uint64_t exact = path[from], loose = Mix(loosePath[from], step);
        if (via == Via::Field) {
            exact = Mix(exact, step);
        } else {
            uint64_t at = static_cast<uint64_t>(index[entry]);
            // The array's size stands for its length.
            exact = Mix(Mix(Mix(exact, step), at), graph.ShallowSize(nodes[from]));
            if (parts.KeepsIndex(via, index[entry])) loose = Mix(loose, at);
        }
        path[entry] = Mix(exact, label);
        loosePath[entry] = Mix(loose, label);
    }

    // The chain: the last CHAIN_STEPS objects of the path and the steps between them.
    uint64_t Chain(uint32_t entry) const {
        uint32_t chain[CHAIN_STEPS];
        size_t count = 0;
        for (uint32_t at = entry; count < CHAIN_STEPS; at = up[at]) {
            chain[count++] = at;
            if (up[at] == NONE) break;
        }
        uint64_t hash = 0;
        for (size_t i = count; i-- > 0;) {
            if (i < count - 1) {
                Via via;
                hash = Mix(hash, Step(chain[i], &via));
            }
            hash = Mix(hash, parts.Label(nodes[chain[i]]));
        }
        return hash;
    }

    // Keeps the candidates' keys, in place of the entries.
    void Key(const DominatorTree& tree) {
        auto candidate = [&tree](NodeId node) { return tree.Retained(node) >= HOLDER_FLOOR; };
        for (uint32_t i = 0; i < nodes.size(); i++)
            if (candidate(nodes[i])) keys.chain.push_back(static_cast<uint32_t>(Chain(i)));
        std::vector<uint32_t>().swap(up);
        std::vector<int32_t>().swap(index);
        std::vector<uint32_t>().swap(root);
        size_t kept = 0;
        for (size_t i = 0; i < nodes.size(); i++) {
            if (!candidate(nodes[i])) continue;
            nodes[kept] = nodes[i];
            path[kept] = path[i];
            loosePath[kept++] = loosePath[i];
        }
        nodes.resize(kept);
        path.resize(kept);
        loosePath.resize(kept);
        keys.path = std::move(path);
        keys.loosePath = std::move(loosePath);
        keys.shape.reserve(kept);
        keys.retained.reserve(kept);
        for (NodeId node : nodes) {
            keys.shape.push_back(static_cast<uint32_t>(Shape(parts, node)));
            keys.retained.push_back(tree.Retained(node));
        }
    }

    const KeyParts& parts;
    const HeapGraph& graph;
    // By entry, until the keys are taken.
    std::vector<uint32_t> up;     // the referrer's entry; NONE for a root's object
    std::vector<int32_t> index;   // of the edge from the referrer
    std::vector<uint32_t> root;   // a root's object only: its first root in the graph's list, else NONE
    std::vector<uint64_t> path, loosePath;
};

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
        counts[SmallShape(Shape(parts, node)) << SMALL_BITS | tree.Retained(node)]++;
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
// size within it; beforeOf[i]: the retained size of after's i-th match.
template <class Key>
void PairBy(std::vector<Key> HolderColumns::*column, const HolderColumns& before, std::vector<bool>& used,
            const HolderColumns& after, std::vector<uint64_t>& beforeOf) {
    // Sorted mostly on the keys' high halves, held in place: a sort that
    // looks every key up waits on a cache miss per comparison.
    struct Ranked {
        uint32_t high;  // of the key
        uint32_t at;    // in its side, which is in node order
    };
    auto unmatched = [column](const HolderColumns& side, auto taken) {
        const std::vector<Key>& keys = side.*column;
        size_t count = 0;
        for (uint32_t i = 0; i < keys.size(); i++) count += !taken(i);
        std::vector<Ranked> left;
        left.reserve(count);
        for (uint32_t i = 0; i < keys.size(); i++)
            if (!taken(i)) left.push_back({static_cast<uint32_t>(uint64_t{keys[i]} >> (sizeof(Key) * 8 - 32)), i});
        std::sort(left.begin(), left.end(), [&side, &keys](const Ranked& x, const Ranked& y) {
            if (x.high != y.high) return x.high < y.high;
            if (keys[x.at] != keys[y.at]) return keys[x.at] < keys[y.at];
            uint64_t a = side.retained[x.at], b = side.retained[y.at];
            return a != b ? a > b : x.at < y.at;
        });
        return left;
    };
    std::vector<Ranked> a = unmatched(before, [&used](uint32_t i) { return bool(used[i]); });
    std::vector<Ranked> b = unmatched(after, [&beforeOf](uint32_t i) { return beforeOf[i] != UNMATCHED; });
    const std::vector<Key>&x = before.*column, &y = after.*column;
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (x[a[i].at] < y[b[j].at]) {
            i++;
        } else if (y[b[j].at] < x[a[i].at]) {
            j++;
        } else {
            used[a[i].at] = true;
            beforeOf[b[j].at] = before.retained[a[i].at];
            i++;
            j++;
        }
    }
}

// Pairs the objects still unmatched with OLD's under the floor of their
// shape, by rank of retained size.
void PairWithSmall(const KeyParts& parts, const std::vector<std::pair<uint64_t, uint32_t>>& small,
                   const HolderColumns& after, const std::vector<NodeId>& nodes, std::vector<uint64_t>& beforeOf) {
    struct Left {
        uint64_t shape;  // SmallShape
        uint32_t at;
    };
    std::vector<Left> left;
    for (uint32_t i = 0; i < nodes.size(); i++)
        if (beforeOf[i] == UNMATCHED) left.push_back({SmallShape(Shape(parts, nodes[i])), i});
    // As small is sorted: shape, then retained, descending.
    std::sort(left.begin(), left.end(), [&after](const Left& x, const Left& y) {
        if (x.shape != y.shape) return x.shape > y.shape;
        uint64_t a = after.retained[x.at], b = after.retained[y.at];
        return a != b ? a > b : x.at < y.at;
    });
    const uint64_t sizeMask = (uint64_t{1} << SMALL_BITS) - 1;
    uint32_t taken = 0;  // of small[i]'s count
    for (size_t i = 0, j = 0; i < small.size() && j < left.size();) {
        uint64_t x = small[i].first >> SMALL_BITS, y = left[j].shape;
        if (x > y) {
            i++;
            taken = 0;
        } else if (y > x) {
            j++;
        } else {
            beforeOf[left[j++].at] = small[i].first & sizeMask;
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
    baseline.keys = std::move(PathKeys(parts, tree).keys);
    baseline.small = SmallObjects(parts, tree);
    return baseline;
}

std::vector<HolderChange> GrownHolders(HolderBaseline before, const HeapGraph& graph,
                                       const DominatorTree& tree, size_t n) {
    KeyParts parts(graph);
    PathKeys keyed(parts, tree);
    const HolderColumns& after = keyed.keys;
    const std::vector<NodeId>& nodes = keyed.nodes;
    const size_t count = nodes.size();  // below 2^32: candidates are nodes
    std::vector<uint64_t> beforeOf(count, UNMATCHED);
    std::vector<bool> used(before.keys.retained.size());
    PairBy(&HolderColumns::path, before.keys, used, after, beforeOf);
    PairBy(&HolderColumns::loosePath, before.keys, used, after, beforeOf);
    PairBy(&HolderColumns::chain, before.keys, used, after, beforeOf);
    PairBy(&HolderColumns::shape, before.keys, used, after, beforeOf);
    PairWithSmall(parts, before.small, after, nodes, beforeOf);
    before = HolderBaseline();
    used = std::vector<bool>();
    std::vector<int64_t> growth(count);
    for (size_t i = 0; i < count; i++)
        growth[i] = static_cast<int64_t>(after.retained[i]) -
                    static_cast<int64_t>(beforeOf[i] == UNMATCHED ? 0 : beforeOf[i]);

    std::vector<uint32_t> dominators = DominatorIndices(nodes, tree);
    auto above = [&dominators](size_t i) { return static_cast<size_t>(dominators[i]); };

    // The top of each one's chain, each chain walked once.
    std::vector<uint32_t> top(count, count);
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
                static_cast<double>(after.retained[at]) < CHAIN_SHARE * static_cast<double>(after.retained[up]))
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
        change.after = after.retained[i];
        changes.push_back(std::move(change));
    }
    return changes;
}

std::vector<HolderChange> GrowthSuspects(HolderBaseline before, const HeapGraph& graph,
                                         const DominatorTree& tree, double percent, uint64_t minBytes, size_t n) {
    std::vector<HolderChange> suspects = GrownHolders(std::move(before), graph, tree, n);
    double line = std::max(percent / 100 * static_cast<double>(tree.ReachableBytes()), static_cast<double>(minBytes));
    // Largest growth first: the rest are below the line too.
    auto below = std::find_if(suspects.begin(), suspects.end(), [line](const HolderChange& holder) {
        return static_cast<double>(holder.Growth()) < line;
    });
    suspects.erase(below, suspects.end());
    return suspects;
}

}  // namespace vesk
