#include "cli/SnapshotInput.h"

#include <signal.h>
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
#include "protocol/ZstdDecoder.h"
#include "protocol/ZstdFileReader.h"
#include "term/InterruptGuard.h"

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
    if (ZstdDecoder::IsZstd(head, n)) {
        // Compressed: the kind of what it holds.
        std::string plain = ZstdFileReader::Head(path, sizeof head);
        if (SnapshotReader::IsStreamStart(plain)) return SnapshotInput::Kind::Stream;
        if (HprofFormat::HasMagic(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()))
            return SnapshotInput::Kind::Hprof;
    }
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
    if (Indexed() && !StampSource(path, &stamp)) this->options.noIndex = true;
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
    SnapshotSession session(client, options.timeoutMs, true, false, options.compress, options.walk);
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

std::vector<ClassCount> SnapshotInput::Histogram(HeapSummary* summary) const {
    // A snapshot's header states counts too, but neither class and thread
    // objects nor what is unreachable: the graph counts as every command does.
    HeapGraph graph = Graph();
    std::unique_ptr<DominatorTree> tree = Tree(graph);
    if (summary) *summary = SummarizeHeap(graph, *tree);
    std::vector<ClassCount> rows;
    for (const ClassTotals& totals : graph.Histogram()) rows.push_back({totals.name, totals.instances, totals.bytes});
    return SortHistogram(std::move(rows));
}

// The index beside the file, else the one in the cache directory.
static std::shared_ptr<HeapIndexReader> OpenIndex(const std::string& path, const SourceStamp& stamp) {
    auto reader = std::make_shared<HeapIndexReader>();
    if (reader->Open(IndexBeside(path), stamp, false)) return reader;
    std::string cached = IndexInCache(stamp);
    if (!cached.empty() && reader->Open(cached, stamp, true)) return reader;
    return nullptr;
}

HeapGraph SnapshotInput::Graph(StreamProperties* properties) const {
    index.reset();
    if (Indexed()) {
        if (std::shared_ptr<HeapIndexReader> reader = OpenIndex(path, stamp)) {
            HeapGraph graph;
            StreamProperties stored;
            progress->Phase("reading the index");
            if (reader->ReadGraph(&graph, &stored)) {
                index = reader;
                if (properties) *properties = std::move(stored);
                return graph;
            }
        }
    }
    if (kind == Kind::Hprof) return LoadHprof(path, *progress);
    PropertyLoader loader;
    // The graph is built on a second thread while the stream is read.
    SnapshotReader reader(loader, SnapshotReader::Kind::Snapshot, SnapshotReader::Path::FastTwoThreads);
    Read(reader);
    if (Indexed()) this->properties = loader.properties;
    if (properties) *properties = std::move(loader.properties);
    return loader.Finish(*progress);
}

std::unique_ptr<DominatorTree> SnapshotInput::Tree(const HeapGraph& graph) const {
    if (index) {
        std::unique_ptr<DominatorTree> stored = index->ReadTree(graph);
        index.reset();
        if (stored) return stored;
    }
    auto tree = std::make_unique<DominatorTree>(graph, true, *progress);
    if (Indexed()) WriteIndex(graph, *tree);
    return tree;
}

// mkdir -p for the cache directory.
static bool MakeDirectories(const std::string& dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

void SnapshotInput::WriteIndex(const HeapGraph& graph, const DominatorTree& tree) const {
    std::string target = IndexBeside(path);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK) != 0) {
        target = IndexInCache(stamp);
        size_t end = target.rfind('/');
        if (target.empty() || !MakeDirectories(target.substr(0, end))) {
            fprintf(stderr, "vesk: no index written: %s is not writable and there is no cache directory\n",
                    dir.c_str());
            return;
        }
    }
    std::string error;
    bool cancelled = false;
    progress->Phase("writing the index");
    {
        // Ctrl-C stops the writing first, so that no partial file stays behind.
        InterruptGuard guard;
        if (!WriteHeapIndex(target, stamp, graph, tree, properties, &error, [&] { return guard.Presses() > 0; }))
            cancelled = guard.Presses() > 0;
        else error.clear();
    }
    if (cancelled) raise(SIGINT);  // now the command's own Ctrl-C handling
    if (!error.empty()) fprintf(stderr, "vesk: no index written: %s\n", error.c_str());
}

}  // namespace vesk
