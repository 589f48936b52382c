// vesk watch: the agent's HISTOGRAM every interval, each sample one JSON
// line, the classes that keep growing flagged (heap/ClassGrowth); on a
// terminal one screen redrawn per sample; --metrics serves the last sample
// to Prometheus; --report draws a saved series as a page.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/File.h"
#include "cli/Commands.h"
#include "cli/MetricsServer.h"
#include "heap/ClassGrowth.h"
#include "heap/HeapText.h"
#include "protocol/HistogramRequest.h"
#include "report/OpenMetricsText.h"
#include "report/TrendPage.h"
#include "term/InterruptGuard.h"
#include "term/OutputFile.h"

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

struct WatchArgs {
    std::string every = "60s";
    size_t count = 0;  // 0: no limit
    std::string forText;
    std::string output;
    bool live = false;
    size_t window = ClassGrowth::DEFAULT_WINDOW;
    std::string metrics;
    size_t top = 50;
    std::string report;
};

// "500ms", "60s", "5m", "2h"; a bare number is seconds. -1 when it is none.
int64_t DurationMillis(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) digits++;
    if (digits == 0 || digits > 12) return -1;
    int64_t value = std::stoll(text.substr(0, digits));
    std::string unit = text.substr(digits);
    if (unit == "ms") return value;
    if (unit.empty() || unit == "s") return value * 1000;
    if (unit == "m") return value * 60 * 1000;
    if (unit == "h") return value * 3600 * 1000;
    return -1;
}

const CLI::Validator Duration(
    [](std::string& text) -> std::string {
        return DurationMillis(text) > 0 ? "" : "expected a duration such as 500ms, 60s, 5m or 2h, not '" + text + "'";
    },
    "DURATION");

std::vector<ClassTotals> Classes(const HistogramSample& sample) {
    std::vector<ClassTotals> classes;
    classes.reserve(sample.classes.size());
    for (const HistogramClass& cls : sample.classes) classes.push_back({cls.name, cls.instances, cls.bytes});
    return classes;
}

// One sample as a JSON line: the growing classes first, then every class by bytes.
std::string SampleLine(const HistogramSample& sample, const std::vector<std::string>& growing) {
    nlohmann::ordered_json line = {{"time", sample.timeMillis},       {"heapUsed", sample.heapUsed},
                                   {"heapCommitted", sample.heapCommitted}, {"pauseMs", sample.passMillis},
                                   {"instances", sample.totalInstances}, {"bytes", sample.totalBytes},
                                   {"growing", growing}};
    if (sample.gcMillis > 0) line["gcMs"] = sample.gcMillis;
    std::vector<const HistogramClass*> rows;
    for (const HistogramClass& cls : sample.classes) rows.push_back(&cls);
    std::sort(rows.begin(), rows.end(), [](const HistogramClass* a, const HistogramClass* b) {
        return a->bytes != b->bytes ? a->bytes > b->bytes : a->name < b->name;
    });
    nlohmann::ordered_json& classes = line["classes"] = nlohmann::ordered_json::array();
    for (const HistogramClass* cls : rows)
        classes.push_back({{"name", cls->name}, {"instances", cls->instances}, {"bytes", cls->bytes}});
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Sparkline(const std::vector<int64_t>& values) {
    static const char* const BARS[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    if (values.empty()) return "";
    auto [low, high] = std::minmax_element(values.begin(), values.end());
    std::string line;
    for (int64_t value : values) {
        int bar = *high == *low ? 0 : static_cast<int>((value - *low) * 7 / (*high - *low));
        line += BARS[bar];
    }
    return line;
}

int TerminalRows() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 6) return size.ws_row;
    return 24;
}

