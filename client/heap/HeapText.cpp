#include "heap/HeapText.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace vesk {

std::string HexTag(uint64_t tag) {
    char text[24];
    snprintf(text, sizeof text, "%" PRIx64, tag);
    return text;
}

bool ParseTag(const std::string& text, uint64_t* tag) {
    std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *tag = strtoull(digits.c_str(), nullptr, 16);
    return true;
}

std::string SizeText(uint64_t bytes, bool exact) {
    static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (exact) return std::to_string(bytes);
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = bytes / 1024.0;
    size_t unit = 0;
    // 1023.95 and above would print as "1024.0" of the smaller unit.
    while (value >= 1023.95 && unit + 1 < sizeof UNITS / sizeof UNITS[0]) {
        value /= 1024;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
    return text;
}

std::string SizeChangeText(int64_t bytes, bool exact) {
    uint64_t magnitude = bytes < 0 ? 0 - static_cast<uint64_t>(bytes) : static_cast<uint64_t>(bytes);
    return (bytes < 0 ? "-" : "+") + SizeText(magnitude, exact);
}

// Case and the separators of binary, source and nested names do not tell
// names apart for a person typing one.
static std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c == '$' || c == '/') c = '.';
        else c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

// Edits (insert, delete, replace, swap of neighbours) from a to b, or
// limit + 1 once it is sure to exceed limit.
static size_t Distance(const std::string& a, const std::string& b, size_t limit) {
    size_t n = a.size(), m = b.size();
    if ((n > m ? n - m : m - n) > limit) return limit + 1;
    std::vector<size_t> before(m + 1), previous(m + 1), current(m + 1);
    for (size_t j = 0; j <= m; j++) previous[j] = j;
    for (size_t i = 1; i <= n; i++) {
        current[0] = i;
        size_t best = current[0];
        for (size_t j = 1; j <= m; j++) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                current[j] = std::min(current[j], before[j - 2] + 1);
            best = std::min(best, current[j]);
        }
        if (best > limit) return limit + 1;
        before.swap(previous);
        previous.swap(current);
    }
    return std::min(previous[m], limit + 1);
}

std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& names, size_t max) {
    std::string wanted = Folded(name);
    if (wanted.empty()) return {};
    // A typing error or two, fewer in short names, where one edit changes much.
    size_t limit = std::min<size_t>(3, std::max<size_t>(1, wanted.size() / 4));
    std::vector<std::tuple<int, size_t, std::string>> found;  // closeness, then order within it
    for (const std::string& candidate : names) {
        std::string folded = Folded(candidate);
        // The whole name, then each tail after a '.', as "Order" or "Outer.Inner".
        size_t edits = limit + 1;
        bool tail = false;
        for (size_t from = 0; from != std::string::npos && !tail;) {
            std::string part = folded.substr(from);
            tail = from > 0 && part == wanted;
            edits = std::min(edits, Distance(wanted, part, limit));
            size_t dot = folded.find('.', from);
            from = dot == std::string::npos ? dot : dot + 1;
        }
        if (folded == wanted) found.emplace_back(0, 0, candidate);
        else if (tail) found.emplace_back(1, folded.size(), candidate);
        else if (folded.find(wanted) != std::string::npos) found.emplace_back(2, folded.size(), candidate);
        else if (edits <= limit) found.emplace_back(3, edits, candidate);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> nearest;
    for (const auto& entry : found) {
        const std::string& candidate = std::get<2>(entry);
        if (nearest.size() == max) break;
        if (std::find(nearest.begin(), nearest.end(), candidate) == nearest.end()) nearest.push_back(candidate);
    }
    return nearest;
}

std::string NodeLabel(const HeapGraph& graph, NodeId node) {
    uint32_t cls = graph.DescribedClass(node);
    if (cls != NO_CLASS) return "class " + graph.Classes()[cls].name;
    uint32_t thread = graph.DescribedThread(node);
    if (thread != NO_THREAD) return "thread \"" + graph.Threads()[thread].name + "\"";
    return graph.ClassName(node);
}

std::string RootText(const HeapGraph& graph, const HeapRoot& root) {
    std::string text = RootKindName(root.kind);
    if (root.thread != NO_THREAD && root.thread < graph.Threads().size())
        text += ", thread \"" + graph.Threads()[root.thread].name + "\"";
    if (root.depth >= 0) text += ", frame " + std::to_string(root.depth);
    return text;
}

std::vector<std::string> PathAsPrinted(const HeapGraph& graph, const HeapPath& path) {
    std::vector<std::string> lines;
    if (path.steps.empty()) return lines;
    lines.push_back("root: " + RootText(graph, path.root));
    for (size_t i = 0; i < path.steps.size(); i++) {
        NodeId node = path.steps[i].node;
        std::string line;
        if (i > 0) {
            std::string via = graph.EdgeName(path.steps[i - 1].node, path.steps[i].edge);
            if (!via.empty()) line = (via[0] == '[' ? via : "." + via) + " -> ";
        }
        lines.push_back(line + NodeLabel(graph, node) + " " + HexTag(graph.Tag(node)));
    }
    return lines;
}

}  // namespace vesk
