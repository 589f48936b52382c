#include "load/HeapInput.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/File.h"
#include "base/Parallel.h"
#include "base/ZstdDecoder.h"
#include "base/ZstdFileReader.h"
#include "heap/HeapText.h"
#include "load/HprofFile.h"
#include "load/HprofLoader.h"
#include "load/StreamFile.h"
#include "load/StreamLoader.h"
#include "protocol/HeapDumpReceiver.h"
#include "protocol/SnapshotSession.h"
#include "term/InterruptGuard.h"

namespace vesk {

// A loader that also keeps the header's properties (the report's page header).
class PropertyLoader : public StreamLoader {
public:
    void OnProperty(const std::string& command, const std::string& name, const std::string& value) override {
        StreamLoader::OnProperty(command, name, value);
        if (!command.empty()) properties[command][name] = value;
    }
    IndexProperties properties;
};

static HeapInput::Kind KindOfFile(const std::string& path) {
    File file = File::Open(path);
    char head[32];
    size_t n = fread(head, 1, sizeof head, file.Get());
    if (ferror(file.Get())) File::ReadFailed(path);
    if (ZstdDecoder::IsZstd(head, n)) {
        // Compressed: the kind of what it holds.
        std::string plain = ZstdFileReader::Head(path, sizeof head);
        if (SnapshotReader::IsStreamStart(plain)) return HeapInput::Kind::Stream;
        if (HprofFormat::HasMagic(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()))
            return HeapInput::Kind::Hprof;
    }
    if (SnapshotReader::IsStreamStart(std::string_view(head, n))) return HeapInput::Kind::Stream;
    if (HprofFile::IsHprof(path)) return HeapInput::Kind::Hprof;
    throw ClientError(ErrorKind::File, path + ": not a snapshot or HPROF file");
}

HeapInput::HeapInput(const InputSettings& settings, const std::string& file, bool fileRequired,
                     WorkProgress& progress)
    : settings(settings), progress(&progress), kind(Kind::Live), path(file) {
    if (file.empty() && fileRequired && !settings.portGiven)
        throw UsageError("give FILE, or --port to take a new snapshot");
    if (!file.empty()) kind = KindOfFile(file);
    if (Indexed() && !StampSource(path, &stamp)) this->settings.noIndex = true;
}

std::string HeapInput::Source() const {
    return kind == Kind::Live ? settings.host + ":" + std::to_string(settings.port) : path;
}

// A reader that stops early (the histogram) ends a live snapshot with a
// cancellation, which then is no failure. Ctrl-C once the heap is walked
// ends at once, rather than after the rest of the stream has been read.
static void ReadLive(const InputSettings& settings, bool walk, SnapshotReader& reader) {
    VeskClient client = settings.connect();
    SnapshotSession session(client, settings.timeoutMs, true, false, settings.compress, walk);
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

void HeapInput::Read(SnapshotReader& reader, bool walk) const {
    if (kind == Kind::Live) {
        progress->Phase("");  // the session shows its own
        return ReadLive(settings, walk, reader);
    }
    struct stat info {};
    progress->Phase("reading " + path.substr(path.find_last_of('/') + 1),
                    stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0);
    FeedFile(path, reader, [this](uint64_t done, uint64_t) { progress->Set(done); });
    if (!reader.Finish()) throw ClientError(ErrorKind::File, path + ": " + reader.Error());
}

std::vector<ClassTotals> HeapInput::Histogram(HeapSummary* summary) const {
    // A snapshot's header states counts too, but neither class and thread
    // objects nor what is unreachable: the graph counts as every command does.
    HeapGraph graph = Graph();
    std::unique_ptr<DominatorTree> tree = Tree(graph);
    if (summary) *summary = SummarizeHeap(graph, *tree);
    std::vector<ClassTotals> rows;
    for (const ClassTotals& totals : graph.Histogram()) rows.push_back({totals.name, totals.instances, totals.bytes});
    return SortHistogram(std::move(rows));
}

// The index beside the file, else the one in the cache directory, open in
// reader: its path, "" when there is none.
static std::string OpenIndex(const std::string& path, const SourceStamp& stamp, HeapIndexReader& reader,
                             bool* inCache) {
    *inCache = false;
    if (reader.Open(IndexBeside(path), stamp, false)) return IndexBeside(path);
    std::string cached = IndexInCache(stamp);
    *inCache = true;
    if (!cached.empty() && reader.Open(cached, stamp, true)) return cached;
    return "";
}

std::string HeapInput::IndexFile(bool* inCache) const {
    HeapIndexReader reader;
    bool cached = false;
    std::string found = Indexed() ? OpenIndex(path, stamp, reader, &cached) : "";
    if (inCache) *inCache = cached;
    return found;
}

HeapGraph HeapInput::Graph(IndexProperties* properties) const {
    index.reset();
    if (Indexed()) {
        auto reader = std::make_shared<HeapIndexReader>();
        bool inCache = false;
        if (!OpenIndex(path, stamp, *reader, &inCache).empty()) {
            HeapGraph graph;
            IndexProperties stored;
            progress->Phase("reading the index");
            if (reader->ReadGraph(&graph, &stored)) {
                index = reader;
                if (properties) *properties = std::move(stored);
                return graph;
            }
        }
    }
    if (kind == Kind::Hprof) {
        uint64_t taken = 0;
        HeapGraph graph = LoadHprofFile(path, *progress, &taken);
        // The report's header says when, as a snapshot's does.
        IndexProperties header;
        if (taken > 0) header["SNAPSHOT"]["ss-time"] = std::to_string(taken);
        if (Indexed()) this->properties = header;
        if (properties) *properties = std::move(header);
        return graph;
    }
    bool walk = settings.walk;
    if (kind == Kind::Live && !settings.snapshot && !settings.walk) {
        HeapGraph graph;
        if (ReadLiveDump(&graph, &walk)) return graph;
    }
    PropertyLoader loader;
    // The graph is built on a second thread while the stream is read.
    SnapshotReader reader(loader, SnapshotReader::Kind::Snapshot, SnapshotReader::Path::FastTwoThreads);
    Read(reader, walk);
    if (Indexed()) this->properties = loader.properties;
    if (properties) *properties = std::move(loader.properties);
    return loader.Finish(*progress);
}

// A private temporary file for the live heap dump: created 0600, removed
// when it goes out of scope, or by Ctrl-C ending the program meanwhile.
class TemporaryDump {
public:
    TemporaryDump() {
        const char* dir = getenv("TMPDIR");
        name = std::string(dir && *dir ? dir : "/tmp") + "/vesk-live-XXXXXX.hprof";
        int fd = mkstemps(&name[0], 6);
        if (fd < 0) Fail("cannot create " + name);
        RemoveOnInterruptExit(name);
        file = fdopen(fd, "wb");
        if (!file) {
            close(fd);
            Remove();
            Fail("cannot open " + name);
        }
    }
    ~TemporaryDump() {
        if (file) fclose(file);
        Remove();
    }
    TemporaryDump(const TemporaryDump&) = delete;
    TemporaryDump& operator=(const TemporaryDump&) = delete;

    const std::string& Name() const { return name; }
    bool Write(std::string_view bytes) { return fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(); }
    // Flushes and closes; false (errno set) on failure.
    bool Close() {
        int result = fclose(file);
        file = nullptr;
        return result == 0;
    }

private:
    [[noreturn]] static void Fail(const std::string& what) {
        throw ClientError(ErrorKind::File, what + " for the heap dump: " + strerror(errno) +
                                               " (TMPDIR names another directory; --snapshot needs none)");
    }
    void Remove() {
        RemoveOnInterruptExit("");
        unlink(name.c_str());
    }

    std::string name;
    FILE* file = nullptr;
};

bool HeapInput::ReadLiveDump(HeapGraph* graph, bool* disabled) const {
    progress->Phase("");  // the session shows its own
    TemporaryDump dump;
    HeapDumpReceipt receipt;
    {
        VeskClient client = settings.connect();
        SnapshotSession session(client, settings.timeoutMs, true, true, settings.compress);
        session.StopAtOnce();
        receipt = ReceiveHeapDump(session, false, dump.Name(), [&](std::string_view bytes) {
            // The last frame (the agent's confirmation among them) ends it anyway.
            if (session.Interrupted()) throw ClientError(ErrorKind::Cancelled, "Ctrl-C");
            return dump.Write(bytes);
        });
        if (session.Interrupted()) throw ClientError(ErrorKind::Cancelled, "heap dump cancelled (Ctrl-C)");
        if (receipt.outcome == SnapshotSession::Outcome::Cancelled)
            throw ClientError(ErrorKind::Cancelled, "heap dump cancelled (" + session.Error() + ")");
        if (receipt.outcome == SnapshotSession::Outcome::Failed) {
            if (!HeapDumpRefused(session.Error()))
                throw ClientError(ErrorKind::AgentReported, "the agent reported: " + session.Error());
            *disabled = HeapDumpDisabled(session.Error());
            fprintf(stderr, "vesk: the agent gives no heap dump (%s); taking a snapshot instead\n",
                    session.Error().c_str());
            return false;
        }
    }
    if (!dump.Close()) throw ClientError(ErrorKind::File, "cannot write " + dump.Name() + ": " + strerror(errno));
    *graph = LoadHprofFile(dump.Name(), *progress);
    return true;
}

std::unique_ptr<DominatorTree> HeapInput::Tree(const HeapGraph& graph) const {
    if (index) {
        std::unique_ptr<DominatorTree> stored = index->ReadTree(graph);
        index.reset();
        if (stored) return stored;
    }
    auto tree = std::make_unique<DominatorTree>(graph, true, *progress);
    if (Indexed()) WriteIndex(graph, *tree);
    return tree;
}

std::pair<std::unique_ptr<HeapGraph>, std::unique_ptr<DominatorTree>> HeapInput::GraphAndTree() const {
    if (Indexed()) {
        HeapIndexReader graphReader, treeReader;
        bool inCache = false;
        std::string found = OpenIndex(path, stamp, graphReader, &inCache);
        if (!found.empty() && treeReader.Open(found, stamp, inCache)) {
            auto graph = std::make_unique<HeapGraph>();
            IndexProperties stored;
            progress->Phase("reading the index");
            Beside<std::unique_ptr<DominatorTree>> tree([&] { return treeReader.ReadTree(*graph, false); });
            bool whole = graphReader.ReadGraph(graph.get(), &stored);
            std::unique_ptr<DominatorTree> read = tree.Get();
            if (whole && read && read->Consistent()) return {std::move(graph), std::move(read)};
        }
    }
    auto graph = std::make_unique<HeapGraph>(Graph());
    std::unique_ptr<DominatorTree> tree = Tree(*graph);
    return {std::move(graph), std::move(tree)};
}

void HeapInput::WriteIndex(const HeapGraph& graph, const DominatorTree& tree) const {
    std::string target = IndexBeside(path);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    bool inCache = settings.indexInCache || access(dir.c_str(), W_OK) != 0;
    if (inCache) {
        target = IndexInCache(stamp);
        size_t end = target.rfind('/');
        if (target.empty() || !MakeDirectories(target.substr(0, end))) {
            fprintf(stderr, "vesk: no index written: %s\n",
                    settings.indexInCache ? "there is no cache directory (HOME and XDG_CACHE_HOME are unset)"
                                          : (dir + " is not writable and there is no cache directory").c_str());
            return;
        }
    }
    std::string error;
    bool cancelled = false;
    progress->Phase("writing the index");
    {
        // Ctrl-C stops the writing first, so that no partial file stays behind.
        InterruptGuard guard;
        try {
            WriteHeapIndex(target, stamp, graph, tree, properties, [&] { return guard.Presses() > 0; });
        } catch (const ClientError& e) {
            cancelled = e.Kind() == ErrorKind::Cancelled;
            error = e.what();
        }
    }
    if (cancelled) raise(SIGINT);  // now the command's own Ctrl-C handling
    if (!error.empty()) {
        fprintf(stderr, "vesk: no index written: %s\n", error.c_str());
    } else if (inCache) {
        ForgetOtherIndexesInCache(stamp);
    } else {
        // A file the user did not ask for, beside theirs: say so once, when it appears.
        struct stat written {};
        stat(target.c_str(), &written);
        std::string cache = CacheDirectory();
        fprintf(stderr,
                "vesk: wrote %s (%s), the index later commands read; --no-index writes none, VESK_INDEX=cache "
                "keeps indexes in %s\n",
                target.c_str(), SizeText(static_cast<uint64_t>(written.st_size)).c_str(),
                cache.empty() ? "~/.cache/vesk" : cache.c_str());
    }
}

}  // namespace vesk
