// Writes a snapshot's filled buffers to new temporary files on one thread
// that lives for the whole snapshot, while the heap walk fills the other
// buffer. Files are created on that thread only: the walk hands buffers over
// and waits at most the stall limit for one to come back. Used by the one
// thread that owns the snapshot.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Orlo {

class StringBuffer;

class SnapshotWriter {
public:
    static constexpr std::chrono::milliseconds DEFAULT_STALL_LIMIT{30000};

    SnapshotWriter(uint64_t bufferSize, uint64_t bufferIncrement,
                   std::chrono::milliseconds stallLimit = DEFAULT_STALL_LIMIT);
    // Drops what is unwritten and deletes the files.
    ~SnapshotWriter();
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Before the walk: makes both buffers, starts the thread and returns the
    // buffer to fill first. Throws when memory or a thread cannot be had.
    StringBuffer* Begin();
    // From the walk: the filled buffer goes to a file of its own; returns the
    // buffer to fill next, or null when the writer has failed or stalled.
    StringBuffer* Hand(StringBuffer* filled);
    // True once the writer has stopped early (a failure): the walk can end.
    bool Failed() const;
    // After the walk: writes last unless null, waits for the thread and
    // frees the buffers. Returns the first failure's message, else empty.
    // A writer stalled past the limit is left to finish on its own and
    // delete its files.
    std::string End(StringBuffer* last);
    // The files written, in order; complete once End has returned.
    const std::vector<std::string>& Files() const { return files; }
    // Ends a running writer without writing more, deletes every file.
    void DeleteFiles();

private:
    struct Shared;
    static void Run(std::shared_ptr<Shared> state);
    static void WriteAll(Shared& state);

    const uint64_t bufferSize;
    const uint64_t bufferIncrement;
    const std::chrono::milliseconds stallLimit;
    std::shared_ptr<Shared> running;  // null outside Begin..End
    std::thread worker;
    std::vector<std::string> files;
};

}  // namespace Orlo
