// Client side of the agent's protocol: connect, send requests, read framed
// responses, cancel with "<ABORT>"; in plain TCP or, after StartTls, in TLS
// keyed by the agent's key.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/ClientError.h"
#include "base/ZstdDecoder.h"

namespace Orlo {
class AuthKey;
class TlsContext;
}
typedef struct ssl_st SSL;

namespace vesk {

// What the AUTH exchange found out about the agent.
struct AuthOutcome {
    bool agentKnowsAuth = false;  // false: an agent older than AUTH, which has no key
    bool keyed = false;           // the agent asked for the key, and the client passed
    std::string listen;           // an agent without a key: where it listens, "ADDRESS:PORT"
};

// One response: "<vesk-resp tag=\"TAG\">BODY</vesk-resp>\n", kept byte for
// byte. A frame the agent compressed whole arrives decoded: bytes is the
// plain frame, zstd the compressed bytes it came in.
struct Frame {
    std::string bytes;
    std::string tag;  // as written by the agent (escaped)
    size_t bodyOffset = 0;
    size_t bodyLength = 0;
    bool last = false;  // the body holds <last value="1"/>
    bool marked = false;  // the agent marked it encoding="zstd" (compressed whole, or a dump's bytes)
    std::string zstd;     // one zstd frame of bytes; empty for a frame that came plain
    size_t wireSize = 0;  // its bytes on the wire

    std::string_view Body() const { return std::string_view(bytes).substr(bodyOffset, bodyLength); }
};

class VeskClient {
public:
    static const int DEFAULT_PORT;
    // The agent takes a request from one receive of at most this many bytes.
    static const size_t MAX_REQUEST;

    VeskClient() = default;
    ~VeskClient();
    VeskClient(const VeskClient&) = delete;
    VeskClient& operator=(const VeskClient&) = delete;
    VeskClient(VeskClient&& other) noexcept;

    // host: name or dotted IPv4 address. Throws NotListening.
    void Connect(const std::string& host, int port);
    void Close();
    // The TLS handshake with an agent started with tls=on. The agent's first
    // byte tells what it is, in the one round trip the handshake takes
    // anyway: a TLS record goes on with the handshake; a plain frame is read
    // as a response, so a rejection or a lock-out throws as it does in plain
    // TCP, and anything else comes from an agent without TLS (false, and the
    // connection is closed: connect again to talk in plain text). Throws Auth
    // when the agent refused the key or did not prove it, or the peer is not
    // the agent; Timeout, Dropped as ReadFrame does.
    bool StartTls(std::shared_ptr<const Orlo::TlsContext> context);
    bool IsTls() const { return tls != nullptr; }
    bool IsConnected() const { return fd >= 0; }
    int Fd() const { return fd; }

    // Milliseconds ReadFrame waits for more bytes; 0 waits without limit.
    void SetReadTimeout(int ms) { readTimeoutMs = ms; }
    int ReadTimeout() const { return readTimeoutMs; }
    // Called by ReadFrame after each receive while it waits for a frame, so
    // that progress and Ctrl-C are seen during a frame of tens of MiB;
    // what it throws, ReadFrame passes on. Empty: none.
    void SetReceiveHook(std::function<void()> hook) { receiveHook = std::move(hook); }

    // Sends the bytes in one piece (a request, or anything for tests).
    void Send(std::string_view bytes);
    void SendAbort();
    // Sends AUTH and, when the agent asks for it, answers its challenge with
    // the key (null: none at hand). Throws Auth when the agent wants a key
    // and none is given, or refuses it; an agent older than AUTH passes.
    AuthOutcome Authenticate(const Orlo::AuthKey* key);
    // Sends a request and returns all its frames (ReadResponse).
    std::vector<Frame> Request(std::string_view request);

    // The next frame as it arrives; throws Dropped, Timeout or Protocol.
    Frame ReadFrame();
    // ReadFrame that also throws Rejected, with the agent's message, on a
    // REJECT response, and Auth on an authentication refusal.
    Frame ReadResponseFrame();
    // Frames up to and including the final one (ReadResponseFrame), each
    // handed to onFrame.
    void ReadResponse(const std::function<void(const Frame&)>& onFrame);
    std::vector<Frame> ReadResponse();
    // True when bytes (or the agent's close) arrive within ms.
    bool WaitReadable(int ms);
    uint64_t BytesReceived() const { return received; }

    // "<vesk-cmd tag=\"TAG\"><cmd name=\"A\"/>...</vesk-cmd>"; encoding,
    // when given ("zstd"), asks for every command's answer compressed;
    // source, when given, goes on every command as its source attribute,
    // file as its file attribute (a kept heap dump's name).
    static std::string BuildRequest(const std::vector<std::string>& commands, const std::string& tag = "1",
                                    const std::string& encoding = "", const std::string& source = "",
                                    const std::string& file = "");

private:
    bool TakeFrame(Frame& frame);
    // Throws Rejected for a REJECT frame, Auth for an authentication refusal.
    static void ThrowIfRefused(const Frame& frame);
    // Splits the frame in frame.bytes into tag and body; throws Protocol.
    static void ParseFrame(Frame& frame);
    // A frame compressed whole becomes its plain frame.
    void Decompress(Frame& frame);
    bool PollSocket(int ms);
    void Receive();
    // Bytes received so far, through TLS when it is on; like recv.
    long ReceiveSome(char* data, size_t size);
    [[noreturn]] void HandshakeFailed(const std::string& why);

    int fd = -1;
    std::string where;  // "HOST:PORT" as connected
    SSL* tls = nullptr;  // null: plain TCP
    std::shared_ptr<const Orlo::TlsContext> tlsContext;  // what tls was made from
    int readTimeoutMs = 0;
    std::string pending;  // received bytes not yet returned as frames
    size_t scanned = 0;   // bytes of pending known to hold no frame end
    uint64_t received = 0;
    std::vector<char> chunk;  // receive area
    std::function<void()> receiveHook;
    std::unique_ptr<ZstdDecoder> decoder;  // once a compressed frame came
};

// Reading response bodies.
struct Prop {
    std::string name;
    std::string value;
};

// Both read a body through the snapshot stream's reader (SnapshotReader).
// The <prop> elements of the <cmd name="COMMAND"> element of a body, in
// order; for command "", those after its <last> element (a snapshot's metrics).
std::vector<Prop> CommandProps(std::string_view body, std::string_view command);
// True when the body reports a failure (status 0); message gets the error text.
bool ResponseError(std::string_view body, std::string* message);
// Appends the bytes of base64 text (padded or not); false on a character
// outside the alphabet.
bool DecodeBase64(std::string_view text, std::string& out);

}  // namespace vesk
