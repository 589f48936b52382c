#include "protocol/VeskClient.h"

#include "protocol/SnapshotReader.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "AuthKey.h"
#include "TlsContext.h"
#include "VeskProtocol.h"

namespace vesk {

namespace wire = Orlo::Protocol;

const int VeskClient::DEFAULT_PORT = wire::DEFAULT_PORT;
const size_t VeskClient::MAX_REQUEST = wire::REQUEST_SIZE - 1;

static const char* const FRAME_START = wire::FRAME_START;
static const char* const FRAME_END = wire::FRAME_END;
static const size_t FRAME_START_LENGTH = sizeof wire::FRAME_START - 1;
static const size_t FRAME_END_LENGTH = sizeof wire::FRAME_END - 1;
static const size_t RECEIVE_SIZE = 1 << 20;

VeskClient::~VeskClient() { Close(); }

VeskClient::VeskClient(VeskClient&& other) noexcept
    : fd(other.fd), where(std::move(other.where)), tls(other.tls), tlsContext(std::move(other.tlsContext)),
      readTimeoutMs(other.readTimeoutMs), pending(std::move(other.pending)), scanned(other.scanned),
      received(other.received), chunk(std::move(other.chunk)), receiveHook(std::move(other.receiveHook)),
      decoder(std::move(other.decoder)) {
    other.fd = -1;
    other.tls = nullptr;
}

void VeskClient::Connect(const std::string& host, int port) {
    Close();
    where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (rc != 0)
        throw ClientError(ErrorKind::Usage, "cannot resolve host " + host + ": " + gai_strerror(rc));
    int error = 0;
    for (addrinfo* a = addresses; a && fd < 0; a = a->ai_next) {
        // Not inherited: a child process holding it would keep the agent's
        // client slot after this client closed.
        int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        if (connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            fd = s;
        } else {
            error = errno;
            close(s);
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        // Refused: no agent started there, or it listens on another port.
        std::string reason = error == ECONNREFUSED
                                 ? "nothing is listening; check the port in the JVM's -agentpath option (port=, " +
                                       std::to_string(DEFAULT_PORT) +
                                       " when absent) and the agent log (logs/veskjagent_<pid>.log)"
                                 : strerror(error);
        throw ClientError(ErrorKind::NotListening, "cannot connect to the agent at " + where + ": " + reason);
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void VeskClient::Close() {
    if (tls) {
        SSL_shutdown(tls);
        SSL_free(tls);
        ERR_clear_error();
        tls = nullptr;
    }
    if (fd >= 0) close(fd);
    fd = -1;
    pending.clear();
    scanned = 0;
}

void VeskClient::Send(std::string_view bytes) {
    if (fd < 0) throw ClientError(ErrorKind::Dropped, "not connected to the agent");
    if (tls) {
        size_t written = 0;
        if (!bytes.empty() && SSL_write_ex(tls, bytes.data(), bytes.size(), &written) != 1)
            throw ClientError(ErrorKind::Dropped, "connection to the agent dropped: " +
                                                      Orlo::TlsContext::TakeError("TLS write failed"));
        return;
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw ClientError(ErrorKind::Dropped,
                              std::string("connection to the agent dropped: ") + strerror(errno));
        sent += static_cast<size_t>(n);
    }
}

std::vector<Frame> VeskClient::Request(std::string_view request) {
    Send(request);
    return ReadResponse();
}

bool VeskClient::WaitReadable(int ms) { return !pending.empty() || (tls && SSL_has_pending(tls)) || PollSocket(ms); }

bool VeskClient::PollSocket(int ms) {
    pollfd entry{fd, POLLIN, 0};
    int n;
    do {
        n = poll(&entry, 1, ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

// Whole seconds as the --timeout option gives them, else milliseconds.
static std::string Duration(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

void VeskClient::Receive() {
    if (readTimeoutMs > 0 && !(tls && SSL_has_pending(tls)) && !PollSocket(readTimeoutMs))
        throw ClientError(ErrorKind::Timeout, "no response from the agent within " + Duration(readTimeoutMs));
    chunk.resize(RECEIVE_SIZE);
    long n = ReceiveSome(chunk.data(), chunk.size());
    if (n > 0) {
        pending.append(chunk.data(), static_cast<size_t>(n));
        received += static_cast<uint64_t>(n);
        return;
    }
    std::string reason = n == 0 ? "closed by the agent" : tls ? Orlo::TlsContext::TakeError("TLS read failed") : strerror(errno);
    throw ClientError(ErrorKind::Dropped, pending.empty()
                                              ? "connection to the agent dropped (" + reason + ")"
                                              : "connection dropped in the middle of a response (" + reason + ")");
}

long VeskClient::ReceiveSome(char* data, size_t size) {
    if (tls) {
        // A record holds at most 16 KiB: take every one already here, so
        // that the frame search and the hook run once per receive, as in TCP.
        size_t total = 0, got = 0;
        while (total < size && (total == 0 || SSL_has_pending(tls)) &&
               SSL_read_ex(tls, data + total, size - total, &got) == 1)
            total += got;
        if (total > 0) return static_cast<long>(total);
        return SSL_get_error(tls, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    ssize_t n;
    do {
        n = recv(fd, data, size, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool VeskClient::StartTls(std::shared_ptr<const Orlo::TlsContext> context) {
    if (fd < 0) throw ClientError(ErrorKind::Dropped, "not connected to the agent");
    tls = context->NewSession(fd);
    BIO* nothing = tls ? BIO_new(BIO_s_mem()) : nullptr;
    if (!nothing) throw std::bad_alloc();
    tlsContext = std::move(context);
    ERR_clear_error();
    // Reading from an empty memory first, the handshake sends its hello and
    // stops, so that the agent's first byte is seen before OpenSSL takes it.
    BIO* socket = SSL_get_wbio(tls);
    SSL_set0_rbio(tls, nothing);
    int result = SSL_connect(tls);
    if (result == 1 || SSL_get_error(tls, result) != SSL_ERROR_WANT_READ)
        HandshakeFailed(Orlo::TlsContext::TakeError("the hello could not be sent"));
    if (readTimeoutMs > 0 && !PollSocket(readTimeoutMs))
        HandshakeFailed("no answer from the agent within " + Duration(readTimeoutMs));
    unsigned char first = 0;
    ssize_t n;
    do {
        n = recv(fd, &first, 1, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) HandshakeFailed(n == 0 ? "the agent closed the connection" : strerror(errno));
    if (first != Orlo::TlsContext::HANDSHAKE_RECORD && first != Orlo::TlsContext::ALERT_RECORD) {
        SSL_free(tls);
        tls = nullptr;
        if (first != static_cast<unsigned char>(FRAME_START[0]))
            throw ClientError(ErrorKind::Auth, "the peer at " + where + " is not a vesk agent: it answered the TLS "
                                                   "handshake with neither TLS nor the agent's protocol");
        // An agent without TLS reads the hello as a request and refuses it;
        // a rejection or a lock-out is meant for this client.
        Frame reply = ReadFrame();
        std::string message;
        ResponseError(reply.Body(), &message);
        if (message != wire::AUTH_REQUIRED) ThrowIfRefused(reply);
        Close();
        return false;
    }
    BIO_up_ref(socket);
    SSL_set0_rbio(tls, socket);
    SSL_set_read_ahead(tls, 1);
    result = SSL_connect(tls);
    if (result != 1) HandshakeFailed(Orlo::TlsContext::TakeError("the agent closed the connection"));
    if (!Orlo::TlsContext::ProvedKey(tls)) HandshakeFailed("the agent did not prove that it holds the key");
    return true;
}

void VeskClient::HandshakeFailed(const std::string& why) {
    // An alert the agent sent: it could not check the client's binder, or
    // found no PSK of its identity; either way the key is not the agent's.
    const bool refused = why.find("alert") != std::string::npos;
    Close();
    if (refused)
        throw ClientError(ErrorKind::Auth, "TLS handshake with the agent at " + where + " failed: the agent refused "
                                               "the key (" + why + "); is --auth the file of its auth= option?");
    throw ClientError(ErrorKind::Auth, "TLS handshake with the agent at " + where + " failed: " + why);
}

bool VeskClient::TakeFrame(Frame& frame) {
    size_t end = pending.find(FRAME_END, scanned);
    if (end == std::string::npos) {
        scanned = pending.size() > FRAME_END_LENGTH ? pending.size() - FRAME_END_LENGTH : 0;
        return false;
    }
    size_t length = end + FRAME_END_LENGTH;
    if (length == pending.size()) {
        frame.bytes.swap(pending);
        pending.clear();
    } else {
        frame.bytes.assign(pending, 0, length);
        pending.erase(0, length);
    }
    scanned = 0;
    frame.wireSize = length;
    ParseFrame(frame);
    if (frame.marked) Decompress(frame);
    return true;
}

void VeskClient::ParseFrame(Frame& frame) {
    const std::string& bytes = frame.bytes;
    size_t end = bytes.size() - FRAME_END_LENGTH;
    // The tag is escaped: its end is the first quote.
    size_t tagEnd = bytes.find('"', FRAME_START_LENGTH);
    if (bytes.compare(0, FRAME_START_LENGTH, FRAME_START) != 0 || tagEnd == std::string::npos || tagEnd > end)
        throw ClientError(ErrorKind::Protocol, "unexpected bytes from the agent: " + bytes.substr(0, 80));
    size_t headEnd = sizeof wire::FRAME_TAG_END - 1;
    frame.marked = bytes.compare(tagEnd, sizeof wire::FRAME_TAG_END_ZSTD - 1, wire::FRAME_TAG_END_ZSTD) == 0;
    if (frame.marked)
        headEnd = sizeof wire::FRAME_TAG_END_ZSTD - 1;
    else if (bytes.compare(tagEnd, headEnd, wire::FRAME_TAG_END) != 0)
        throw ClientError(ErrorKind::Protocol, "unexpected bytes from the agent: " + bytes.substr(0, 80));
    frame.tag = bytes.substr(FRAME_START_LENGTH, tagEnd - FRAME_START_LENGTH);
    frame.bodyOffset = tagEnd + headEnd;
    frame.bodyLength = end - frame.bodyOffset;
    frame.last = frame.Body().find(wire::LAST_FRAME) != std::string_view::npos;
}

void VeskClient::Decompress(Frame& frame) {
    static const std::string start = std::string("<") + wire::ZSTD_ELEMENT + ">";
    static const std::string stop = std::string("</") + wire::ZSTD_ELEMENT + ">";
    std::string_view body = frame.Body();
    // A marked body of its own kind (a heap dump's) stays as it is.
    if (body.size() < start.size() + stop.size() || body.compare(0, start.size(), start) != 0 ||
        body.compare(body.size() - stop.size(), stop.size(), stop) != 0)
        return;
    frame.zstd.clear();
    if (!DecodeBase64(body.substr(start.size(), body.size() - start.size() - stop.size()), frame.zstd))
        throw ClientError(ErrorKind::Protocol, "the agent sent a compressed frame that is not base64");
    struct Decoded : ZstdDecoder::Sink {
        std::string bytes;
        void Plain(const char* data, size_t size) override { bytes.append(data, size); }
    } plain;
    if (!decoder) decoder = std::make_unique<ZstdDecoder>(ErrorKind::Protocol, "a compressed frame from the agent");
    decoder->Feed(frame.zstd.data(), frame.zstd.size(), plain);
    decoder->Finish();
    frame.bytes.swap(plain.bytes);
    size_t length = frame.bytes.size();
    if (length < FRAME_END_LENGTH || frame.bytes.compare(length - FRAME_END_LENGTH, FRAME_END_LENGTH, FRAME_END) != 0)
        throw ClientError(ErrorKind::Protocol, "a compressed frame from the agent holds no frame");
    ParseFrame(frame);
    if (frame.marked) throw ClientError(ErrorKind::Protocol, "a compressed frame from the agent holds another");
    frame.marked = true;
}

Frame VeskClient::ReadFrame() {
    if (fd < 0) throw ClientError(ErrorKind::Dropped, "not connected to the agent");
    Frame frame;
    while (!TakeFrame(frame)) {
        Receive();
        if (receiveHook) receiveHook();
    }
    return frame;
}

Frame VeskClient::ReadResponseFrame() {
    Frame frame = ReadFrame();
    ThrowIfRefused(frame);
    return frame;
}

void VeskClient::ThrowIfRefused(const Frame& frame) {
    static const std::string reject = std::string("<") + wire::COMMAND_ELEMENT + " " + wire::NAME_ATTRIBUTE +
                                      "=\"" + wire::CMD_REJECT + "\">";
    if (frame.Body().rfind(reject, 0) == 0) {
        std::string message;
        ResponseError(frame.Body(), &message);
        if (message == wire::NO_THREAD_MESSAGE)
            throw ClientError(ErrorKind::Rejected, "the agent cannot start a thread for this connection: the JVM's "
                                                   "Java heap is full; try again once it has room");
        throw ClientError(ErrorKind::Rejected, "the agent serves another client: " + message);
    }
    static const std::string refused = std::string("<") + wire::COMMAND_ELEMENT + " " + wire::NAME_ATTRIBUTE +
                                       "=\"" + wire::CMD_AUTH + "\">" + wire::STATUS_FAILED;
    std::string message;
    // An agent older than AUTH answers it "Unknown command": not a refusal.
    if (frame.Body().rfind(refused, 0) == 0 && ResponseError(frame.Body(), &message) && message == wire::TLS_REQUIRED)
        throw ClientError(ErrorKind::Auth, "the agent requires TLS, keyed by its authentication key: give --auth FILE "
                                           "or set VESK_AUTH, without --no-tls");
    if (frame.Body().rfind(refused, 0) == 0 && ResponseError(frame.Body(), &message) &&
        message.rfind("authentication ", 0) == 0) {
        if (message == wire::AUTH_REQUIRED)
            message = "the agent requires an authentication key; give --auth FILE or set VESK_AUTH";
        else if (message == wire::AUTH_FAILED)
            message = "the agent refused the authentication key (is it the file of the agent's auth= option?)";
        else if (message == wire::AUTH_LOCKED)
            message = "the agent refuses this address for a minute after repeated failed authentications";
        else
            message = "the agent reported: " + message;
        throw ClientError(ErrorKind::Auth, message);
    }
}

AuthOutcome VeskClient::Authenticate(const Orlo::AuthKey* key) {
    static const std::string tag = "auth";
    AuthOutcome outcome;
    Send(BuildRequest({wire::CMD_AUTH}, tag));
    Frame challenge = ReadResponseFrame();
    if (ResponseError(challenge.Body(), nullptr)) return outcome;
    outcome.agentKnowsAuth = true;
    std::string nonce;
    for (const Prop& prop : CommandProps(challenge.Body(), wire::CMD_AUTH)) {
        if (prop.name == wire::PROP_NONCE) nonce = prop.value;
        if (prop.name == wire::PROP_LISTEN) outcome.listen = prop.value;
    }
    if (nonce.empty()) return outcome;
    if (!key) throw ClientError(ErrorKind::Auth, "the agent requires an authentication key; give --auth FILE or set VESK_AUTH");
    std::string answer = key->Answer(nonce);
    if (answer.empty()) throw ClientError(ErrorKind::Protocol, "the agent sent a challenge that is not hex: " + nonce);
    Send(std::string("<") + wire::REQUEST_ELEMENT + " " + wire::TAG_ATTRIBUTE + "=\"" + tag + "\"><" +
         wire::COMMAND_ELEMENT + " " + wire::NAME_ATTRIBUTE + "=\"" + wire::CMD_AUTH + "\" " +
         wire::ANSWER_ATTRIBUTE + "=\"" + answer + "\"/></" + wire::REQUEST_ELEMENT + ">");
    ReadResponseFrame();
    outcome.keyed = true;
    return outcome;
}

void VeskClient::ReadResponse(const std::function<void(const Frame&)>& onFrame) {
    for (;;) {
        Frame frame = ReadResponseFrame();
        onFrame(frame);
        if (frame.last) return;
    }
}

std::vector<Frame> VeskClient::ReadResponse() {
    std::vector<Frame> frames;
    do {
        frames.push_back(ReadResponseFrame());
    } while (!frames.back().last);
    return frames;
}

static void AppendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
}

void VeskClient::SendAbort() { Send(wire::ABORT); }

std::string VeskClient::BuildRequest(const std::vector<std::string>& commands, const std::string& tag,
                                     const std::string& encoding, const std::string& source,
                                     const std::string& file) {
    std::string request = std::string("<") + wire::REQUEST_ELEMENT + " " + wire::TAG_ATTRIBUTE + "=\"";
    AppendEscaped(request, tag);
    request += "\">";
    for (const std::string& command : commands) {
        request += std::string("<") + wire::COMMAND_ELEMENT + " " + wire::NAME_ATTRIBUTE + "=\"";
        AppendEscaped(request, command);
        request += "\"";
        if (!encoding.empty()) {
            request += std::string(" ") + wire::ENCODING_ATTRIBUTE + "=\"";
            AppendEscaped(request, encoding);
            request += "\"";
        }
        for (const auto& [attribute, value] : {std::make_pair(wire::SOURCE_ATTRIBUTE, &source),
                                               std::make_pair(wire::FILE_ATTRIBUTE, &file)}) {
            if (value->empty()) continue;
            request += std::string(" ") + attribute + "=\"";
            AppendEscaped(request, *value);
            request += "\"";
        }
        request += "/>";
    }
    return request + "</" + wire::REQUEST_ELEMENT + ">";
}

namespace {

// The props of one command, and the error, of a body read as one frame.
class BodyReader : public SnapshotHandler {
public:
    BodyReader(std::string_view body, std::string_view command) : command(command) {
        SnapshotReader reader(*this, SnapshotReader::Kind::Responses);
        reader.Feed(std::string(wire::FRAME_START) + "0" + wire::FRAME_TAG_END);
        reader.Feed(body);
        reader.Feed(wire::FRAME_END);
        error = reader.AgentError();
    }
    void OnProperty(const std::string& cmd, const std::string& name, const std::string& value) override {
        if (cmd == command) props.push_back({name, value});
    }

    std::string command;
    std::vector<Prop> props;
    std::string error;
};

}  // namespace

bool DecodeBase64(std::string_view text, std::string& out) {
    static const std::array<int8_t, 256> values = [] {
        std::array<int8_t, 256> table;
        table.fill(-1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; i++) table[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
        return table;
    }();
    out.reserve(out.size() + text.size() / 4 * 3);
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        if (c == '=') break;
        int8_t value = values[static_cast<uint8_t>(c)];
        if (value < 0) return false;
        bits = bits << 6 | static_cast<uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>(bits >> held & 0xFF));
        }
    }
    return true;
}

std::vector<Prop> CommandProps(std::string_view body, std::string_view command) {
    return BodyReader(body, command).props;
}

bool ResponseError(std::string_view body, std::string* message) {
    // Most bodies are whole snapshot files: parse only those that fail.
    if (body.find(wire::STATUS_FAILED) == std::string_view::npos) return false;
    if (message) {
        *message = BodyReader(body, "").error;
        if (message->empty()) *message = "unknown error";
    }
    return true;
}

}  // namespace vesk
