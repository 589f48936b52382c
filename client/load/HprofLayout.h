// Object sizes for an HPROF file, which states none: derived as HotSpot lays
// objects out, with the header size, reference size and array layout chosen
// among HotSpot's variants by how well they explain the gaps between the
// objects' addresses (a live dump follows a compacting collection, so most
// objects lie end to end), and the alignment from those gaps.
//
// Approximate, by design: @Contended padding and fields the VM injects
// (Class, Thread, MemberName...) are not in the dump and not counted; class
// objects are sized as a Class instance plus their static fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "load/HprofFile.h"

namespace vesk {

class HprofLayout {
public:
    struct Model {
        int headerSize = 12;      // mark word and class pointer
        int referenceSize = 4;    // compressed or full references
        int alignment = 8;        // object alignment
        bool elementAligned = false;  // arrays start at their element's alignment (JDK 22+), not at 8
    };

    // Infers the model from the file's objects (one pass over the heap).
    explicit HprofLayout(const HprofFile& file);

    const Model& Chosen() const { return model; }
    // Share of the objects that lie end to end whose gap the model explains.
    double Fit() const { return fit; }

    uint64_t InstanceSize(uint64_t classId) const;
    uint64_t ArraySize(size_t elementSize, uint64_t length) const;
    // A class object: a java.lang.Class instance with the class's statics.
    uint64_t ClassObjectSize(const HprofClass& cls) const;
    size_t ElementSize(uint8_t type) const;  // a reference is referenceSize

    // Sizes under a given model, for the inference and for tests.
    static uint64_t InstanceSize(const HprofFile& file, uint64_t classId, const Model& model);
    static uint64_t ArraySize(size_t elementSize, uint64_t length, const Model& model);

private:
    const HprofFile& file;
    Model model;
    double fit = 0;
    uint64_t classClassId = 0;
    mutable std::vector<std::pair<uint64_t, uint64_t>> cache;  // sorted class id -> size
};

}  // namespace vesk
