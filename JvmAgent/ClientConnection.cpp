#include "ClientConnection.h"

#include <chrono>
#include <cinttypes>
#include <cstring>

#ifndef _WIN32
#include <netinet/tcp.h>

#include "TlsChannel.h"
#endif

#include "FrameCompressor.h"
#include "StringBuffer.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

static const uint64_t PROPS_RESPONSE_INCREMENT = 65536;

static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

ClientConnection::ClientConnection(VeskSocketId socketId, int type, int family)
    : VeskSocket(socketId, type, family), cancelled(false) {
    Init();
    EnableKeepAlive();
    // A frame goes out in several sends; without this, Nagle's algorithm
    // holds the small pieces back until the client's delayed ACK.
    int on = 1;
    SetOption(IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

ClientConnection::~ClientConnection() { jvmInfo.Clear(); }

void ClientConnection::Init() { jvmInfo.SetClientConnection(this); }

int ClientConnection::ReadRequest(char* buffer, unsigned long size) {
    ResetCancel();
    if (size < 2) return 0;
    if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Reading next client command...");
    if (!WaitForRequest()) {
        buffer[0] = '\0';
        return 0;
    }
    int count = 0;
    if (!Read(buffer, static_cast<int>(size - 1), &count)) {
        buffer[0] = '\0';
        if (VeskLogger::IsTraceLevel())
            VeskLogger::LogTrace("Read FAILED, error=%d (%s)", GetError(), strerror(GetError()));
        return 0;
    }
    buffer[count] = '\0';
    if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Read %d bytes", count);
    if (count == 0) return 0;
    while (count > 0 && IsLineEnd(buffer[count - 1])) buffer[--count] = '\0';
    if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("After trimming EOL, bytesRead=%d", count);
    // Only line ends: one NUL byte, so the caller does not see a close.
    return count == 0 ? 1 : count;
}

bool ClientConnection::WaitForRequest() {
    if (idleSeconds <= 0) return true;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(idleSeconds);
    // Polled again after an interrupted wait, until the deadline.
    for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        if (WaitReadable(static_cast<int>(left) + 1)) return true;
    }
    VeskLogger::LogInfo("Closing client connection: no request for %d seconds", idleSeconds);
    return false;
}

bool ClientConnection::CheckForCancel() {
    if (cancelled) return true;
    if (!MsgPending()) return false;
    if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Checking for ABORT...");
    char peeked[ABORT_LENGTH + 2] = {};
    int count = 0;
#ifndef _WIN32
    // Readable bytes may be half a record: nothing to read yet.
    if (tls && tls->Poll() == TlsChannel::Arrival::Nothing) return false;
#endif
    // A peer that closed or reset the connection waits for nothing: the
    // work for it ends as if it had sent "<ABORT>".
    if (!Peek(peeked, sizeof peeked, &count) || count == 0) {
        if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Client connection closed, cancelling");
        cancelled = true;
        return true;
    }
    if (count < ABORT_LENGTH || memcmp(peeked, ABORT_MESSAGE, ABORT_LENGTH) != 0) return false;
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Received ABORT command");
    int length = ABORT_LENGTH;
    while (length < count && IsLineEnd(peeked[length])) length++;
    Read(peeked, length, &count);
    cancelled = true;
    return true;
}

#ifndef _WIN32
void ClientConnection::UseTls(std::unique_ptr<TlsChannel> channel) { tls = std::move(channel); }

bool ClientConnection::Read(char* buffer, int length, int* count) {
    return tls ? tls->Read(buffer, length, count) : VeskSocket::Read(buffer, length, count);
}

bool ClientConnection::Peek(char* buffer, int length, int* count) {
    return tls ? tls->Peek(buffer, length, count) : VeskSocket::Peek(buffer, length, count);
}

bool ClientConnection::Write(const char* buffer, int length, int* count) {
    return tls ? tls->Write(buffer, length, count) : VeskSocket::Write(buffer, length, count);
}

bool ClientConnection::WaitReadable(int timeoutMs) {
    return (tls && tls->Pending()) || VeskSocket::WaitReadable(timeoutMs);
}
#endif

void ClientConnection::FrameHead(StringBuffer& head, const char* tag, bool marked) {
    head.Append(Protocol::FRAME_START);
    // The tag comes from the client: escaped, so it cannot break the frame.
    XmlUtils::EncodeXmlString(head, tag);
    head.Append(marked ? Protocol::FRAME_TAG_END_ZSTD : Protocol::FRAME_TAG_END);
}

void ClientConnection::ReturnResponse(StringBuffer& response, const char* tag, bool marked) {
    if (VeskLogger::IsDebugLevel())
        VeskLogger::LogDebug("Returning Response: tag=%s, len=%" PRIu64, tag, response.Size());
    StringBuffer head(256);
    FrameHead(head, tag, marked);
    head.Write(*this);
    response.Write(*this);
    int count = 0;
    Write(Protocol::FRAME_END, sizeof Protocol::FRAME_END - 1, &count);
}

void ClientConnection::ReturnCompressedResponse(StringBuffer& response, const char* tag, FrameCompressor& compressor,
                                                StringBuffer& packed) {
    StringBuffer head(256);
    FrameHead(head, tag, false);
    packed.Clear(false);
    XmlUtils::StartXmlElement(packed, Protocol::ZSTD_ELEMENT);
    compressor.Begin(packed);
    compressor.Add(head);
    compressor.Add(response);
    compressor.Add(Protocol::FRAME_END, sizeof Protocol::FRAME_END - 1);
    compressor.End();
    XmlUtils::EndXmlElement(packed, Protocol::ZSTD_ELEMENT);
    if (VeskLogger::IsDebugLevel())
        VeskLogger::LogDebug("Compressed response: %" PRIu64 " bytes in %" PRIu64 " of base64", response.Size(),
                             packed.Size());
    ReturnResponse(packed, tag, true);
}

void ClientConnection::Reject(const char* message) { SendError(Protocol::CMD_REJECT, message, "0"); }

void ClientConnection::SendError(const char* commandName, const char* message, const char* tag) {
    StringBuffer response(2048);
    FormatErrorResponse(commandName, message, response);
    ReturnResponse(response, tag);
}

std::string ClientConnection::AddressText(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

void ClientConnection::StartErrorCommand(const char* commandName, StringBuffer& response) {
    // The name may be the client's unknown command: escaped like the tag.
    response.Append("<cmd name=\"");
    XmlUtils::EncodeXmlString(response, commandName);
    response.Append("\">");
}

void ClientConnection::FormatErrorResponse(const char* commandName, const char* message,
                                           StringBuffer& response) {
    StartErrorCommand(commandName, response);
    XmlUtils::AddStatusElement(response, 0);
    XmlUtils::AddErrorElement(response, message);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, 1);
}

void ClientConnection::FormatErrorResponse(const char* commandName,
                                           const pugi::xml_parse_result& result,
                                           StringBuffer& response) {
    StartErrorCommand(commandName, response);
    XmlUtils::FormatError(response, result);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, 1);
}

void ClientConnection::AddRuntimeElement(JvmInfo& info, StringBuffer& response) {
    if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Adding JVM Runtime info to client response");
    XmlUtils::StartCommandElement(response, Protocol::CMD_RUNTIME);
    info.AddRuntimeToResult(response);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
}

void ClientConnection::AddSystemPropsElement(JvmInfo& info, StringBuffer& response) {
    if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Adding JVM System Properties to client response");
    XmlUtils::StartCommandElement(response, Protocol::CMD_SYSTEM_PROPS);
    info.GetSystemProperties(response);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
}

StringBuffer ClientConnection::PropsResponse(uint64_t initialSize) {
    return StringBuffer(initialSize, PROPS_RESPONSE_INCREMENT, StringBuffer::GROW_DOUBLING);
}

}  // namespace Orlo
