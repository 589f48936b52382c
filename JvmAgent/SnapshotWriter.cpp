#include "SnapshotWriter.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "BufferHandOver.h"
#include "ExceptionBoundary.h"
#include "HeapRecord.h"
#include "ReferenceBatch.h"
#include "TempFiles.h"

namespace Orlo {

// What the thread and the snapshot's owner share; the thread keeps it alive
// when it is left behind stalled.
struct SnapshotWriter::Shared {
    Shared(size_t batchSize, std::chrono::milliseconds limit)
        : first(new ReferenceBatch(batchSize)),
          second(new ReferenceBatch(batchSize)),
          text(new char[TEXT_AREA]),
          handOver(limit, second.get()) {}

    void Fail(const std::string& message) {
        std::lock_guard<std::mutex> guard(lock);
        if (failure.empty()) failure = message;
    }
    void Fail(const char* what, const std::string& path, int error) {
        Fail(std::string(what) + " " + path + ": " + strerror(error));
    }

    std::unique_ptr<ReferenceBatch> first, second;
    std::unique_ptr<char[]> text;  // the writer's formatting area
    BufferHandOver handOver;
    std::atomic<bool> abandoned{false};
    std::atomic<bool> broken{false};  // stopped by an exception, logged
    std::mutex lock;  // guards what follows
    std::vector<std::string> files;
    std::string failure;
};

SnapshotWriter::SnapshotWriter(size_t batchSize, std::chrono::milliseconds limit)
    : batchSize(batchSize), stallLimit(limit) {}

SnapshotWriter::~SnapshotWriter() { DeleteFiles(); }

ReferenceBatch* SnapshotWriter::Begin() {
    DeleteFiles();
    auto state = std::make_shared<Shared>(batchSize, stallLimit);
    worker = std::thread(&SnapshotWriter::Run, state);
    running = state;
    return state->first.get();
}

ReferenceBatch* SnapshotWriter::Hand(ReferenceBatch* filled) {
    return running ? running->handOver.Give(filled) : nullptr;
}

bool SnapshotWriter::Failed() const { return !running || running->handOver.Stopped(); }

Error SnapshotWriter::End(ReferenceBatch* last) {
    if (!running) return Error();
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
    return Error(failure);
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
    while (ReferenceBatch* filled = state.handOver.Take()) {
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
        // The text area leaves in whole writes, no second copy.
        setvbuf(file.get(), nullptr, _IONBF, 0);
        errno = 0;
        bool written = WriteText(*filled, state.text.get(), file.get());
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
        filled->Clear();
        state.handOver.Return(filled);
    }
}

bool SnapshotWriter::WriteText(const ReferenceBatch& batch, char* text, FILE* file) {
    size_t used = 0;
    for (size_t i = 0; i < batch.Size(); i++) {
        if (TEXT_AREA - used < HeapRecord::MAX_SIZE) {
            if (fwrite(text, 1, used, file) != used) return false;
            used = 0;
        }
        used += HeapRecord::FormatCaptured(text + used, batch[i]);
    }
    return fwrite(text, 1, used, file) == used;
}

}  // namespace Orlo