void DrawScreen(const std::string& source, const HistogramSample& sample, const ClassGrowth& growth,
                size_t window) {
    std::string screen = "\x1b[H\x1b[2J";
    char head[256];
    snprintf(head, sizeof head, "vesk watch %s: sample %zu, heap used %s of %s, pause %lld ms, window %zu\n\n",
             source.c_str(), growth.Samples(), SizeText(static_cast<uint64_t>(sample.heapUsed)).c_str(),
             SizeText(static_cast<uint64_t>(sample.heapCommitted)).c_str(),
             static_cast<long long>(sample.passMillis), window);
    screen += head;
    snprintf(head, sizeof head, "%-8s %12s %12s  %-20s  %s\n", "growing", "bytes", "change", "trend", "class");
    screen += head;
    int room = TerminalRows() - 5;
    for (const ClassGrowth::Row& row : growth.Rows()) {
        if (room-- <= 0) break;
        char line[192];
        snprintf(line, sizeof line, "%-8s %12s %12s  ", row.growing ? "  *" : "",
                 SizeText(static_cast<uint64_t>(row.bytes)).c_str(), SizeChangeText(row.change).c_str());
        std::string spark = Sparkline(row.recent);
        // Pad by characters: each bar is three bytes of UTF-8.
        spark += std::string(ClassGrowth::HISTORY - row.recent.size(), ' ');
        screen += line + spark + "  " + row.name + "\n";
    }
    fputs(screen.c_str(), stdout);
    fflush(stdout);
}

std::string SummaryText(const ClassGrowth& growth, int64_t elapsedMillis) {
    std::string text = "vesk watch: " + std::to_string(growth.Samples()) + " samples over " +
                       std::to_string((elapsedMillis + 500) / 1000) + " s; ";
    std::vector<std::string> growing;
    for (const ClassGrowth::Row& row : growth.Rows())
        if (row.growing) growing.push_back(row.name + " (" + SizeChangeText(row.windowRise) + ")");
    if (growing.empty()) return text + "no class is growing\n";
    text += "growing: ";
    for (size_t i = 0; i < growing.size(); i++) text += (i ? ", " : "") + growing[i];
    return text + "\n";
}

// The page of --report: every class a sample flagged, its bytes in every sample.
void WriteTrendPage(const std::string& samplesPath, const std::string& pagePath) {
    std::ifstream in(samplesPath);
    if (!in) throw ClientError(ErrorKind::File, "cannot read " + samplesPath);
    TrendContent content;
    content.title = "vesk watch: " + samplesPath;
    std::vector<std::map<std::string, int64_t>> bytes;
    std::map<std::string, size_t> flagged;  // name -> order of first flagging
    std::string text;
    for (size_t number = 1; std::getline(in, text); number++) {
        if (text.empty()) continue;
        nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
        if (line.is_discarded() || !line.is_object() || !line.contains("time") || !line.contains("classes"))
            throw ClientError(ErrorKind::File, samplesPath + ":" + std::to_string(number) + ": not a sample of vesk watch");
        content.times.push_back(line.value("time", int64_t(0)));
        content.heapUsed.push_back(line.value("heapUsed", int64_t(0)));
        std::map<std::string, int64_t>& sample = bytes.emplace_back();
        for (const auto& cls : line["classes"]) sample[cls.value("name", "")] += cls.value("bytes", int64_t(0));
        if (line.contains("growing"))
            for (const auto& name : line["growing"]) flagged.emplace(name.get<std::string>(), flagged.size());
    }
    if (content.times.empty()) throw ClientError(ErrorKind::File, samplesPath + " holds no sample");
    for (const auto& [name, order] : flagged) {
        TrendLine line{name, {}};
        for (const auto& sample : bytes) {
            auto found = sample.find(name);
            line.values.push_back(found == sample.end() ? 0 : found->second);
        }
        content.classes.push_back(std::move(line));
    }
    std::sort(content.classes.begin(), content.classes.end(), [](const TrendLine& a, const TrendLine& b) {
        int64_t grewA = a.values.back() - a.values.front(), grewB = b.values.back() - b.values.front();
        return grewA != grewB ? grewA > grewB : a.name < b.name;
    });
    OutputFile page(pagePath);
    if (!page.Open() || !page.Write(RenderTrendPage(content)) || !page.Commit())
        throw ClientError(ErrorKind::File, "cannot write " + pagePath + ": " + strerror(errno));
    fprintf(stderr, "vesk watch: %zu samples, %zu growing classes drawn into %s\n", content.times.size(),
            content.classes.size(), pagePath.c_str());
}

// Waits until the deadline; false once Ctrl-C was pressed.
bool WaitUntil(Clock::time_point deadline, const InterruptGuard& interrupt) {
    while (Clock::now() < deadline) {
        if (interrupt.Presses() > 0) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(Millis(100), deadline - Clock::now()));
    }
    return interrupt.Presses() == 0;
}

