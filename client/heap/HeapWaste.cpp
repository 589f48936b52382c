#include "heap/HeapWaste.h"

#include <algorithm>
#include <unordered_map>

#include "heap/ClassGroups.h"

namespace vesk {

const char* WasteKindName(WasteKind kind) {
    switch (kind) {
        case WasteKind::EmptyCollection: return "empty-collection";
        case WasteKind::SparseCollection: return "sparse-collection";
        case WasteKind::EmptyArray: return "empty-array";
        case WasteKind::NullArray: return "null-array";
        case WasteKind::Boxed: return "boxed";
        case WasteKind::DuplicateClass: return "duplicate-class";
    }
    return "?";
}

namespace {

// How a collection class is told empty or sparse, by the one field of its
// base class that holds its content.
enum class Shape : uint8_t {
    None,
    Slots,     // a backing array: empty when no slot is set
    Table,     // a hash table: empty, or sparse under a quarter of its slots used
    Link,      // a first node or tree root: empty when null
    Wrapper,   // a set over a map: as the map
};

struct Collection {
    const char* base;
    const char* field;
    Shape shape;
};

const Collection COLLECTIONS[] = {
    {"java.util.ArrayList", "elementData", Shape::Slots},
    {"java.util.Vector", "elementData", Shape::Slots},
    {"java.util.ArrayDeque", "elements", Shape::Slots},
    {"java.util.PriorityQueue", "queue", Shape::Slots},
    {"java.util.IdentityHashMap", "table", Shape::Slots},
    // Since JDK 9 a Properties keeps its entries in a map of its own, not in its table.
    {"java.util.Properties", "map", Shape::Wrapper},
    {"java.util.HashMap", "table", Shape::Table},
    {"java.util.Hashtable", "table", Shape::Table},
    {"java.util.WeakHashMap", "table", Shape::Table},
    {"java.util.concurrent.ConcurrentHashMap", "table", Shape::Table},
    {"java.util.TreeMap", "root", Shape::Link},
    {"java.util.LinkedList", "first", Shape::Link},
    {"java.util.HashSet", "map", Shape::Wrapper},
    {"java.util.TreeSet", "m", Shape::Wrapper},
};

struct ClassShape {
    Shape shape = Shape::None;
    int32_t field = NO_INDEX;  // the field's index in the class's fields
};

struct Boxed {
    const char* name;
    uint32_t valueBytes;
};
const Boxed BOXES[] = {{"java.lang.Integer", 4}, {"java.lang.Long", 8},    {"java.lang.Double", 8},
                       {"java.lang.Float", 4},   {"java.lang.Short", 2},   {"java.lang.Byte", 1},
                       {"java.lang.Character", 2}, {"java.lang.Boolean", 1}};

bool IsObjectArray(const HeapClass& cls) {
    static const char* const PRIMITIVE[] = {"boolean[]", "byte[]", "char[]", "short[]",
                                            "int[]",     "long[]", "float[]", "double[]"};
    if (!cls.IsArray()) return false;
    for (const char* name : PRIMITIVE)
        if (cls.name == name) return false;
    return true;
}

class WasteFinder {
public:
    WasteFinder(const HeapGraph& graph, const DominatorTree& tree) : graph(graph), tree(tree) {
        const std::vector<HeapClass>& classes = graph.Classes();
        shapes.resize(classes.size());
        boxBytes.assign(classes.size(), 0);
        objectArray.assign(classes.size(), false);
        for (uint32_t cls = 0; cls < classes.size(); cls++) {
            objectArray[cls] = IsObjectArray(classes[cls]);
            for (const Boxed& box : BOXES)
                if (classes[cls].name == box.name) boxBytes[cls] = box.valueBytes;
            shapes[cls] = ShapeOf(cls);
        }
        MeasureArrays();
    }

