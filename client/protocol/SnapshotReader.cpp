#include "protocol/SnapshotReader.h"

#include "VeskProtocol.h"
#include "protocol/RecordPipe.h"
#include "protocol/SnapshotFastPath.h"
#include "protocol/SnapshotParser.h"

namespace vesk {

namespace wire = Orlo::Protocol;

void SnapshotReader::Drain() {
    if (pipe) pipe->Drain();
}

SnapshotReader::SnapshotReader(SnapshotHandler& handler, Kind kind, Path path)
    : handler(handler),
      kind(kind),
      fast(path != Path::Strict && kind == Kind::Snapshot ? new SnapshotFastPath(*this) : nullptr),
      pipe(path == Path::FastTwoThreads && kind == Kind::Snapshot ? new RecordPipe(*this) : nullptr),
      parser(new SnapshotParser(*this)) {}

SnapshotReader::~SnapshotReader() = default;

bool SnapshotReader::IsStreamStart(std::string_view head) {
    const std::string_view start = wire::FRAME_START;
    return head.substr(0, start.size()) == start;
}

void SnapshotReader::Fail(const std::string& message) {
    if (error.empty()) error = message;
}

void SnapshotReader::ToExpat() {
    // The handler sees expat's records after the fast path's.
    Drain();
    parser.reset(new SnapshotParser(*this, &fast->Place()));
}

void SnapshotReader::FeedAll(std::string_view in) {
    std::string joined;
    while (!in.empty() && !Failed() && !stopped) {
        if (parser) {
            size_t rest = parser->Feed(in.data(), in.size());
            cursor += in.size() - rest;
            if (!parser->HandedBack()) return;
            grown += parser->Growth();
            fast->Resume(parser->Place());
            parser.reset();
            in.remove_prefix(in.size() - rest);
            continue;
        }
        in = fast->Read(in, joined);
        if (!fast->ToExpat()) return;
        ToExpat();
    }
}

bool SnapshotReader::Feed(std::string_view bytes) {
    if (Failed() || stopped) return false;
    bytesRead += bytes.size();
    if (!thrown) {
        try {
            FeedAll(bytes);
        } catch (...) {
            thrown = true;
            throw;
        }
    }
    if (!Failed() && parser && parser->Unreported() > MAX_ELEMENT)
        Fail("not a snapshot stream (an element longer than 16 MiB)");
    return !Failed() && !stopped;
}

bool SnapshotReader::Finish() {
    if (pipe && !thrown) {
        try {
            Drain();
        } catch (...) {
            thrown = true;
            throw;
        }
    }
    // Its thread and batches are not kept while the caller builds on.
    pipe.reset();
    if (Failed()) return false;
    if (stopped) return true;
    if (!complete) {
        Fail(!headerDone ? (bytesRead == 0 ? "empty: no snapshot header" : "truncated: the stream ends before the snapshot header does")
                         : "truncated: the stream ends before the snapshot's final frame");
        return false;
    }
    return true;
}

}  // namespace vesk