void RunWatch(const Options& options, const WatchArgs& args) {
    if (!args.report.empty()) {
        if (args.output.empty()) throw UsageError("--report needs -o FILE.html");
        WriteTrendPage(args.report, args.output);
        return;
    }
    int64_t everyMillis = DurationMillis(args.every);
    int64_t forMillis = args.forText.empty() ? -1 : DurationMillis(args.forText);
    std::string source = options.host + ":" + std::to_string(options.port);

    File output;
    if (!args.output.empty()) output = File::Open(args.output, "a");
    bool screen = isatty(STDOUT_FILENO);
    FILE* lines = output ? output.Get() : screen ? nullptr : stdout;

    std::unique_ptr<MetricsServer> metrics;
    if (!args.metrics.empty()) metrics = std::make_unique<MetricsServer>(args.metrics);

    InterruptGuard interrupt;
    ClassGrowth growth(args.window);
    Clock::time_point start = Clock::now();
    for (size_t taken = 0;; taken++) {
        Clock::time_point next = start + Millis(everyMillis * static_cast<int64_t>(taken));
        if (forMillis >= 0 && next - start > Millis(forMillis)) break;
        if (args.count && taken >= args.count) break;
        if (!WaitUntil(next, interrupt)) break;
        HistogramSample sample;
        try {
            VeskClient client = ConnectClient(options);
            if (!RequestHistogram(client, args.live, sample))
                throw ClientError(ErrorKind::AgentReported,
                                  "the agent does not know HISTOGRAM (an older agent); vesk watch needs it");
        } catch (const ClientError& e) {
            // Another client being served is no reason to stop watching.
            if (e.Kind() != ErrorKind::Rejected) throw;
            fprintf(stderr, "vesk watch: sample skipped: %s\n", e.what());
            continue;
        }
        growth.Add(sample.heapUsed, Classes(sample));
        std::vector<std::string> growing = growth.Growing();
        if (lines) {
            fprintf(lines, "%s\n", SampleLine(sample, growing).c_str());
            fflush(lines);
        }
        if (screen) DrawScreen(source, sample, growth, args.window);
        if (metrics) metrics->Publish(OpenMetricsText(sample.heapUsed, sample.passMillis, growth, args.top));
    }
    int64_t elapsed = std::chrono::duration_cast<Millis>(Clock::now() - start).count();
    fputs(SummaryText(growth, elapsed).c_str(), stderr);
}

CommandRun DefineWatch(CLI::App& command) {
    auto args = std::make_shared<WatchArgs>();
    command.add_option("--every", args->every, "time between samples (default 60s)")->check(Duration);
    command.add_option("--count", args->count, "stop after N samples")->check(DecimalRange(1, 100000000));
    command.add_option("--for", args->forText, "stop after this long")->option_text("DURATION")->check(Duration);
    command.add_option("-o", args->output,
                       "append the samples to FILE.jsonl (default: stdout when it is not a terminal); "
                       "with --report, the page to write");
    command.add_flag("--live", args->live, "a full collection before each sample (garbage not counted)");
    command.add_option("--window", args->window, "samples a class is judged over (default 10)")
        ->check(DecimalRange(2, 10000));
    command.add_option("--metrics", args->metrics,
                       "serve GET /metrics in the OpenMetrics text format on ADDRESS:PORT (127.0.0.1:9464)")
        ->option_text("ADDRESS:PORT");
    command.add_option("--top", args->top, "classes in the metrics, by bytes (default 50)")
        ->check(DecimalRange(1, 100000));
    command.add_option("--report", args->report, "draw the growing classes of a saved FILE.jsonl into -o FILE.html")
        ->option_text("FILE.jsonl");
    command.footer(
        "Each sample is the agent's HISTOGRAM (one pass over the heap, no walk) and RUNTIME, written as\n"
        "one JSON line: time, heapUsed, heapCommitted, pauseMs, instances, bytes, growing, classes.\n"
        "A class is growing when, over the last --window samples (at least 3), its bytes rose in at\n"
        "least 80 % of the intervals and by at least 1 % of the heap used at the window's first sample;\n"
        "growing classes come first. On a terminal the screen shows the classes that grew most.\n"
        "Ctrl-C ends the watch with a summary (exit status 0).\n"
        "Example: vesk --pid 1234 watch --every 30s -o heap.jsonl --metrics 127.0.0.1:9464");
    return [args](const Options& options) { RunWatch(options, *args); };
}

CommandRegistration registration("watch", "sample the class histogram and flag the classes that keep growing",
                                 DefineWatch);

}  // namespace

}  // namespace vesk
