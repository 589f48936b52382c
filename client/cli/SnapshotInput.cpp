#include "cli/SnapshotInput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "load/HprofFile.h"
#include "load/HprofLoader.h"
#include "load/SnapshotLoader.h"
#include "protocol/SnapshotSession.h"

namespace vesk {

// A loader that also keeps the header's properties (the report's page header).
class PropertyLoader : public SnapshotLoader {
public:
    void OnProperty(const std::string& command, const std::string& name, const std::string& value) override {
        SnapshotLoader::OnProperty(command, name, value);
        if (!command.empty()) properties[command][name] = value;
    }
    StreamProperties properties;
};

static SnapshotInput::Kind KindOfFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "rb"), fclose);
    if (!file) throw ClientError(ErrorKind::File, "cannot open " + path + ": " + strerror(errno));
    char head[32];
    size_t n = fread(head, 1, sizeof head, file.get());
    if (ferror(file.get())) throw ClientError(ErrorKind::File, "cannot read " + path + ": " + strerror(errno));
    if (SnapshotReader::IsStreamStart(std::string_view(head, n))) return SnapshotInput::Kind::Stream;
    if (HprofFile::IsHprof(path)) return SnapshotInput::Kind::Hprof;
    throw ClientError(ErrorKind::File, path + ": not a snapshot or HPROF file");
}

SnapshotInput::SnapshotInput(const Options& options, const std::string& file, bool fileRequired,
                             WorkProgress& progress)
    : options(options), progress(&progress), kind(Kind::Live), path(file) {
    if (file.empty() && fileRequired && !options.portGiven)
        throw UsageError("give FILE, or --port to take a new snapshot");
    if (!file.empty()) kind = KindOfFile(file);
}

std::string SnapshotInput::Source() const {
    return kind == Kind::Live ? options.host + ":" + std::to_string(options.port) : path;
}

static HeapGraph LoadHprof(const std::string& path, WorkProgress& progress) {
    HeapGraph graph;
    std::string error;
    if (!LoadHprofFile(path, &graph, &error, progress)) throw ClientError(ErrorKind::File, error);
    return graph;
}

// A reader that stops early (the histogram) ends a live snapshot with a
// cancellation, which then is no failure. Ctrl-C once the heap is walked
// ends at once, rather than after the rest of the stream has been read.
static void ReadLive(const Options& options, SnapshotReader& reader) {
    VeskClient client = ConnectClient(options);
    SnapshotSession session(client, options.timeoutMs, true);
    session.StopAtOnce();
    // A frame of a quarter million references takes a while to read: the
    // line moves meanwhile.
    const size_t SLICE = 4 << 20;
    SnapshotSession::Outcome outcome = session.Run([&](const Frame& frame) {
        std::string_view bytes = frame.bytes;
        size_t at = 0;
        do {
            // The last frame (the agent's confirmation among them) ends it anyway.
            if (!frame.last && session.Interrupted()) throw ClientError(ErrorKind::Cancelled, "Ctrl-C");
            std::string_view slice = bytes.substr(at, SLICE);
            at += slice.size();
            if (!reader.Feed(slice)) return session.Cancel();
            session.ShowProgress();
        } while (at < bytes.size());
    });
    bool stoppedEarly = reader.HeaderDone() && !reader.Complete() && !reader.Failed();
    if (outcome == SnapshotSession::Outcome::Cancelled && !stoppedEarly)
        throw ClientError(ErrorKind::Cancelled, "snapshot cancelled (" + session.Error() + ")");
    if (session.Interrupted()) throw ClientError(ErrorKind::Cancelled, "snapshot cancelled (Ctrl-C)");
    if (!reader.Finish())
        throw ClientError(reader.AgentError().empty() ? ErrorKind::Dropped : ErrorKind::AgentReported, reader.Error());
}

void SnapshotInput::Read(SnapshotReader& reader) const {
    if (kind == Kind::Live) {
        progress->Phase("");  // the session shows its own
        return ReadLive(options, reader);
    }
    struct stat info {};
    progress->Phase("reading " + path.substr(path.find_last_of('/') + 1),
                    stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0);
    FeedFile(path, reader, [this](uint64_t done, uint64_t) { progress->Set(done); });
    if (!reader.Finish()) throw ClientError(ErrorKind::File, path + ": " + reader.Error());
}

std::vector<ClassCount> SnapshotInput::Histogram() const {
    if (kind == Kind::Hprof) {
        std::vector<ClassCount> rows;
        for (const ClassTotals& totals : LoadHprof(path, *progress).Histogram())
            rows.push_back({totals.name, totals.instances, totals.bytes});
        return SortHistogram(std::move(rows));
    }
    HistogramReader reader;
    Read(reader.Reader());
    return reader.Histogram();
}

HeapGraph SnapshotInput::Graph(StreamProperties* properties) const {
    if (kind == Kind::Hprof) return LoadHprof(path, *progress);
    PropertyLoader loader;
    SnapshotReader reader(loader);
    Read(reader);
    if (properties) *properties = std::move(loader.properties);
    return loader.Finish(*progress);
}

}  // namespace vesk
