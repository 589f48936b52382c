// HprofLayout's choice of HotSpot's object layout from the gaps between the
// addresses of objects that lie end to end, as after a compacting collection.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "HprofBuilder.h"
#include "load/HprofLayout.h"
#include "TempDir.h"

using namespace vesktest;

namespace {

using F = vesk::HprofFormat;
using Model = vesk::HprofLayout::Model;

// A layout and the sizes it gives the heap's objects, worked out by hand.
struct LayoutCase {
    const char* name;
    Model model;
    uint64_t object, base, leaf;             // instances
    uint64_t ints3, chars5, shorts1, refs2;  // int[3], char[5], short[1], Object[2]
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

// Object (0x10); Base (0x20) extends Object with an int and a reference;
// Leaf (0x30) extends Base with a long, a byte and a reference.
const LayoutCase CASES[] = {
    // Compressed references, 12-byte headers: Base 12 + 4 + 4 -> 24; Leaf: the
    // long at 24, the reference in the hole at 20, the byte at 32 -> 40;
    // arrays from 16.
    {"Compressed", {12, 4, 8, false}, 16, 24, 40, 32, 32, 24, 24},
    // No compressed oops, 16-byte headers: Base 16 + 8 + 4 -> 32; Leaf: the
    // long at 32, the reference at 40, the byte in the hole at 28 -> 48;
    // arrays from 24.
    {"Uncompressed", {16, 8, 8, false}, 16, 32, 48, 40, 40, 32, 40},
};

class HprofLayoutTest : public ::testing::TestWithParam<LayoutCase> {
protected:
    TempDir dir;
};

TEST_P(HprofLayoutTest, ChoosesTheLayoutThatExplainsTheGaps) {
    const LayoutCase& c = GetParam();
    HprofBuilder b(8);
    using Field = HprofBuilder::Field;
    std::string heap = b.ClassDump(0x10, 0, 0, {}, {}, {}) +
                       b.ClassDump(0x20, 0x10, 12, {}, {}, {Field{1, F::INT, ""}, Field{2, F::OBJECT, ""}}) +
                       b.ClassDump(0x30, 0x20, 17, {}, {},
                                   {Field{3, F::LONG, ""}, Field{4, F::BYTE, ""}, Field{5, F::OBJECT, ""}});
    // Objects end to end, a region's end (a gap of 16 MiB) in the middle; the
    // values play no part.
    uint64_t address = 0x7f0000000;
    size_t placed = 0;
    auto place = [&](const std::string& record, uint64_t size) {
        heap += record;
        address += size + (++placed == 12 ? 16 << 20 : 0);
    };
    for (int round = 0; round < 3; round++) {
        place(b.Instance(address, 0x10, ""), c.object);
        place(b.Instance(address, 0x20, ""), c.base);
        place(b.Instance(address, 0x30, ""), c.leaf);
        place(b.PrimitiveArray(address, F::INT, 3, std::string(12, '\0')), c.ints3);
        place(b.PrimitiveArray(address, F::CHAR, 5, std::string(10, '\0')), c.chars5);
        place(b.PrimitiveArray(address, F::SHORT, 1, std::string(2, '\0')), c.shorts1);
        place(b.ObjectArray(address, 0x40, {0, 0}), c.refs2);
    }
    std::string path = dir.File("layout.hprof");
    std::ofstream(path, std::ios::binary) << b.Segment(heap).Bytes();

    vesk::HprofFile file(path);
    vesk::HprofLayout layout(file);
    const Model& chosen = layout.Chosen();
    EXPECT_EQ(chosen.headerSize, c.model.headerSize);
    EXPECT_EQ(chosen.referenceSize, c.model.referenceSize);
    EXPECT_EQ(chosen.alignment, c.model.alignment);
    EXPECT_EQ(chosen.elementAligned, c.model.elementAligned);
    EXPECT_DOUBLE_EQ(layout.Fit(), 1.0);
    EXPECT_EQ(layout.InstanceSize(0x30), c.leaf);
    EXPECT_EQ(layout.ArraySize(layout.ElementSize(F::CHAR), 5), c.chars5);
    EXPECT_EQ(layout.ArraySize(layout.ElementSize(F::OBJECT), 2), c.refs2);
}

INSTANTIATE_TEST_SUITE_P(Models, HprofLayoutTest, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

}  // namespace
