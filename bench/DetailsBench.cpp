// What an input's details cost: reads FILE as a command does (its index when
// present), opens its details unless --graph-only, then asks the fields of
// --calls random objects. Prints one JSON line: objects, peak resident KiB,
// the details' opening time, and Fields' median and 95th percentile.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/ClientError.h"
#include "load/HeapDetails.h"
#include "load/HeapInput.h"

using Clock = std::chrono::steady_clock;

static double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [--graph-only] [--calls N]\n", argv[0]);
        return 2;
    }
    bool graphOnly = false;
    size_t calls = 1000;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--graph-only") == 0)
            graphOnly = true;
        else if (strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            calls = std::stoul(argv[++i]);
    }
    try {
        vesk::HeapInput input(vesk::InputSettings(), argv[1], true);
        vesk::HeapGraph graph = input.Graph();
        std::unique_ptr<vesk::DominatorTree> tree = input.Tree(graph);
        double openMs = 0, median = 0, p95 = 0;
        if (!graphOnly) {
            Clock::time_point start = Clock::now();
            std::unique_ptr<vesk::HeapDetails> details = vesk::OpenDetails(input, graph);
            openMs = Micros(Clock::now() - start) / 1000;
            std::mt19937_64 random(42);
            std::vector<double> times;
            for (size_t i = 0; i < calls; i++) {
                vesk::NodeId node = static_cast<vesk::NodeId>(random() % graph.NodeCount());
                Clock::time_point begin = Clock::now();
                std::vector<vesk::FieldView> fields = details->Fields(node, 0, 100);
                times.push_back(Micros(Clock::now() - begin));
            }
            std::sort(times.begin(), times.end());
            median = times[times.size() / 2];
            p95 = times[times.size() * 95 / 100];
        }
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        printf(
            "{\"objects\": %llu, \"maxrss_kib\": %ld, \"open_ms\": %.1f, \"fields_median_us\": %.1f, "
            "\"fields_p95_us\": %.1f}\n",
            static_cast<unsigned long long>(graph.ObjectCount()), usage.ru_maxrss, openMs, median, p95);
    } catch (const vesk::ClientError& e) {
        fprintf(stderr, "vesk_details_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
