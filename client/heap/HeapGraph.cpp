#include "heap/HeapGraph.h"

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
           offsets.MemoryBytes() +
           edges.capacity() * sizeof(HeapEdge) + tags.MemoryBytes() +
           roots.capacity() * sizeof(HeapRoot) + classes.capacity() * sizeof(HeapClass) +
           threads.capacity() * sizeof(HeapThread) + (classNodes.size() + threadNodes.size()) * 32;
}

std::string TooManyObjects(uint64_t count) {
    return std::to_string(count) + " objects, more than the " + std::to_string(MAX_NODES) + " a heap graph can number";
}

}  // namespace vesk
