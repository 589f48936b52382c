#include "SnapshotWriter.h"

#include <cerrno>
#include <exception>
#include <system_error>

#include "StringBuffer.h"

namespace Orlo {

SnapshotWriter::SnapshotWriter(uint64_t size, uint64_t increment)
    : bufferSize(size), bufferIncrement(increment), writing(nullptr), spare(nullptr), file(nullptr), error(0) {}

SnapshotWriter::~SnapshotWriter() { Release(); }

StringBuffer* SnapshotWriter::Start(StringBuffer* filled, FILE* stream, const char* name) {
    int earlier = Wait();
    writing = filled;
    file = stream;
    path = name;
    error = earlier;
    StringBuffer* next = spare;
    spare = nullptr;
    try {
        if (!next) next = new StringBuffer(bufferSize, bufferIncrement);
        worker = std::thread(&SnapshotWriter::WriteOut, this);
        return next;
    } catch (const std::exception&) {
        // No memory or no thread: write here and refill the same buffer.
        spare = next;
    }
    WriteOut();
    writing = nullptr;
    filled->Clear(false);
    return filled;
}

void SnapshotWriter::WriteOut() {
    // Each segment leaves in one write straight from its memory.
    setvbuf(file, nullptr, _IONBF, 0);
    errno = 0;
    bool written = writing->Write(file) == writing->Size();
    int code = errno;
    if (fclose(file) != 0 && written) {
        written = false;
        code = errno;
    }
    file = nullptr;
    if (!written && error == 0) error = code ? code : EIO;
}

int SnapshotWriter::Wait() {
    if (worker.joinable()) worker.join();
    if (writing) {
        writing->Clear(false);
        if (spare)
            delete writing;
        else
            spare = writing;
        writing = nullptr;
    }
    int result = error;
    error = 0;
    return result;
}

void SnapshotWriter::Release() {
    Wait();
    delete spare;
    spare = nullptr;
}

}  // namespace Orlo
