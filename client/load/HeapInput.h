// Where an analysis command's heap comes from, decided in this one place for
// every command: the live heap, a saved snapshot stream, or an HPROF heap
// dump, the file's kind told by its first bytes (a zstd-compressed file's by
// the first bytes it decodes to; it is read decoding). A command asks for the class
// histogram (a snapshot's header suffices) or for the whole graph, and for
// its dominator tree.
//
// The live heap comes by HEAPDUMP (the JVM's own dump, the shorter pause),
// saved as it arrives into a private temporary file that is unlinked once
// read, also when Ctrl-C ends the program. An agent that refuses HEAPDUMP
// (an older one, or heapdump=off) gives a SNAPSHOT instead, with a line on
// stderr saying so; settings.snapshot asks for that route from the start.
// A SNAPSHOT is read as it arrives (no file written), asked from the JVM's
// heap dump unless settings.walk or heapdump=off.
//
// A file's analysis is kept in an index (load/HeapIndex): beside the file,
// or in the cache directory when settings ask so or the file's directory is
// not writable. The first command that computes a file's dominator tree
// writes it (one line on stderr says so when it lands beside the file);
// later ones read the graph and the tree from it for as long as the file
// keeps its size and modification time. An index that cannot be written
// costs a one-line warning; one that cannot be read is ignored. --no-index
// does without.
//
// Failures throw ClientError: File when the file cannot be read, is neither
// a snapshot stream nor HPROF, or holds no whole heap (truncated, an error
// frame); AgentReported, Dropped or Cancelled (Ctrl-C) for the live heap,
// File when its temporary file cannot be written;
// Usage when no input was given.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/WorkProgress.h"
#include "heap/ClassHistogram.h"
#include "heap/DominatorTree.h"
#include "heap/HeapGraph.h"
#include "heap/HeapSummary.h"
#include "load/HeapIndex.h"
#include "protocol/SnapshotReader.h"
#include "protocol/VeskClient.h"

namespace vesk {

// What an input takes from the command line.
struct InputSettings {
    std::string host;  // of the agent, for a live snapshot
    int port = 0;
    int timeoutMs = 0;
    bool compress = true;
    bool walk = false;  // a live snapshot by the heap walk, not from the JVM's heap dump
    bool snapshot = false;  // a live heap by SNAPSHOT, not HEAPDUMP (walk implies it)
    bool portGiven = false;  // --port: a live snapshot unless FILE is required
    bool noIndex = false;
    bool indexInCache = false;  // write indexes in the cache directory even where the file's is writable
    // Connects to the agent (and authenticates) for a live snapshot.
    std::function<VeskClient()> connect;
};

class HeapInput {
public:
    enum class Kind { Live, Stream, Hprof };

    // FILE when given; else a live snapshot when --port was given or FILE is
    // optional, otherwise a usage error. A file is opened here to learn its kind.
    // progress gets the reading and building phases (a live snapshot shows
    // its own while it arrives); it must outlive the input.
    HeapInput(const InputSettings& settings, const std::string& file, bool fileRequired,
                  WorkProgress& progress = NoProgress());

    Kind GetKind() const { return kind; }
    // The file name, or host:port.
    std::string Source() const;
    // The file as it was before it was read.
    const SourceStamp& Stamp() const { return stamp; }
    // The index that holds the file's analysis now, and whether it lies in
    // the cache directory; "" for none (a live heap, --no-index, none written).
    std::string IndexFile(bool* inCache = nullptr) const;

    // Classes with instances, sorted as SortHistogram does, as the graph
    // counts them (class and thread objects included, the JVM's fillers
    // left out): the whole heap is read, or a file's index, and the first
    // analysis of a file writes the index. summary, when given, gets what
    // the graph says of unreachable objects and fillers.
    std::vector<ClassTotals> Histogram(HeapSummary* summary = nullptr) const;
    // The whole heap. properties, when given, gets a snapshot's header
    // properties (an HPROF file has none).
    HeapGraph Graph(IndexProperties* properties = nullptr) const;
    // The dominator tree (weak references followed) over graph, which
    // Graph returned: the index's when graph came from it, else computed
    // now and, for a file, stored in its index.
    std::unique_ptr<DominatorTree> Tree(const HeapGraph& graph) const;
    // Graph and Tree at once: from an index, its two sections read side by
    // side on two threads.
    std::pair<std::unique_ptr<HeapGraph>, std::unique_ptr<DominatorTree>> GraphAndTree() const;

private:
    void Read(SnapshotReader& reader, bool walk) const;
    // The live heap by HEAPDUMP; false when the agent refuses it, with
    // *disabled telling whether by heapdump=off.
    bool ReadLiveDump(HeapGraph* graph, bool* disabled) const;
    bool Indexed() const { return kind != Kind::Live && !settings.noIndex; }
    void WriteIndex(const HeapGraph& graph, const DominatorTree& tree) const;

    InputSettings settings;
    WorkProgress* progress;
    Kind kind;
    std::string path;  // "" for a live snapshot
    SourceStamp stamp;  // the file as it was before it was read
    // Open on the index after Graph read the graph from it; shared, as
    // inputs are kept in vectors.
    mutable std::shared_ptr<HeapIndexReader> index;
    mutable IndexProperties properties;  // what Graph read, for the index Tree writes
};

}  // namespace vesk
