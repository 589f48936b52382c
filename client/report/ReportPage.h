// The report page: one self-contained HTML file (CSS and script inline,
// nothing fetched) showing one snapshot or the comparison of two. Everything
// is drawn as static SVG and tables, readable without the script; the script
// only adds sorting, filtering and hover or focus details. A content security
// policy lets no script run but the page's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/ClassHistogram.h"
#include "report/Treemap.h"

namespace vesk {

struct ReportFact {
    std::string name;
    std::string value;
    std::string exact;  // shown on hover: the value's sizes in bytes; empty for none
};

// The shortest path from a GC root to one object, root first, one text line
// per step.
struct ReportPath {
    std::string object;  // class and tag of the object
    int64_t retained = 0;
    std::vector<std::string> steps;
};

struct ReportThread {
    std::string name;
    std::string state;
    int64_t retained = 0;  // bytes retained by the thread's stack roots
};

struct ReportDiffRow {
    std::string name;
    int64_t oldInstances = 0, newInstances = 0;
    int64_t oldBytes = 0, newBytes = 0;
};

// A holder whose retained bytes grew between two snapshots (matched by its
// path from a GC root), and the later snapshot's path to it.
struct ReportHolder {
    std::string object;  // class and tag in the later snapshot
    int64_t oldRetained = 0, newRetained = 0;
    std::vector<std::string> path;
};

// A leak suspect in a sentence, and the path from a GC root to where its
// memory accumulates.
struct ReportSuspect {
    std::string sentence;
    std::vector<std::string> path;
    int64_t retained = 0;
};

// One row of the waste table (kinds as vesk suspects names them).
struct ReportWaste {
    std::string kind;
    std::string name;
    int64_t instances = 0;
    int64_t bytes = 0;
    int64_t saved = 0;
};

// A laid-out cell with what the page shows of it.
struct ReportCell {
    TreemapCell cell;
    std::string label;     // class name (a GROUP cell's class); empty for "other"
    int64_t shallow = 0;
};

struct ReportContent {
    std::string title;
    // One column of header facts per snapshot (two for a comparison).
    std::vector<std::string> factColumns;
    std::vector<std::vector<ReportFact>> facts;  // one list per column, same names
    std::vector<std::string> notes;              // e.g. objects no root reaches

    TreemapOptions treemapOptions;
    std::vector<ReportCell> treemap;
    std::vector<ClassTotals> histogram;  // in the order shown without the script
    std::vector<ReportPath> paths;
    std::vector<ReportThread> threads;
    std::vector<ReportDiffRow> diff;     // comparison only; by growth in bytes
    std::vector<ReportHolder> holders;   // comparison only; by growth, largest first

    // Findings, single snapshot only: leak suspects, waste, and what was not
    // looked for (e.g. duplicate strings without values).
    bool findings = false;
    double suspectThreshold = 0.1;
    std::vector<ReportSuspect> suspects;
    std::vector<ReportWaste> waste;  // largest first: the page shows WASTE_SHOWN of them until asked
    std::vector<std::string> findingNotes;
};

// Upper bound of a page, whatever the content: sections stop adding rows
// (and say how many they left out) once their share is used.
constexpr size_t REPORT_PAGE_LIMIT = 2 << 20;
// Waste rows shown before "show all".
constexpr size_t WASTE_SHOWN = 10;

std::string RenderReportPage(const ReportContent& content);

}  // namespace vesk
