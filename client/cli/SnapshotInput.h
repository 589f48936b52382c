// Where the analysis commands' snapshots come from: a saved stream, or a
// fresh snapshot taken from the agent and read as it arrives, without
// writing a file.
#pragma once

#include <string>

#include "cli/Commands.h"
#include "heap/HeapGraph.h"
#include "protocol/SnapshotReader.h"

namespace vesk {

// Feeds the snapshot to reader: the saved stream at path, or, when path is
// empty, a new snapshot from the agent at options' host and port. A reader
// that stops early (the histogram) ends a live snapshot with a cancellation.
// Returns EXIT_OK, or prints why not and returns the exit code: EXIT_FILE
// when the file cannot be read or holds no whole snapshot (truncated, an
// error frame, cancelled), EXIT_AGENT_ERROR when the agent reported an error,
// EXIT_CANCELLED on Ctrl-C.
int ReadSnapshot(const Options& options, const std::string& path, SnapshotReader& reader);

// ReadSnapshot into a graph; path may also name an HPROF heap dump.
int LoadGraph(const Options& options, const std::string& path, HeapGraph* graph);

// The path a command reads: FILE when given, else "" (a live snapshot) when
// --port was given or FILE is optional; otherwise a usage error (EXIT_USAGE).
int ChooseInput(const Options& options, const std::string& file, bool fileRequired, std::string* path);

}  // namespace vesk
