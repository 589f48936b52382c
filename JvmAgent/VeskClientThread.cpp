#include "VeskClientThread.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include <pugixml.hpp>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "CancelledException.h"
#include "ClientConnection.h"
#include "ExceptionBoundary.h"
#include "HeapDumpCommand.h"
#include "JvmAgent.h"
#include "JvmInfo.h"
#include "OrloUtils.h"
#include "StringBuffer.h"
#include "VeskLogger.h"
#include "VeskServerThread.h"
#include "XmlUtils.h"

namespace Orlo {

static const jint JNI_VERSION_1_5_VALUE = 0x00010005;
static const uint64_t SMALL_RESPONSE_SIZE = 1024;
static const uint64_t REQUEST_RESPONSE_SIZE = 4096;
static const uint64_t PROPS_RESPONSE_INCREMENT = 65536;
static const uint64_t SNAPSHOT_RESPONSE_SIZE = 10485760;

static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// The one policy for the responses that carry the system properties
// (SYSTEM_PROPS and the snapshot header): a property holds whatever the
// application put there, so the segments double and only memory bounds it.
static StringBuffer PropsResponse(uint64_t initialSize) {
    return StringBuffer(initialSize, PROPS_RESPONSE_INCREMENT, StringBuffer::GROW_DOUBLING);
}

VeskClientThread::VeskClientThread(ClientConnection* connection, VeskServerThread* server)
    : VeskThread(connection), connection(connection), server(server) {}

VeskClientThread::~VeskClientThread() = default;

void VeskClientThread::ThreadFunction() {
    while (!IsStopped()) {
        // A request that throws may have left a frame half sent: the
        // connection ends, the next client is served.
        bool served = false;
        ExceptionBoundary::Run("VeskClientThread", [&] { served = ProcessRequest(); });
        if (!served) SetStop();
    }
    server->ClientTerminated(this);  // deletes this object
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
    return true;
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
    // An empty document is no parse error: it has no root element.
    if (!result && result.status != pugi::status_no_document_element) {
        ClientConnection::FormatErrorResponse("INVALID", result, response);
        connection->ReturnResponse(response, "0");
        return false;
    }
    pugi::xml_node root = document.child("vesk-cmd");
    if (!root) {
        ClientConnection::FormatErrorResponse("INVALID", "Unrecognized command string", response);
        connection->ReturnResponse(response, "0");
        return false;
    }
    const char* tag = root.attribute("tag").value();
    if (!*tag) tag = "0";

    for (pugi::xml_node command = root.child("cmd"); command; command = command.next_sibling()) {
        const char* name = command.attribute("name").value();
        if (!*name) {
            ClientConnection::FormatErrorResponse("INVALID", "Missing command name", response);
            connection->ReturnResponse(response, tag);
            return false;
        }
        int code = OrloUtils::MapCommandTypeString(name);
        if (code == CMD_UNKNOWN) {
            std::string message = std::string("Unknown command: ") + name;
            ClientConnection::FormatErrorResponse(name, message.c_str(), response);
            connection->ReturnResponse(response, tag);
            return false;
        }
        if (!agent || !agent->IsEnabled()) {
            ClientConnection::FormatErrorResponse(name, "JVM Agent requires Java 1.6 or later", response);
            connection->ReturnResponse(response, tag);
            return false;
        }
        bool last = !command.next_sibling();
        if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Processing %s command", name);
        try {
            switch (code) {
                case CMD_RUNTIME: ProcessRuntime(tag, last); break;
                case CMD_SYSTEM_PROPS: ProcessSystemProps(tag, last); break;
                case CMD_PERFORM_GC: RunGC(tag, last); break;
                case CMD_SNAPSHOT:
                    if (!ProcessSnapShot(tag, last)) return false;
                    break;
                case CMD_HEAPDUMP:
                    if (!HeapDumpCommand(*connection, tag, last).Run()) return false;
                    break;
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

void VeskClientThread::ProcessRuntime(const char* tag, bool last) {
    StringBuffer response(SMALL_RESPONSE_SIZE);
    JvmInfo* info = connection->GetJvmInfo();
    agent->GatherRuntimeInfo(info);
    AddRuntimeToResponse(info, response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::ProcessSystemProps(const char* tag, bool last) {
    StringBuffer response = PropsResponse(REQUEST_RESPONSE_SIZE);
    AddSystemPropsToResponse(connection->GetJvmInfo(), response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::RunGC(const char* tag, bool last) {
    StringBuffer response(SMALL_RESPONSE_SIZE);
    agent->RunGC(connection->GetJvmInfo());
    XmlUtils::StartCommandElement(response, "PERFORM_GC");
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, last ? 1 : 0);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::AddRuntimeToResponse(JvmInfo* info, StringBuffer& response) {
    if (VeskLogger::IsTraceLevel()) VeskLogger::LogTrace("Adding JVM Runtime info to client response");
    XmlUtils::StartCommandElement(response, "RUNTIME");
    info->AddRuntimeToResult(response);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
}

void VeskClientThread::AddSystemPropsToResponse(JvmInfo* info, StringBuffer& response) {
    if (VeskLogger::IsTraceLevel())
        VeskLogger::LogTrace("Adding JVM System Properties to client response");
    XmlUtils::StartCommandElement(response, "SYSTEM_PROPS");
    info->GetSystemProperties(response);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
}

bool VeskClientThread::ProcessSnapShot(const char* tag, bool last) {
    StringBuffer response = PropsResponse(SNAPSHOT_RESPONSE_SIZE);
    JvmInfo* info = connection->GetJvmInfo();
    if (agent->GetJniVersion() <= JNI_VERSION_1_5_VALUE) {
        ClientConnection::FormatErrorResponse(
            "SNAPSHOT", "Unable to generate snapshot: Requires Java 1.6 or higher", response);
        connection->ReturnResponse(response, tag);
        return false;
    }
    bool completed = false;
    auto sendStart = std::chrono::steady_clock::now();
    try {
        agent->GenerateSnapShot(info);
        // The VM is exiting: its files are gone and nobody waits for frames.
        if (agent->IsDying()) return false;
        ThrowIfCancelled("Snapshot aborted, not sending results to client");
        if (info->SnapShotFailed()) {
            SendSnapShotError(response, info->GetSnapShotError().c_str(), tag);
        } else {
            sendStart = std::chrono::steady_clock::now();
            if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Sending snapshot to client");
            SendSnapShotHeader(info, response, tag);
            completed = SendSnapShotFiles(info, response, last, tag);
        }
    } catch (const std::exception& e) {
        SendSnapShotError(response, e.what(), tag);
    }
    if (VeskLogger::IsDebugLevel()) {
        int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - sendStart)
                              .count();
        VeskLogger::LogDebug("Finished sending snapshot to client, elapsed.msec=%" PRId64, elapsed);
    }
    return completed;
}

void VeskClientThread::SendSnapShotHeader(JvmInfo* info, StringBuffer& response, const char* tag) {
    AddRuntimeToResponse(info, response);
    AddSystemPropsToResponse(info, response);
    XmlUtils::StartCommandElement(response, "SNAPSHOT");
    XmlUtils::AddPropElement(response, "ss-time", info->GetSnapShotStartTime());
    XmlUtils::AddPropElement(response, "total-roots", info->GetHeapRootCount());
    XmlUtils::AddPropElement(response, "total-objs", info->GetHeapObjCount());
    XmlUtils::AddPropElement(response, "total-refs", info->GetHeapRefCount());
    XmlUtils::StartXmlElement(response, "snapshot");
    info->AddClassesToResult(response);
    XmlUtils::EndXmlElement(response, "snapshot");
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, 0);
    connection->ReturnResponse(response, tag);
}

bool VeskClientThread::SendSnapShotFiles(JvmInfo* info, StringBuffer& response, bool last, const char* tag) {
    const std::vector<std::string>& files = info->GetSnapShotFileNames();
    // Without any file the request still gets its final frame and metrics.
    size_t frames = files.empty() ? 1 : files.size();
    for (size_t i = 0; i < frames; i++) {
        response.Clear(false);
        if (agent->IsDying()) return false;
        ThrowIfCancelled("Aborting snapshot sending");
        std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, fclose);
        if (i < files.size()) {
            file.reset(fopen(files[i].c_str(), "rb"));
            if (!file) return SendSnapShotFileError("opening", files[i].c_str(), tag);
            // Unbuffered: the reads then go straight into the segments, in large pieces.
            setvbuf(file.get(), nullptr, _IONBF, 0);
        }
        bool final = i + 1 == frames;
        XmlUtils::StartCommandElement(response, "SNAPSHOT");
        XmlUtils::StartXmlElement(response, "snapshot");
        if (file) {
            response.Read(file.get(), 0);
            // A short file must not reach the client as a complete one.
            if (ferror(file.get()))
                return SendSnapShotFileError("reading", files[i].c_str(), tag);
        }
        XmlUtils::EndXmlElement(response, "snapshot");
        XmlUtils::AddStatusElement(response, 1);
        XmlUtils::EndCommandElement(response);
        XmlUtils::AddLastElement(response, final && last ? 1 : 0);
        if (final) info->GetAgentMetrics(response);
        connection->ReturnResponse(response, tag);
    }
    return true;
}

bool VeskClientThread::SendSnapShotFileError(const char* action, const char* path, const char* tag) {
    int error = errno;
    StringBuffer response(SMALL_RESPONSE_SIZE);
    XmlUtils::FormatError(response, "Failed %s snapshot file %s, errno=%d (%s)", action, path, error,
                          strerror(error));
    XmlUtils::AddLastElement(response, 1);
    connection->ReturnResponse(response, tag);
    return false;
}

void VeskClientThread::SendSnapShotError(StringBuffer& response, const char* message,
                                         const char* tag) {
    response.Clear(false);
    XmlUtils::AddStatusElement(response, 0);
    XmlUtils::AddErrorElement(response, message);
    XmlUtils::AddLastElement(response, 1);
    connection->ReturnResponse(response, tag);
}

void VeskClientThread::ThrowIfCancelled(const char* logMessage) {
    if (!connection->CheckForCancel()) return;
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("%s", logMessage);
    throw CancelledException(CANCELLED_MESSAGE);
}

}  // namespace Orlo
