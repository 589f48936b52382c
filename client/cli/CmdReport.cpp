// vesk report: one self-contained HTML page showing a snapshot (treemap of
// retained sizes, class histogram, paths from GC roots, threads), or what
// changed between two.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "cli/Commands.h"
#include "report/HeapReport.h"
#include "load/HprofFile.h"
#include "cli/SnapshotInput.h"
#include "load/SnapshotLoader.h"
#include "term/InterruptGuard.h"

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

// A saved snapshot (stream or HPROF file), or a fresh one when path is
// empty, read as it arrives. EXIT_OK, else the exit code (the reason printed).
static int Load(const Options& options, const std::string& path, ReportSnapshot* snapshot) {
    snapshot->source = path.empty() ? options.host + ":" + std::to_string(options.port) : path;
    // An HPROF file has no header properties.
    if (!path.empty() && HprofFile::IsHprof(path)) return LoadGraph(options, path, &snapshot->graph);
    PropertyLoader loader;
    SnapshotReader reader(loader);
    int status = ReadSnapshot(options, path, reader);
    if (status != EXIT_OK) return status;
    snapshot->graph = loader.Finish();
    snapshot->properties = std::move(loader.properties);
    return EXIT_OK;
}

static int RunReport(const Options& options, const std::vector<std::string>& files, const std::string& output) {
    // --port (or no FILE at all) takes a fresh snapshot in the place of the last FILE.
    bool live = files.empty() || (files.size() == 1 && options.portGiven);
    if (files.size() > 2) return UsageError("report takes one snapshot, or two to compare");
    if (files.size() == 2 && options.portGiven) return UsageError("report compares two snapshots: OLD NEW, or OLD --port P");
    std::vector<std::string> paths = files;
    if (live) paths.push_back("");
    // Ctrl-C ends the program at once until the page is about to be written.
    std::optional<InterruptExit> cancel;
    cancel.emplace("report cancelled (Ctrl-C); nothing written", EXIT_CANCELLED);
    std::vector<ReportSnapshot> snapshots(paths.size());
    for (size_t i = 0; i < paths.size(); i++) {
        int status = Load(options, paths[i], &snapshots[i]);
        if (status != EXIT_OK) return status;
    }
    std::string page = RenderReportPage(snapshots.size() == 1 ? SnapshotReport(snapshots[0])
                                                              : ComparisonReport(snapshots[0], snapshots[1]));
    cancel.reset();
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
