// Classes grouped by package, class loader or superclass: the grouped
// histograms of histo --group, top --by-class --group and the explorer.
//
// A class loader is named by its class and the reference that holds it on
// its shortest path from a GC root ("java.net.URLClassLoader 7f15.. held by
// com.example.Plugin.classLoader"); the JDK's own loaders by their names
// ("bootstrap", "platform", "app"). A class whose input names no loader
// (an HPROF file's class without one) counts as the bootstrap loader's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/ClassHistogram.h"
#include "heap/DominatorChildren.h"
#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/ObjectSets.h"

namespace vesk {

enum class ClassGrouping { Class, Package, Loader, Superclass };

// "class", "package", "loader", "superclass", in the enum's order.
const std::vector<std::string>& GroupingWords();

struct ClassGroups {
    std::vector<uint32_t> groupOf;   // by class index: below names.size()
    std::vector<std::string> names;  // by group, in the order first met
};

// Class: by name (the copies of several loaders together). Loader: one
// breadth-first search from the roots names the loaders (4 bytes a node).
ClassGroups GroupClasses(const HeapGraph& graph, ClassGrouping grouping);

// What comes before the last dot, arrays as their elements';
// "(default package)" for none.
std::string PackageOf(std::string className);

// A subclass of java.lang.ClassLoader, or that class itself.
bool IsLoaderClass(const HeapGraph& graph, uint32_t classIndex);

// By class index, the class loader object that defined the class: the
// class object's reference to an instance of a java.lang.ClassLoader
// subclass (an HPROF file's loader, a snapshot's classLoader field);
// NO_NODE for the bootstrap loader, or when the input says nothing.
std::vector<NodeId> DefiningLoaders(const HeapGraph& graph);

// Per group with instances: instances and shallow bytes of every object
// (unreachable ones too, as histo counts them), retained bytes of the
// reachable ones by top --by-class's rule. In group order.
struct GroupRow {
    std::string name;
    GroupTotals totals;
};
std::vector<GroupRow> GroupHistogram(const HeapGraph& graph, const DominatorTree& tree,
                                     const DominatorChildren& children, const ClassGroups& groups);

// Instances and shallow bytes per group, sorted as SortHistogram sorts.
std::vector<ClassTotals> GroupedClassTotals(const HeapGraph& graph, const ClassGroups& groups);

}  // namespace vesk