    void Run(std::vector<WasteRow>& rows) {
        std::unordered_map<uint64_t, WasteRow> found;
        auto add = [&](WasteKind kind, uint32_t cls, uint64_t bytes, uint64_t saved) {
            WasteRow& row = found[static_cast<uint64_t>(kind) << 32 | cls];
            row.kind = kind;
            row.instances++;
            row.bytes += bytes;
            row.saved += saved;
        };
        for (NodeId node = 0; node < graph.NodeCount(); node++) {
            uint32_t cls = graph.ClassOf(node);
            if (cls == NO_CLASS || !tree.Reachable(node)) continue;
            if (boxBytes[cls]) {
                uint64_t size = graph.ShallowSize(node);
                add(WasteKind::Boxed, cls, size, size > boxBytes[cls] ? size - boxBytes[cls] : 0);
            } else if (objectArray[cls]) {
                if (graph.EdgesBegin(node) != graph.EdgesEnd(node) || HeldByCollection(node)) continue;
                uint64_t size = graph.ShallowSize(node);
                add(size <= emptyArray ? WasteKind::EmptyArray : WasteKind::NullArray, cls, size, size);
            } else if (shapes[cls].shape != Shape::None) {
                // A set's map is the set's row.
                if (shapes[cls].shape != Shape::Wrapper && HeldBy(node, Shape::Wrapper)) continue;
                uint64_t table = 0, saved = 0;
                switch (Judge(node, &table, &saved)) {
                    case Verdict::Empty: add(WasteKind::EmptyCollection, cls, tree.Retained(node), tree.Retained(node)); break;
                    case Verdict::Sparse: add(WasteKind::SparseCollection, cls, table, saved); break;
                    case Verdict::Used: break;
                }
            }
        }
        for (auto& entry : found) {
            entry.second.className = graph.Classes()[entry.first & 0xffffffffu].name;
            rows.push_back(std::move(entry.second));
        }
    }

private:
    enum class Verdict { Used, Empty, Sparse };

    ClassShape ShapeOf(uint32_t cls) const {
        const std::vector<HeapClass>& classes = graph.Classes();
        size_t steps = 0;
        for (uint32_t c = cls; c != NO_CLASS && c < classes.size() && steps++ < classes.size(); c = classes[c].super) {
            for (const Collection& known : COLLECTIONS) {
                if (classes[c].name != known.base) continue;
                const std::vector<HeapField>& fields = classes[cls].fields;
                for (size_t i = 0; i < fields.size(); i++)
                    if (fields[i].name == known.field &&
                        (fields[i].definingClass.empty() || fields[i].definingClass == known.base))
                        return {known.shape, static_cast<int32_t>(i)};
                return {};
            }
        }
        return {};
    }

    // The smallest object array is an empty one; the reference size is what
    // explains every array's size given its highest set slot.
    void MeasureArrays() {
        const NodeId count = graph.NodeCount();
        uint64_t smallest = UINT64_MAX;
        for (NodeId node = 0; node < count; node++) {
            uint32_t cls = graph.ClassOf(node);
            if (cls != NO_CLASS && objectArray[cls]) smallest = std::min<uint64_t>(smallest, graph.ShallowSize(node));
        }
        emptyArray = smallest == UINT64_MAX ? 16 : smallest;
        uint64_t bound = UINT64_MAX;
        for (NodeId node = 0; node < count; node++) {
            uint32_t cls = graph.ClassOf(node);
            if (cls == NO_CLASS || !objectArray[cls]) continue;
            int64_t slots = 0;
            for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++)
                slots = std::max<int64_t>(slots, static_cast<int64_t>(e->index) + 1);
            uint64_t size = graph.ShallowSize(node);
            if (slots >= 8 && size >= emptyArray) bound = std::min<uint64_t>(bound, (size - emptyArray + 7) / slots);
        }
        referenceSize = bound != UINT64_MAX && bound >= 8 ? 8 : 4;
    }

    NodeId Field(NodeId node, int32_t field) const {
        for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++)
            if (e->index == field) return e->target;
        return NO_NODE;
    }

    bool HeldBy(NodeId node, Shape shape) const {
        NodeId d = tree.Dominator(node);
        if (d == NO_NODE || d == DominatorTree::VIRTUAL_ROOT) return false;
        uint32_t cls = graph.ClassOf(d);
        return cls != NO_CLASS && shapes[cls].shape == shape;
    }
    bool HeldByCollection(NodeId node) const {
        NodeId d = tree.Dominator(node);
        if (d == NO_NODE || d == DominatorTree::VIRTUAL_ROOT) return false;
        uint32_t cls = graph.ClassOf(d);
        return cls != NO_CLASS && shapes[cls].shape != Shape::None;
    }

    uint64_t Slots(NodeId array) const {
        uint64_t size = graph.ShallowSize(array);
        return size > emptyArray ? (size - emptyArray) / referenceSize : 0;
    }
    static uint64_t Used(const HeapGraph& graph, NodeId array) {
        return static_cast<uint64_t>(graph.EdgesEnd(array) - graph.EdgesBegin(array));
    }

