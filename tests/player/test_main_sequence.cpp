// Tests of the player's main sequence, built once per player build and run
// against the stand-in library with sleeps and keys recorded: banner,
// sample rate, greeting, prompt, the key loop and the farewell.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <algorithm>

#include "player/library_binding.h"
#include "player/note_timing.h"
#include "player_harness.h"

namespace {

using namespace player_test;

const std::string kBanner = "A simple DOS Tonegate application\n";
const std::string kPrompt = "\n\n\tHit 'P' to play a tune, or any other key to exit...\n";

#ifdef QUILLET_ONE
constexpr int kTuneKeyChecks = 33;
const Log kBeforeFarewell{"Sleep 500"};
#else
constexpr int kTuneKeyChecks = 40;
const Log kBeforeFarewell{};
#endif

const Log kGreeting{"loaded",
                    "ASIOOpenDriver",
                    "ASIOSystemInit desktop",
                    "ASIOSetSampleRate 96000",
                    "ASIOGenerateSweepWavA 100/10000/0.5/24",
                    "ASIOGenerateSweepWavB 10000/10/0.5/24",
                    "Sleep 550"};

Log Farewell() {
    Log farewell = kBeforeFarewell;
    for (const char* entry : {"ASIOGenerateSweepWavB 100/10000/0.5/24", "ASIOGenerateSweepWavA 10000/10/0.5/24",
                              "Sleep 550", "ASIOCloseDriver", "released"})
        farewell.push_back(entry);
    return farewell;
}

Log Concatenated(std::initializer_list<Log> parts) {
    Log all;
    for (const Log& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

long Count(const Log& log, const std::string& entry) { return std::count(log.begin(), log.end(), entry); }

class MainSequence : public ::testing::Test {
protected:
    void SetUp() override { StartRecording(); }
    const Log& log = RecordedLog();
};

TEST_F(MainSequence, AnyOtherKeyEndsWithTheSweepsReversedAndExitCodeZero) {
    // A letter, a digit, a space, the leads of cursor and function keys, Escape.
    for (int key : {int{'x'}, int{'7'}, int{' '}, 0xE0, 0, 27}) {
        StartRecording();
        int exitCode = -1;
        EXPECT_EQ(RunPlayer({key}, &exitCode), kBanner + kPrompt);
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(log, Concatenated({kGreeting, {"KeyWaiting", "ReadKey"}, Farewell()})) << "key " << key;
        EXPECT_EQ(pLibrary, nullptr);
        EXPECT_EQ(pNoteArray, nullptr);
    }
}

TEST_F(MainSequence, UpperOrLowerPPlaysTheTuneAndTheLoopChecksAgainBeforeReading) {
    for (int key : {'P', 'p'}) {
        StartRecording();
        EXPECT_EQ(RunPlayer({key, 'q'}), kBanner + kPrompt);
        const Log tune = FirstTune(log);
        EXPECT_EQ(Count(tune, "KeyWaiting"), kTuneKeyChecks);
        EXPECT_EQ(log, Concatenated({kGreeting, {"KeyWaiting", "ReadKey"}, tune, {"KeyWaiting", "ReadKey"}, Farewell()}));
    }
}

TEST_F(MainSequence, PAgainAfterACompleteTuneReplaysItWithoutThePrompt) {
    EXPECT_EQ(RunPlayer({'P', 'P', 'x'}), kBanner + kPrompt);
    const Log tune = FirstTune(log);
    EXPECT_EQ(log, Concatenated({kGreeting, {"KeyWaiting", "ReadKey"}, tune, {"KeyWaiting", "ReadKey"}, tune,
                                 {"KeyWaiting", "ReadKey"}, Farewell()}));
}

TEST_F(MainSequence, AKeyPressedDuringTheGreetingEndsThePlayerUnread) {
    Keys().firstCheckFindingKey = 0;
    EXPECT_EQ(RunPlayer({}), kBanner + kPrompt);
    EXPECT_EQ(log, Concatenated({kGreeting, {"KeyWaiting"}, Farewell()}));
}

// Check 0 is the key loop's own; check n follows phrase n of the tune.
TEST_F(MainSequence, AKeyDuringAPhraseStopsTheTuneAtThatPhrasesEnd) {
    RunPlayer({'P', 'x'});
    const std::vector<Log> phrases = Phrases(FirstTune(log));
    ASSERT_GE(phrases.size(), static_cast<size_t>(kTuneKeyChecks));
    for (int stopAfter : {1, 5, kTuneKeyChecks}) {
        StartRecording();
        Keys().firstCheckFindingKey = stopAfter;
        RunPlayer({'P'});
        Log played;
        for (int phrase = 0; phrase < stopAfter; ++phrase)
            played.insert(played.end(), phrases[phrase].begin(), phrases[phrase].end());
        EXPECT_EQ(log, Concatenated({kGreeting, {"KeyWaiting", "ReadKey"}, played, Farewell()})) << stopAfter;
    }
}

TEST_F(MainSequence, Refused96000FallsBackTo48000) {
    Script().accept96000 = false;
    EXPECT_EQ(RunPlayer({'x'}), kBanner + "\nCouldn't set sample rate to 96000!\n" + kPrompt);
    EXPECT_EQ(Count(log, "ASIOSetSampleRate 48000"), 1);
    EXPECT_EQ(Count(log, "ASIOGetSampleRate"), 0);
}

TEST_F(MainSequence, NeitherRateAcceptedPrintsBothAndPlaysOn) {
    Script().accept96000 = Script().accept48000 = false;
    EXPECT_EQ(RunPlayer({'x'}),
              kBanner + "\nCouldn't set sample rate to 96000!\n\nCouldn't set sample rate to 48000!\n" + kPrompt);
    EXPECT_EQ(Count(log, "ASIOGenerateSweepWavA 100/10000/0.5/24"), 1);
    EXPECT_EQ(log.back(), "released");
}

TEST_F(MainSequence, ADriverThatDoesNotOpenEndsAfterTheMessageBoxWithoutTheEnding) {
    Script().openDriver = false;
    int exitCode = -1;
    EXPECT_EQ(RunPlayer({}, &exitCode), kBanner);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(log, (Log{"loaded", "ASIOOpenDriver",
                        "MessageBox desktop Quillet: Can't interface with an ASIO driver, or can't find "
                        "Tonegate.dll - Exiting!! 48",
                        "ASIOCloseDriver", "released"}));
}

}  // namespace
