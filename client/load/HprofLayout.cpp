#include "load/HprofLayout.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

namespace vesk {

namespace {

using F = HprofFormat;

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    // Alignments are powers of two but for a model a test may give: no division then.
    if ((alignment & (alignment - 1)) == 0) return (value + alignment - 1) & ~(alignment - 1);
    return (value + alignment - 1) / alignment * alignment;
}

size_t ValueSize(uint8_t type, const HprofLayout::Model& model) {
    return type == F::OBJECT ? static_cast<size_t>(model.referenceSize) : F::TypeSize(type, 8);
}

struct Hole {
    uint64_t offset, size;
};

// Where a class's fields end and the holes left before that, as HotSpot
// places fields: the superclass's block first, then this class's fields
// largest first, each in the first hole that takes it at its alignment,
// else at the end.
struct FieldBlock {
    uint64_t end = 0;
    std::vector<Hole> holes;
};

FieldBlock LayOut(const HprofFile& file, uint64_t classId, const HprofLayout::Model& model) {
    std::vector<const HprofClass*> chain;  // the class first, java.lang.Object last
    F::ClimbClasses(classId, file.Classes().size(), [&](uint64_t id) -> uint64_t {
        const HprofClass* cls = file.FindClass(id);
        if (cls) chain.push_back(cls);
        return cls ? cls->super : 0;
    });
    FieldBlock block;
    block.end = static_cast<uint64_t>(model.headerSize);
    std::vector<size_t> sizes;
    for (auto cls = chain.rbegin(); cls != chain.rend(); ++cls) {
        sizes.clear();
        for (const HprofField& field : (*cls)->fields) sizes.push_back(ValueSize(field.type, model));
        std::sort(sizes.rbegin(), sizes.rend());
        for (size_t size : sizes) {
            bool placed = false;
            for (size_t h = 0; h < block.holes.size() && !placed; h++) {
                Hole hole = block.holes[h];
                uint64_t start = AlignUp(hole.offset, size);
                if (start + size > hole.offset + hole.size) continue;
                block.holes.erase(block.holes.begin() + static_cast<long>(h));
                if (start > hole.offset) block.holes.push_back({hole.offset, start - hole.offset});
                if (start + size < hole.offset + hole.size)
                    block.holes.push_back({start + size, hole.offset + hole.size - start - size});
                placed = true;
            }
            if (placed) continue;
            uint64_t start = AlignUp(block.end, size);
            if (start > block.end) block.holes.push_back({block.end, start - block.end});
            block.end = start + size;
        }
        std::sort(block.holes.begin(), block.holes.end(),
                  [](const Hole& a, const Hole& b) { return a.offset < b.offset; });
    }
    return block;
}

}  // namespace

uint64_t HprofLayout::InstanceSize(const HprofFile& file, uint64_t classId, const Model& model) {
    return AlignUp(LayOut(file, classId, model).end, static_cast<uint64_t>(model.alignment));
}

uint64_t HprofLayout::ArraySize(size_t elementSize, uint64_t length, const Model& model) {
    uint64_t base = static_cast<uint64_t>(model.headerSize) + 4;  // the length follows the header
    base = AlignUp(base, model.elementAligned ? elementSize : 8);
    return AlignUp(base + elementSize * length, static_cast<uint64_t>(model.alignment));
}

HprofLayout::HprofLayout(const HprofFile& file) : file(file) {
    for (const auto& [id, cls] : file.Classes())
        if (cls.name == "java/lang/Class" || cls.name == "java.lang.Class") classClassId = id;

    // The addresses of a sample of the objects keep the inference cheap.
    std::vector<HprofObjectHead> objects = file.TakeSample();
    auto byAddress = [](const HprofObjectHead& a, const HprofObjectHead& b) { return a.address < b.address; };
    // A dump lists them by address already.
    if (!std::is_sorted(objects.begin(), objects.end(), byAddress)) std::sort(objects.begin(), objects.end(), byAddress);
    uint64_t alignment = 0;
    for (size_t i = 1; i < objects.size(); i++) alignment = std::gcd(alignment, objects[i].address - objects[i - 1].address);
    if (alignment < 8 || alignment > 256 || (alignment & (alignment - 1)) != 0) alignment = 8;

    std::vector<Model> candidates;
    for (int header : {12, 16, 8})
        for (int reference : {4, 8})
            for (bool elementAligned : {false, true}) {
                if (file.IdSize() == 4 && (reference != 4 || header != 8)) continue;  // a 32-bit JVM
                candidates.push_back({header, reference, static_cast<int>(alignment), elementAligned});
            }
    // Each sampled instance's class by a dense number, so that the models
    // are scored in one pass over the sample with sizes looked up by number.
    std::unordered_map<uint64_t, uint32_t> numbers;
    std::vector<uint64_t> classIds;
    std::vector<uint32_t> classOf(objects.size(), 0);
    for (size_t i = 0; i + 1 < objects.size(); i++) {
        if (objects[i].element != 0) continue;
        auto found = numbers.emplace(objects[i].classId, static_cast<uint32_t>(classIds.size()));
        if (found.second) classIds.push_back(objects[i].classId);
        classOf[i] = found.first->second;
    }
    std::vector<std::vector<uint64_t>> sizes(candidates.size());
    std::vector<size_t> hits(candidates.size(), 0);
    for (size_t c = 0; c < candidates.size(); c++)
        for (uint64_t id : classIds) sizes[c].push_back(InstanceSize(file, id, candidates[c]));
    size_t compared = 0;
    for (size_t i = 0; i + 1 < objects.size(); i++) {
        const HprofObjectHead& o = objects[i];
        uint64_t gap = objects[i + 1].address - o.address;
        if (gap > (1u << 20)) continue;  // the end of a region, not of an object
        compared++;
        for (size_t c = 0; c < candidates.size(); c++) {
            uint64_t size = o.element == 0 ? sizes[c][classOf[i]]
                                           : ArraySize(ValueSize(o.element, candidates[c]), o.length, candidates[c]);
            hits[c] += size == gap;
        }
    }
    size_t best = 0, bestHits = 0;
    for (size_t c = 0; c < candidates.size(); c++) {
        if (hits[c] > bestHits) {
            bestHits = hits[c];
            best = c;
        }
    }
    if (!candidates.empty()) model = candidates[best];
    fit = compared ? static_cast<double>(bestHits) / static_cast<double>(compared) : 0;
}

size_t HprofLayout::ElementSize(uint8_t type) const { return ValueSize(type, model); }

uint64_t HprofLayout::InstanceSize(uint64_t classId) const {
    auto found = std::lower_bound(cache.begin(), cache.end(), std::make_pair(classId, uint64_t(0)));
    if (found != cache.end() && found->first == classId) return found->second;
    uint64_t size = InstanceSize(file, classId, model);
    cache.insert(found, {classId, size});
    return size;
}

uint64_t HprofLayout::ArraySize(size_t elementSize, uint64_t length) const {
    return ArraySize(elementSize, length, model);
}

uint64_t HprofLayout::ClassObjectSize(const HprofClass& cls) const {
    uint64_t size = classClassId ? LayOut(file, classClassId, model).end : static_cast<uint64_t>(model.headerSize);
    for (const HprofField& field : cls.statics) size += ValueSize(field.type, model);
    return AlignUp(size, static_cast<uint64_t>(model.alignment));
}

}  // namespace vesk
