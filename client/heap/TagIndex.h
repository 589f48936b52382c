// Node numbers to tags and back, for tags added in any order. Tags the agent
// gives its objects are consecutive, so a whole heap costs a few runs, unless
// the stream brings them out of order; heap dump ids are addresses. Compact
// stores such tags one per node: 8 bytes (their distance from the least, in
// 32 bits, in units of their common alignment) or 12 rather than 20 a run.
//
// Filled by one thread (Set excepted); Find and TagOf are safe from several
// threads once a Merge followed the last Add.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "heap/NodeId.h"

namespace vesk {

// Consecutive tags given to consecutive nodes; a lone tag is a run of 1.
struct TagRun {
    uint64_t firstTag;
    NodeId firstNode;
    uint32_t count;
};

class TagIndex {
public:
    // Appends node (which must be the next number) with tag.
    void Add(NodeId node, uint64_t tag);
    // Room for count nodes' tags: address space only, until used.
    void Reserve(size_t count);
    // NO_NODE when no node has tag; of nodes added with the same tag, the first.
    NodeId Find(uint64_t tag) const;
    // 0 when node has none.
    uint64_t TagOf(NodeId node) const;
    size_t MemoryBytes() const;
    // Sorts what was added since; Find is safe from several threads once
    // no Add came after the last Merge.
    void Merge() const;
    // Switches to a tag per node when runs are mostly single tags.
    void Compact();
    // Every data member, once, for a stored copy (load/HeapIndex).
    template <class Archive>
    void Members(Archive& archive) {
        archive(runs, compact, nearTags, tagBase, tagShift, nodeTags, byTag, sorted, ordered);
    }
    // Once all is added: compacted tags keep no order by tag, and Find scans
    // them (4 bytes a node less, for the few tags a command line names).
    void DropOrder();
    // Orders dropped tags again, for a reader that finds many tags: as a
    // few ascending runs when they are (a heap dump's), else by 4 bytes a
    // node and the directory; before any Find from several threads.
    void RestoreOrder();
    // Compacts the tags added so far and makes room for nodes in all, whose
    // tags Set gives in any order. least, most and differing (bits in which
    // some two differ) cover the tags to come.
    void CompactFor(size_t nodes, uint64_t least, uint64_t most, uint64_t differing);
    // Safe from several threads for distinct nodes, between CompactFor and Merge.
    void Set(NodeId node, uint64_t tag) {
        if (nodeTags.empty()) nearTags[node] = static_cast<uint32_t>((tag - tagBase) >> tagShift);
        else nodeTags[node] = tag;
    }

private:
    // Runs, or nodes once compacted: what byTag numbers.
    size_t Entries() const { return compact ? CompactCount() : runs.size(); }
    uint64_t NodeTag(size_t node) const {
        return nodeTags.empty() ? tagBase + (static_cast<uint64_t>(nearTags[node]) << tagShift) : nodeTags[node];
    }
    uint64_t FirstTag(size_t entry) const { return compact ? NodeTag(entry) : runs[entry].firstTag; }
    size_t CompactCount() const { return nodeTags.empty() ? nearTags.size() : nodeTags.size(); }
    NodeId FindIn(size_t entry, uint64_t tag) const;
    void BuildDirectory() const;

    std::vector<TagRun> runs;              // by node
    bool compact = false;
    // By node once compacted: nearTags when every tag fits, else nodeTags.
    std::vector<uint32_t> nearTags;
    uint64_t tagBase = 0;
    unsigned tagShift = 0;
    std::vector<uint64_t> nodeTags;
    mutable std::vector<uint32_t> byTag;   // entries ordered by tag
    mutable size_t sorted = 0;             // entries covered by byTag
    // Compact near tags only, while ordered: byTag's first position of each
    // range of near tags (near >> directoryShift), one more at the end.
    mutable std::vector<uint32_t> directory;
    mutable unsigned directoryShift = 0;
    bool ordered = true;                   // false after DropOrder
    // After DropOrder and RestoreOrder, when the tags ascend in a few runs:
    // where each begins, then the end.
    std::vector<size_t> ascending;
};

}  // namespace vesk
