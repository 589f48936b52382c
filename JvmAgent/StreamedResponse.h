// What the commands that answer in a stream of frames share (SNAPSHOT,
// HEAPDUMP): the frame buffer, the compressor when the client asked for one,
// the error frame that ends the request, and the client's cancel. A derived
// command builds each frame in `response` and sends it with Send. Runs on
// the client thread, once per command.
#pragma once

#include <cstdint>
#include <memory>

#include "FrameCompressor.h"
#include "StringBuffer.h"

namespace Orlo {

class ClientConnection;

class StreamedResponse {
public:
    virtual ~StreamedResponse();
    StreamedResponse(const StreamedResponse&) = delete;
    StreamedResponse& operator=(const StreamedResponse&) = delete;

    // False when the command ended in an error frame, which ends the request
    // (or the VM is dying); true once its final frame is out.
    virtual bool Run() = 0;

protected:
    // name: the command's, for its error frame. frameSize: the buffer's first
    // segment; propertyFrames: the frames carry the system properties, which
    // only memory bounds (ClientConnection::PropsResponse).
    StreamedResponse(ClientConnection& connection, const char* name, const char* tag, bool last, uint64_t frameSize,
                     bool propertyFrames);

    // From here on every frame goes out compressed whole at level (> 0);
    // packedSize: the first segment of the compressed text's buffer.
    void CompressWholeFrames(int level, uint64_t packedSize);
    // The command compresses what its frames carry with `compressor` at
    // level (> 0); Send marks the frames that hold such bytes.
    void CompressContent(int level);

    // One frame of body. packedContent: body holds bytes of `compressor`
    // (CompressContent), and the frame is marked.
    void Send(StringBuffer& body, bool packedContent = false);
    // In place of what response holds: <status value="0"/><error msg="M"/>
    // <last value="1"/>, the bare frame that ends a stream already begun.
    void SendError(const char* message);
    // The command's own error frame, <cmd name="NAME">...<last value="1"/>,
    // for a stream refused before it began.
    void SendCommandError(const char* message);
    // Throws CancelledException once the client has cancelled; logMessage
    // (null: none) goes to the debug log first.
    void ThrowIfCancelled(const char* logMessage);

    ClientConnection& connection;
    const char* const name;
    const char* const tag;
    const bool last;
    StringBuffer response;
    std::unique_ptr<FrameCompressor> compressor;  // null: nothing compressed

private:
    static StringBuffer FrameBuffer(uint64_t size, bool propertyFrames);

    std::unique_ptr<StringBuffer> packed;  // a whole frame's compressed text; null: frames go as built
};

}  // namespace Orlo
