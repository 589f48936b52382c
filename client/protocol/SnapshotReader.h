// One streaming reader for everything the agent sends: response frames,
// and above all the snapshot stream, saved to a file or arriving frame by
// frame. An XML parser (expat) reads the bytes in one pass, without building
// a document; each record is handed to a SnapshotHandler as it is read, so
// memory does not grow with the stream.
//
// The agent escapes every control byte and every byte at or above 0x7F as a
// decimal character reference (&#1; .. &#31;, &#127; .. &#255;), which XML
// 1.0 does not allow or reads as a character rather than a byte; the reader
// turns each back into the original byte.
//
// Past the header frame, a fast path reads the exact shapes of the agent's
// records and frames without the XML parser; at the first byte it does not
// recognise, expat takes over from there (with the open elements it had),
// until that frame ends. Both give the same callbacks, errors and offsets.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/ClientError.h"

namespace vesk {

class SnapshotParser;    // the expat side
class SnapshotFastPath;  // the fast path
class RecordPipe;        // records handed to the second thread

// A <field> record of a class: what a reference's index names.
struct StreamField {
    std::string name;
    std::string definingClass;  // Java name of the declaring class or interface
};

// A reference record's index when it names no field or element.
constexpr int32_t NO_STREAM_INDEX = -1;

struct StreamClass {
    uint64_t tag = 0;
    std::string name;
    uint64_t superTag = 0;  // 0: no superclass
    int64_t instances = 0;  // totalinst
    int64_t bytes = 0;      // totalsize
    std::vector<StreamField> fields;  // by index
};

// A <mthd> record: a method of the class being read.
struct StreamMethod {
    uint64_t tag = 0;  // mthdtag, the JVM's method identifier
    std::string name;
};

struct StreamThread {
    uint64_t tag = 0;
    std::string name;
    int32_t state = 0;
};

// <obj> (length -1) or <arrayobj>.
struct StreamObject {
    uint64_t tag = 0;
    uint64_t classTag = 0;
    int64_t size = 0;
    int32_t length = -1;
};

struct StreamRef {
    int32_t kind = 0;  // the JVMTI heap reference kind
    uint64_t tag = 0;
    uint64_t classTag = 0;
    int64_t size = 0;
    uint64_t referrer = 0;  // reftag; 0 when absent (roots)
    int32_t length = -1;
    int32_t index = NO_STREAM_INDEX;
    bool heapRoot = false;
    uint64_t threadTag = 0;  // stack and JNI locals
    int32_t depth = -1;
    uint64_t methodTag = 0;  // stack and JNI locals: a StreamMethod's tag
    int32_t slot = -1;       // stack locals
};

// Receives what the reader reads, in stream order. The defaults ignore it.
class SnapshotHandler {
public:
    virtual ~SnapshotHandler() = default;
    // A <prop> of a <cmd> element (command "RUNTIME", "SYSTEM_PROPS",
    // "SNAPSHOT"), or of the final frame's metrics (command "").
    virtual void OnProperty(const std::string& /*command*/, const std::string& /*name*/,
                            const std::string& /*value*/) {}
    // The record may be moved from.
    virtual void OnClass(StreamClass& /*cls*/) {}
    // The methods of a class come before its OnClass.
    virtual void OnMethod(const StreamMethod& /*method*/) {}
    virtual void OnThread(StreamThread& /*thread*/) {}
    // The header frame (runtime, properties, classes, threads) is complete.
    virtual void OnHeaderEnd() {}
    virtual void OnObject(const StreamObject& /*object*/) {}
    virtual void OnReference(const StreamRef& /*ref*/) {}
};

class SnapshotReader {
public:
    // Longest element kept while incomplete: a longer one means the input is
    // no snapshot stream (memory stays bounded whatever it is).
    static constexpr size_t MAX_ELEMENT = 16 << 20;

    enum class Kind {
        Snapshot,   // a snapshot stream: header frame first, then records
        Responses,  // any response frames: props and errors; records are skipped
    };
    enum class Path {
        Strict,  // expat reads every byte: the reference the fast path is held to
        Fast,    // the agent's own shapes read directly, anything else by expat
        // Fast, and records (OnObject, OnReference) reach the handler on a
        // second thread, in stream order, while the next bytes are read; the
        // other callbacks come once the records before them are delivered.
        // A handler's exception then comes out of a later Feed or Finish.
        FastTwoThreads,
    };
    explicit SnapshotReader(SnapshotHandler& handler, Kind kind = Kind::Snapshot, Path path = Path::Fast);
    // True when head, the first bytes of a file, begin as every stream of
    // response frames does.
    static bool IsStreamStart(std::string_view head);
    ~SnapshotReader();
    SnapshotReader(const SnapshotReader&) = delete;
    SnapshotReader& operator=(const SnapshotReader&) = delete;

    // The next bytes of the stream, split anywhere. False once the stream
    // has failed or Stop was called; further bytes are then ignored. What a
    // handler throws comes out of Feed (never through the XML parser), and
    // the reader takes no more bytes after it.
    bool Feed(std::string_view bytes);
    // The input has ended. True when the stream was whole: a header, then
    // frames up to the final one, and no error frame. Otherwise Error() says
    // what was wrong (truncated, an error frame, not a snapshot stream).
    // After Stop, only a failure before it counts. The second thread of
    // Path::FastTwoThreads has delivered every record and ended on return.
    bool Finish();
    // The caller needs nothing more (the histogram, once the header is in).
    // A handler may call it from its callbacks, on either thread.
    void Stop() { stopped = true; }

    bool HeaderDone() const { return headerDone; }
    // The final frame has been read.
    bool Complete() const { return complete; }
    bool Failed() const { return !error.empty(); }
    const std::string& Error() const { return error; }
    // The agent's own error text when the stream holds an error frame
    // ("Operation cancelled by user" for a cancelled snapshot), else "".
    const std::string& AgentError() const { return agentError; }
    uint64_t BytesRead() const { return bytesRead; }
    uint64_t Frames() const { return frames; }

private:
    friend class SnapshotParser;
    friend class SnapshotFastPath;
    friend class RecordPipe;
    void Fail(const std::string& message);
    void FeedAll(std::string_view bytes);
    // Hands the stream to expat, in the fast path's element, until that frame ends.
    void ToExpat();
    void Deliver(const StreamObject& object);
    void Deliver(const StreamRef& ref);
    void Drain();

    SnapshotHandler& handler;
    Kind kind;
    std::string error;
    std::string agentError;
    uint64_t bytesRead = 0;
    uint64_t frames = 0;
    bool headerDone = false;
    bool complete = false;
    std::atomic<bool> stopped{false};
    bool thrown = false;     // a handler threw: no more bytes are read
    uint64_t cursor = 0;     // stream offset of the first byte not yet read
    uint64_t grown = 0;      // bytes the retired parsers' reference rewriting added
    std::unique_ptr<SnapshotFastPath> fast;  // null for Path::Strict
    std::unique_ptr<RecordPipe> pipe;        // Path::FastTwoThreads
    std::unique_ptr<SnapshotParser> parser;  // null while the fast path reads; last: it feeds its first bytes when made
};

}  // namespace vesk
