#include "report/ReportPage.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "report/HtmlText.h"
#include "report/ReportAssets.h"

namespace vesk {

namespace {

// Shares of the page limit; a section stops adding rows at its share.
const size_t FACTS_SHARE = 96 << 10;
const size_t FINDINGS_SHARE = 96 << 10;
const size_t HOLDERS_SHARE = 96 << 10;
const size_t TREEMAP_SHARE = 720 << 10;
const size_t TABLE_SHARE = 520 << 10;
const size_t PATHS_SHARE = 160 << 10;
const size_t THREADS_SHARE = 140 << 10;
const size_t CHART_SHARE = 48 << 10;
// Kept free for the closing markup and the script.
const size_t TAIL_RESERVE = 32 << 10;

const size_t MAX_NAME_CHARS = 400;
const size_t MAX_FACT_CHARS = 2000;
const size_t MAX_PATH_STEPS = 40;  // longer paths show their two ends
const size_t GROWTH_BARS = 20;
const double LABEL_CHAR_WIDTH = 6.3;  // of the 11px treemap font, roughly

std::string Esc(std::string_view text, size_t maxChars = MAX_NAME_CHARS) {
    return EscapeHtml(FitText(text, maxChars));
}

std::string Num(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    std::string s = text;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}

std::string Signed(int64_t value) { return (value > 0 ? "+" : "") + FormatGrouped(value); }

const char* GrowthClass(int64_t delta) { return delta > 0 ? " grow" : delta < 0 ? " shrink" : ""; }

// The short name of a class for a small label: the part after the package.
std::string_view ShortName(std::string_view name) {
    size_t dot = name.find_last_of('.', name.find('['));
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

// A size for a person, with the exact bytes on hover and for sorting.
std::string BytesCell(int64_t bytes) {
    return "<td class=\"n\" data-v=\"" + std::to_string(bytes) + "\" title=\"" + FormatGrouped(bytes) + " bytes\">" +
           FormatBytes(bytes) + "</td>";
}
std::string BytesDeltaCell(int64_t delta) {
    std::string sign = delta > 0 ? "+" : "";
    return std::string("<td class=\"n") + GrowthClass(delta) + "\" data-v=\"" + std::to_string(delta) + "\" title=\"" +
           sign + FormatGrouped(delta) + " bytes\">" + sign + FormatBytes(delta) + "</td>";
}
std::string ExactTitle(int64_t bytes) { return " title=\"" + FormatGrouped(bytes) + " bytes\""; }

std::string CellColour(const ReportCell& cell) {
    if (cell.cell.node == TreemapCell::OTHER) return "#c9ced5";
    uint32_t hash = 2166136261u;  // FNV-1a: the same class gets the same hue everywhere
    for (unsigned char c : cell.label) hash = (hash ^ c) * 16777619u;
    int lightness = std::max(56, 82 - 7 * cell.cell.depth);
    return "hsl(" + std::to_string(hash % 360) + ",55%," + std::to_string(lightness) + "%)";
}

class PageWriter {
public:
    std::string out;

    void Add(std::string_view text) { out.append(text); }

    // Starts a section's share; Fits says whether a piece still fits in it.
    void StartShare(size_t share) { shareEnd = std::min(out.size() + share, REPORT_PAGE_LIMIT - TAIL_RESERVE); }
    bool Fits(size_t length) const { return out.size() + length <= shareEnd; }
    // Adds a row when it fits; false (and nothing added) when not.
    bool AddRow(const std::string& row) {
        if (!Fits(row.size())) return false;
        out += row;
        return true;
    }
    void More(size_t left, const char* what) {
        if (left) Add("<p class=\"more\">" + FormatGrouped(static_cast<int64_t>(left)) + " more " + what +
                      " not shown (the page is kept small).</p>\n");
    }

private:
    size_t shareEnd = 0;
};

void WriteFacts(PageWriter& page, const ReportContent& content) {
    page.StartShare(FACTS_SHARE);
    page.Add("<table class=\"facts\">\n");
    if (content.factColumns.size() > 1) {
        std::string head = "<thead><tr><th></th>";
        for (const std::string& column : content.factColumns) head += "<th>" + Esc(column) + "</th>";
        page.Add(head + "</tr></thead>\n");
    }
    page.Add("<tbody>\n");
    size_t rows = content.facts.empty() ? 0 : content.facts[0].size();
    for (size_t i = 0; i < rows; i++) {
        // What no source gave (an HPROF file's JVM figures) takes no row.
        bool given = false;
        for (const std::vector<ReportFact>& column : content.facts) given |= i < column.size() && !column[i].value.empty();
        if (!given) continue;
        std::string row = "<tr><th>" + Esc(content.facts[0][i].name) + "</th>";
        for (const std::vector<ReportFact>& column : content.facts)
            row += i >= column.size() ? std::string("<td></td>")
                   : (column[i].exact.empty() ? "<td>" : "<td title=\"" + Esc(column[i].exact, MAX_FACT_CHARS) + "\">") +
                         Esc(column[i].value, MAX_FACT_CHARS) + "</td>";
        if (!page.AddRow(row + "</tr>\n")) break;
    }
    page.Add("</tbody></table>\n");
    for (const std::string& note : content.notes) page.AddRow("<p class=\"note\">" + Esc(note, MAX_FACT_CHARS) + "</p>\n");
}

void WriteTreemap(PageWriter& page, const ReportContent& content) {
    const TreemapOptions& options = content.treemapOptions;
    page.StartShare(TREEMAP_SHARE);
    page.Add("<section id=\"treemap\">\n<h2>Retained memory: the dominator tree's largest subtrees</h2>\n"
             "<p>Each rectangle is an object sized by the bytes it retains, drawn inside the object that "
             "dominates it; small siblings are merged into one \"others\" rectangle per parent, split by class "
             "(\"N \u00D7 class\", their children drawn inside) when it outweighs the rest.</p>\n<div class=\"treemap\">\n"
             "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-label=\"treemap of retained sizes\" "
             "width=\"" + Num(options.width) + "\" height=\"" + Num(options.height) + "\" viewBox=\"0 0 " +
             Num(options.width) + " " + Num(options.height) + "\">\n");
    std::vector<std::vector<size_t>> children(content.treemap.size());
    std::vector<size_t> top;
    for (size_t i = 0; i < content.treemap.size(); i++) {
        int parent = content.treemap[i].cell.parent;
        (parent < 0 ? top : children[static_cast<size_t>(parent)]).push_back(i);
    }
    size_t left = 0;
    std::function<void(size_t)> write = [&](size_t index) {
        const ReportCell& cell = content.treemap[index];
        const TreemapRect& r = cell.cell.rect;
        bool other = cell.cell.node == TreemapCell::OTHER, group = cell.cell.node == TreemapCell::GROUP;
        std::string count = FormatGrouped(static_cast<int64_t>(cell.cell.merged));
        std::string name = other   ? "other (" + count + " objects)"
                           : group ? count + " \u00D7 " + FitText(cell.label, MAX_NAME_CHARS)
                                   : FitText(cell.label, MAX_NAME_CHARS);
        int64_t retained = static_cast<int64_t>(cell.cell.size);
        std::string size = FormatBytes(retained);
        std::string g = "<g class=\"c\" tabindex=\"0\" data-n=\"" + EscapeHtml(name) + "\" data-r=\"" +
                        std::to_string(cell.cell.size) + "\"";
        bool single = !other && !group;
        if (single) g += " data-s=\"" + std::to_string(cell.shallow) + "\"";
        g += "><title>" + EscapeHtml(name) + ": retained " + size + " (" + FormatGrouped(retained) + " bytes)" +
             (single ? ", shallow " + FormatBytes(cell.shallow) + " (" + FormatGrouped(cell.shallow) + " bytes)" : "") +
             "</title><rect x=\"" + Num(r.x) + "\" y=\"" +
             Num(r.y) + "\" width=\"" + Num(r.width) + "\" height=\"" + Num(r.height) + "\" fill=\"" +
             CellColour(cell) + "\"/>";
        size_t fit = r.height >= 13 ? static_cast<size_t>((r.width - 6) / LABEL_CHAR_WIDTH) : 0;
        if (fit >= 3) {
            std::string label = other   ? count + " others"
                                : group ? count + " \u00D7 " + std::string(ShortName(cell.label))
                                        : std::string(ShortName(cell.label));
            g += "<text x=\"" + Num(r.x + 3) + "\" y=\"" + Num(r.y + 11) + "\">" +
                 EscapeHtml(FitText(label + " " + size, fit)) + "</text>";
        }
        if (!page.AddRow(g)) {
            left++;
            return;
        }
        for (size_t child : children[index]) write(child);
        page.Add("</g>\n");
    };
    for (size_t index : top) write(index);
    page.Add("</svg>\n<aside id=\"details\" aria-live=\"polite\"><p>Hover over or focus a rectangle for its "
             "sizes and dominator path.</p></aside>\n</div>\n");
    page.More(left, "rectangles");
    page.Add("</section>\n");
}

// A sortable table of count rows, built one by one while they fit; heads of
// numeric columns start with '#'. row(i) gives the cells of row i. With
// shown below count, the rows after the first shown stay hidden behind a
// "show all" box (no script needed).
void WriteTable(PageWriter& page, const std::string& id, const std::vector<std::string>& heads, size_t count,
                const std::function<std::string(size_t)>& row, const char* what, size_t shown = SIZE_MAX) {
    std::string head;
    if (shown < count)
        head = "<input type=\"checkbox\" class=\"all\" id=\"" + id + "-all\"><label for=\"" + id + "-all\">show all " +
               FormatGrouped(static_cast<int64_t>(count)) + " rows</label>\n";
    head += "<table class=\"sortable\" id=\"" + id + "\"" +
            (shown < count ? " data-shown=\"" + std::to_string(shown) + "\"" : "") + "><thead><tr>";
    for (const std::string& h : heads)
        head += h[0] == '#' ? "<th class=\"n\">" + h.substr(1) + "</th>" : "<th>" + h + "</th>";
    page.Add(head + "</tr></thead>\n<tbody>\n");
    size_t written = 0;
    while (written < count && page.AddRow((written < shown ? "<tr>" : "<tr class=\"extra\">") + row(written) + "</tr>\n"))
        written++;
    page.Add("</tbody></table>\n");
    page.More(count - written, what);
}

// One path as a list item under its title (already escaped), bytes the
// title's on hover; longer paths show their two ends. folded: the path
// behind a disclosure, the title alone showing.
std::string PathItem(const std::string& title, const std::vector<std::string>& steps, int64_t bytes,
                     bool folded = false) {
    std::string item = "<li><h3" + ExactTitle(bytes) + ">" + title + "</h3>\n";
    if (folded)
        item += "<details><summary>its path from a GC root (" + FormatGrouped(static_cast<int64_t>(steps.size())) +
                " lines)</summary>\n";
    item += "<ol class=\"steps\">\n";
    size_t n = steps.size();
    for (size_t i = 0; i < n; i++) {
        if (n > MAX_PATH_STEPS && i == MAX_PATH_STEPS / 2) {
            size_t skipped = n - MAX_PATH_STEPS;
            item += "<li class=\"more\">… " + FormatGrouped(static_cast<int64_t>(skipped)) + " steps …</li>\n";
            i += skipped - 1;
            continue;
        }
        item += "<li>" + Esc(steps[i]) + "</li>\n";
    }
    return item + (folded ? "</ol></details></li>\n" : "</ol></li>\n");
}

std::string NumberCell(int64_t value) { return "<td class=\"n\">" + FormatGrouped(value) + "</td>"; }
std::string DeltaCell(int64_t delta) {
    return std::string("<td class=\"n") + GrowthClass(delta) + "\">" + Signed(delta) + "</td>";
}

// The leak suspects in sentences, each with its path: the page opens with them.
void WriteSuspects(PageWriter& page, const ReportContent& content) {
    page.StartShare(FINDINGS_SHARE);
    page.Add("<section id=\"findings\">\n<h2>Findings</h2>\n<p>Leak suspects: objects, or classes of many small "
             "top-level objects, that alone retain more than " + Num(content.suspectThreshold * 100) +
             " % of the reachable heap.</p>\n");
    if (content.suspects.empty()) page.Add("<p>No leak suspect.</p>\n");
    else page.Add("<ol class=\"paths\">\n");
    size_t left = 0;
    for (const ReportSuspect& suspect : content.suspects) {
        if (!page.AddRow(PathItem(Esc(suspect.sentence, MAX_FACT_CHARS), suspect.path, suspect.retained, true)))
            left++;
    }
    if (!content.suspects.empty()) page.Add("</ol>\n");
    page.More(left, "suspects");
    page.Add("</section>\n");
}

void WriteWaste(PageWriter& page, const ReportContent& content) {
    page.StartShare(FINDINGS_SHARE);
    page.Add("<section id=\"waste\">\n<h2>Waste</h2>\n");
    const std::vector<ReportWaste>& waste = content.waste;
    if (waste.empty()) page.Add("<p>None found.</p>\n");
    else
        WriteTable(page, "waste-table", {"Kind", "Class", "#Instances", "#Bytes", "#Could be saved"}, waste.size(),
                   [&](size_t i) {
                       const ReportWaste& w = waste[i];
                       return "<td>" + Esc(w.kind) + "</td><td class=\"name\">" + Esc(w.name) + "</td>" +
                              NumberCell(w.instances) + BytesCell(w.bytes) + BytesCell(w.saved);
                   },
                   "rows", WASTE_SHOWN);
    for (const std::string& note : content.findingNotes)
        page.AddRow("<p class=\"note\">" + Esc(note, MAX_FACT_CHARS) + "</p>\n");
    page.Add("</section>\n");
}

void WriteHistogram(PageWriter& page, const ReportContent& content) {
    page.Add("<section id=\"histogram\">\n<h2>Classes</h2>\n"
             "<p>Instances, shallow bytes and retained bytes per class (the bytes its instances keep alive).</p>\n"
             "<input id=\"filter\" type=\"search\" placeholder=\"Filter by class name\" "
             "aria-label=\"Filter by class name\" hidden>\n");
    page.StartShare(TABLE_SHARE);
    const std::vector<ClassTotals>& classes = content.histogram;
    WriteTable(page, "classes", {"Class", "#Instances", "#Shallow bytes", "#Retained bytes"}, classes.size(),
               [&](size_t i) {
                   const ClassTotals& c = classes[i];
                   return "<td class=\"name\">" + Esc(c.name) + "</td>" + NumberCell(c.instances) + BytesCell(c.bytes) +
                          (c.retained < 0 ? std::string("<td class=\"n\">-</td>") : BytesCell(c.retained));
               },
               "classes");
    page.Add("</section>\n");
}

void WritePaths(PageWriter& page, const ReportContent& content) {
    page.StartShare(PATHS_SHARE);
    page.Add("<section id=\"paths\">\n<h2>Shortest paths from GC roots to the largest retained objects</h2>\n"
             "<ol class=\"paths\">\n");
    size_t left = 0;
    for (const ReportPath& path : content.paths) {
        if (!page.AddRow(PathItem(Esc(path.object) + " retains " + FormatBytes(path.retained), path.steps,
                                  path.retained)))
            left++;
    }
    page.Add("</ol>\n");
    page.More(left, "paths");
    page.Add("</section>\n");
}

void WriteThreads(PageWriter& page, const ReportContent& content) {
    page.Add("<section id=\"threads\">\n<h2>Threads</h2>\n");
    page.StartShare(THREADS_SHARE);
    const std::vector<ReportThread>& threads = content.threads;
    WriteTable(page, "thread-table", {"Thread", "State", "#Retained by stack roots"}, threads.size(),
               [&](size_t i) {
                   const ReportThread& t = threads[i];
                   return "<td class=\"name\">" + Esc(t.name) + "</td><td>" + Esc(t.state) + "</td>" +
                          BytesCell(t.retained);
               },
               "threads");
    page.Add("</section>\n");
}

void WriteGrowthChart(PageWriter& page, const std::vector<ReportDiffRow>& diff) {
    std::vector<const ReportDiffRow*> grown;
    for (const ReportDiffRow& row : diff)
        if (row.newBytes > row.oldBytes && grown.size() < GROWTH_BARS) grown.push_back(&row);
    if (grown.empty()) {
        page.Add("<p>No class grew.</p>\n");
        return;
    }
    std::sort(grown.begin(), grown.end(), [](const ReportDiffRow* a, const ReportDiffRow* b) {
        return a->newBytes - a->oldBytes > b->newBytes - b->oldBytes;
    });
    const double width = 1000, labelWidth = 400, barMax = 480, rowHeight = 22;
    double largest = static_cast<double>(grown[0]->newBytes - grown[0]->oldBytes);
    double height = rowHeight * static_cast<double>(grown.size()) + 4;
    page.StartShare(CHART_SHARE);
    page.Add("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"growth\" role=\"img\" "
             "aria-label=\"classes that grew most\" width=\"" + Num(width) + "\" height=\"" + Num(height) +
             "\" viewBox=\"0 0 " + Num(width) + " " + Num(height) + "\">\n");
    for (size_t i = 0; i < grown.size(); i++) {
        int64_t delta = grown[i]->newBytes - grown[i]->oldBytes;
        double y = rowHeight * static_cast<double>(i) + 2;
        double bar = std::max(1.0, barMax * static_cast<double>(delta) / largest);
        page.AddRow("<g><title>" + Esc(grown[i]->name) + ": +" + FormatGrouped(delta) + " bytes</title><text x=\"" +
                    Num(labelWidth - 6) + "\" y=\"" + Num(y + 15) + "\" text-anchor=\"end\">" +
                    EscapeHtml(FitText(grown[i]->name, 60)) + "</text><rect x=\"" + Num(labelWidth) + "\" y=\"" +
                    Num(y + 3) + "\" width=\"" + Num(bar) + "\" height=\"" + Num(rowHeight - 6) +
                    "\" fill=\"#d0584a\"/><text x=\"" + Num(labelWidth + bar + 6) + "\" y=\"" + Num(y + 15) +
                    "\">+" + FormatBytes(delta) + "</text></g>\n");
    }
    page.Add("</svg>\n");
}

void WriteHolders(PageWriter& page, const ReportContent& content) {
    page.StartShare(HOLDERS_SHARE);
    page.Add("<section id=\"holders\">\n<h2>Holders that grew most (retained bytes)</h2>\n<p>Objects retaining at "
             "least 1 KiB in each snapshot, matched by their shortest path from a GC root (root kind, thread, classes "
             "and fields; array indices where they say which entry it is), else by the last steps of that path, else "
             "by class and size, among the earlier snapshot's objects under 1 KiB too; objects sharing a key are "
             "paired by rank, never summed. A chain is shown by its "
             "topmost holder; each path is the later snapshot's.</p>\n");
    if (content.holders.empty()) page.Add("<p>No holder grew.</p>\n");
    else page.Add("<ol class=\"paths\">\n");
    size_t left = 0;
    for (const ReportHolder& holder : content.holders) {
        std::string title = Esc(holder.object) + " grew by " + FormatBytes(holder.newRetained - holder.oldRetained) +
                            ", from " + FormatBytes(holder.oldRetained) + " to " + FormatBytes(holder.newRetained);
        if (!page.AddRow(PathItem(title, holder.path, holder.newRetained - holder.oldRetained))) left++;
    }
    if (!content.holders.empty()) page.Add("</ol>\n");
    page.More(left, "holders");
    page.Add("</section>\n");
}

void WriteDiff(PageWriter& page, const ReportContent& content) {
    page.Add("<section id=\"growth\">\n<h2>Classes that grew most (bytes)</h2>\n");
    WriteGrowthChart(page, content.diff);
    page.Add("</section>\n<section id=\"diff\">\n<h2>Changes per class</h2>\n"
             "<input id=\"filter\" type=\"search\" placeholder=\"Filter by class name\" "
             "aria-label=\"Filter by class name\" hidden>\n");
    page.StartShare(TABLE_SHARE);
    const std::vector<ReportDiffRow>& diff = content.diff;
    WriteTable(page, "classes",
               {"Class", "#Instances before", "#Instances after", "#Instances change", "#Bytes before",
                "#Bytes after", "#Bytes change"},
               diff.size(),
               [&](size_t i) {
                   const ReportDiffRow& d = diff[i];
                   return "<td class=\"name\">" + Esc(d.name) + "</td>" + NumberCell(d.oldInstances) +
                          NumberCell(d.newInstances) + DeltaCell(d.newInstances - d.oldInstances) +
                          BytesCell(d.oldBytes) + BytesCell(d.newBytes) + BytesDeltaCell(d.newBytes - d.oldBytes);
               },
               "classes");
    page.Add("</section>\n");
}

// The policy lets the page's own script run (by its hash) and nothing else.
std::string SecurityPolicy() {
    static const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    const char* hex = REPORT_JS_SHA256;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        bytes += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    std::string hash;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
        for (size_t k = 0; k < 4; k++)
            hash += i + k <= bytes.size() ? BASE64[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return "default-src 'none'; style-src 'unsafe-inline'; img-src data:; script-src 'sha256-" + hash + "'";
}

}  // namespace

std::string RenderReportPage(const ReportContent& content) {
    PageWriter page;
    page.Add("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta http-equiv=\"Content-Security-Policy\" content=\"" + SecurityPolicy() + "\">\n"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
             Esc(content.title) + "</title>\n<style>\n" + REPORT_CSS + "</style>\n</head>\n<body>\n<header>\n<h1>" +
             Esc(content.title) + "</h1>\n");
    WriteFacts(page, content);
    bool comparison = !content.diff.empty() || content.factColumns.size() > 1;
    page.Add("</header>\n<nav>");
    if (comparison) {
        page.Add("<a href=\"#holders\">Holders</a><a href=\"#growth\">Growth</a><a href=\"#diff\">Changes per "
                 "class</a>");
    } else {
        if (content.findings) page.Add("<a href=\"#findings\">Findings</a>");
        page.Add("<a href=\"#treemap\">Treemap</a>");
        if (content.findings) page.Add("<a href=\"#waste\">Waste</a>");
        page.Add("<a href=\"#histogram\">Classes</a><a href=\"#paths\">Paths</a><a href=\"#threads\">Threads</a>");
    }
    page.Add("</nav>\n<main>\n");
    if (comparison) {
        WriteHolders(page, content);
        WriteDiff(page, content);
    } else {
        if (content.findings) WriteSuspects(page, content);
        WriteTreemap(page, content);
        if (content.findings) WriteWaste(page, content);
        WriteHistogram(page, content);
        WritePaths(page, content);
        WriteThreads(page, content);
    }
    page.Add(std::string("</main>\n<script>") + REPORT_JS + "</script>\n</body>\n</html>\n");
    return page.out;
}

}  // namespace vesk
