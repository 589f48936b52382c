// What changed between two snapshots, class by class. Classes are matched by
// name; classes of the same name (several class loaders) are summed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heap/ClassHistogram.h"

namespace vesk {

struct ClassDelta {
    std::string name;
    ClassTotals before;  // zero instances when the class was not in the old snapshot
    ClassTotals after;
    int64_t InstanceGrowth() const { return after.instances - before.instances; }
    int64_t ByteGrowth() const { return after.bytes - before.bytes; }
    // -1 in either retained figure: not computed, and 0 here.
    int64_t RetainedGrowth() const;
};

// Every class in either list, by byte growth descending, then by name.
std::vector<ClassDelta> DiffClasses(const std::vector<ClassTotals>& before, const std::vector<ClassTotals>& after);

}  // namespace vesk
