#include "SnapshotResponse.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "ClientConnection.h"
#include "Error.h"
#include "JvmAgent.h"
#include "JvmInfo.h"
#include "Orlo.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

const jint JNI_VERSION_1_5_VALUE = 0x00010005;

}  // namespace

SnapshotResponse::SnapshotResponse(ClientConnection& connection, const char* tag, bool last, int compressLevel,
                                   bool fromDump)
    : StreamedResponse(connection, NAME, tag, last, RESPONSE_SIZE, true), info(*connection.GetJvmInfo()),
      fromDump(fromDump) {
    // A file frame of text shrinks tenfold or more; the buffer grows for one that does not.
    if (compressLevel > 0) CompressWholeFrames(compressLevel, RESPONSE_SIZE / 4);
}

bool SnapshotResponse::Run() {
    if (agent->GetJniVersion() <= JNI_VERSION_1_5_VALUE) {
        SendCommandError("Unable to generate snapshot: Requires Java 1.6 or higher");
        return false;
    }
    bool completed = false;
    auto sendStart = std::chrono::steady_clock::now();
    try {
        Error refused;
        if (fromDump)
            refused = agent->TakeDumpSnapShot(&info, &connection);
        else
            untagPending = agent->TakeSnapShot(&info);
        // The VM is exiting: its files are gone and nobody waits for frames.
        if (agent->IsDying()) {
            UnTag();
            return false;
        }
        ThrowIfCancelled("Snapshot aborted, not sending results to client");
        if (refused) {
            SendError(refused.What());
        } else if (info.SnapShotFailed()) {
            SendError(info.GetSnapShotError().c_str());
        } else {
            sendStart = std::chrono::steady_clock::now();
            if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Sending snapshot to client");
            SendHeader();
            completed = SendFiles();
        }
    } catch (const std::exception& e) {
        SendError(e.what());
    }
    // Cancelled, failed or dying: the tags still go (or stay with a dying VM).
    UnTag();
    agent->ReturnFreedMemory();
    if (VeskLogger::IsDebugLevel()) {
        int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - sendStart)
                              .count();
        VeskLogger::LogDebug("Finished sending snapshot to client, elapsed.msec=%" PRId64, elapsed);
    }
    return completed;
}

void SnapshotResponse::SendHeader() {
    ClientConnection::AddRuntimeElement(info, response);
    ClientConnection::AddSystemPropsElement(info, response);
    XmlUtils::StartCommandElement(response, NAME);
    XmlUtils::AddPropElement(response, Protocol::PROP_SNAPSHOT_TIME, info.GetSnapShotStartTime());
    XmlUtils::AddPropElement(response, Protocol::PROP_TOTAL_ROOTS, info.GetHeapRootCount());
    XmlUtils::AddPropElement(response, Protocol::PROP_TOTAL_OBJECTS, info.GetHeapObjCount());
    XmlUtils::AddPropElement(response, Protocol::PROP_TOTAL_REFERENCES, info.GetHeapRefCount());
    if (fromDump) XmlUtils::AddPropElement(response, Protocol::PROP_SNAPSHOT_SOURCE, Protocol::SOURCE_DUMP);
    XmlUtils::StartXmlElement(response, Protocol::SNAPSHOT_ELEMENT);
    info.AddClassesToResult(response);
    XmlUtils::EndXmlElement(response, Protocol::SNAPSHOT_ELEMENT);
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, 0);
    Send(response);
}

bool SnapshotResponse::SendFiles() {
    const std::vector<std::string>& files = info.GetSnapShotFileNames();
    // Without any file the request still gets its final frame and metrics.
    size_t frames = files.empty() ? 1 : files.size();
    for (size_t i = 0; i < frames; i++) {
        response.Clear(false);
        if (agent->IsDying()) return false;
        ThrowIfCancelled("Aborting snapshot sending");
        UniqueFile file;
        if (i < files.size()) {
            file.reset(fopen(files[i].c_str(), "rb"));
            if (!file) return SendFileError("opening", files[i].c_str());
            // Unbuffered: the reads then go straight into the segments, in large pieces.
            setvbuf(file.get(), nullptr, _IONBF, 0);
        }
        bool final = i + 1 == frames;
        // The untag step waits until the files are out, and an exit that came
        // with the end of the walk has raised its flag: VM death would wait
        // for a dispose under way. Its times go with the metrics.
        if (final) {
            UnTag();
            if (agent->IsDying()) return false;
        }
        XmlUtils::StartCommandElement(response, NAME);
        XmlUtils::StartXmlElement(response, Protocol::SNAPSHOT_ELEMENT);
        if (file) {
            response.Read(file.get(), 0);
            // A short file must not reach the client as a complete one.
            if (ferror(file.get())) return SendFileError("reading", files[i].c_str());
        }
        XmlUtils::EndXmlElement(response, Protocol::SNAPSHOT_ELEMENT);
        XmlUtils::AddStatusElement(response, 1);
        XmlUtils::EndCommandElement(response);
        XmlUtils::AddLastElement(response, final && last ? 1 : 0);
        if (final) info.GetAgentMetrics(response);
        Send(response);
    }
    return true;
}

bool SnapshotResponse::SendFileError(const char* action, const char* path) {
    int error = errno;
    SendError(Error::Format("Failed %s snapshot file %s, errno=%d (%s)", action, path, error, strerror(error)).What());
    return false;
}

void SnapshotResponse::UnTag() {
    if (!untagPending) return;
    untagPending = false;
    agent->UnTagObjects(&info);
}

}  // namespace Orlo