    Verdict Judge(NodeId node, uint64_t* table, uint64_t* saved, int depth = 0) const {
        uint32_t cls = graph.ClassOf(node);
        if (cls == NO_CLASS) return Verdict::Used;
        const ClassShape& shape = shapes[cls];
        NodeId content = Field(node, shape.field);
        switch (shape.shape) {
            case Shape::None: return Verdict::Used;
            case Shape::Link: return content == NO_NODE ? Verdict::Empty : Verdict::Used;
            case Shape::Slots: return content == NO_NODE || Used(graph, content) == 0 ? Verdict::Empty : Verdict::Used;
            case Shape::Wrapper:
                if (content == NO_NODE) return Verdict::Empty;
                return depth == 0 ? Judge(content, table, saved, 1) : Verdict::Used;
            case Shape::Table: {
                if (content == NO_NODE) return Verdict::Empty;
                uint64_t used = Used(graph, content), slots = Slots(content);
                if (used == 0) return Verdict::Empty;
                if (used * 4 >= slots) return Verdict::Used;
                // A table sized for its entries at the default load factor.
                uint64_t needed = 1;
                while (needed * 3 < used * 4) needed *= 2;
                *table = graph.ShallowSize(content);
                *saved = (slots - needed) * referenceSize;
                return Verdict::Sparse;
            }
        }
        return Verdict::Used;
    }

    const HeapGraph& graph;
    const DominatorTree& tree;
    std::vector<ClassShape> shapes;
    std::vector<uint32_t> boxBytes;
    std::vector<bool> objectArray;
    uint64_t emptyArray = 16;
    uint64_t referenceSize = 4;
};

// Classes defined more than once under one name, with their loaders.
void FindDuplicateClasses(const HeapGraph& graph, std::vector<WasteRow>& rows, bool* loadersKnown) {
    const std::vector<HeapClass>& classes = graph.Classes();
    std::vector<bool> loaderClass(classes.size());
    for (uint32_t cls = 0; cls < classes.size(); cls++) loaderClass[cls] = IsLoaderClass(graph, cls);
    std::vector<NodeId> loaderOf(classes.size(), NO_NODE);
    std::unordered_map<NodeId, uint32_t> defined;
    std::unordered_map<std::string, std::vector<uint32_t>> byName;
    for (uint32_t cls = 0; cls < classes.size(); cls++) {
        NodeId node = classes[cls].node;
        if (node == NO_NODE) continue;
        for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++) {
            uint32_t target = graph.ClassOf(e->target);
            if (e->index == NO_INDEX && target != NO_CLASS && loaderClass[target]) {
                loaderOf[cls] = e->target;
                *loadersKnown = true;
                break;
            }
        }
        defined[loaderOf[cls]]++;
        // Array classes repeat their element class's copies.
        if (!classes[cls].IsArray()) byName[classes[cls].name].push_back(cls);
    }
    for (const auto& entry : byName) {
        if (entry.second.size() < 2) continue;
        WasteRow row;
        row.kind = WasteKind::DuplicateClass;
        row.className = entry.first;
        row.instances = static_cast<int64_t>(entry.second.size());
        uint64_t smallest = UINT64_MAX;
        for (uint32_t cls : entry.second) {
            uint64_t size = graph.ShallowSize(classes[cls].node);
            row.bytes += size;
            smallest = std::min(smallest, size);
            row.loaders.emplace_back(loaderOf[cls], defined[loaderOf[cls]]);
        }
        row.saved = row.bytes - smallest;
        rows.push_back(std::move(row));
    }
}

}  // namespace

std::vector<WasteRow> FindWaste(const HeapGraph& graph, const DominatorTree& tree, size_t maxPerKind,
                                bool* loadersKnown) {
    std::vector<WasteRow> waste;
    *loadersKnown = false;
    WasteFinder(graph, tree).Run(waste);
    FindDuplicateClasses(graph, waste, loadersKnown);
    std::sort(waste.begin(), waste.end(), [](const WasteRow& a, const WasteRow& b) {
        if (a.kind != b.kind) return a.kind < b.kind;
        if (a.saved != b.saved) return a.saved > b.saved;
        return a.className < b.className;
    });
    size_t kept = 0;
    for (size_t i = 0, inKind = 0; i < waste.size(); i++) {
        inKind = i > 0 && waste[i].kind == waste[i - 1].kind ? inKind + 1 : 0;
        if (inKind >= maxPerKind) continue;
        if (kept != i) waste[kept] = std::move(waste[i]);
        kept++;
    }
    waste.resize(kept);
    return waste;
}

}  // namespace vesk
