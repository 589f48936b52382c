#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "term/Progress.h"
#include "term/ProgressDisplay.h"

using vesk::Progress;
using vesk::ProgressDisplay;
using vesk::ProgressLine;
using vesk::ProgressState;

namespace {

const char* REFS = "references";

TEST(ProgressLine, PhaseAmountRateAndTimeLeft) {
    struct Case {
        ProgressState state;
        const char* line;
    } cases[] = {
        // Nothing to count yet: the phase and the time only.
        {{"walking", 0, 0, nullptr, 3.21, 3.21}, "t: walking (3.2 s)"},
        // Too early for a rate.
        {{"receiving", 10, 5000000, REFS, 0.5, 8.0}, "t: receiving: 0% of 5.0 M references (8.0 s)"},
        {{"receiving", 2000000, 5000000, REFS, 4.0, 12.0},
         "t: receiving: 40% of 5.0 M references, 500.0 k/s, 6 s left (12.0 s)"},
        // Bytes, of no known total.
        {{"reading", 3 << 20, 0, nullptr, 2.0, 2.0}, "t: reading: 3.0 MiB, 1.5 MiB/s (2.0 s)"},
        {{"reading", 3ull << 30, 4ull << 30, nullptr, 10.0, 10.0},
         "t: reading: 75% of 4.00 GiB, 307.2 MiB/s, 4 s left (10.0 s)"},
        // More than announced: capped, nothing left.
        {{"receiving", 1200, 1000, REFS, 2.0, 2.0}, "t: receiving: 100% of 1000 references, 600/s (2.0 s)"},
        // Long waits in minutes and hours; the time left rounds up.
        {{"receiving", 1000, 3725001, REFS, 1.0, 125.0},
         "t: receiving: 0% of 3.7 M references, 1000/s, 1 h 02 min left (2 min 05 s)"},
        {{"receiving", 100, 161, REFS, 1.0, 1.0}, "t: receiving: 62% of 161 references, 100/s, 1 s left (1.0 s)"},
        // A share of a phase: the percentage and the time left, no amount or rate.
        {{"dominators", 150, 600, "", 0.5, 3.0}, "t: dominators: 25% (3.0 s)"},
        {{"dominators", 150, 600, "", 2.0, 5.0}, "t: dominators: 25%, 6 s left (5.0 s)"},
        {{"graph", 5, 0, "", 2.0, 5.0}, "t: graph (5.0 s)"},
        // A transfer: the bytes on the wire, and how much they decode to when compressed.
        {{"receiving", 10, 5000000, REFS, 0.5, 8.0, 3 << 20, 51 << 20},
         "t: receiving: 0% of 5.0 M references, 3.0 MiB on the wire, compressed 17.0x (8.0 s)"},
        {{"receiving", 0, 0, nullptr, 0.5, 8.0, 3 << 20, 0}, "t: receiving, 3.0 MiB on the wire (8.0 s)"},
    };
    for (const Case& c : cases) EXPECT_EQ(ProgressLine("t", c.state), c.line);
}

template <class Shown>
std::string Drawn(bool enabled, void (*use)(Shown&)) {
    FILE* file = tmpfile();
    {
        Shown progress("snapshot", file, enabled);
        use(progress);
    }
    std::string text(static_cast<size_t>(ftell(file)), '\0');
    rewind(file);
    text.resize(fread(&text[0], 1, text.size(), file));
    fclose(file);
    return text;
}

TEST(Progress, RedrawsInPlaceFinishesOnItsOwnLineAndErasesWhatIsLeft) {
    std::string finished = Drawn<Progress>(true, [](Progress& p) {
        p.Phase("walking");
        p.Finish("done in 1 s");
    });
    EXPECT_EQ(finished.rfind("\rsnapshot: walking (", 0), 0u) << finished;
    EXPECT_NE(finished.find("\rsnapshot: done in 1 s\x1b[K\n"), std::string::npos) << finished;
    EXPECT_EQ(finished.back(), '\n');

    // A line left drawn (as when an error message follows) is erased.
    std::string left = Drawn<Progress>(true, [](Progress& p) { p.Phase("receiving", 100, "references"); });
    EXPECT_EQ(left.substr(left.size() - 4), "\r\x1b[K") << left;

    EXPECT_EQ(Drawn<Progress>(false, [](Progress& p) {
                  p.Phase("walking");
                  p.Update(5);
                  p.Finish("done");
              }),
              "");
}

// The analysis's display draws a phase at once and leaves nothing behind.
TEST(ProgressDisplay, DrawsEachPhaseAndErasesTheLineWhenStopped) {
    std::string shown = Drawn<ProgressDisplay>(true, [](ProgressDisplay& p) {
        p.Phase("reading heap.hprof", 2 << 20);
        p.Set(1 << 20);
        p.Phase("dominators", 600, "");
        p.Stop();
    });
    EXPECT_EQ(shown.rfind("\rsnapshot: reading heap.hprof: 0% of 2.0 MiB (", 0), 0u) << shown;
    EXPECT_NE(shown.find("\rsnapshot: dominators: 0% ("), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "\r\x1b[K") << shown;

    EXPECT_EQ(Drawn<ProgressDisplay>(false, [](ProgressDisplay& p) {
                  p.Phase("graph", 10, "");
                  p.Set(5);
              }),
              "");
}

}  // namespace
