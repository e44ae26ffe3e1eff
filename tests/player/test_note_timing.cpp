// Tests of the note pacing, built once per player build: every sleep after
// a note or rest is its length plus the gap target less the library's
// reported set-up time, never less than 1 ms, computed in double and
// truncated. Notes go to the stand-in library, whose set-up times the tests
// script. Thread: the test's own.
#include <gtest/gtest.h>

#include "player/library_binding.h"
#include "player/note_timing.h"
#include "player/tune.h"
#include "player/tune_steps.h"
#include "player_harness.h"

namespace {

using namespace player_test;

// The sleeps each build must make, in milliseconds.
struct BuildTiming {
    uint32_t gapTarget;
    int quarterAfter250Micros;  // waited 0.16 s note that took 250 µs to start
    int quarterRest;            // Rest(0.16) with nothing pending
    int eighthAfterNoTime;      // waited 0.08 s note that started at once
    int eighthAfter39500Micros;
    int eighthAfter100000Micros;
    int eighthRestAfter15000And20000;
    int eighthRestAfter10000;
};
#ifdef QUILLET_ONE
constexpr BuildTiming kBuild{40000, 199, 200, 120, 81, 81, 85, 110};
#else
constexpr BuildTiming kBuild{45000, 204, 205, 125, 85, 81, 90, 114};
#endif

class NoteTiming : public ::testing::Test {
protected:
    void SetUp() override {
        StartRecording();
        ASSERT_TRUE(CreateNoteArray());
        ASSERT_TRUE(LibraryBinding::Create(pLibrary, GetDesktopWindow(), "Quillet"));
        RecordedLog().clear();
        dwPendingMicros = 0;
    }
    void TearDown() override {
        if (pLibrary != nullptr) {
            pLibrary->Unload();
            delete pLibrary;
            pLibrary = nullptr;
        }
        ReleaseNoteArray();
    }
    static void ScriptSetupTimes(std::initializer_list<uint32_t> micros) { Script().setupMicros = micros; }
};

TEST_F(NoteTiming, TheBuildHasItsOwnGapTarget) { EXPECT_EQ(GAP_TARGET_MICROS, kBuild.gapTarget); }

TEST_F(NoteTiming, AWaitedNoteSleepsItsLengthAndTheGapLessItsSetUpTime) {
    ScriptSetupTimes({250, 0});
    PlayNoteA(29, 0.16, 6, true);
    PlayNoteB(17, 0.08, 6, true);
    EXPECT_EQ(RecordedLog(), (Log{"ASIOGenerateSineWavA 29/0.16/6", "Sleep " + std::to_string(kBuild.quarterAfter250Micros),
                                  "ASIOGenerateSineWavB 17/0.08/6", "Sleep " + std::to_string(kBuild.eighthAfterNoTime)}));
}

TEST_F(NoteTiming, ASlowStartLeavesTheOneMillisecondFloor) {
    ScriptSetupTimes({39500, 100000, 39000, 38000});
    for (int note = 0; note < 4; ++note) PlayNoteA(33, note < 2 ? 0.08 : 0.16, 6, true);
    const int after39000 = kBuild.gapTarget == 40000 ? 161 : 166;
    const int after38000 = kBuild.gapTarget == 40000 ? 162 : 167;
    EXPECT_EQ(Sleeps(RecordedLog()),
              (std::vector<int>{kBuild.eighthAfter39500Micros, kBuild.eighthAfter100000Micros, after39000, after38000}));
}

TEST_F(NoteTiming, ARestWithNothingPendingSleepsItsLengthAndTheWholeGap) {
    Rest(0.16);
    EXPECT_EQ(Sleeps(RecordedLog()), (std::vector<int>{kBuild.quarterRest}));
}

TEST_F(NoteTiming, UnwaitedNotesReturnAtOnceAndTheNextRestTakesTheirSetUpTimes) {
    ScriptSetupTimes({15000, 20000});
    PlayNoteA(40, 0.16, 6, false);
    PlayNoteB(17, 0.16, 6, false);
    EXPECT_EQ(dwPendingMicros, 35000u);
    EXPECT_TRUE(Sleeps(RecordedLog()).empty());
    Rest(0.08);
    EXPECT_EQ(Sleeps(RecordedLog()), (std::vector<int>{kBuild.eighthRestAfter15000And20000}));
    EXPECT_EQ(dwPendingMicros, 0u);
}

TEST_F(NoteTiming, AWaitedNoteNeitherReadsNorClearsThePendingTime) {
    ScriptSetupTimes({10000, 5000});
    PlayNoteA(36, 0.32, 6, false);
    PlayNoteB(12, 0.16, 6, true);
    EXPECT_EQ(dwPendingMicros, 10000u);
    Rest(0.08);
    const int waitedSleep = kBuild.gapTarget == 40000 ? 195 : 200;
    EXPECT_EQ(Sleeps(RecordedLog()), (std::vector<int>{waitedSleep, kBuild.eighthRestAfter10000}));
}

TEST_F(NoteTiming, PendingTimeWrapsAndMoreThanTheTargetGivesTheFloor) {
    dwPendingMicros = 0xFFFFFFFFu - 5;
    ScriptSetupTimes({10, 30000, 30000});
    PlayNoteA(33, 0.08, 6, false);
    EXPECT_EQ(dwPendingMicros, 4u);
    Rest(0.08);
    PlayNoteA(33, 0.08, 6, false);
    PlayNoteB(9, 0.08, 6, false);
    Rest(0.08);
    const int afterWrap = kBuild.gapTarget == 40000 ? 119 : 124;
    EXPECT_EQ(Sleeps(RecordedLog()), (std::vector<int>{afterWrap, 81}));
}

TEST_F(NoteTiming, TwoVoicesBeginTogetherLongerFirstAndRestForTheShorter) {
    Script().laterSetupMicros = 250;
    PlayTwoVoices(OnA(40, 0.08, 6), OnB(17, 0.16, 6));
    PlayTwoVoices(OnB(29, 0.16, 6), OnA(29, 0.16, 6));
    uint32_t pending = 0;
    EXPECT_EQ(RecordedLog(), Expand("[B17/0.16/6 + A40/0.08/6 | 0.08]; [A29/0.16/6 + B29/0.16/6 | 0.16]", 250,
                                    kBuild.gapTarget, pending));
    EXPECT_EQ(dwPendingMicros, 0u);
}

}  // namespace
