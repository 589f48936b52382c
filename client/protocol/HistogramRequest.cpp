#include "protocol/HistogramRequest.h"

#include <cstdlib>

#include "VeskProtocol.h"
#include "heap/ClassHistogram.h"
#include "protocol/SnapshotReader.h"

namespace wire = Orlo::Protocol;

namespace vesk {

namespace {

int64_t Number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// The RUNTIME and HISTOGRAM elements of the answer's bodies.
class HistogramBody : public SnapshotHandler {
public:
    explicit HistogramBody(HistogramSample& sample) : sample(sample) {}

    void Read(std::string_view body) {
        SnapshotReader reader(*this, SnapshotReader::Kind::Responses);
        reader.Feed(std::string(wire::FRAME_START) + "0" + wire::FRAME_TAG_END);
        reader.Feed(body);
        reader.Feed(wire::FRAME_END);
    }
    void OnProperty(const std::string& command, const std::string& name, const std::string& value) override {
        if (command == wire::CMD_RUNTIME) {
            if (name == "total-heap") total = Number(value);
            else if (name == "free-heap") free = Number(value);
        } else if (command == wire::CMD_HISTOGRAM) {
            if (name == wire::PROP_HISTOGRAM_TIME) sample.timeMillis = Number(value);
            else if (name == wire::PROP_TOTAL_INSTANCES) sample.totalInstances = Number(value);
            else if (name == wire::PROP_TOTAL_BYTES) sample.totalBytes = Number(value);
            else if (name == wire::PROP_PASS_MSEC) sample.passMillis = Number(value);
            else if (name == wire::PROP_GC_MSEC) sample.gcMillis = Number(value);
            else if (name == wire::PROP_HISTOGRAM_SOURCE) sample.source = value;
        }
    }
    void OnClass(StreamClass& cls) override {
        sample.classes.push_back({JvmClassName(std::move(cls.name)), cls.instances, cls.bytes});
    }
    void Finish() {
        sample.heapCommitted = total;
        sample.heapUsed = total - free;
    }

private:
    HistogramSample& sample;
    int64_t total = 0;
    int64_t free = 0;
};

}  // namespace

std::string HistogramRequestText(bool live) {
    std::string request = std::string("<") + wire::REQUEST_ELEMENT + " " + wire::TAG_ATTRIBUTE + "=\"1\"><" +
                          wire::COMMAND_ELEMENT + " " + wire::NAME_ATTRIBUTE + "=\"" + wire::CMD_RUNTIME + "\"/><" +
                          wire::COMMAND_ELEMENT + " " + wire::NAME_ATTRIBUTE + "=\"" + wire::CMD_HISTOGRAM + "\"";
    if (live) request += std::string(" ") + wire::LIVE_ATTRIBUTE + "=\"true\"";
    return request + "/></" + wire::REQUEST_ELEMENT + ">";
}

bool ReadHistogram(const std::vector<Frame>& frames, HistogramSample& sample) {
    sample = HistogramSample();
    std::string message;
    for (const Frame& frame : frames) {
        if (ResponseError(frame.Body(), &message)) {
            if (message == std::string(wire::UNKNOWN_COMMAND_MESSAGE) + wire::CMD_HISTOGRAM) return false;
            throw ClientError(ErrorKind::AgentReported, "the agent reported: " + message);
        }
    }
    HistogramBody body(sample);
    for (const Frame& frame : frames) body.Read(frame.Body());
    body.Finish();
    return true;
}

bool RequestHistogram(VeskClient& client, bool live, HistogramSample& sample) {
    return ReadHistogram(client.Request(HistogramRequestText(live)), sample);
}

}  // namespace vesk
