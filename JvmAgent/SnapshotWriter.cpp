#include "SnapshotWriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "BufferHandOver.h"
#include "ExceptionBoundary.h"
#include "StringBuffer.h"
#include "TempFiles.h"

namespace Orlo {

// What the thread and the snapshot's owner share; the thread keeps it alive
// when it is left behind stalled.
struct SnapshotWriter::Shared {
    Shared(uint64_t size, uint64_t increment, std::chrono::milliseconds limit)
        : first(new StringBuffer(size, increment)),
          second(new StringBuffer(size, increment)),
          handOver(limit, second.get()) {}

    void Fail(const std::string& message) {
        std::lock_guard<std::mutex> guard(lock);
        if (failure.empty()) failure = message;
    }
    void Fail(const char* what, const std::string& path, int error) {
        Fail(std::string(what) + " " + path + ": " + strerror(error));
    }

    std::unique_ptr<StringBuffer> first, second;
    BufferHandOver handOver;
    std::atomic<bool> abandoned{false};
    std::atomic<bool> broken{false};  // stopped by an exception, logged
    std::mutex lock;  // guards what follows
    std::vector<std::string> files;
    std::string failure;
};

SnapshotWriter::SnapshotWriter(uint64_t size, uint64_t increment, std::chrono::milliseconds limit)
    : bufferSize(size), bufferIncrement(increment), stallLimit(limit) {}

SnapshotWriter::~SnapshotWriter() { DeleteFiles(); }

StringBuffer* SnapshotWriter::Begin() {
    DeleteFiles();
    auto state = std::make_shared<Shared>(bufferSize, bufferIncrement, stallLimit);
    worker = std::thread(&SnapshotWriter::Run, state);
    running = state;
    return state->first.get();
}

StringBuffer* SnapshotWriter::Hand(StringBuffer* filled) {
    return running ? running->handOver.Give(filled) : nullptr;
}

bool SnapshotWriter::Failed() const { return !running || running->handOver.Stopped(); }

std::string SnapshotWriter::End(StringBuffer* last) {
    if (!running) return "";
    BufferHandOver& handOver = running->handOver;
    if (last) handOver.Give(last);
    handOver.Close(!last);
    std::string failure;
    if (handOver.WaitStopped()) {
        worker.join();
    } else {
        // A hung file system must not hold the snapshot: the thread keeps
        // its state and deletes its files when it gets free.
        running->abandoned = true;
        worker.detach();
    }
    {
        std::lock_guard<std::mutex> guard(running->lock);
        files = running->files;
        failure = running->failure;
        if (failure.empty() && running->broken) failure = "Snapshot writer stopped by an exception";
        if (failure.empty() && handOver.Stalled())
            failure = "Cannot write snapshot file " + (files.empty() ? std::string("?") : files.back()) +
                      ": no write finished within " + std::to_string(stallLimit.count()) + " ms";
    }
    running.reset();
    return failure;
}

void SnapshotWriter::DeleteFiles() {
    if (running) End(nullptr);
    for (const std::string& path : files) TempFiles::Remove(path);
    files.clear();
}

void SnapshotWriter::Run(std::shared_ptr<Shared> state) {
    state->broken = !ExceptionBoundary::Run("Snapshot writer", [&] { WriteAll(*state); });
    state->handOver.Stop();
    if (!state->abandoned) return;
    ExceptionBoundary::Run("Snapshot writer", [&] {
        std::lock_guard<std::mutex> guard(state->lock);
        for (const std::string& path : state->files) TempFiles::Remove(path);
    });
}

void SnapshotWriter::WriteAll(Shared& state) {
    while (StringBuffer* filled = state.handOver.Take()) {
        std::string path;
        UniqueFile file = TempFiles::Create(path);
        if (!file) {
            state.Fail("Cannot create snapshot file", path, errno);
            return;
        }
        try {
            std::lock_guard<std::mutex> guard(state.lock);
            state.files.push_back(path);
        } catch (...) {
            file.reset();
            TempFiles::Remove(path);
            throw;
        }
        // Each segment leaves in one write straight from its memory.
        setvbuf(file.get(), nullptr, _IONBF, 0);
        errno = 0;
        bool written = filled->Write(file.get()) == filled->Size();
        int code = errno;
        // Closed here, not by the holder: a failing close is a failed write.
        if (fclose(file.release()) != 0 && written) {
            written = false;
            code = errno;
        }
        if (!written) {
            state.Fail("Cannot write snapshot file", path, code ? code : EIO);
            return;
        }
        filled->Clear(false);
        state.handOver.Return(filled);
    }
}

}  // namespace Orlo
