// libFuzzer target: the snapshot stream reader's fast path against expat.
// The input's first byte picks where the pieces are cut; the rest follows a
// well-formed header frame (so the fast path reads it), or is the whole
// stream when the first byte is odd. Any difference in callbacks, verdict
// or error is a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "StreamTranscript.h"

using vesk::SnapshotReader;
using vesktest::StreamTranscript;

namespace {

const char HEADER[] =
    "<vesk-resp tag=\"1\"><cmd name=\"SNAPSHOT\"><prop name=\"total-objs\" value=\"2\"/><snapshot>"
    "<class clstag=\"100\" name=\"T\" totalinst=\"0\" totalsize=\"0\"/>"
    "<thread thrdtag=\"400\" name=\"main\" state=\"5\"/></snapshot><status value=\"1\"/></cmd>"
    "<last value=\"0\"/></vesk-resp>\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    unsigned choice = data[0];
    std::string stream = choice & 1 ? std::string() : std::string(HEADER);
    stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<size_t> cuts;
    size_t piece = 1 + (choice >> 1);
    for (size_t at = piece; at < stream.size(); at += piece) cuts.push_back(at);
    std::string strict = StreamTranscript::Read(stream, SnapshotReader::Path::Strict, cuts);
    for (SnapshotReader::Path path : {SnapshotReader::Path::Fast, SnapshotReader::Path::FastTwoThreads}) {
        if (StreamTranscript::Read(stream, path, cuts) == strict) continue;
        fprintf(stderr, "the fast path (%d) and expat differ\n", static_cast<int>(path));
        abort();
    }
    return 0;
}
