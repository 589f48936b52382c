// Writes filled snapshot buffers to their files on a thread of its own, so
// that the heap walk fills the next buffer meanwhile. One write at a time;
// used by the one thread that owns the snapshot.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

namespace Orlo {

class StringBuffer;

class SnapshotWriter {
public:
    // The sizes of the second buffer, made at the first write.
    SnapshotWriter(uint64_t bufferSize, uint64_t bufferIncrement);
    ~SnapshotWriter();
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Takes the filled buffer and its open file, which is closed once
    // written, and returns an empty buffer to fill next. Without a second
    // buffer or a thread the write is done before returning. Call Wait
    // first: an earlier failure is otherwise reported under this path.
    StringBuffer* Start(StringBuffer* filled, FILE* file, const char* path);
    // Waits for the write in progress. Returns the error number of a write
    // that failed since the last call, else 0; Path() names its file.
    int Wait();
    const std::string& Path() const { return path; }
    // Waits and frees the second buffer.
    void Release();

private:
    void WriteOut();

    uint64_t bufferSize;
    uint64_t bufferIncrement;
    std::thread worker;
    StringBuffer* writing;  // the buffer being written, until Wait
    StringBuffer* spare;
    FILE* file;
    std::string path;
    int error;
};

}  // namespace Orlo
