// Tests of QuilletOne's tune as the program plays it to the stand-in
// library: the phrases its score fixes, note for note and sleep for sleep,
// and the shape of the whole. Thread: the test's own.
#include <gtest/gtest.h>

#include "player_harness.h"
#include "tune_shape.h"

namespace {

using namespace player_test;

constexpr uint32_t kGapTarget = 40000;
constexpr uint32_t kSetupMicros = 250;

std::vector<Log> PlayedPhrases(uint32_t setupMicros) {
    StartRecording();
    Script().laterSetupMicros = setupMicros;
    RunPlayer({'P', 'x'});
    return Phrases(FirstTune(RecordedLog()));
}

Log Expected(const std::string& notation) {
    uint32_t pending = 0;
    Log log = Expand(notation, kSetupMicros, kGapTarget, pending);
    log.push_back("KeyWaiting");
    return log;
}

TEST(TuneOne, PlaysTheFixedPhrasesExactly) {
    const std::vector<Log> phrases = PlayedPhrases(kSetupMicros);
    ASSERT_EQ(phrases.size(), 33u);
    EXPECT_EQ(phrases[0], Expected("rest 0.16; A29/0.16/6; A33/0.16/6; A29/0.16/6; A36/0.16/6; A29/0.16/6"));
    EXPECT_EQ(phrases[0][0], "Sleep 200") << "the tune opens with 200 ms of silence";
    EXPECT_EQ(phrases[1], Expected("A41/0.16/6; [B17/0.16/6 + A40/0.08/6 | 0.08]; A38/0.08/6; "
                                   "[B21/0.16/6 + A36/0.08/6 | 0.08]; A38/0.08/6; [B17/0.16/6 + A36/0.08/6 | 0.08]; "
                                   "A34/0.08/6; [B24/0.16/6 + A33/0.08/6 | 0.08]; A34/0.08/6; "
                                   "[B17/0.16/6 + A33/0.08/6 | 0.08]; A31/0.08/6"));
    uint32_t pending = 0;
    const Log opening = Expand("[A29/0.16/6 + B29/0.16/6 | 0.16]; [A33/0.16/6 + B28/0.08/6 | 0.08]; B26/0.08/6; "
                               "[A36/0.16/6 + B24/0.08/6 | 0.08]; B26/0.08/6",
                               kSetupMicros, kGapTarget, pending);
    ASSERT_GE(phrases[2].size(), opening.size());
    EXPECT_EQ(Log(phrases[2].begin(), phrases[2].begin() + static_cast<long>(opening.size())), opening);
    EXPECT_EQ(phrases[11], Expected("A36/0.32/6 unwaited; rest 0.16; B12/0.16/6; B16/0.16/6; B12/0.16/6; "
                                    "B19/0.16/6; B12/0.16/6"));
    EXPECT_EQ(phrases[32], Expected("[A22/0.16/6 + B7/0.08/6 | 0.08]; B9/0.08/6; [A29/0.16/6 + B7/0.08/6 | 0.08]; "
                                    "B5/0.08/6; [A21/0.16/6 + B12/0.08/6 | 0.08]; B10/0.08/6; "
                                    "[A29/0.16/6 + B9/0.08/6 | 0.08]; B10/0.08/6; [A19/0.16/6 + B12/0.16/6 | 0.16]; "
                                    "[A28/0.16/6 + B0/0.16/6 | 0.16]; [A29/0.32/6 + B5/0.32/6 | 0.32]"));
}

TEST(TuneOne, HasTheShapeOfItsScore) {
    Log tune;
    for (const Log& phrase : PlayedPhrases(0)) tune.insert(tune.end(), phrase.begin(), phrase.end());
    const TuneShape shape = ShapeOf(tune);
    EXPECT_EQ(shape.phrases, 33);
    EXPECT_EQ(shape.notesOnChannel.at('A'), 295);
    EXPECT_EQ(shape.notesOnChannel.at('B'), 301);
    EXPECT_EQ(shape.twoVoiceSteps, 223);
    EXPECT_EQ(shape.attenuations, (std::set<int>{6}));
    EXPECT_EQ(shape.lengths, (std::set<std::string>{"0.08", "0.16", "0.32"}));
    EXPECT_EQ(shape.lowestNote, 0);
    EXPECT_EQ(shape.highestNote, 48);
    EXPECT_EQ(shape.phrasesWithUnwaitedNotes, (std::vector<int>{12}));
    EXPECT_NEAR(shape.seconds, 47.0, 0.5);
}

}  // namespace
