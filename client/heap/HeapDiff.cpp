#include "heap/HeapDiff.h"

#include <algorithm>
#include <map>

namespace vesk {

int64_t ClassDelta::RetainedGrowth() const {
    if (before.retained < 0 || after.retained < 0) return 0;
    return after.retained - before.retained;
}

static void Add(ClassTotals& sum, const ClassTotals& row) {
    sum.instances += row.instances;
    sum.bytes += row.bytes;
    if (row.retained >= 0 && sum.retained >= 0) sum.retained += row.retained;
}

std::vector<ClassDelta> DiffClasses(const std::vector<ClassTotals>& before, const std::vector<ClassTotals>& after) {
    // With retained sizes, a class missing on one side retains 0 there.
    auto retainedIn = [](const std::vector<ClassTotals>& rows) {
        return std::any_of(rows.begin(), rows.end(), [](const ClassTotals& row) { return row.retained >= 0; });
    };
    ClassTotals none;
    none.retained = retainedIn(before) && retainedIn(after) ? 0 : -1;
    std::map<std::string, ClassDelta> byName;
    for (const ClassTotals& row : before) byName.emplace(row.name, ClassDelta{row.name, none, none});
    for (const ClassTotals& row : after) byName.emplace(row.name, ClassDelta{row.name, none, none});
    for (const ClassTotals& row : before) Add(byName[row.name].before, row);
    for (const ClassTotals& row : after) Add(byName[row.name].after, row);
    std::vector<ClassDelta> deltas;
    for (auto& entry : byName) {
        ClassDelta& delta = entry.second;
        if (delta.before.instances == 0 && delta.after.instances == 0) continue;
        delta.name = entry.first;
        delta.before.name = delta.after.name = entry.first;
        deltas.push_back(std::move(delta));
    }
    std::stable_sort(deltas.begin(), deltas.end(),
                     [](const ClassDelta& a, const ClassDelta& b) { return a.ByteGrowth() > b.ByteGrowth(); });
    return deltas;
}

}  // namespace vesk
