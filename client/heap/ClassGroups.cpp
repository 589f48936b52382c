#include "heap/ClassGroups.h"

#include <unordered_map>

#include "heap/HeapPaths.h"
#include "heap/HeapText.h"

namespace vesk {

namespace {

// The loaders the JDK names itself, by their classes.
const std::pair<const char*, const char*> JDK_LOADERS[] = {
    {"jdk.internal.loader.ClassLoaders$PlatformClassLoader", "platform"},
    {"jdk.internal.loader.ClassLoaders$AppClassLoader", "app"},
};

// A class object stands for its class: "Plugin" rather than "class Plugin".
std::string Named(const HeapGraph& graph, NodeId node) {
    uint32_t cls = graph.DescribedClass(node);
    return cls != NO_CLASS ? graph.Classes()[cls].name : NodeLabel(graph, node);
}

std::string LoaderName(const HeapGraph& graph, NodeId loader, const PathFinder& paths) {
    if (loader == NO_NODE) return "bootstrap";
    std::string cls = graph.ClassName(loader);
    for (const auto& jdk : JDK_LOADERS)
        if (cls == jdk.first) return jdk.second;
    // The tag keeps apart loaders of one class held the same way.
    std::string name = cls + " " + HexTag(graph.Tag(loader));
    HeapPath path = paths.ShortestPath(loader);
    if (path.steps.size() >= 2) {
        NodeId holder = path.steps[path.steps.size() - 2].node;
        name += " held by " + Named(graph, holder) + "." + graph.EdgeName(holder, path.steps.back().edge);
    } else if (!path.steps.empty()) {
        name += " held by a GC root (" + RootText(graph, path.root) + ")";
    }
    return name;
}

}  // namespace

const std::vector<std::string>& GroupingWords() {
    static const std::vector<std::string> words = {"class", "package", "loader", "superclass"};
    return words;
}

std::string PackageOf(std::string name) {
    while (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) name.resize(name.size() - 2);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? "(default package)" : name.substr(0, dot);
}

bool IsLoaderClass(const HeapGraph& graph, uint32_t cls) {
    const std::vector<HeapClass>& classes = graph.Classes();
    size_t steps = 0;
    for (uint32_t c = cls; c != NO_CLASS && c < classes.size() && steps++ < classes.size(); c = classes[c].super)
        if (classes[c].name == "java.lang.ClassLoader") return true;
    return false;
}

std::vector<NodeId> DefiningLoaders(const HeapGraph& graph) {
    const std::vector<HeapClass>& classes = graph.Classes();
    std::vector<bool> loaderClass(classes.size());
    for (uint32_t cls = 0; cls < classes.size(); cls++) loaderClass[cls] = IsLoaderClass(graph, cls);
    std::vector<NodeId> loaders(classes.size(), NO_NODE);
    for (uint32_t cls = 0; cls < classes.size(); cls++) {
        NodeId node = classes[cls].node;
        if (node == NO_NODE) continue;
        for (const HeapEdge* e = graph.EdgesBegin(node); e < graph.EdgesEnd(node); e++) {
            uint32_t target = graph.ClassOf(e->target);
            if (target == NO_CLASS || !loaderClass[target]) continue;
            // A static field may hold some other loader.
            if (e->index == NO_INDEX || graph.EdgeName(node, *e) == "classLoader") {
                loaders[cls] = e->target;
                break;
            }
        }
    }
    return loaders;
}

ClassGroups GroupClasses(const HeapGraph& graph, ClassGrouping grouping) {
    const std::vector<HeapClass>& classes = graph.Classes();
    std::vector<std::string> keys(classes.size());
    if (grouping == ClassGrouping::Loader) {
        std::vector<NodeId> loaders = DefiningLoaders(graph);
        PathFinder paths(graph, false);
        std::unordered_map<NodeId, std::string> names;
        for (size_t c = 0; c < classes.size(); c++) {
            auto found = names.find(loaders[c]);
            if (found == names.end()) found = names.emplace(loaders[c], LoaderName(graph, loaders[c], paths)).first;
            keys[c] = found->second;
        }
    } else {
        for (size_t c = 0; c < classes.size(); c++) {
            const HeapClass& cls = classes[c];
            switch (grouping) {
                case ClassGrouping::Class: keys[c] = cls.name; break;
                case ClassGrouping::Package: keys[c] = PackageOf(cls.name); break;
                case ClassGrouping::Superclass:
                    keys[c] = cls.super == NO_CLASS ? "(none)" : classes[cls.super].name;
                    break;
                case ClassGrouping::Loader: break;
            }
        }
    }
    ClassGroups groups;
    std::unordered_map<std::string, uint32_t> numbers;
    for (std::string& key : keys) {
        auto found = numbers.emplace(key, static_cast<uint32_t>(groups.names.size()));
        if (found.second) groups.names.push_back(std::move(key));
        groups.groupOf.push_back(found.first->second);
    }
    return groups;
}

std::vector<GroupRow> GroupHistogram(const HeapGraph& graph, const DominatorTree& tree,
                                     const DominatorChildren& children, const ClassGroups& groups) {
    std::vector<GroupTotals> retained = SubtreeTotals(graph, tree, children, {DominatorTree::VIRTUAL_ROOT},
                                                      groups.groupOf, groups.names.size());
    std::vector<GroupTotals> counted(groups.names.size());
    std::vector<ClassTotals> histogram = graph.Histogram();
    for (size_t c = 0; c < histogram.size(); c++) {
        counted[groups.groupOf[c]].instances += histogram[c].instances;
        counted[groups.groupOf[c]].shallow += histogram[c].bytes;
    }
    std::vector<GroupRow> rows;
    for (size_t g = 0; g < groups.names.size(); g++)
        if (counted[g].instances > 0)
            rows.push_back({groups.names[g], {counted[g].instances, counted[g].shallow, retained[g].retained}});
    return rows;
}

std::vector<ClassTotals> GroupedClassTotals(const HeapGraph& graph, const ClassGroups& groups) {
    std::vector<ClassTotals> rows(groups.names.size());
    for (size_t g = 0; g < rows.size(); g++) rows[g].name = groups.names[g];
    std::vector<ClassTotals> histogram = graph.Histogram();
    for (size_t c = 0; c < histogram.size(); c++) {
        rows[groups.groupOf[c]].instances += histogram[c].instances;
        rows[groups.groupOf[c]].bytes += histogram[c].bytes;
    }
    return SortHistogram(std::move(rows));
}

}  // namespace vesk
