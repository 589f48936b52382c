// Where an analysis command's heap comes from, decided in this one place for
// every command: a new snapshot taken from the agent and read as it arrives
// (no file written), a saved snapshot stream, or an HPROF heap dump, the
// file's kind told by its first bytes. A command asks for the class
// histogram (a snapshot's header suffices) or for the whole graph.
//
// Failures throw ClientError: File when the file cannot be read, is neither
// a snapshot stream nor HPROF, or holds no whole heap (truncated, an error
// frame); AgentReported, Dropped or Cancelled (Ctrl-C) for a live snapshot;
// Usage when no input was given.
#pragma once

#include <string>
#include <vector>

#include "cli/Commands.h"
#include "heap/HeapGraph.h"
#include "heap/WorkProgress.h"
#include "load/SnapshotHistogram.h"
#include "report/HeapReport.h"

namespace vesk {

class SnapshotInput {
public:
    enum class Kind { Live, Stream, Hprof };

    // FILE when given; else a live snapshot when --port was given or FILE is
    // optional, otherwise a usage error. A file is opened here to learn its kind.
    // progress gets the reading and building phases (a live snapshot shows
    // its own while it arrives); it must outlive the input.
    SnapshotInput(const Options& options, const std::string& file, bool fileRequired,
                  WorkProgress& progress = NoProgress());

    Kind GetKind() const { return kind; }
    // The file name, or host:port.
    std::string Source() const;

    // Classes with instances, sorted as SortHistogram does. A snapshot's
    // header holds the counts, so only it is read (a live snapshot is
    // cancelled once it is in); an HPROF file is read whole.
    std::vector<ClassCount> Histogram() const;
    // The whole heap. properties, when given, gets a snapshot's header
    // properties (an HPROF file has none).
    HeapGraph Graph(StreamProperties* properties = nullptr) const;

private:
    void Read(SnapshotReader& reader) const;

    Options options;
    WorkProgress* progress;
    Kind kind;
    std::string path;  // "" for a live snapshot
};

}  // namespace vesk
