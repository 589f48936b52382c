// Per-class totals, and a class histogram of them in the order and table the
// JDK's class histogram uses.
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace vesk {

// A class name as the JVM's own class histogram spells it: a hidden class's
// suffix after a slash ("Foo$$Lambda$1/0x0000000800c01000"), where JVMTI
// gives a dot and a heap dump a plus sign. Other names are returned as given.
std::string JvmClassName(std::string name);

// One class's totals, as histograms, diffs and the report show them.
struct ClassTotals {
    std::string name;
    int64_t instances = 0;
    int64_t bytes = 0;      // shallow
    int64_t retained = -1;  // -1 when not computed
};

// Drops classes without instances; sorts by bytes, then instances,
// descending, then by name.
std::vector<ClassTotals> SortHistogram(std::vector<ClassTotals> rows);

// Prints the table the JDK's class histogram prints:
// " num     #instances         #bytes  class name", rows, and a Total line;
// the first maxRows rows only, but the Total counts every class. exact:
// bytes as numbers; else in KiB, MiB, GiB ("12.3 MiB"). nameHead: the last
// column's head, for rows that are groups of classes.
void PrintHistogram(FILE* out, const std::vector<ClassTotals>& classes, size_t maxRows = SIZE_MAX,
                    bool exact = true, const char* nameHead = "class name");

}  // namespace vesk
