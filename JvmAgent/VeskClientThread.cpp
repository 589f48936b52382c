#include "VeskClientThread.h"

#include <cinttypes>
#include <cstring>
#include <exception>
#include <string>

#include <pugixml.hpp>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "AuthKey.h"
#include "AuthLockout.h"
#include "ClientConnection.h"
#include "ExceptionBoundary.h"
#include "HeapDumpCommand.h"
#include "HistogramCommand.h"
#include "JvmAgent.h"
#include "JvmInfo.h"
#include "OomCapture.h"
#include "Orlo.h"
#include "OrloUtils.h"
#include "SnapshotResponse.h"
#include "StringBuffer.h"
#ifndef _WIN32
#include "TlsChannel.h"
#endif
#include "VeskLogger.h"
#include "VeskServerThread.h"
#include "VeskVersion.h"
#include "XmlUtils.h"

namespace Orlo {

static const uint64_t SMALL_RESPONSE_SIZE = 1024;
static const uint64_t REQUEST_RESPONSE_SIZE = 4096;

static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

VeskClientThread::VeskClientThread(std::unique_ptr<ClientConnection> owned, VeskServerThread* server)
    : VeskThread(NAME, std::move(owned)), connection(static_cast<ClientConnection*>(GetSocket())),
      server(server), authenticated(!server || !server->GetAuthKey()) {}

VeskClientThread::~VeskClientThread() = default;

std::unique_ptr<ClientConnection> VeskClientThread::ReleaseConnection() {
    connection = nullptr;
    return std::unique_ptr<ClientConnection>(static_cast<ClientConnection*>(ReleaseSocket().release()));
}

void VeskClientThread::ThreadFunction() {
    bool open = false;
    ExceptionBoundary::Run("VeskClientThread", [&] { open = OpenTls(); });
    if (!open) SetStop();
    while (!IsStopped()) {
        // A request that throws may have left a frame half sent: the
        // connection ends, the next client is served.
        bool served = false;
        ExceptionBoundary::Run("VeskClientThread", [&] { served = ProcessRequest(); });
        if (!served) SetStop();
    }
    server->ClientTerminated(this);  // destroys this object
}

bool VeskClientThread::ProcessRequest() {
    char request[REQUEST_SIZE];
    int length = connection->ReadRequest(request, REQUEST_SIZE);
    if (length == 0) {
        if (VeskLogger::IsTraceLevel())
            VeskLogger::LogTrace("Nothing read from client, assuming connection closed");
        return false;
    }
    // An "<ABORT>" whose command had already finished; repeated ones too.
    const char* text = request;
    for (;;) {
        while (length > 0 && IsLineEnd(*text)) {
            text++;
            length--;
        }
        if (length < ClientConnection::ABORT_LENGTH ||
            memcmp(text, ClientConnection::ABORT_MESSAGE, ClientConnection::ABORT_LENGTH) != 0)
            break;
        text += ClientConnection::ABORT_LENGTH;
        length -= ClientConnection::ABORT_LENGTH;
    }
    if (length == 0) return true;
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Received Command: %s", text);
    ProcessCommands(text, length);
    // Also after an error response, so no snapshot file outlives its request.
    connection->GetJvmInfo()->Clear();
    ReturnFreedMemory();
    return !closing;
}

bool VeskClientThread::OpenTls() {
#ifdef _WIN32
    return true;
#else
    const TlsContext* context = server ? server->GetTlsContext() : nullptr;
    if (!context) return true;
    const int waitMs = VeskServerThread::AUTH_SECONDS * 1000;
    char request[REQUEST_SIZE];
    int count = 0;
    if (!connection->WaitReadable(waitMs)) {
        VeskLogger::LogInfo("Closing client connection: no TLS handshake within %d seconds",
                            VeskServerThread::AUTH_SECONDS);
        return false;
    }
    // A peer that connected and left (a port probe) sent nothing to refuse.
    if (!connection->Peek(request, 1, &count) || count <= 0) return false;
    if (static_cast<uint8_t>(request[0]) != TlsContext::HANDSHAKE_RECORD) {
        // Taken first: a close with the request unread would reset the
        // connection, and the reset could destroy the answer.
        connection->Read(request, static_cast<int>(REQUEST_SIZE), &count);
        RefuseClient(Protocol::TLS_REQUIRED, "0");
        return false;
    }
    std::string why;
    std::unique_ptr<TlsChannel> channel =
        TlsChannel::Accept(*context, static_cast<int>(connection->GetSocketId()), waitMs, why);
    std::string address = ClientConnection::AddressText(connection->GetPeerAddress());
    if (!channel) {
        VeskLogger::LogInfo("TLS handshake failed for a client at %s: %s", address.c_str(), why.c_str());
        CountFailure();
        return false;
    }
    connection->UseTls(std::move(channel));
    authenticated = true;
    connection->SetIdleTimeout(server->GetIdleSeconds());
    VeskLogger::LogInfo("Client at %s authenticated by TLS", address.c_str());
    return true;
#endif
}

void VeskClientThread::CountFailure() {
    uint32_t peer = connection->GetPeerAddress();
    if (server->Lockout().Failed(peer, AuthLockout::Clock::now()))
        VeskLogger::LogError(false, "Refusing %s for %d s: %d failed authentications within %d s",
                             ClientConnection::AddressText(peer).c_str(),
                             static_cast<int>(AuthLockout::LOCK_TIME.count()), AuthLockout::MAX_FAILURES,
                             static_cast<int>(AuthLockout::WINDOW.count()));
}

void VeskClientThread::ReturnFreedMemory() {
#ifdef __GLIBC__
    // glibc keeps the freed response and snapshot buffers in this thread's
    // arena, and every connection brings a new thread: without this, a burst
    // of clients leaves the JVM hundreds of MiB larger for good.
    malloc_trim(0);
#endif
}

bool VeskClientThread::ProcessCommands(const char* text, int length) {
    StringBuffer response(REQUEST_RESPONSE_SIZE);
    pugi::xml_document document;
    pugi::xml_parse_result result = document.load_buffer(text, static_cast<size_t>(length),
                                                         pugi::parse_default, pugi::encoding_auto);
    pugi::xml_node root = document.child(Protocol::REQUEST_ELEMENT);
    // Nothing but AUTH is parsed further for a stranger, not even to say what is wrong.
    if (!authenticated) {
        pugi::xml_node first = root.child(Protocol::COMMAND_ELEMENT);
        if (!result || !first || strcmp(first.attribute(Protocol::NAME_ATTRIBUTE).value(), Protocol::CMD_AUTH) != 0) {
            const char* tag = root.attribute(Protocol::TAG_ATTRIBUTE).value();
            RefuseClient(Protocol::AUTH_REQUIRED, *tag ? tag : "0");
            return false;
        }
    }
    // An empty document is no parse error: it has no root element.
    if (!result && result.status != pugi::status_no_document_element) {
        ClientConnection::FormatErrorResponse(Protocol::CMD_INVALID, result, response);
        connection->ReturnResponse(response, "0");
        return false;
    }
    if (!root) {
        ClientConnection::FormatErrorResponse(Protocol::CMD_INVALID, "Unrecognized command string", response);
        connection->ReturnResponse(response, "0");
        return false;
    }
    const char* tag = root.attribute(Protocol::TAG_ATTRIBUTE).value();
    if (!*tag) tag = "0";

    for (pugi::xml_node command = root.child(Protocol::COMMAND_ELEMENT); command; command = command.next_sibling()) {
        const char* name = command.attribute(Protocol::NAME_ATTRIBUTE).value();
        if (!*name) {
            ClientConnection::FormatErrorResponse(Protocol::CMD_INVALID, "Missing command name", response);
            connection->ReturnResponse(response, tag);
            return false;
        }
        int code = OrloUtils::MapCommandTypeString(name);
        bool last = !command.next_sibling();
        if (code == CMD_AUTH) {
            if (!Authenticate(command.attribute(Protocol::ANSWER_ATTRIBUTE).as_string(nullptr), tag, last))
                return false;
            continue;
        }
        if (!authenticated) {
            RefuseClient(Protocol::AUTH_REQUIRED, tag);
            return false;
        }
        if (code == CMD_UNKNOWN) {
            std::string message = std::string(Protocol::UNKNOWN_COMMAND_MESSAGE) + name;
            ClientConnection::FormatErrorResponse(name, message.c_str(), response);
            connection->ReturnResponse(response, tag);
            return false;
        }
        if (!agent || !agent->IsEnabled()) {
            ClientConnection::FormatErrorResponse(name, "JVM Agent requires Java 1.6 or later", response);
            connection->ReturnResponse(response, tag);
            return false;
        }
        // A kept capture goes out without a pause.
        const char* keptName = command.attribute(Protocol::FILE_ATTRIBUTE).value();
        bool pause = code == CMD_SNAPSHOT || code == CMD_PERFORM_GC || code == CMD_HISTOGRAM ||
                     (code == CMD_HEAPDUMP && !*keptName);
        if (pause) {
            if (Error refused = agent->CheckPauseInterval()) {
                ClientConnection::FormatErrorResponse(name, refused.What(), response);
                connection->ReturnResponse(response, tag);
                return false;
            }
        }
        if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Processing %s command", name);
        // An encoding this agent does not know, or compress-level=0: plain frames.
        int compressLevel =
            strcmp(command.attribute(Protocol::ENCODING_ATTRIBUTE).value(), Protocol::ENCODING_ZSTD) == 0
                ? agent->GetCompressLevel()
                : 0;
        try {
            switch (code) {
                case CMD_RUNTIME: ProcessRuntime(tag, last); break;
                case CMD_SYSTEM_PROPS: ProcessSystemProps(tag, last); break;
                case CMD_VERSION: ProcessVersion(tag, last); break;
                case CMD_DUMPS: ProcessDumps(tag, last); break;
                case CMD_PERFORM_GC: RunGC(tag, last); break;
                case CMD_SNAPSHOT: {
                    const char* source = command.attribute(Protocol::SOURCE_ATTRIBUTE).value();
                    if (*source && strcmp(source, Protocol::SOURCE_DUMP) != 0 &&
                        strcmp(source, Protocol::SOURCE_WALK) != 0) {
                        std::string message = std::string("Unknown snapshot source: ") + source +
                                              "; known are " + Protocol::SOURCE_WALK + " and " +
                                              Protocol::SOURCE_DUMP;
                        ClientConnection::FormatErrorResponse(name, message.c_str(), response);
                        connection->ReturnResponse(response, tag);
                        return false;
                    }
                    const bool fromDump = *source ? strcmp(source, Protocol::SOURCE_DUMP) == 0 : agent->SnapshotFromDump();
                    if (!ProcessSnapShot(tag, last, compressLevel, fromDump)) return false;
                    break;
                }
                case CMD_HEAPDUMP:
                    if (!HeapDumpCommand(*connection, tag, last, compressLevel, keptName).Run()) return false;
                    break;
                case CMD_HISTOGRAM: {
                    const bool heapPass = strcmp(command.attribute(Protocol::SOURCE_ATTRIBUTE).value(),
                                                 Protocol::SOURCE_HEAP_PASS) == 0;
                    if (!HistogramCommand(*connection, tag, last, command.attribute(Protocol::LIVE_ATTRIBUTE).as_bool(),
                                          heapPass)
                             .Run())
                        return false;
                    break;
                }
            }
        } catch (const std::exception& e) {
            // Anything escaping here would end the JVM; answer it instead.
            VeskLogger::LogError(false, "%s command failed: %s", name, e.what());
            response.Clear(false);
            ClientConnection::FormatErrorResponse(name, e.what(), response);
            connection->ReturnResponse(response, tag);
            return false;
        }
    }
    return true;
}

bool VeskClientThread::Authenticate(const char* answer, const char* tag, bool last) {
    const AuthKey* key = server ? server->GetAuthKey() : nullptr;
    StringBuffer response(SMALL_RESPONSE_SIZE);
    XmlUtils::StartCommandElement(response, Protocol::CMD_AUTH);
    if (!key) {
        // Nothing to prove; the client may want to warn that anyone could connect.
        if (server) XmlUtils::AddPropElement(response, Protocol::PROP_LISTEN, server->ListenText().c_str());
    } else if (server->GetTlsContext()) {
        // The handshake proved the key: an answer is neither asked nor checked.
    } else if (!answer) {
        nonce.assign(AuthKey::NONCE_BYTES, 0);
        if (!AuthKey::RandomBytes(nonce.data(), nonce.size())) {
            VeskLogger::LogError(false, "No random bytes for an authentication challenge");
            nonce.clear();
            RefuseClient("authentication unavailable: the agent has no random numbers", tag);
            return false;
        }
        XmlUtils::AddPropElement(response, Protocol::PROP_NONCE, AuthKey::ToHex(nonce.data(), nonce.size()).c_str());
    } else {
        // One answer per challenge: a replayed or guessed one gets no second try.
        bool passed = key->Verify(nonce, answer);
        nonce.clear();
        std::string address = ClientConnection::AddressText(connection->GetPeerAddress());
        if (!passed) {
            VeskLogger::LogInfo("Authentication failed for a client at %s", address.c_str());
            CountFailure();
            RefuseClient(Protocol::AUTH_FAILED, tag);
            return false;
        }
        if (!authenticated) {
            authenticated = true;
            connection->SetIdleTimeout(server->GetIdleSeconds());
            VeskLogger::LogInfo("Client at %s authenticated", address.c_str());
        }
    }
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
    return true;
}

void VeskClientThread::RefuseClient(const char* message, const char* tag) {
    if (VeskLogger::IsDebugLevel())
        VeskLogger::LogDebug("Closing the connection of %s: %s",
                             ClientConnection::AddressText(connection->GetPeerAddress()).c_str(), message);
    connection->SendError(Protocol::CMD_AUTH, message, tag);
    closing = true;
}

void VeskClientThread::ProcessRuntime(const char* tag, bool last) {
    StringBuffer response(SMALL_RESPONSE_SIZE);
    JvmInfo* info = connection->GetJvmInfo();
    agent->GatherRuntimeInfo(info);
    AddRuntimeToResponse(info, response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::ProcessSystemProps(const char* tag, bool last) {
    StringBuffer response = ClientConnection::PropsResponse(REQUEST_RESPONSE_SIZE);
    AddSystemPropsToResponse(connection->GetJvmInfo(), response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::ProcessVersion(const char* tag, bool last) {
    StringBuffer response(SMALL_RESPONSE_SIZE);
    XmlUtils::StartCommandElement(response, Protocol::CMD_VERSION);
    XmlUtils::AddPropElement(response, Protocol::PROP_VERSION, VESK_VERSION);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::ProcessDumps(const char* tag, bool last) {
    StringBuffer response(REQUEST_RESPONSE_SIZE);
    XmlUtils::StartCommandElement(response, Protocol::CMD_DUMPS);
    if (const OomCapture* capture = agent->GetOomCapture()) {
        XmlUtils::AddPropElement(response, Protocol::PROP_OOM_DIR, capture->Directory().c_str());
        XmlUtils::AddPropElement(response, Protocol::PROP_OOM_EVENTS, static_cast<int64_t>(capture->Events()));
        for (const KeptDump& dump : capture->Kept()) {
            response.Format("<%s %s=\"", Protocol::DUMP_ELEMENT, Protocol::NAME_ATTRIBUTE);
            XmlUtils::EncodeXmlString(response, dump.name);
            response.Format("\" %s=\"%" PRIu64 "\" %s=\"%" PRId64 "\" %s=\"", Protocol::SIZE_ATTRIBUTE, dump.fileBytes,
                            Protocol::TIME_ATTRIBUTE, dump.timeMillis, Protocol::MESSAGE_ATTRIBUTE);
            XmlUtils::EncodeXmlString(response, dump.message);
            response.Append("\"/>");
        }
    }
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::RunGC(const char* tag, bool last) {
    StringBuffer response(SMALL_RESPONSE_SIZE);
    agent->RunGC(connection->GetJvmInfo());
    XmlUtils::StartCommandElement(response, Protocol::CMD_PERFORM_GC);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

bool VeskClientThread::ProcessSnapShot(const char* tag, bool last, int compressLevel, bool fromDump) {
    return SnapshotResponse(*connection, tag, last, compressLevel, fromDump).Run();
}

void VeskClientThread::AddRuntimeToResponse(JvmInfo* info, StringBuffer& response) {
    ClientConnection::AddRuntimeElement(*info, response);
}

void VeskClientThread::AddSystemPropsToResponse(JvmInfo* info, StringBuffer& response) {
    ClientConnection::AddSystemPropsElement(*info, response);
}

}  // namespace Orlo
