// The HEAPDUMP command: the JVM's own live heap dump into a private
// directory, redacted on the way out and streamed to the client as base64
// HPROF, one frame per FRAME_DUMP_BYTES of dump, the final frame with the
// figures. Runs on the client thread; "<ABORT>" stops the streaming (the
// JVM's dump itself cannot be interrupted).
#pragma once

#include <cstdint>

#include "HprofRedactor.h"
#include "StringBuffer.h"
#include "VeskProtocol.h"

namespace Orlo {

class ClientConnection;

class HeapDumpCommand : private HprofSink {
public:
    static constexpr const char* NAME = Protocol::CMD_HEAPDUMP;
    static constexpr uint64_t FRAME_DUMP_BYTES = Protocol::FRAME_DUMP_BYTES;

    HeapDumpCommand(ClientConnection& connection, const char* tag, bool last);

    // False when the command ended in an error frame, which ends the request.
    bool Run();

private:
    void Write(const uint8_t* data, size_t length) override;
    void StartFrame();
    void EncodePending();
    void SendFrame(bool final);
    void SendError(const char* message);

    ClientConnection& connection;
    const char* tag;
    bool last;
    StringBuffer response;
    uint64_t frameBytes = 0;  // dump bytes in the frame being built
    uint8_t pending[3];       // bytes not yet base64-encoded
    int pendingCount = 0;
    int64_t streamMillis = 0;
};

}  // namespace Orlo
