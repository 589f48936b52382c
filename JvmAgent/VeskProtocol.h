// The wire protocol's names and sizes, shared by the agent and the client so
// that both read them from one place. Requests: <vesk-cmd tag="T"><cmd
// name="C"/>...</vesk-cmd>, at most REQUEST_SIZE - 1 bytes in one send, or
// ABORT to cancel. Responses: one or more frames <vesk-resp tag="T">BODY
// </vesk-resp>\n per command, the last with <last value="1"/>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Orlo {
namespace Protocol {

constexpr int DEFAULT_PORT = 16400;
// The agent takes a request from one receive into this many bytes, NUL included.
constexpr size_t REQUEST_SIZE = 2048;

constexpr char ABORT[] = "<ABORT>";
constexpr int ABORT_LENGTH = sizeof ABORT - 1;

constexpr char FRAME_START[] = "<vesk-resp tag=\"";
constexpr char FRAME_TAG_END[] = "\">";
constexpr char FRAME_END[] = "</vesk-resp>\n";
constexpr char FRAME_ELEMENT[] = "vesk-resp";

// Requests.
constexpr char REQUEST_ELEMENT[] = "vesk-cmd";
constexpr char TAG_ATTRIBUTE[] = "tag";
constexpr char COMMAND_ELEMENT[] = "cmd";
constexpr char NAME_ATTRIBUTE[] = "name";

// Command names; REJECT and INVALID only ever come back.
constexpr char CMD_RUNTIME[] = "RUNTIME";
constexpr char CMD_SYSTEM_PROPS[] = "SYSTEM_PROPS";
constexpr char CMD_PERFORM_GC[] = "PERFORM_GC";
constexpr char CMD_SNAPSHOT[] = "SNAPSHOT";
constexpr char CMD_HEAPDUMP[] = "HEAPDUMP";
// An extension that agents without it answer "Unknown command: AUTH".
constexpr char CMD_AUTH[] = "AUTH";
// An extension that agents without it answer "Unknown command: HISTOGRAM".
constexpr char CMD_HISTOGRAM[] = "HISTOGRAM";
// An extension that agents without it answer "Unknown command: VERSION".
constexpr char CMD_VERSION[] = "VERSION";
// An extension that agents without it answer "Unknown command: DUMPS".
constexpr char CMD_DUMPS[] = "DUMPS";
constexpr char CMD_REJECT[] = "REJECT";
// A connection the agent cannot start a thread for (a Java heap left full
// after an OutOfMemoryError has no room for the thread's object) gets the
// REJECT error frame with this message, tag "0", and is closed.
constexpr char NO_THREAD_MESSAGE[] = "Connection rejected: the Java heap has no room for the client's thread";
constexpr char CMD_INVALID[] = "INVALID";

// Response elements and their attributes.
constexpr char STATUS_ELEMENT[] = "status";
constexpr char LAST_ELEMENT[] = "last";
constexpr char VALUE_ATTRIBUTE[] = "value";
constexpr char PROP_ELEMENT[] = "prop";
constexpr char ERROR_ELEMENT[] = "error";
constexpr char MESSAGE_ATTRIBUTE[] = "msg";
constexpr char STATUS_FAILED[] = "<status value=\"0\"/>";
constexpr char LAST_FRAME[] = "<last value=\"1\"/>";

// The error text of a cancelled SNAPSHOT or HEAPDUMP.
constexpr char CANCELLED_MESSAGE[] = "Operation cancelled by user";
// The error text of a command the agent does not know, before its name.
constexpr char UNKNOWN_COMMAND_MESSAGE[] = "Unknown command: ";
// The error text of HEAPDUMP under the agent option heapdump=off.
constexpr char HEAPDUMP_DISABLED_MESSAGE[] = "HEAPDUMP is disabled by the agent option heapdump=off";

// AUTH. Without ANSWER_ATTRIBUTE: an agent with a key answers PROP_NONCE
// (hex), one without a key PROP_LISTEN ("ADDRESS:PORT"). With it (the hex
// HMAC-SHA-256 of the nonce under the key): status 1, or the error frame
// AUTH_FAILED and the connection closes. Until a client passes, every other
// request gets the error frame AUTH_REQUIRED and the connection closes; an
// address locked out for its failures gets AUTH_LOCKED, tag "0", at connect.
// These error frames all name the command AUTH.
constexpr char ANSWER_ATTRIBUTE[] = "answer";
constexpr char PROP_NONCE[] = "nonce";
constexpr char PROP_LISTEN[] = "listen";
constexpr char AUTH_REQUIRED[] = "authentication required";
constexpr char AUTH_FAILED[] = "authentication failed";
constexpr char AUTH_LOCKED[] = "authentication refused: too many failures from this address; try again in a minute";
// An agent started with tls=on answers a client whose first byte opens no
// TLS handshake with this error frame, naming AUTH, in plain text, and
// closes. Under TLS nothing needs AUTH: the handshake proved the key.
constexpr char TLS_REQUIRED[] = "this agent requires TLS";

// SNAPSHOT: the header's figures, then records inside <snapshot> elements.
constexpr char PROP_SNAPSHOT_TIME[] = "ss-time";
constexpr char PROP_TOTAL_ROOTS[] = "total-roots";
constexpr char PROP_TOTAL_OBJECTS[] = "total-objs";
constexpr char PROP_TOTAL_REFERENCES[] = "total-refs";
constexpr char SNAPSHOT_ELEMENT[] = "snapshot";
// An extension: SOURCE_ATTRIBUTE on a SNAPSHOT <cmd> asks for SOURCE_DUMP (the
// same stream made from the JVM's own heap dump) or SOURCE_WALK; agents
// without it ignore it and walk. One that made the stream from a dump says so
// in the header, PROP_SNAPSHOT_SOURCE = SOURCE_DUMP, after total-refs.
constexpr char SOURCE_ATTRIBUTE[] = "source";
constexpr char SOURCE_DUMP[] = "dump";
constexpr char SOURCE_WALK[] = "walk";
constexpr char PROP_SNAPSHOT_SOURCE[] = "ss-source";
constexpr char CLASS_ELEMENT[] = "class";
constexpr char CLASS_TAG_ATTRIBUTE[] = "clstag";
constexpr char SUPER_TAG_ATTRIBUTE[] = "sprclstag";
constexpr char INSTANCES_ATTRIBUTE[] = "totalinst";
constexpr char BYTES_ATTRIBUTE[] = "totalsize";
constexpr char FIELD_ELEMENT[] = "field";
constexpr char INDEX_ATTRIBUTE[] = "index";
constexpr char DEFINING_CLASS_ATTRIBUTE[] = "defclass";
constexpr char METHOD_ELEMENT[] = "mthd";
constexpr char METHOD_TAG_ATTRIBUTE[] = "mthdtag";
constexpr char THREAD_ELEMENT[] = "thread";
constexpr char THREAD_TAG_ATTRIBUTE[] = "thrdtag";
constexpr char STATE_ATTRIBUTE[] = "state";
constexpr char OBJECT_ELEMENT[] = "obj";
constexpr char ARRAY_ELEMENT[] = "arrayobj";
constexpr char REFERENCE_ELEMENT[] = "ref";
// The references of one file frame; only the final file frame holds fewer.
constexpr int64_t REFS_PER_FILE = 250000;

// HEAPDUMP: base64 HPROF in <hprof> elements, FRAME_DUMP_BYTES of dump per
// frame; the final frame's figures.
constexpr char HPROF_ELEMENT[] = "hprof";
constexpr uint64_t FRAME_DUMP_BYTES = 16 << 20;
constexpr char PROP_HPROF_BYTES[] = "hprof-bytes";
constexpr char PROP_DUMP_BYTES[] = "dump-bytes";
constexpr char PROP_DUMP_MSEC[] = "dump-msec";
constexpr char PROP_REDACT_MSEC[] = "redact-msec";
constexpr char PROP_STREAM_MSEC[] = "stream-msec";
// An extension: FILE_ATTRIBUTE on a HEAPDUMP <cmd> names a capture that DUMPS
// lists, which is streamed as a new dump is, without a pause; its compressed
// frames carry the file's own zstd frames. Agents without it ignore it and
// dump anew.
constexpr char FILE_ATTRIBUTE[] = "file";

// DUMPS: one frame, <cmd name="DUMPS">, with oom-dump=DIR PROP_OOM_DIR and
// PROP_OOM_EVENTS (the Java heap OutOfMemoryErrors seen), then one
// <dump name size time msg/> per capture kept in DIR, oldest first (size in
// bytes on disk, time in milliseconds since the epoch, msg the error's), and
// status 1.
constexpr char PROP_OOM_DIR[] = "oom-dir";
constexpr char PROP_OOM_EVENTS[] = "oom-events";
constexpr char DUMP_ELEMENT[] = "dump";
constexpr char SIZE_ATTRIBUTE[] = "size";
constexpr char TIME_ATTRIBUTE[] = "time";

// VERSION: one frame, <cmd name="VERSION"> with PROP_VERSION (the agent's
// release, "1.2.3") and status 1.
constexpr char PROP_VERSION[] = "version";

// HISTOGRAM: one frame, the figures as props, then HISTOGRAM_ELEMENT with
// one <class clstag name inst size/> per class with instances. LIVE_ATTRIBUTE
// "true" on the <cmd>: a full collection first.
constexpr char LIVE_ATTRIBUTE[] = "live";
constexpr char HISTOGRAM_ELEMENT[] = "histogram";
constexpr char HISTO_INSTANCES_ATTRIBUTE[] = "inst";
constexpr char HISTO_BYTES_ATTRIBUTE[] = "size";
constexpr char PROP_HISTOGRAM_TIME[] = "hs-time";
constexpr char PROP_TOTAL_INSTANCES[] = "total-inst";
constexpr char PROP_TOTAL_BYTES[] = "total-size";
constexpr char PROP_PASS_MSEC[] = "pass-msec";
constexpr char PROP_TAG_MSEC[] = "tag-msec";
constexpr char PROP_GC_MSEC[] = "gc-msec";
// Where the rows came from, PROP_HISTOGRAM_SOURCE: SOURCE_JVM, the JVM's own
// class histogram, or SOURCE_HEAP_PASS, the agent's pass over the heap, which
// SOURCE_ATTRIBUTE = SOURCE_HEAP_PASS on the <cmd> asks for.
constexpr char PROP_HISTOGRAM_SOURCE[] = "source";
constexpr char SOURCE_JVM[] = "jvm";
constexpr char SOURCE_HEAP_PASS[] = "heap-pass";

// Compression, asked for per command with ENCODING_ATTRIBUTE="zstd" on a
// SNAPSHOT or HEAPDUMP <cmd>; agents that do not know it, and agents with
// compress-level=0, ignore it. An agent that honours it marks each frame of
// the answer, FRAME_START TAG FRAME_TAG_END_ZSTD; an unmarked frame is plain.
// SNAPSHOT: the plain frame, from "<vesk-resp" to its line end, as one zstd
// frame in base64, the whole body of the marked one: <zstd>BASE64</zstd>.
// HEAPDUMP: each frame's dump bytes as one zstd frame before the base64 step;
// the rest of the body as plain.
constexpr char ENCODING_ATTRIBUTE[] = "encoding";
constexpr char ENCODING_ZSTD[] = "zstd";
constexpr char FRAME_TAG_END_ZSTD[] = "\" encoding=\"zstd\">";
constexpr char ZSTD_ELEMENT[] = "zstd";

}  // namespace Protocol
}  // namespace Orlo
