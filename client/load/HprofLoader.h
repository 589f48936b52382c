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

// Reads an HPROF file into a graph. Throws ClientError (File) when the file
// cannot be read, is no HPROF or a damaged one, or holds more objects than
// a graph can. progress: the passes over the file, then the graph's.
// timeStamp, when given, gets the header's (milliseconds since the epoch).
HeapGraph LoadHprofFile(const std::string& path, WorkProgress& progress = NoProgress(),
                        uint64_t* timeStamp = nullptr);

}  // namespace vesk
