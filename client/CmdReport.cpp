// vesk report: one self-contained HTML page showing a snapshot (treemap of
// retained sizes, class histogram, paths from GC roots, threads), or what
// changed between two.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Commands.h"
#include "HeapReport.h"
#include "HprofFile.h"
#include "HprofLoader.h"
#include "SnapshotLoader.h"
#include "SnapshotSession.h"

namespace vesk {

// A loader that also keeps the header's properties for the page's header.
class PropertyLoader : public SnapshotLoader {
public:
    void OnProperty(const std::string& command, const std::string& name, const std::string& value) override {
        SnapshotLoader::OnProperty(command, name, value);
        if (!command.empty()) properties[command][name] = value;
    }
    StreamProperties properties;
};

static bool LoadFile(const std::string& path, ReportSnapshot* snapshot, std::string* error) {
    snapshot->source = path;
    // An HPROF file has no header properties.
    if (HprofFile::IsHprof(path)) return LoadHprofFile(path, &snapshot->graph, error);
    PropertyLoader loader;
    if (!LoadSnapshotFile(path, loader, error)) return false;
    snapshot->graph = loader.Finish();
    snapshot->properties = std::move(loader.properties);
    return true;
}

// A fresh snapshot, analysed as it arrives; nothing is written. The exit
// code on failure, else EXIT_OK.
static int LoadLive(const Options& options, ReportSnapshot* snapshot) {
    PropertyLoader loader;
    SnapshotReader reader(loader);
    VeskClient client = ConnectClient(options);
    SnapshotSession session(client, options.timeoutMs, true);
    SnapshotSession::Outcome outcome = session.Run([&](const Frame& frame) { reader.Feed(frame.bytes); });
    if (outcome == SnapshotSession::Outcome::Cancelled)
        return Fail(EXIT_CANCELLED, "snapshot cancelled (" + session.Error() + ")");
    if (outcome == SnapshotSession::Outcome::Failed) return Fail(EXIT_AGENT_ERROR, "the agent reported: " + session.Error());
    if (!reader.Finish()) return Fail(EXIT_DROPPED, "snapshot stream: " + reader.Error());
    snapshot->source = options.host + ":" + std::to_string(options.port);
    snapshot->graph = loader.Finish();
    snapshot->properties = std::move(loader.properties);
    return EXIT_OK;
}

static int RunReport(const Options& options, const std::vector<std::string>& files, const std::string& output) {
    // --port (or no FILE at all) takes a fresh snapshot in the place of the last FILE.
    bool live = files.empty() || (files.size() == 1 && options.portGiven);
    if (files.size() > 2) return UsageError("report takes one snapshot, or two to compare");
    if (files.size() == 2 && options.portGiven) return UsageError("report compares two snapshots: OLD NEW, or OLD --port P");
    std::vector<ReportSnapshot> snapshots(files.size() + (live ? 1 : 0));
    std::string error;
    for (size_t i = 0; i < files.size(); i++)
        if (!LoadFile(files[i], &snapshots[i], &error)) return Fail(EXIT_FILE, error);
    if (live) {
        int code = LoadLive(options, &snapshots.back());
        if (code != EXIT_OK) return code;
    }
    std::string page = RenderReportPage(snapshots.size() == 1 ? SnapshotReport(snapshots[0])
                                                              : ComparisonReport(snapshots[0], snapshots[1]));
    FILE* file = fopen(output.c_str(), "wb");
    if (!file) return Fail(EXIT_FILE, "cannot create " + output + ": " + strerror(errno));
    bool written = fwrite(page.data(), 1, page.size(), file) == page.size();
    if (fclose(file) != 0 || !written) return Fail(EXIT_FILE, "cannot write " + output + ": " + strerror(errno));
    printf("report written to %s (%.1f KiB)\n", output.c_str(), static_cast<double>(page.size()) / 1024);
    return EXIT_OK;
}

static CommandRun DefineReport(CLI::App& command) {
    auto files = std::make_shared<std::vector<std::string>>();
    auto output = std::make_shared<std::string>("report.html");
    command.add_option("FILE", *files,
                       "a saved snapshot stream, or OLD NEW to compare two; with --port (or none) a fresh snapshot "
                       "from the agent stands for the last one")
        ->check(NonEmpty);
    command.add_option("-o", *output, "write the page to FILE (default report.html)")
        ->option_text("FILE")
        ->check(NonEmpty);
    command.footer(
        "The page is one HTML file with its style and script inline; it fetches nothing and reads\n"
        "without its script. Retained sizes follow vesk top's conventions; pages stay under 2 MiB.");
    return [files, output](const Options& options) { return RunReport(options, *files, *output); };
}

static CommandRegistration registration(
    "report", "write an HTML report of a snapshot, or of what changed between two", DefineReport);

}  // namespace vesk
