#include "heap/ClassHistogram.h"

#include <algorithm>
#include <cinttypes>
#include <utility>

#include "heap/HeapText.h"

#include <cctype>

namespace vesk {

std::string JvmClassName(std::string name) {
    size_t end = name.size();
    while (end >= 2 && name.compare(end - 2, 2, "[]") == 0) end -= 2;
    // No Java identifier starts with a digit: "0x" after a separator is the JVM's suffix.
    size_t at = end >= 3 ? name.rfind("0x", end - 3) : std::string::npos;
    if (at == std::string::npos || at == 0 || (name[at - 1] != '.' && name[at - 1] != '+')) return name;
    for (size_t i = at + 2; i < end; i++)
        if (!isxdigit(static_cast<unsigned char>(name[i]))) return name;
    name[at - 1] = '/';
    return name;
}

std::vector<ClassTotals> SortHistogram(std::vector<ClassTotals> rows) {
    rows.erase(std::remove_if(rows.begin(), rows.end(), [](const ClassTotals& row) { return row.instances <= 0; }),
               rows.end());
    std::sort(rows.begin(), rows.end(), [](const ClassTotals& a, const ClassTotals& b) {
        if (a.bytes != b.bytes) return a.bytes > b.bytes;
        if (a.instances != b.instances) return a.instances > b.instances;
        return a.name < b.name;
    });
    return rows;
}

// A negative figure (a malformed stream) as the number it is.
static std::string Bytes(int64_t bytes, bool exact) {
    return bytes < 0 ? std::to_string(bytes) : SizeText(static_cast<uint64_t>(bytes), exact);
}

void PrintHistogram(FILE* out, const std::vector<ClassTotals>& classes, size_t maxRows, bool exact,
                    const char* nameHead) {
    fprintf(out, " num     #instances         #bytes  %s\n", nameHead);
    fprintf(out, "----------------------------------------------\n");
    int64_t instances = 0, bytes = 0;
    size_t rank = 0;
    for (const ClassTotals& entry : classes) {
        if (rank < maxRows)
            fprintf(out, "%4zu:%14" PRId64 " %14s  %s\n", ++rank, entry.instances,
                    Bytes(entry.bytes, exact).c_str(), entry.name.c_str());
        instances += entry.instances;
        bytes += entry.bytes;
    }
    fprintf(out, "Total%14" PRId64 " %14s\n", instances, Bytes(bytes, exact).c_str());
}

}  // namespace vesk
