// Turns a snapshot's batches of captured references into text and writes
// each batch to a new temporary file, on one thread that lives for the whole
// snapshot, while the heap walk fills the other batch. Files are created
// and text is formatted on that thread only: the walk hands batches over and
// waits at most the stall limit for one to come back. Used by the one
// thread that owns the snapshot.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Error.h"

namespace Orlo {

class ReferenceBatch;

class SnapshotWriter {
public:
    static constexpr std::chrono::milliseconds DEFAULT_STALL_LIMIT{30000};

    // Text leaves for the file in pieces of this size.
    static constexpr size_t TEXT_AREA = 1 << 20;

    // batchSize: the references of one file, the most a batch holds.
    explicit SnapshotWriter(size_t batchSize, std::chrono::milliseconds stallLimit = DEFAULT_STALL_LIMIT);
    // Drops what is unwritten and deletes the files.
    ~SnapshotWriter();
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Before the walk: makes both batches, starts the thread and returns the
    // batch to fill first. Throws when memory or a thread cannot be had.
    ReferenceBatch* Begin();
    // From the walk: the filled batch goes to a file of its own; returns the
    // batch to fill next, or null when the writer has failed or stalled.
    ReferenceBatch* Hand(ReferenceBatch* filled);
    // True once the writer has stopped early (a failure): the walk can end.
    bool Failed() const;
    // After the walk: writes last unless null, waits for the thread and
    // frees the batches. Returns the first failure, else no error.
    // A writer stalled past the limit is left to finish on its own and
    // delete its files.
    Error End(ReferenceBatch* last);
    // The files written, in order; complete once End has returned.
    const std::vector<std::string>& Files() const { return files; }
    // Ends a running writer without writing more, deletes every file.
    void DeleteFiles();

private:
    struct Shared;
    static void Run(std::shared_ptr<Shared> state);
    static void WriteAll(Shared& state);
    // The batch's text into file; false when a write failed (errno set).
    static bool WriteText(const ReferenceBatch& batch, char* text, FILE* file);

    const size_t batchSize;
    const std::chrono::milliseconds stallLimit;
    std::shared_ptr<Shared> running;  // null outside Begin..End
    std::thread worker;
    std::vector<std::string> files;
};

}  // namespace Orlo
