// What grew between two heaps, end to end: growth.GrowthFixture taken in its
// OLD and NEW states as snapshot streams and as vesk dump HPROF files, read by
// suspects OLD NEW --json and diff --retained --holders --json. Two maps in
// entries of one array grown by different amounts are two rows with their own
// sizes; a buffer moved unchanged from a thread's stack local to a static is
// not reported; a tree grown at its bottom is one row, named by its top.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "GrowingJvm.h"
#include "VeskProgram.h"

using namespace vesktest;
using nlohmann::json;

namespace {

// As the fixture plants them.
const int64_t VALUE = 1024;
const int64_t MAP_11_BEFORE = 100, MAP_11_GROWTH = 3000;
const int64_t MAP_12_BEFORE = 50, MAP_12_GROWTH = 1000;
const int64_t TREE_GROWTH = 2000;
// A map entry costs its value and some bytes of node, key and table beside it.
const double ENTRY_OVERHEAD = 1.2;

class Growth : public ::testing::Test {
protected:
    // The rows that grew, as each command on each kind of file lists them.
    struct Listing {
        std::string name;
        json rows;
    };

    static void SetUpTestSuite() {
        jvm = std::make_unique<GrowingJvm>("growth.GrowthFixture", "growth");
        failed = jvm->Take();
        for (const char* ext : {".vsnap", ".hprof"}) {
            if (!failed.empty()) break;
            std::string before = jvm->File(std::string("before") + ext), after = jvm->File(std::string("after") + ext);
            Read(ext + std::string(" suspects"), {"suspects", before, after, "--json"}, "growth");
            Read(ext + std::string(" diff"), {"diff", before, after, "--retained", "--holders", "--json"}, "holders");
        }
    }
    static void TearDownTestSuite() { jvm.reset(); }

    static void Read(const std::string& name, const std::vector<std::string>& args, const char* key) {
        std::string out;
        if (RunVesk(jvm->Dir(), args, &out) != 0) {
            failed = name + ": " + out;
            return;
        }
        json doc = json::parse(Answer(out), nullptr, false);
        if (doc.is_discarded() || !doc.contains(key)) failed = name + ": " + out;
        else listings.push_back({name, doc[key]});
    }

    void SetUp() override { ASSERT_EQ(failed, ""); }

    // The row whose path ends in a step starting with step; null when none.
    static const json* EndingIn(const json& rows, const std::string& step) {
        for (const json& row : rows)
            if (row["path"].back().get<std::string>().rfind(step, 0) == 0) return &row;
        return nullptr;
    }

    static std::unique_ptr<GrowingJvm> jvm;
    static std::string failed;
    static std::vector<Listing> listings;
};

std::unique_ptr<GrowingJvm> Growth::jvm;
std::string Growth::failed;
std::vector<Growth::Listing> Growth::listings;

int64_t Grown(const json& row) {
    return row["retainedAfter"].get<int64_t>() - row["retainedBefore"].get<int64_t>();
}

}  // namespace

TEST_F(Growth, TwoMapsInEntriesOfOneArrayAreTwoRowsWithTheirOwnSizes) {
    struct Planted {
        const char* step;
        int64_t before, growth;
    } maps[] = {{"[11] -> java.util.HashMap ", MAP_11_BEFORE, MAP_11_GROWTH},
                {"[12] -> java.util.HashMap ", MAP_12_BEFORE, MAP_12_GROWTH}};
    for (const Listing& listing : listings) {
        SCOPED_TRACE(listing.name);
        for (const Planted& map : maps) {
            const json* row = EndingIn(listing.rows, map.step);
            ASSERT_NE(row, nullptr) << map.step << listing.rows.dump(1);
            EXPECT_GE((*row)["retainedBefore"].get<int64_t>(), map.before * VALUE) << row->dump();
            EXPECT_LT((*row)["retainedBefore"].get<int64_t>(), map.before * VALUE * ENTRY_OVERHEAD) << row->dump();
            EXPECT_GE(Grown(*row), map.growth * VALUE) << row->dump();
            EXPECT_LT(Grown(*row), map.growth * VALUE * ENTRY_OVERHEAD) << row->dump();
        }
    }
}

TEST_F(Growth, ABufferMovedUnchangedFromAStackLocalToAStaticIsNotReportedAndNothingGrewFromZero) {
    for (const Listing& listing : listings) {
        SCOPED_TRACE(listing.name);
        for (const json& row : listing.rows) {
            std::string path = row["path"].dump();
            EXPECT_EQ(path.find("GrowthFixture$Kept"), std::string::npos) << row.dump();
            EXPECT_EQ(path.find("GrowthFixture$Buffer"), std::string::npos) << row.dump();
        }
    }
    // diff lists also what is new since OLD; suspects' rows all existed.
    for (const Listing& listing : listings)
        if (listing.name.find("suspects") != std::string::npos)
            for (const json& row : listing.rows) EXPECT_GT(row["retainedBefore"].get<int64_t>(), 0) << row.dump();
}

TEST_F(Growth, AThreeLevelTreeGrownAtItsBottomIsOneRowNamedByItsTop) {
    for (const Listing& listing : listings) {
        SCOPED_TRACE(listing.name);
        int rows = 0;
        for (const json& row : listing.rows) {
            EXPECT_NE(row["class"], "growth.GrowthFixture$Node") << row.dump();
            // diff lists also the entries new since OLD, below the tree's rows.
            if (row["path"].dump().find("GrowthFixture$Tree") == std::string::npos || row["retainedBefore"] == 0)
                continue;
            rows++;
            EXPECT_EQ(row["class"], "class growth.GrowthFixture$Tree") << row.dump();
            EXPECT_GE(Grown(row), TREE_GROWTH * VALUE) << row.dump();
        }
        EXPECT_EQ(rows, 1) << listing.rows.dump(1);
    }
}
