// How nodes and roots of a HeapGraph read in tables and paths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/HeapGraph.h"
#include "heap/HeapPaths.h"

namespace vesk {

// A tag as the stream writes it: lower-case hexadecimal without prefix.
std::string HexTag(uint64_t tag);
// Reads a tag written that way (a "0x" prefix allowed); false when it is none.
bool ParseTag(const std::string& text, uint64_t* tag);
// The node's class name, or for a class object "class NAME", for a thread
// object "thread \"NAME\"".
std::string NodeLabel(const HeapGraph& graph, NodeId node);
// Bytes as tables show them: "512 B" below 1 KiB, else one decimal in binary
// units, "12.3 MiB" (KiB up to EiB); exact: the number alone, "12897484".
std::string SizeText(uint64_t bytes, bool exact = false);
// A change in bytes the same way, always signed: "+1.5 KiB", "-40 B", "+0 B";
// exact: "+1536".
std::string SizeChangeText(int64_t bytes, bool exact = false);

// Up to max of names that the user may have meant by name, best first:
// the same name but for case and the separators '.', '$' and '/' (so
// "SampleApp.Order" finds "SampleApp$Order"), then names ending in it after
// a separator ("Order"), then names containing it, then names that are, or
// end after a separator in, a few typing errors from it. None when nothing
// is close.
std::vector<std::string> NearestNames(const std::string& name, const std::vector<std::string>& names,
                                      size_t max = 3);

// "stack local, thread \"main\", frame 2", "JNI global", "class" (a class
// object, with its static fields) and the like.
std::string RootText(const HeapGraph& graph, const HeapRoot& root);

// A path as `vesk path` prints its lines, without the indentation:
// "root: class", "class AppCache 7f..", ".SESSIONS -> java.util.HashMap 7f..".
std::vector<std::string> PathAsPrinted(const HeapGraph& graph, const HeapPath& path);

}  // namespace vesk
