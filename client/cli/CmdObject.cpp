// vesk object: one object as the explorer shows it: class, sizes, the chain
// of its dominators, its fields, and the references to or from it.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "explore/ExploreApi.h"
#include "heap/HeapText.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

struct ObjectArgs {
    std::string file;
    std::string tag;
    std::string refs;  // "", "in" or "out"
    size_t count = 20;
    size_t offset = 0;
    bool json = false;
    bool bytes = false;
};

static std::string Size(const nlohmann::json& bytes, bool exact) { return SizeText(bytes.get<uint64_t>(), exact); }

static void PrintObject(const nlohmann::json& doc, bool exact) {
    printf("%s %s: shallow %s, retained %s%s\n", doc["class"].get<std::string>().c_str(),
           doc["tag"].get<std::string>().c_str(), Size(doc["shallow"], exact).c_str(),
           Size(doc["retained"], exact).c_str(), doc["reachable"].get<bool>() ? "" : " (no GC root reaches it)");
    printf("dominated by (nearest first):\n");
    for (const nlohmann::json& up : doc["dominators"])
        printf("  %14s  %s %s\n", Size(up["retained"], exact).c_str(), up["class"].get<std::string>().c_str(),
               up["tag"].get<std::string>().c_str());
    printf("  %14s  (the virtual root over all GC roots)\n", "");
    if (doc.contains("length")) printf("length %lld\n", doc["length"].get<long long>());
    printf("%s%s\n", doc.contains("length") ? "elements" : "fields",
           doc["values"].get<bool>() ? ":" : " (the input carries no values):");
    for (const nlohmann::json& field : doc["fields"]) {
        printf("  %s %s", field["type"].get<std::string>().c_str(), field["name"].get<std::string>().c_str());
        if (field.contains("value")) printf(" = %s", field["value"].get<std::string>().c_str());
        if (field.contains("tag")) printf(" -> %s", field["tag"].get<std::string>().c_str());
        printf("\n");
    }
}

static void PrintRefs(const nlohmann::json& doc, const ObjectArgs& args) {
    size_t total = doc["total"].get<size_t>();
    size_t shown = doc["rows"].size();
    printf("%s %s: %zu", args.refs == "in" ? "referenced by" : "references", args.tag.c_str(), total);
    if (shown < total) printf(" (rows %zu to %zu)", args.offset + 1, args.offset + shown);
    printf("\n");
    for (const nlohmann::json& row : doc["rows"])
        printf("  %-24s %s %s\n", row["via"].get<std::string>().c_str(), row["class"].get<std::string>().c_str(),
               row["tag"].get<std::string>().c_str());
}

static void RunObject(const Options& options, ObjectArgs args) {
    InterruptExit cancel("object cancelled (Ctrl-C)", EXIT_CANCELLED);
    // With --port, a lone positional is the tag.
    if (options.portGiven && args.tag.empty()) std::swap(args.tag, args.file);
    if (args.tag.empty()) throw UsageError("give TAG, the object's tag as vesk top prints it");
    ProgressDisplay progress("object");
    HeapInput input(InputOf(options), args.file, true, progress);
    std::unique_ptr<ExploreApi> api = ExploreApi::Open(input, nullptr, progress);
    progress.Stop();
    std::map<std::string, std::string> query = {
        {"tag", args.tag}, {"offset", std::to_string(args.offset)}, {"limit", std::to_string(args.count)}};
    if (!args.refs.empty()) query["dir"] = args.refs;
    std::string doc = ApiDocument(*api, args.refs.empty() ? "/api/object" : "/api/refs", query);
    if (args.json) {
        printf("%s\n", nlohmann::ordered_json::parse(doc).dump(2).c_str());
        return;
    }
    if (args.refs.empty()) PrintObject(nlohmann::json::parse(doc), args.bytes);
    else PrintRefs(nlohmann::json::parse(doc), args);
}

static CommandRun DefineObject(CLI::App& command) {
    auto args = std::make_shared<ObjectArgs>();
    command.add_option("FILE", args->file, "a saved snapshot stream or HPROF file (or --port for the live heap: " LIVE_ROUTE ")")
        ->check(NonEmpty);
    command.add_option("TAG", args->tag, "the object's tag, as vesk top prints it");
    command.add_option("--refs", args->refs, "the references to the object (in) or from it (out), paged by -n and --offset")
        ->check(CLI::IsMember({"in", "out"}));
    command.add_option("--offset", args->offset, "the first reference (or array element) listed (default 0)")
        ->check(DecimalRange(0, 4000000000L));
    AddRowOptions(command, args->count, "how many references or array elements (default 20)", args->json, args->bytes,
                  10000);
    command.footer("--json prints the explorer API's documents: /api/object, or with --refs /api/refs (docs/api.md).");
    return [args](const Options& options) { RunObject(options, *args); };
}

static CommandRegistration registration("object", "one object: sizes, dominators, fields, references in or out",
                                        DefineObject);

}  // namespace vesk
