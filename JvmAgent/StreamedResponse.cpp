#include "StreamedResponse.h"

#include "CancelledException.h"
#include "ClientConnection.h"
#include "VeskLogger.h"
#include "VeskProtocol.h"
#include "XmlUtils.h"

namespace Orlo {

StreamedResponse::StreamedResponse(ClientConnection& connection, const char* name, const char* tag, bool last,
                                   uint64_t frameSize, bool propertyFrames)
    : connection(connection), name(name), tag(tag), last(last), response(FrameBuffer(frameSize, propertyFrames)) {}

StreamedResponse::~StreamedResponse() = default;

StringBuffer StreamedResponse::FrameBuffer(uint64_t size, bool propertyFrames) {
    if (propertyFrames) return ClientConnection::PropsResponse(size);
    return StringBuffer(size);
}

void StreamedResponse::CompressWholeFrames(int level, uint64_t packedSize) {
    compressor = std::make_unique<FrameCompressor>(level);
    packed.reset(new StringBuffer(ClientConnection::PropsResponse(packedSize)));
}

void StreamedResponse::CompressContent(int level) {
    compressor = std::make_unique<FrameCompressor>(level);
    packed.reset();
}

void StreamedResponse::Send(StringBuffer& body, bool packedContent) {
    if (packed)
        connection.ReturnCompressedResponse(body, tag, *compressor, *packed);
    else
        connection.ReturnResponse(body, tag, packedContent && compressor);
}

void StreamedResponse::SendError(const char* message) {
    response.Clear(false);
    XmlUtils::AddStatusElement(response, 0);
    XmlUtils::AddErrorElement(response, message);
    XmlUtils::AddLastElement(response, 1);
    Send(response);
}

void StreamedResponse::SendCommandError(const char* message) {
    response.Clear(false);
    ClientConnection::FormatErrorResponse(name, message, response);
    Send(response);
}

void StreamedResponse::ThrowIfCancelled(const char* logMessage) {
    if (!connection.CheckForCancel()) return;
    if (logMessage && VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("%s", logMessage);
    throw CancelledException(Protocol::CANCELLED_MESSAGE);
}

}  // namespace Orlo
