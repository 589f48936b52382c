// vesk report: one self-contained HTML page showing a snapshot (treemap of
// retained sizes, class histogram, paths from GC roots, threads), or what
// changed between two.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "cli/Commands.h"
#include "load/HeapInput.h"
#include "report/HeapReport.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"
#include "term/OutputFile.h"

namespace vesk {

static void RunReport(const Options& options, const std::vector<std::string>& files, const std::string& output) {
    // --port (or no FILE at all) takes a fresh snapshot in the place of the last FILE.
    bool live = files.empty() || (files.size() == 1 && options.portGiven);
    if (files.size() > 2) throw UsageError("report takes one snapshot, or two to compare");
    if (files.size() == 2 && options.portGiven)
        throw UsageError("report compares two snapshots: OLD NEW, or OLD --port P");
    // Ctrl-C ends the program at once until the page is about to be written.
    std::optional<InterruptExit> cancel;
    cancel.emplace("report cancelled (Ctrl-C); nothing written", EXIT_CANCELLED);
    ProgressDisplay progress("report");
    std::vector<HeapInput> inputs;
    for (const std::string& file : files) inputs.emplace_back(InputOf(options), file, true, progress);
    if (live) inputs.emplace_back(InputOf(options), "", false, progress);
    // A comparison takes what it shows of the earlier snapshot and lets its
    // graph go before the later one is read.
    std::optional<ReportBaseline> baseline;
    std::string page;
    for (HeapInput& input : inputs) {
        ReportSnapshot snapshot;
        snapshot.source = input.Source();
        snapshot.graph = input.Graph(&snapshot.properties);
        std::unique_ptr<DominatorTree> tree = input.Tree(snapshot.graph);
        snapshot.tree = tree.get();
        if (inputs.size() == 1) page = RenderReportPage(SnapshotReport(snapshot, progress));
        else if (!baseline) baseline = ComparisonBaseline(snapshot);
        else page = RenderReportPage(ComparisonReport(std::move(*baseline), snapshot));
    }
    progress.Stop();
    cancel.reset();
    // Written whole or not at all: a failed write leaves no truncated page.
    OutputFile file(output);
    if (!file.Open()) throw ClientError(ErrorKind::File, "cannot create " + output + ".part: " + strerror(errno));
    if (!file.Write(page) || !file.Commit())
        throw ClientError(ErrorKind::File, "cannot write " + output + ": " + strerror(errno));
    if (output != "-")
        printf("report written to %s (%.1f KiB)\n", output.c_str(), static_cast<double>(page.size()) / 1024);
}

static CommandRun DefineReport(CLI::App& command) {
    auto files = std::make_shared<std::vector<std::string>>();
    auto output = std::make_shared<std::string>("report.html");
    command.add_option("FILE", *files,
                       "a saved snapshot stream or HPROF file, or OLD NEW to compare two; with --port (or none) "
                       "the live heap from the agent (" LIVE_ROUTE ") stands for the last one")
        ->check(NonEmpty);
    command.add_option("-o", *output, "write the page to FILE (default report.html; '-': standard output)")
        ->option_text("FILE")
        ->check(NonEmpty);
    command.footer(
        "The page is one HTML file with its style and script inline; it fetches nothing and reads\n"
        "without its script. Retained sizes follow vesk top's conventions; pages stay under 2 MiB.\n"
        "A comparison names the holders whose retained bytes grew most, matched as diff --retained\n"
        "matches them, with both sizes and the later snapshot's path.");
    return [files, output](const Options& options) { RunReport(options, *files, *output); };
}

static CommandRegistration registration(
    "report", "write an HTML report of a snapshot, or of what changed between two", DefineReport);

}  // namespace vesk
