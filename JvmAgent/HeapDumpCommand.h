// The HEAPDUMP command: the JVM's own live heap dump into a private
// directory, redacted on the way out and streamed to the client as base64
// HPROF, one frame per FRAME_DUMP_BYTES of dump, the final frame with the
// figures. Asked for compression, each frame's dump bytes are one zstd frame
// before the base64 step, and the frames are marked. Runs on the client
// thread; "<ABORT>" stops the streaming (the JVM's dump itself cannot be
// interrupted).
#pragma once

#include <cstdint>

#include "Base64Text.h"
#include "HprofRedactor.h"
#include "StreamedResponse.h"
#include "VeskProtocol.h"

namespace Orlo {

class ClientConnection;

class HeapDumpCommand : public StreamedResponse, private HprofSink {
public:
    static constexpr const char* NAME = Protocol::CMD_HEAPDUMP;
    static constexpr uint64_t FRAME_DUMP_BYTES = Protocol::FRAME_DUMP_BYTES;

    // compressLevel: 0 sends the dump as it is, else the zstd level.
    HeapDumpCommand(ClientConnection& connection, const char* tag, bool last, int compressLevel = 0);

    // False when the command ended in an error frame, which ends the request.
    bool Run() override;

private:
    void Write(const uint8_t* data, size_t length) override;
    void StartFrame();
    // Ends the frame's base64 text (and zstd frame).
    void EndText();
    void SendFrame(bool final);

    uint64_t frameBytes = 0;  // dump bytes in the frame being built
    Base64Text base64;        // without a compressor: the dump as it is
    int64_t streamMillis = 0;
};

}  // namespace Orlo
