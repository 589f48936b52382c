// Builds a HeapGraph from an HPROF file: every class (its class object a
// node of its own), instance and array, sized by HprofLayout; references by
// field (the instance fields in dump order, then the statics on the class
// object), array element or, for a class's loader, signers and protection
// domain, none. Every HPROF root kind is a root. Thread objects stay plain
// objects (the dump names no threads).
#pragma once

#include <string>

#include "heap/HeapGraph.h"
#include "base/WorkProgress.h"

namespace vesk {

// Java's name for a class name as the JVM writes it ("java/lang/String",
// "[I", "[Ljava/lang/Object;").
std::string JavaClassName(std::string_view jvmName);

// Reads an HPROF file into a graph. False with a message otherwise.
// progress: the passes over the file, then the graph's.
bool LoadHprofFile(const std::string& path, HeapGraph* graph, std::string* error,
                   WorkProgress& progress = NoProgress());

}  // namespace vesk
