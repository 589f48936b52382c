#include "heap/HeapText.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

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

}  // namespace vesk
