// What the explorer's API costs in process: opens FILE (and NEW) as vesk
// serve does (the index when present), then times --calls calls of each
// kind on random objects and pages. Prints one JSON line: objects, the
// opening time, each call's first (what it builds on first use) and its
// median and 95th percentile afterwards, and the peak resident set after
// the opening, after each kind of call and at the end, and what is resident
// after each kind.
// With --call PATH?QUERY it prints that call's document instead.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/ClientError.h"
#include "explore/ExploreApi.h"

using Clock = std::chrono::steady_clock;
using Query = std::map<std::string, std::string>;

static double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

static long MaxRssKib() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// What is resident now: the steady state, where the peak may be a call's scratch.
static long RssKib() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(statm);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static nlohmann::json Call(const vesk::ExploreApi& api, const std::string& path, const Query& query) {
    vesk::ApiAnswer answer = api.Handle(path, query);
    if (answer.status != 200) throw std::runtime_error(path + ": " + answer.body);
    return nlohmann::json::parse(answer.body);
}

// "/api/x?a=1&b=2" as path and query (no escapes: the bench's own calls).
static std::pair<std::string, Query> Split(const std::string& call) {
    size_t mark = call.find('?');
    Query query;
    std::string rest = mark == std::string::npos ? "" : call.substr(mark + 1);
    for (size_t at = 0; at < rest.size();) {
        size_t end = rest.find('&', at);
        if (end == std::string::npos) end = rest.size();
        std::string pair = rest.substr(at, end - at);
        size_t eq = pair.find('=');
        query[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        at = end + 1;
    }
    return {call.substr(0, mark), query};
}

int main(int argc, char** argv) {
    std::vector<std::string> files;
    size_t calls = 200;
    std::string single;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--calls") == 0 && i + 1 < argc) calls = std::stoul(argv[++i]);
        else if (strcmp(argv[i], "--call") == 0 && i + 1 < argc) single = argv[++i];
        else files.push_back(argv[i]);
    }
    if (files.empty() || files.size() > 2) {
        fprintf(stderr, "usage: %s FILE [NEW] [--calls N] [--call PATH?QUERY]\n", argv[0]);
        return 2;
    }
    try {
        Clock::time_point start = Clock::now();
        vesk::HeapInput first(vesk::InputSettings(), files[0], true);
        std::unique_ptr<vesk::HeapInput> second;
        if (files.size() > 1) second = std::make_unique<vesk::HeapInput>(vesk::InputSettings(), files[1], true);
        std::unique_ptr<vesk::ExploreApi> api = vesk::ExploreApi::Open(first, second.get());
        double openMs = Millis(Clock::now() - start);
        long openKib = MaxRssKib();
        if (!single.empty()) {
            auto [path, query] = Split(single);
            vesk::ApiAnswer answer = api->Handle(path, query);
            printf("%d\n%s\n", answer.status, nlohmann::ordered_json::parse(answer.body).dump(2).c_str());
            return 0;
        }
        nlohmann::ordered_json out = {{"objects", Call(*api, "/api/summary", {})["objects"]}, {"open_ms", openMs}, {"open_maxrss_kib", openKib}};

        // Tags to ask about: the top level and what it references, a few levels down.
        std::vector<std::string> tags;
        nlohmann::json top = Call(*api, "/api/children", {{"tag", "root"}, {"limit", "10000"}});
        for (const auto& row : top["rows"]) tags.push_back(row["tag"]);
        std::mt19937_64 random(42);
        for (size_t i = 0; i < 2000 && !tags.empty(); i++) {
            nlohmann::json refs = Call(*api, "/api/refs", {{"tag", tags[random() % tags.size()]}, {"limit", "20"}});
            for (const auto& row : refs["rows"]) tags.push_back(row["tag"]);
        }
        nlohmann::json classes = Call(*api, "/api/histogram", {{"sort", "instances"}, {"limit", "1"}})["rows"];
        std::string largest = classes.empty() ? "" : classes[0]["name"].get<std::string>();
        out["largest_class"] = largest;
        auto tag = [&] { return tags[random() % tags.size()]; };
        auto page = [&] { return std::to_string(random() % 3 * 100); };
        const char* groups[] = {"class", "package", "loader", "superclass"};
        const char* sorts[] = {"retained", "name", "instances", "shallow"};
        std::vector<std::pair<std::string, std::function<Query()>>> kinds = {
            {"/api/summary", [] { return Query(); }},
            {"/api/histogram", [&] { return Query{{"group", groups[random() % 4]}, {"sort", sorts[random() % 4]}, {"offset", page()}}; }},
            {"/api/children", [&] { return Query{{"tag", random() % 4 ? tag() : "root"}, {"group", random() % 2 ? "none" : "class"}}; }},
            {"/api/object", [&] { return Query{{"tag", tag()}}; }},
            {"/api/refs", [&] { return Query{{"tag", tag()}, {"dir", random() % 2 ? "in" : "out"}}; }},
            {"/api/path", [&] { return Query{{"tag", tag()}}; }},
            {"/api/instances", [&] { return Query{{"class", largest}, {"offset", page()}}; }},
            {"/api/threads", [] { return Query(); }},
            {"/api/suspects", [] { return Query(); }},
            {"/api/merged-paths", [&] { return Query{{"class", largest}}; }},
            {"/api/immediate-dominators", [&] { return Query{{"class", largest}}; }},
            {"/api/retained-set", [&] { return Query{{"class", largest}}; }},
        };
        if (second) kinds.push_back({"/api/diff", [&] { return Query{{"offset", page()}}; }});
        nlohmann::ordered_json& table = out["calls"];
        for (auto& [path, make] : kinds) {
            // The sets of the largest class take seconds: fewer of them.
            size_t n = path.find("merged") != std::string::npos || path.find("dominators") != std::string::npos ||
                               path.find("retained-set") != std::string::npos
                           ? std::min<size_t>(calls, 10)
                           : calls;
            std::vector<double> times;
            double firstMs = 0;
            for (size_t i = 0; i <= n; i++) {
                Query query = make();
                Clock::time_point begin = Clock::now();
                api->Handle(path, query);
                double ms = Millis(Clock::now() - begin);
                if (i == 0) firstMs = ms;
                else times.push_back(ms);
            }
            std::sort(times.begin(), times.end());
            table[path] = {{"first_ms", firstMs},
                           {"p50_ms", times[times.size() / 2]},
                           {"p95_ms", times[std::min(times.size() - 1, times.size() * 95 / 100)]},
                           {"maxrss_kib", MaxRssKib()},
                           {"rss_kib", RssKib()}};
        }
        out["maxrss_kib"] = MaxRssKib();
        printf("%s\n", out.dump().c_str());
    } catch (const std::exception& e) {
        fprintf(stderr, "vesk_explore_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
