#include "report/OpenMetricsText.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vesk {

namespace {

void Family(std::string& text, const char* name, const char* unit, const char* help) {
    text += std::string("# TYPE ") + name + " gauge\n";
    if (unit) text += std::string("# UNIT ") + name + " " + unit + "\n";
    text += std::string("# HELP ") + name + " " + help + "\n";
}

}  // namespace

std::string MetricsLabel(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string OpenMetricsText(int64_t heapUsed, int64_t pauseMillis, const ClassGrowth& growth, size_t top) {
    std::vector<ClassGrowth::Row> rows = growth.Rows();
    std::vector<const ClassGrowth::Row*> shown;
    for (const ClassGrowth::Row& row : rows)
        if (row.bytes > 0 || row.growing) shown.push_back(&row);
    std::stable_sort(shown.begin(), shown.end(),
                     [](const ClassGrowth::Row* a, const ClassGrowth::Row* b) { return a->bytes > b->bytes; });
    // The top by bytes, and the growing ones wherever they stand.
    std::vector<const ClassGrowth::Row*> kept;
    for (size_t i = 0; i < shown.size(); i++)
        if (i < top || shown[i]->growing) kept.push_back(shown[i]);

    std::string text;
    Family(text, "vesk_heap_used_bytes", "bytes", "Heap in use at the last sample (RUNTIME total minus free).");
    text += "vesk_heap_used_bytes " + std::to_string(heapUsed) + "\n";
    Family(text, "vesk_sample_pause_seconds", "seconds", "The JVM's pause for the last sample's heap pass.");
    char pause[32];
    snprintf(pause, sizeof pause, "%.3f", static_cast<double>(pauseMillis) / 1000.0);
    text += std::string("vesk_sample_pause_seconds ") + pause + "\n";
    struct PerClass {
        const char* name;
        const char* unit;
        const char* help;
        int64_t (*value)(const ClassGrowth::Row&);
    };
    const PerClass families[] = {
        {"vesk_class_bytes", "bytes", "Bytes of the class's instances, for the top classes by bytes and the growing ones.",
         [](const ClassGrowth::Row& row) { return row.bytes; }},
        {"vesk_class_instances", nullptr, "Instances of the class, for the same classes.",
         [](const ClassGrowth::Row& row) { return row.instances; }},
        {"vesk_class_growing", nullptr, "1 when the class's bytes keep growing over the window, else 0.",
         [](const ClassGrowth::Row& row) { return static_cast<int64_t>(row.growing); }},
    };
    for (const PerClass& family : families) {
        Family(text, family.name, family.unit, family.help);
        for (const ClassGrowth::Row* row : kept)
            text += std::string(family.name) + "{class=\"" + MetricsLabel(row->name) + "\"} " +
                    std::to_string(family.value(*row)) + "\n";
    }
    return text + "# EOF\n";
}

}  // namespace vesk
