#include "protocol/RecordPipe.h"

namespace vesk {

void RecordPipe::Drain() {
    if (!filling.records.empty()) Hand();
    if (!worker.Pending()) return;
    full->Close();
    worker.Wait();
}

void RecordPipe::Hand() {
    if (!worker.Pending()) {
        full = std::make_unique<BoundedQueue<Batch>>(QUEUED);
        worker.Start([this] { Run(); });
    }
    // Refused only once the handler threw: Wait throws it.
    if (!full->Push(filling)) worker.Wait();
    if (!spare.TryPop(filling)) {
        filling = Batch();
        filling.records.reserve(BATCH);
    }
}

void RecordPipe::Run() {
    Batch batch;
    try {
        while (full->Pop(batch)) {
            Deliver(batch);
            batch.records.clear();
            batch.aside.clear();
            spare.Push(batch);
        }
    } catch (...) {
        full->Cancel();
        throw;
    }
}

void RecordPipe::Deliver(const Batch& batch) {
    SnapshotHandler& handler = reader.handler;
    StreamObject object;
    StreamRef ref;
    for (const Record& record : batch.records) {
        if (reader.stopped.load(std::memory_order_relaxed)) return;
        if (record.aside >= 0) {
            handler.OnReference(batch.aside[static_cast<size_t>(record.aside)]);
        } else if (record.aside == Record::REFERENCE) {
            ref.kind = record.kind;
            ref.tag = record.tag;
            ref.classTag = record.classTag;
            ref.size = record.size;
            ref.referrer = record.referrer;
            ref.length = record.length;
            ref.index = record.index;
            handler.OnReference(ref);
        } else {
            object.tag = record.tag;
            object.classTag = record.classTag;
            object.size = record.size;
            object.length = record.length;
            handler.OnObject(object);
        }
    }
}

}  // namespace vesk
