#include "SnapshotHistogram.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "VeskClient.h"

namespace vesk {

// The '>' that closes the element opened at start; quoted values may hold one.
static size_t ElementEnd(const std::string& text, size_t start) {
    bool quoted = false;
    for (size_t i = start + 1; i < text.size(); i++) {
        if (text[i] == '"') quoted = !quoted;
        else if (text[i] == '>' && !quoted) return i;
    }
    return std::string::npos;
}

static bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Walks the element's attributes in order; values stay escaped.
template <typename F>
static void ForEachAttribute(std::string_view element, F visit) {
    size_t at = element.find(' ');
    while (at != std::string_view::npos) {
        size_t eq = element.find("=\"", at);
        if (eq == std::string_view::npos) return;
        size_t end = element.find('"', eq + 2);
        if (end == std::string_view::npos) return;
        size_t name = element.find_first_not_of(' ', at);
        visit(element.substr(name, eq - name), element.substr(eq + 2, end - eq - 2));
        at = end + 1;
    }
}

void HistogramReader::Feed(std::string_view bytes) {
    if (Done()) return;
    pending.append(bytes.data(), bytes.size());
    size_t pos = 0;
    while (!Done()) {
        size_t start = pending.find('<', pos);
        if (start == std::string::npos) {
            pos = pending.size();
            break;
        }
        size_t end = ElementEnd(pending, start);
        if (end == std::string::npos) {
            pos = start;
            break;
        }
        Element(std::string_view(pending).substr(start, end - start + 1));
        pos = end + 1;
    }
    pending.erase(0, pos);
    if (pending.size() > MAX_ELEMENT) Fail("not a snapshot stream (an element longer than 16 MiB)");
}

void HistogramReader::Element(std::string_view element) {
    if (StartsWith(element, "<class ")) {
        ClassCount entry;
        ForEachAttribute(element, [&entry](std::string_view name, std::string_view value) {
            if (name == "name") entry.name = XmlUnescape(value);
            else if (name == "totalinst") entry.instances = strtoll(std::string(value).c_str(), nullptr, 10);
            else if (name == "totalsize") entry.bytes = strtoll(std::string(value).c_str(), nullptr, 10);
        });
        classes.push_back(std::move(entry));
    } else if (StartsWith(element, "<cmd name=\"SNAPSHOT\"")) {
        inSnapshotFrame = true;
    } else if (StartsWith(element, "</vesk-resp>")) {
        headerDone = inSnapshotFrame;
    } else if (StartsWith(element, "<error ")) {
        std::string message;
        if (!AttributeValue(element, "msg", &message)) message = "unknown error";
        Fail("the agent reported: " + message);
    }
}

void HistogramReader::Fail(const std::string& message) {
    failed = true;
    error = message;
    pending.clear();
}

bool HistogramReader::Failed(std::string* message) const {
    if (failed && message) *message = error;
    return failed;
}

std::vector<ClassCount> HistogramReader::Histogram() const {
    std::vector<ClassCount> rows;
    for (const ClassCount& entry : classes)
        if (entry.instances > 0) rows.push_back(entry);
    std::sort(rows.begin(), rows.end(), [](const ClassCount& a, const ClassCount& b) {
        if (a.bytes != b.bytes) return a.bytes > b.bytes;
        if (a.instances != b.instances) return a.instances > b.instances;
        return a.name < b.name;
    });
    return rows;
}

void PrintHistogram(FILE* out, const std::vector<ClassCount>& classes) {
    fprintf(out, " num     #instances         #bytes  class name\n");
    fprintf(out, "----------------------------------------------\n");
    int64_t instances = 0, bytes = 0;
    size_t rank = 0;
    for (const ClassCount& entry : classes) {
        fprintf(out, "%4zu:%14" PRId64 " %14" PRId64 "  %s\n", ++rank, entry.instances, entry.bytes,
                entry.name.c_str());
        instances += entry.instances;
        bytes += entry.bytes;
    }
    fprintf(out, "Total%14" PRId64 " %14" PRId64 "\n", instances, bytes);
}

}  // namespace vesk
