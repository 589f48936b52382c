#include "report/TrendPage.h"

#include <algorithm>
#include <cstdio>

#include "base/LocalTime.h"
#include "report/HtmlText.h"
#include "report/ReportAssets.h"

namespace vesk {

namespace {

constexpr int WIDTH = 720, HEIGHT = 200, LEFT = 80, BOTTOM = 24, TOP = 10;

// One series over the sample times as a line chart.
std::string Chart(const std::string& label, const std::vector<int64_t>& times, const std::vector<int64_t>& values) {
    int64_t low = values.empty() ? 0 : *std::min_element(values.begin(), values.end());
    int64_t high = values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    if (high == low) high = low + 1;
    int64_t first = times.empty() ? 0 : times.front(), last = times.empty() ? 1 : times.back();
    if (last == first) last = first + 1;
    std::string points;
    for (size_t i = 0; i < values.size() && i < times.size(); i++) {
        double x = LEFT + static_cast<double>(times[i] - first) / static_cast<double>(last - first) * (WIDTH - LEFT - 10);
        double y = TOP + (1.0 - static_cast<double>(values[i] - low) / static_cast<double>(high - low)) *
                             (HEIGHT - TOP - BOTTOM);
        char point[48];
        snprintf(point, sizeof point, "%s%.1f,%.1f", points.empty() ? "" : " ", x, y);
        points += point;
    }
    std::string svg = "<svg viewBox=\"0 0 " + std::to_string(WIDTH) + " " + std::to_string(HEIGHT) +
                      "\" width=\"" + std::to_string(WIDTH) + "\" height=\"" + std::to_string(HEIGHT) +
                      "\" role=\"img\" aria-label=\"" + EscapeHtml(label) + "\">";
    int axisY = HEIGHT - BOTTOM;
    svg += "<line x1=\"" + std::to_string(LEFT) + "\" y1=\"" + std::to_string(TOP) + "\" x2=\"" +
           std::to_string(LEFT) + "\" y2=\"" + std::to_string(axisY) + "\" stroke=\"#9aa5b1\"/>";
    svg += "<line x1=\"" + std::to_string(LEFT) + "\" y1=\"" + std::to_string(axisY) + "\" x2=\"" +
           std::to_string(WIDTH - 10) + "\" y2=\"" + std::to_string(axisY) + "\" stroke=\"#9aa5b1\"/>";
    svg += "<text x=\"4\" y=\"" + std::to_string(TOP + 10) + "\">" + EscapeHtml(FormatBytes(high)) + "</text>";
    svg += "<text x=\"4\" y=\"" + std::to_string(axisY) + "\">" + EscapeHtml(FormatBytes(low)) + "</text>";
    svg += "<text x=\"" + std::to_string(LEFT) + "\" y=\"" + std::to_string(HEIGHT - 6) + "\">" +
           EscapeHtml(LocalTimeText(first)) + "</text>";
    svg += "<text x=\"" + std::to_string(WIDTH - 130) + "\" y=\"" + std::to_string(HEIGHT - 6) + "\">" +
           EscapeHtml(LocalTimeText(last)) + "</text>";
    svg += "<polyline fill=\"none\" stroke=\"#a32116\" stroke-width=\"2\" points=\"" + points + "\"/></svg>";
    return svg;
}

}  // namespace

std::string RenderTrendPage(const TrendContent& content) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
        EscapeHtml(content.title) + "</title>\n<style>\n" + REPORT_CSS + "</style>\n</head>\n<body>\n<header>\n<h1>" +
        EscapeHtml(content.title) + "</h1>\n<table class=\"facts\">";
    auto fact = [&](const std::string& name, const std::string& value) {
        page += "<tr><th>" + EscapeHtml(name) + "</th><td>" + EscapeHtml(value) + "</td></tr>";
    };
    fact("samples", FormatGrouped(static_cast<int64_t>(content.times.size())));
    if (!content.times.empty()) {
        fact("from", LocalTimeText(content.times.front()));
        fact("to", LocalTimeText(content.times.back()));
    }
    fact("growing classes", FormatGrouped(static_cast<int64_t>(content.classes.size())));
    page += "</table>\n</header>\n<main>\n";
    if (content.classes.empty())
        page += "<p class=\"note\">No class was flagged as growing in these samples.</p>\n";
    for (const TrendLine& line : content.classes) {
        int64_t change = line.values.empty() ? 0 : line.values.back() - line.values.front();
        page += "<h2 class=\"name\">" + EscapeHtml(line.name) + "</h2>\n<p><span class=\"grow\">" +
                EscapeHtml((change >= 0 ? "+" : "-") + FormatBytes(change >= 0 ? change : -change)) +
                "</span> over the samples, " +
                EscapeHtml(FormatBytes(line.values.empty() ? 0 : line.values.back())) + " at the last.</p>\n" +
                Chart(line.name, content.times, line.values) + "\n";
    }
    page += "<h2>Heap used</h2>\n" + Chart("heap used", content.times, content.heapUsed) + "\n";
    return page + "</main>\n</body>\n</html>\n";
}

}  // namespace vesk
