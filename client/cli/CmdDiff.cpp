// vesk diff: what grew between two snapshots, class by class.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "heap/DominatorTree.h"
#include "heap/HeapDiff.h"
#include "cli/SnapshotInput.h"
#include "heap/HeapText.h"
#include "term/InterruptGuard.h"

namespace vesk {

struct DiffArgs {
    std::string before;
    std::string after;
    size_t count = 50;
    bool retained = false;
    bool json = false;
    bool bytes = false;
};

// Instances and bytes per class: a snapshot header's figures, which need no
// more of the stream; with retained sizes, the whole graph's.
static std::vector<ClassTotals> Totals(const SnapshotInput& input, bool retained) {
    if (retained) {
        HeapGraph graph = input.Graph();
        return input.Tree(graph)->ByClass();
    }
    std::vector<ClassTotals> rows;
    for (const ClassCount& count : input.Histogram()) rows.push_back({count.name, count.instances, count.bytes, -1});
    return rows;
}

// -1: not computed (never expected with --retained), printed as the number.
static std::string Size(int64_t bytes, bool exact) {
    return bytes < 0 ? std::to_string(bytes) : SizeText(static_cast<uint64_t>(bytes), exact);
}

static void RunDiff(const Options& options, const DiffArgs& args) {
    // With --port the new snapshot is taken now.
    if (args.after.empty() && !options.portGiven) throw UsageError("give OLD and NEW, or OLD and --port");
    InterruptExit cancel("diff cancelled (Ctrl-C)", EXIT_CANCELLED);
    // Both inputs are looked at before the first is read: a wrong second
    // file is reported at once.
    SnapshotInput first(options, args.before, true), second(options, args.after, false);
    std::vector<ClassTotals> before = Totals(first, args.retained);
    std::vector<ClassTotals> after = Totals(second, args.retained);

    std::vector<ClassDelta> rows = DiffClasses(before, after);
    if (rows.size() > args.count) rows.resize(args.count);
    if (args.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const ClassDelta& row : rows) {
            nlohmann::ordered_json entry = {{"name", row.name},
                                            {"instancesBefore", row.before.instances},
                                            {"instancesAfter", row.after.instances},
                                            {"bytesBefore", row.before.bytes},
                                            {"bytesAfter", row.after.bytes}};
            if (args.retained) {
                entry["retainedBefore"] = row.before.retained;
                entry["retainedAfter"] = row.after.retained;
            }
            out.push_back(entry);
        }
        printf("%s\n", out.dump(2).c_str());
        return;
    }
    printf("    #inst old     #inst new   #inst +/-      bytes old      bytes new      bytes +/-");
    if (args.retained) printf("   retained old   retained new   retained +/-");
    printf("  class name\n");
    for (const ClassDelta& row : rows) {
        printf("%13" PRId64 " %13" PRId64 " %+11" PRId64 " %14s %14s %14s", row.before.instances, row.after.instances,
               row.InstanceGrowth(), Size(row.before.bytes, args.bytes).c_str(),
               Size(row.after.bytes, args.bytes).c_str(), SizeChangeText(row.ByteGrowth(), args.bytes).c_str());
        if (args.retained)
            printf(" %14s %14s %14s", Size(row.before.retained, args.bytes).c_str(),
                   Size(row.after.retained, args.bytes).c_str(),
                   SizeChangeText(row.RetainedGrowth(), args.bytes).c_str());
        printf("  %s\n", row.name.c_str());
    }
}

static CommandRun DefineDiff(CLI::App& command) {
    auto args = std::make_shared<DiffArgs>();
    command.add_option("OLD", args->before, "the earlier saved snapshot stream or HPROF file")
        ->required()
        ->check(NonEmpty);
    command.add_option("NEW", args->after, "the later one (or --port to take it now)")->check(NonEmpty);
    command.add_flag("--retained", args->retained, "add retained sizes (reads the whole snapshots)");
    AddRowOptions(command, args->count, "how many classes (default 50)", args->json, args->bytes);
    return [args](const Options& options) { RunDiff(options, *args); };
}

static CommandRegistration registration("diff", "per class, what grew between two snapshots", DefineDiff);

}  // namespace vesk
