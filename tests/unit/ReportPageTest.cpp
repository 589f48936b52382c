#include <gtest/gtest.h>

#include <string>

#include "report/HtmlText.h"
#include "report/ReportPage.h"

using vesk::EscapeHtml;
using vesk::ReportContent;

namespace {

const char HOSTILE[] = "<script>document.title='pwned'</script>\"'&<img src=x onerror=alert(1)>";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

}  // namespace

TEST(HtmlText, EscapesMarkupQuotesControlCharactersAndBrokenUtf8) {
    EXPECT_EQ(EscapeHtml(HOSTILE),
              "&lt;script&gt;document.title=&#39;pwned&#39;&lt;/script&gt;&quot;&#39;&amp;"
              "&lt;img src=x onerror=alert(1)&gt;");
    EXPECT_EQ(EscapeHtml(std::string("a\x01\x1b\x7f\tb\nc\0d", 10)), "a\\x01\\x1B\\x7F\tb\nc\\x00d");
    // Well-formed UTF-8 stays; stray bytes, surrogates and the JVM's two-byte NUL become U+FFFD.
    EXPECT_EQ(EscapeHtml("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(EscapeHtml("a\xE9<"), "a\xEF\xBF\xBD&lt;");
    EXPECT_EQ(EscapeHtml("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(EscapeHtml("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(EscapeHtml("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short at the end
}

TEST(HtmlText, FitsTextByCharactersAndFormatsNumbers) {
    EXPECT_EQ(vesk::FitText("java.util.HashMap", 17), "java.util.HashMap");
    EXPECT_EQ(vesk::FitText("java.util.HashMap", 5), "java\xE2\x80\xA6");
    EXPECT_EQ(vesk::FitText("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xE2\x80\xA6");  // never inside a character
    EXPECT_EQ(vesk::FormatBytes(1023), "1023 B");
    EXPECT_EQ(vesk::FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(vesk::FormatBytes(5LL << 30), "5.0 GiB");
    EXPECT_EQ(vesk::FormatGrouped(1234567), "1,234,567");
    EXPECT_EQ(vesk::FormatGrouped(-1000), "-1,000");
    EXPECT_EQ(vesk::FormatGrouped(999), "999");
}

// Hostile names anywhere in the content leave no markup but the page's own:
// one script element, and the names as text.
TEST(ReportPage, NamesFromTheJvmNeverBecomeMarkup) {
    ReportContent content;
    content.title = HOSTILE;
    content.factColumns = {"snapshot"};
    content.facts = {{{"java.version", HOSTILE}}};
    vesk::ReportCell cell;
    cell.cell.node = 1, cell.cell.size = 100, cell.cell.rect = {0, 0, 500, 300};
    cell.label = HOSTILE;
    content.treemap = {cell};
    content.histogram = {{HOSTILE, 1, 16, 100}};
    content.paths = {{HOSTILE, 100, {HOSTILE, HOSTILE}}};
    content.threads = {{HOSTILE, HOSTILE, 0}};
    content.findings = true;
    content.suspects = {{HOSTILE, {HOSTILE}}};
    content.waste = {{HOSTILE, HOSTILE, 1, 2, 3}};
    content.findingNotes = {HOSTILE};
    std::string page = vesk::RenderReportPage(content);
    EXPECT_EQ(Count(page, "<script"), 1u);
    EXPECT_EQ(Count(page, "<img"), 0u);
    EXPECT_GE(Count(page, EscapeHtml(HOSTILE)), 10u);
    EXPECT_LT(page.find("id=\"findings\""), page.find("id=\"treemap\""));
    EXPECT_NE(page.find("script-src 'sha256-"), std::string::npos);

    content.diff = {{HOSTILE, 1, 2, 10, 20}};
    content.holders = {{HOSTILE, 10, 20, {HOSTILE, HOSTILE}}};
    page = vesk::RenderReportPage(content);
    EXPECT_EQ(Count(page, "<script"), 1u);
    EXPECT_EQ(Count(page, "<img"), 0u);
    EXPECT_NE(page.find("<h3 title=\"10 bytes\">" + EscapeHtml(HOSTILE) + " grew by 10 B, from 10 B to 20 B</h3>"),
              std::string::npos);
}

TEST(ReportPage, OpensWithFindingsAndTreemapThenTenWasteRowsAndSizesReadableWithExactBytesOnHover) {
    ReportContent content;
    content.factColumns = {"snapshot"};
    content.facts = {{{"Reachable from roots", "1.5 KiB", "1,536 bytes"}}};
    content.histogram = {{"Big", 3, 1536, 3 << 20}};
    content.threads = {{"main", "RUNNABLE", 2048}};
    content.findings = true;
    content.suspects = {{"One Big retains 3.0 MiB (99 %).", {"root: class"}, 3 << 20}};
    for (int i = 0; i < 25; i++) content.waste.push_back({"boxed", "Waste" + std::to_string(i), 1, 2000 - i, 1000 - i});
    std::string page = vesk::RenderReportPage(content);

    size_t findings = page.find("<section id=\"findings\">"), treemap = page.find("<section id=\"treemap\">");
    size_t waste = page.find("<section id=\"waste\">"), classes = page.find("<section id=\"histogram\">");
    EXPECT_LT(findings, treemap);
    EXPECT_LT(treemap, waste);
    EXPECT_LT(waste, classes);
    EXPECT_NE(page.find("<h3 title=\"3,145,728 bytes\">One Big retains"), std::string::npos);
    // 10 rows, the other 15 behind the box.
    EXPECT_NE(page.find("<label for=\"waste-table-all\">show all 25 rows</label>"), std::string::npos);
    EXPECT_EQ(Count(page, "<tr class=\"extra\">"), 15u);
    EXPECT_LT(page.find("Waste9<"), page.find("<tr class=\"extra\">"));
    EXPECT_GT(page.find("Waste10<"), page.find("<tr class=\"extra\">"));
    // Every size in binary units, the bytes in its title and its sort key.
    EXPECT_NE(page.find("<td class=\"n\" data-v=\"1536\" title=\"1,536 bytes\">1.5 KiB</td>"), std::string::npos);
    EXPECT_NE(page.find("<td class=\"n\" data-v=\"3145728\" title=\"3,145,728 bytes\">3.0 MiB</td>"),
              std::string::npos);
    EXPECT_NE(page.find("<td class=\"n\" data-v=\"2048\" title=\"2,048 bytes\">2.0 KiB</td>"), std::string::npos);
    EXPECT_NE(page.find("<td title=\"1,536 bytes\">1.5 KiB</td>"), std::string::npos);
    EXPECT_EQ(page.find("<td class=\"n\">1,536</td>"), std::string::npos);
}

TEST(ReportPage, StaysUnderTheLimitWhateverTheContentAndSaysWhatItLeftOut) {
    ReportContent content;
    content.factColumns = {"snapshot"};
    content.facts = {{{"command line", std::string(100000, '"')}}};
    std::string longName(2000, '<');
    for (int i = 0; i < 20000; i++) {
        content.histogram.push_back({longName + std::to_string(i), i, i, i});
        content.threads.push_back({longName, "RUNNABLE", i});
    }
    for (int i = 0; i < 10; i++) content.paths.push_back({longName, 1, std::vector<std::string>(1000, longName)});
    content.findings = true;
    for (int i = 0; i < 100; i++) content.suspects.push_back({longName, std::vector<std::string>(1000, longName)});
    content.waste.assign(20000, {longName, longName, 1, 2, 3});
    vesk::TreemapOptions options;
    std::vector<vesk::TreemapNode> top;
    for (int64_t i = 0; i < 100000; i++) top.push_back({i, 1000});
    options.minArea = 1;
    options.maxChildren = 5000;
    options.maxCells = 5000;
    for (const vesk::TreemapCell& c : vesk::LayoutTreemap(top, [](int64_t) { return std::vector<vesk::TreemapNode>(); },
                                                          options))
        content.treemap.push_back({c, longName, 16});
    std::string page = vesk::RenderReportPage(content);
    EXPECT_LE(page.size(), vesk::REPORT_PAGE_LIMIT);
    EXPECT_NE(page.find("more classes not shown"), std::string::npos);
    EXPECT_NE(page.find("more threads not shown"), std::string::npos);
    EXPECT_NE(page.find("more rows not shown"), std::string::npos);
    EXPECT_NE(page.find("</html>"), std::string::npos);

    content.diff.assign(20000, {longName, 1, 2, 10, 20});
    content.holders.assign(100, {longName, 1, 2, std::vector<std::string>(1000, longName)});
    page = vesk::RenderReportPage(content);
    EXPECT_LE(page.size(), vesk::REPORT_PAGE_LIMIT);
    EXPECT_NE(page.find("more holders not shown"), std::string::npos);
    EXPECT_NE(page.find("</html>"), std::string::npos);
}
