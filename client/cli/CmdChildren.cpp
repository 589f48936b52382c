// vesk children: the dominator tree one level down from an object or from
// the virtual root, largest retained first, or grouped by class.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "explore/ExploreApi.h"
#include "heap/HeapText.h"
#include "term/InterruptGuard.h"
#include "term/ProgressDisplay.h"

namespace vesk {

struct ChildrenArgs {
    std::string file;
    std::string tag;
    std::string group = "none";
    std::string className;
    size_t count = 20;
    size_t offset = 0;
    bool json = false;
    bool bytes = false;
};

static void RunChildren(const Options& options, ChildrenArgs args) {
    InterruptExit cancel("children cancelled (Ctrl-C)", EXIT_CANCELLED);
    if (options.portGiven && args.tag.empty()) std::swap(args.tag, args.file);
    if (args.tag.empty()) throw UsageError("give TAG (as vesk top prints it) or root");
    ProgressDisplay progress("children");
    HeapInput input(InputOf(options), args.file, true, progress);
    std::unique_ptr<ExploreApi> api = ExploreApi::Open(input, nullptr, progress);
    progress.Stop();
    std::map<std::string, std::string> query = {{"tag", args.tag},
                                                {"group", args.group},
                                                {"offset", std::to_string(args.offset)},
                                                {"limit", std::to_string(args.count)}};
    if (!args.className.empty()) query["class"] = args.className;
    std::string text = ApiDocument(*api, "/api/children", query);
    if (args.json) {
        printf("%s\n", nlohmann::ordered_json::parse(text).dump(2).c_str());
        return;
    }
    nlohmann::json doc = nlohmann::json::parse(text);
    bool exact = args.bytes;
    size_t total = doc["total"].get<size_t>();
    size_t shown = doc["rows"].size();
    const char* what = args.group == "class" ? (total == 1 ? "class of objects" : "classes of objects")
                                             : (total == 1 ? "object" : "objects");
    printf("%zu %s dominated by %s", total, what,
           args.tag == "root" ? "the virtual root" : args.tag.c_str());
    if (shown < total) printf(" (rows %zu to %zu)", args.offset + 1, args.offset + shown);
    printf("\n");
    if (args.group == "class") {
        printf("      #objects        shallow       retained  class\n");
        for (const nlohmann::json& row : doc["rows"])
            printf("%14lld %14s %14s  %s\n", row["count"].get<long long>(),
                   SizeText(row["shallow"].get<uint64_t>(), exact).c_str(),
                   SizeText(row["retained"].get<uint64_t>(), exact).c_str(), row["class"].get<std::string>().c_str());
        return;
    }
    printf("      retained        shallow   children  class  tag\n");
    for (const nlohmann::json& row : doc["rows"])
        printf("%14s %14s %10lld  %s  %s\n", SizeText(row["retained"].get<uint64_t>(), exact).c_str(),
               SizeText(row["shallow"].get<uint64_t>(), exact).c_str(), row["children"].get<long long>(),
               row["class"].get<std::string>().c_str(), row["tag"].get<std::string>().c_str());
}

static CommandRun DefineChildren(CLI::App& command) {
    auto args = std::make_shared<ChildrenArgs>();
    command.add_option("FILE", args->file, "a saved snapshot stream or HPROF file (or --port for the live heap: " LIVE_ROUTE ")")
        ->check(NonEmpty);
    command.add_option("TAG", args->tag, "the object's tag, as vesk top prints it, or root: the virtual root");
    command.add_option("--group", args->group, "class: one row per class of the children")
        ->check(CLI::IsMember({"none", "class"}))
        ->option_text("class");
    command.add_option("--class", args->className, "only the children of this class (a --group class row opened)")
        ->option_text("NAME");
    command.add_option("--offset", args->offset, "the first row listed (default 0)")->check(DecimalRange(0, 4000000000L));
    AddRowOptions(command, args->count, "how many rows (default 20)", args->json, args->bytes, 10000);
    command.footer("--json prints the explorer API's document /api/children (docs/api.md).");
    return [args](const Options& options) { RunChildren(options, *args); };
}

static CommandRegistration registration("children", "the dominator tree one level down from an object or the root",
                                        DefineChildren);

}  // namespace vesk
