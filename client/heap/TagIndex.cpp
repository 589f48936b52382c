#include "heap/TagIndex.h"

#include <algorithm>
#include <utility>

namespace vesk {

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
    std::vector<size_t>().swap(ascending);
    ordered = false;
}

void TagIndex::RestoreOrder() {
    if (ordered || !ascending.empty()) return;
    // A heap dump's few ascending runs are searched as they lie, without
    // the 4 bytes a node of an order by tag.
    const size_t n = CompactCount();
    constexpr size_t FEW_RUNS = 16;
    std::vector<size_t> starts{0};
    for (size_t i = 1; i < n && starts.size() <= FEW_RUNS; i++)
        if (NodeTag(i - 1) > NodeTag(i)) starts.push_back(i);
    if (starts.size() <= FEW_RUNS) {
        starts.push_back(n);
        ascending = std::move(starts);
        return;
    }
    ordered = true;
    sorted = 0;
    Merge();
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
    if (!ascending.empty()) {
        // The first of equal tags: runs are in node order.
        for (size_t r = 0; r + 1 < ascending.size(); r++) {
            size_t low = ascending[r], high = ascending[r + 1];
            while (low < high) {
                size_t middle = low + (high - low) / 2;
                if (NodeTag(middle) < tag) low = middle + 1;
                else high = middle;
            }
            if (low < ascending[r + 1] && NodeTag(low) == tag) return static_cast<NodeId>(low);
        }
        return NO_NODE;
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
           (byTag.capacity() + directory.capacity()) * sizeof(uint32_t) + ascending.capacity() * sizeof(size_t);
}

}  // namespace vesk
