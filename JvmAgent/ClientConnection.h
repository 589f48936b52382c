// One accepted client: reads requests, recognises "<ABORT>", frames and sends
// responses, and carries the client's JvmInfo. Used by the client thread, and
// by the VM thread through Cancelled while the client thread waits for a heap
// walk: never by both at once, which a TLS session needs.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "CancelCheck.h"
#include "JvmInfo.h"
#include "StringBuffer.h"
#include "VeskProtocol.h"
#include "VeskSocket.h"

namespace Orlo {

class FrameCompressor;
class TlsChannel;

class ClientConnection : public VeskSocket, public CancelCheck {
public:
    static constexpr const char* ABORT_MESSAGE = Protocol::ABORT;
    static constexpr int ABORT_LENGTH = Protocol::ABORT_LENGTH;

    ClientConnection(VeskSocketId socketId, int type, int family);
    ~ClientConnection() override;

    void Init();
    JvmInfo* GetJvmInfo() { return &jvmInfo; }
    // The peer's IPv4 address in host byte order, as Accept found it; 0 when unknown.
    void SetPeerAddress(uint32_t address) { peerAddress = address; }
    uint32_t GetPeerAddress() const { return peerAddress; }
    // Dotted text of an address in host byte order.
    static std::string AddressText(uint32_t address);

    // Reads one request into buffer, NUL-terminated: at most size - 1 bytes,
    // trailing line ends removed. 0 when the peer closed, the read failed or
    // no request came within the idle timeout; a request of only line ends
    // counts 1 (one NUL byte).
    int ReadRequest(char* buffer, unsigned long size);
    // Seconds ReadRequest waits for a request; 0 (the default) means no limit.
    void SetIdleTimeout(int seconds) { idleSeconds = seconds; }
    // Non-blocking; true once "<ABORT>" has arrived during this request, or
    // once the peer has closed or reset the connection. Under TLS it
    // decrypts what has arrived but allocates nothing while no error occurs.
    bool CheckForCancel();
    void ResetCancel() { cancelled = false; }
    // The heap walk's poll: CheckForCancel.
    bool Cancelled() override { return CheckForCancel(); }

    // Sends "<vesk-resp tag=\"TAG\">BODY</vesk-resp>\n"; the tag is escaped.
    // marked: the head says encoding="zstd", for a body that carries
    // compressed bytes of its own.
    void ReturnResponse(StringBuffer& response, const char* tag, bool marked = false);
    // The frame ReturnResponse would send, compressed whole into one zstd
    // frame: "<vesk-resp tag=\"TAG\" encoding=\"zstd\"><zstd>BASE64</zstd>
    // </vesk-resp>\n". packed holds the base64 text meanwhile.
    void ReturnCompressedResponse(StringBuffer& response, const char* tag, FrameCompressor& compressor,
                                  StringBuffer& packed);
    void Reject(const char* message);
    // Sends the error frame FormatErrorResponse builds.
    void SendError(const char* commandName, const char* message, const char* tag);

    // <cmd name="X"><status value="0"/><error msg="M"/></cmd><last value="1"/>
    static void FormatErrorResponse(const char* commandName, const char* message,
                                    StringBuffer& response);
    static void FormatErrorResponse(const char* commandName, const pugi::xml_parse_result& result,
                                    StringBuffer& response);
    // The <cmd> elements of RUNTIME (the figures last gathered) and of
    // SYSTEM_PROPS (read from the JVM now), without <last>; on their own and
    // in the snapshot header.
    static void AddRuntimeElement(JvmInfo& info, StringBuffer& response);
    static void AddSystemPropsElement(JvmInfo& info, StringBuffer& response);
    // A buffer for a response that carries the system properties: they hold
    // whatever the application put there, so its segments double and only
    // memory bounds it.
    static StringBuffer PropsResponse(uint64_t initialSize);

#ifndef _WIN32
    // From the finished handshake on, every byte goes through the session.
    void UseTls(std::unique_ptr<TlsChannel> channel);
    bool Read(char* buffer, int length, int* count) override;
    bool Peek(char* buffer, int length, int* count) override;
    bool Write(const char* buffer, int length, int* count) override;
    bool WaitReadable(int timeoutMs) override;
#endif

private:
    // "<vesk-resp tag=\"TAG\">", or with the encoding mark.
    static void FrameHead(StringBuffer& head, const char* tag, bool marked);
    static void StartErrorCommand(const char* commandName, StringBuffer& response);

    // False when no request arrived within the idle timeout.
    bool WaitForRequest();

    JvmInfo jvmInfo;
    bool cancelled;
    int idleSeconds = 0;
    uint32_t peerAddress = 0;
#ifndef _WIN32
    std::unique_ptr<TlsChannel> tls;  // null: plain TCP
#endif
};

}  // namespace Orlo
