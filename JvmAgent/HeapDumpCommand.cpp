#include "HeapDumpCommand.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "ClientConnection.h"
#include "HeapDumper.h"
#include "JvmAgent.h"
#include "Orlo.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

// One frame's base64 text and its markup, in one segment.
constexpr uint64_t RESPONSE_SIZE = HeapDumpCommand::FRAME_DUMP_BYTES / 3 * 4 + 8192;

int64_t MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

HeapDumpCommand::HeapDumpCommand(ClientConnection& connection, const char* tag, bool last, int compressLevel)
    : StreamedResponse(connection, NAME, tag, last, RESPONSE_SIZE, false) {
    if (compressLevel > 0) CompressContent(compressLevel);
}

bool HeapDumpCommand::Run() {
    HeapDumper dumper;
    // The directory goes before the last frame: once the client has the
    // answer, no dump file exists any more.
    if (Error refused = agent->DumpHeap(dumper)) {
        dumper.Remove();
        SendCommandError(refused.What());
        return false;
    }
    try {
        ThrowIfCancelled(nullptr);
        auto start = std::chrono::steady_clock::now();
        HprofRedactor redactor(*this, dumper.HolderLength());
        StartFrame();
        Error failed = redactor.Redact(dumper.DumpPath().c_str());
        dumper.Remove();
        if (failed) {
            VeskLogger::LogError(false, "Heap dump redaction failed: %s", failed.What());
            SendError(failed.What());
            return false;
        }
        EndText();
        int64_t redactMillis = MillisSince(start) - streamMillis;
        XmlUtils::EndXmlElement(response, Protocol::HPROF_ELEMENT);
        XmlUtils::AddPropElement(response, Protocol::PROP_HPROF_BYTES, static_cast<int64_t>(redactor.InputBytes()));
        XmlUtils::AddPropElement(response, Protocol::PROP_DUMP_BYTES, static_cast<int64_t>(redactor.OutputBytes()));
        XmlUtils::AddPropElement(response, Protocol::PROP_DUMP_MSEC, dumper.DumpMillis());
        XmlUtils::AddPropElement(response, Protocol::PROP_REDACT_MSEC, redactMillis);
        XmlUtils::AddPropElement(response, Protocol::PROP_STREAM_MSEC, streamMillis);
        SendFrame(true);
        VeskLogger::LogDebug("Heap dump sent, hprof.bytes=%llu, sent.bytes=%llu, dump.msec=%lld",
                             static_cast<unsigned long long>(redactor.InputBytes()),
                             static_cast<unsigned long long>(redactor.OutputBytes()),
                             static_cast<long long>(dumper.DumpMillis()));
    } catch (const std::exception& e) {
        dumper.Remove();
        SendError(e.what());
        return false;
    }
    return true;
}

void HeapDumpCommand::Write(const uint8_t* data, size_t length) {
    while (length > 0) {
        if (frameBytes == FRAME_DUMP_BYTES) {
            EndText();
            XmlUtils::EndXmlElement(response, Protocol::HPROF_ELEMENT);
            SendFrame(false);
            ThrowIfCancelled("Aborting heap dump sending");
            StartFrame();
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(length, FRAME_DUMP_BYTES - frameBytes));
        if (compressor)
            compressor->Add(data, take);
        else
            base64.Append(response, data, take);
        frameBytes += take;
        data += take;
        length -= take;
    }
}

void HeapDumpCommand::StartFrame() {
    response.Clear(false);
    frameBytes = 0;
    XmlUtils::StartCommandElement(response, NAME);
    XmlUtils::StartXmlElement(response, Protocol::HPROF_ELEMENT);
    if (compressor) compressor->Begin(response);
}

// Each frame's text decodes on its own: its last group is padded.
void HeapDumpCommand::EndText() {
    if (compressor)
        compressor->End();
    else
        base64.Finish(response);
}

void HeapDumpCommand::SendFrame(bool final) {
    XmlUtils::AddStatusElement(response, 1);
    XmlUtils::EndCommandElement(response);
    XmlUtils::AddLastElement(response, final && last ? 1 : 0);
    auto start = std::chrono::steady_clock::now();
    Send(response, true);
    streamMillis += MillisSince(start);
}

}  // namespace Orlo
