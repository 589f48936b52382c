// The HEAPDUMP command: the JVM's own live heap dump into a private
// directory, redacted on the way out and streamed to the client as base64
// HPROF, one frame per FRAME_DUMP_BYTES of dump, the final frame with the
// figures. Asked for compression, each frame's dump bytes are one zstd frame
// before the base64 step, and the frames are marked. Runs on the client
// thread; "<ABORT>" stops the streaming (the JVM's dump itself cannot be
// interrupted).
// With a kept capture's name (oom-dump), the capture is streamed instead, one
// frame per zstd frame of its file, those frames as they are when the client
// asked for compression; no pause, no Java object.
#pragma once

#include <cstdint>
#include <string>

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
    // keptName: a capture DUMPS lists; empty for a new dump.
    HeapDumpCommand(ClientConnection& connection, const char* tag, bool last, int compressLevel = 0,
                    std::string keptName = std::string());

    // False when the command ended in an error frame, which ends the request.
    bool Run() override;

private:
    bool SendKept();
    // One frame's <hprof> text from one zstd frame of a kept file.
    void AddKeptFrame(const uint8_t* frame, size_t length);
    void Write(const uint8_t* data, size_t length) override;
    void StartFrame();
    // Ends the frame's base64 text (and zstd frame).
    void EndText();
    void SendFrame(bool final);

    uint64_t frameBytes = 0;  // dump bytes in the frame being built
    Base64Text base64;        // without a compressor: the dump as it is
    int64_t streamMillis = 0;
    std::string keptName;
};

}  // namespace Orlo
