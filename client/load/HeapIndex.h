// A stored copy of one file's analysis, so that later commands on the same
// file skip reading and analysing it again: its HeapGraph, the dominator
// tree that follows weak references (the default one), and a snapshot
// stream's header properties.
//
// Layout, in this machine's byte order: a header (magic, format version, a
// byte order mark, the source file's size and modification time, the length
// and checksum of each section, the source's path, the header's own
// checksum), then the graph section (properties, then HeapGraph::Members),
// then the tree section (DominatorTree::Members). A section's checksum is
// checked when it is read and before anything read from it is used: an index
// that is stale, of another version or machine, truncated or damaged is
// refused, never trusted and never a crash.
//
// Written under a temporary name in the index's directory and renamed when
// whole, so that a reader never meets a partial index.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/File.h"
#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"

namespace vesk {

class IndexIn;
class IndexOut;

// A snapshot stream's header properties by command and name.
typedef std::map<std::string, std::map<std::string, std::string>> IndexProperties;

// What an index is valid for: the source file as it was when analysed.
struct SourceStamp {
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    std::string path;  // canonical path of the source
};

// The stamp of path as it is now; false when it cannot be looked at or is
// no regular file (no index then).
bool StampSource(const std::string& path, SourceStamp* stamp);
// The index beside source: "FILE.vidx".
std::string IndexBeside(const std::string& source);
// The cache directory: $XDG_CACHE_HOME/vesk, else ~/.cache/vesk; "" when
// neither variable is set.
std::string CacheDirectory();
// mkdir -p, mode 0700; false when some part cannot be made.
bool MakeDirectories(const std::string& dir);
// The index in the cache directory, named after the source's name, a hash
// of its canonical path and one of its size and modification time; "" without
// a cache directory.
std::string IndexInCache(const SourceStamp& source);
// Removes the indexes in the cache directory of source's path as it was at
// other times (they would never be read again).
void ForgetOtherIndexesInCache(const SourceStamp& source);

// Reads one index file: the header when opened, then each section once, in
// order. Any failure leaves what was being read unspecified; the caller
// drops it and analyses the source instead.
class HeapIndexReader {
public:
    HeapIndexReader() = default;
    ~HeapIndexReader();
    HeapIndexReader(const HeapIndexReader&) = delete;
    HeapIndexReader& operator=(const HeapIndexReader&) = delete;

    // False when path is missing, or is no index of source as it is now.
    // checkPath: the stored source path must be source.path too (an index
    // in the shared cache directory).
    bool Open(const std::string& path, const SourceStamp& source, bool checkPath);
    // Fills a default-constructed graph; false when the section is damaged.
    bool ReadGraph(HeapGraph* graph, IndexProperties* properties);
    // The stored tree over graph (which ReadGraph filled); null when damaged.
    // Without check, graph may still be being filled (by another reader of
    // the same index): the caller checks the tree's Consistent() once it is.
    std::unique_ptr<DominatorTree> ReadTree(const HeapGraph& graph, bool check = true);
    // Hands the details section to read; false when the index has none or
    // it is damaged (what read filled is then to be dropped).
    bool ReadDetails(const std::function<void(IndexIn&)>& read);

private:
    File file;
    uint64_t graphBytes = 0, graphHash = 0, treeBytes = 0, treeHash = 0, detailsBytes = 0, detailsHash = 0;
    uint64_t treeOffset = 0;
};

// Writes the index of source to path. Throws ClientError: File when it
// cannot be written, Cancelled when stop (polled now and then) returned
// true; nothing is left behind either way.
void WriteHeapIndex(const std::string& path, const SourceStamp& source, const HeapGraph& graph,
                    const DominatorTree& tree, const IndexProperties& properties, const std::function<bool()>& stop);
// Appends the details section that write writes to the index of source at
// path; false when there is no such index, it has details already, or it
// cannot be written (a reader then refuses the index, never misreads it).
bool AppendIndexDetails(const std::string& path, const SourceStamp& source, bool checkPath,
                        const std::function<void(IndexOut&)>& write);

}  // namespace vesk
