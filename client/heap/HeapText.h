// How nodes and roots of a HeapGraph read in tables and paths.
#pragma once

#include <cstdint>
#include <string>

#include "heap/HeapGraph.h"

namespace vesk {

// A tag as the stream writes it: lower-case hexadecimal without prefix.
std::string HexTag(uint64_t tag);
// Reads a tag written that way (a "0x" prefix allowed); false when it is none.
bool ParseTag(const std::string& text, uint64_t* tag);
// The node's class name, or for a class object "class NAME", for a thread
// object "thread \"NAME\"".
std::string NodeLabel(const HeapGraph& graph, NodeId node);
// "stack local, thread \"main\", frame 2", "JNI global", "class" (a class
// object, with its static fields) and the like.
std::string RootText(const HeapGraph& graph, const HeapRoot& root);

}  // namespace vesk
