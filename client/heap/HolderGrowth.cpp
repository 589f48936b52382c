#include "heap/HolderGrowth.h"

#include <algorithm>
#include <map>
#include <set>

#include "heap/HeapPaths.h"
#include "heap/HeapText.h"

namespace vesk {

namespace {

const char STEP_SEPARATOR[] = " / ";
const char ELEMENT[] = " / [] -> ";

size_t Steps(const std::string& path) {
    size_t steps = 0;
    for (size_t at = path.find(STEP_SEPARATOR); at != std::string::npos; at = path.find(STEP_SEPARATOR, at + 1)) steps++;
    return steps;
}

std::string PathKey(const HeapGraph& graph, const HeapPath& path) {
    std::string key = RootText(graph, path.root);
    // A frame depth changes with what the thread is doing, not with who holds what.
    size_t frame = key.find(", frame ");
    if (frame != std::string::npos) key.resize(frame);
    for (size_t i = 0; i < path.steps.size(); i++) {
        key += STEP_SEPARATOR;
        if (i > 0) {
            std::string via = graph.EdgeName(path.steps[i - 1].node, path.steps[i].edge);
            if (!via.empty()) key += (via[0] == '[' ? std::string("[]") : "." + via) + " -> ";
        }
        key += NodeLabel(graph, path.steps[i].node);
    }
    return key;
}

}  // namespace

std::vector<Holder> LargestHolders(const HeapGraph& graph, const DominatorTree& tree, size_t candidates) {
    std::vector<NodeId> largest = tree.Largest(candidates);
    if (largest.empty()) return {};
    PathFinder paths(graph, false);
    std::map<std::string, Holder> byPath;
    for (NodeId node : largest) {
        HeapPath path = paths.ShortestPath(node);
        if (path.steps.empty()) continue;
        // Largest first: the first object of a path is its largest.
        Holder& holder = byPath[PathKey(graph, path)];
        if (holder.shortest.steps.empty()) holder.shortest = std::move(path);
        holder.retained += tree.Retained(node);
    }
    std::vector<Holder> holders;
    for (auto& entry : byPath) {
        entry.second.path = entry.first;
        holders.push_back(std::move(entry.second));
    }
    return holders;
}

std::vector<HolderChange> GrownHolders(const std::vector<Holder>& before, const std::vector<Holder>& after, size_t n) {
    std::map<std::string, HolderChange> changes;
    for (const Holder& h : before) changes[h.path].before = h.retained;
    for (const Holder& h : after) {
        changes[h.path].after = h.retained;
        changes[h.path].afterPath = h.shortest;
    }
    std::vector<HolderChange> grown;
    for (auto& entry : changes) {
        if (entry.second.Growth() <= 0) continue;
        entry.second.path = entry.first;
        grown.push_back(entry.second);
    }
    // A chain: holders below one another through fields, each grown by at
    // least 90 % of the top's growth. Its deepest speaks for it; measured
    // against the top, so a long chain (a linked list) that thins out step
    // by step is not handed down to its tail. Elements (through "[]") are
    // the held, never part of a holder's chain.
    auto inChain = [](const HolderChange& top, const HolderChange& other) {
        std::string below = top.path + STEP_SEPARATOR;
        return other.path.compare(0, below.size(), below) == 0 &&
               other.path.find(ELEMENT, top.path.size()) == std::string::npos &&
               static_cast<double>(other.Growth()) >= 0.9 * static_cast<double>(top.Growth());
    };
    std::vector<HolderChange> deepest;
    std::set<std::string> speakers;
    for (const HolderChange& top : grown) {
        bool member = false;
        for (const HolderChange& other : grown) member = member || inChain(other, top);
        if (member) continue;
        const HolderChange* speaker = &top;
        for (const HolderChange& other : grown)
            if (inChain(top, other) && Steps(other.path) > Steps(speaker->path)) speaker = &other;
        if (speakers.insert(speaker->path).second) deepest.push_back(*speaker);
    }
    std::vector<HolderChange> kept;
    for (const HolderChange& holder : deepest) {
        // Beside their holder, elements say nothing more.
        size_t last = holder.path.rfind(ELEMENT);
        bool besideHolder = false;
        if (last != std::string::npos && holder.path.find(STEP_SEPARATOR, last + 1) == std::string::npos)
            for (const HolderChange& other : deepest)
                besideHolder = besideHolder || other.path == holder.path.substr(0, last);
        if (!besideHolder) kept.push_back(holder);
    }
    std::sort(kept.begin(), kept.end(), [](const HolderChange& a, const HolderChange& b) {
        return a.Growth() != b.Growth() ? a.Growth() > b.Growth() : a.path < b.path;
    });
    if (kept.size() > n) kept.resize(n);
    return kept;
}

std::vector<HolderChange> GrowthSuspects(const std::vector<Holder>& before, const std::vector<Holder>& after,
                                         uint64_t reachable, size_t n) {
    std::vector<HolderChange> suspects = GrownHolders(before, after, n);
    // Largest growth first: the rest are below the line too.
    auto below = std::find_if(suspects.begin(), suspects.end(), [reachable](const HolderChange& holder) {
        return static_cast<double>(holder.Growth()) < GROWTH_SUSPECT_SHARE * static_cast<double>(reachable);
    });
    suspects.erase(below, suspects.end());
    return suspects;
}

}  // namespace vesk
