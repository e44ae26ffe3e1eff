// Tests of QuilletTwo's tune as the program plays it to the stand-in
// library: the whole score note for note and sleep for sleep, its sections
// with their key checks and links without, and its shape.
// Thread: the test's own.
#include <gtest/gtest.h>

#include "player_harness.h"
#include "tune_shape.h"

namespace {

using namespace player_test;

constexpr uint32_t kGapTarget = 45000;
constexpr uint32_t kSetupMicros = 250;

const std::vector<std::string> kFirstSection{
    "A40/0.16/20; A39/0.16/16",
    "A40/0.16/12; A39/0.16/8; A40/0.16/4; A35/0.16/0; A38/0.16/8; A36/0.16/12",
    "[A33/0.32/16 + B9/0.16/18 | 0.16]; B16/0.16/18; B21/0.16/18; A24/0.16/20; A28/0.16/20; A33/0.16/20",
    "[A35/0.32/18 + B4/0.16/18 | 0.16]; B16/0.16/18; B20/0.16/18; A28/0.16/20; A32/0.16/20; A35/0.16/20",
    "[A36/0.32/18 + B9/0.16/18 | 0.16]; B16/0.16/18; B21/0.16/18; A28/0.16/20; A40/0.16/20; A39/0.16/20",
    "A40/0.16/12; A39/0.16/8; A40/0.16/4; A35/0.16/0; A38/0.16/8; A36/0.16/12",
    "[A33/0.32/16 + B9/0.16/18 | 0.16]; B16/0.16/18; B21/0.16/18; A24/0.16/20; A28/0.16/20; A33/0.16/20",
    "[A35/0.32/18 + B4/0.16/18 | 0.16]; B16/0.16/18; B20/0.16/18; A28/0.16/20; A36/0.16/20; A35/0.16/20",
};

std::vector<std::string> SecondSection() {
    std::vector<std::string> phrases{
        "[A40/0.48/20 + B12/0.16/18 | 0.16]; B19/0.16/16; B24/0.16/14; A31/0.16/12; A41/0.16/10; A40/0.16/8",
        "[A38/0.48/6 + B7/0.16/4 | 0.16]; B19/0.16/2; B23/0.16/0; A29/0.16/2; A40/0.16/4; A38/0.16/6",
        "[A36/0.48/8 + B9/0.16/10 | 0.16]; B16/0.16/12; B21/0.16/14; A28/0.16/16; A38/0.16/18; A36/0.16/20",
        "[A35/0.32/18 + B4/0.16/18 | 0.16]; B16/0.16/18; B28/0.16/18; A28/0.16/20; A40/0.16/20; B28/0.16/20; "
        "B40/0.16/18; A40/0.16/18; A52/0.16/18; B39/0.16/20; B40/0.16/20; A39/0.16/20",
        "A40/0.16/18; B39/0.16/18; B40/0.16/18; A39/0.16/20; A40/0.16/20; A39/0.16/20",
    };
    phrases.insert(phrases.end(), kFirstSection.begin() + 1, kFirstSection.end());
    return phrases;
}

const std::string kLinks[] = {
    "[A33/0.48/18 + B9/0.16/20 | 0.16]; B16/0.16/20; B21/0.16/20; rest 0.16",
    "[A33/0.32/18 + B9/0.16/18 | 0.16]; B16/0.16/18; B21/0.16/18; A35/0.16/20; A36/0.16/20; A38/0.16/20",
    "[A33/0.32/18 + B4/0.16/18 | 0.16]; B16/0.16/18; B21/0.16/18; A35/0.16/20; A36/0.16/20; A38/0.16/20",
    "[A33/0.32/18 + B4/0.16/18 | 0.16]; B16/0.16/18; B21/0.16/18",
};

Log ExpectedTune() {
    Log tune;
    uint32_t pending = 0;
    auto play = [&](const std::string& phrase, bool checked) {
        const Log steps = Expand(phrase, kSetupMicros, kGapTarget, pending);
        tune.insert(tune.end(), steps.begin(), steps.end());
        if (checked) tune.push_back("KeyWaiting");
    };
    auto section = [&](const std::vector<std::string>& phrases) {
        for (const std::string& phrase : phrases) play(phrase, true);
    };
    section(kFirstSection);
    play(kLinks[0], false);
    section(kFirstSection);
    play(kLinks[1], false);
    section(SecondSection());
    play(kLinks[2], false);
    section(SecondSection());
    play(kLinks[3], false);
    return tune;
}

Log PlayedTune(uint32_t setupMicros, int firstCheckFindingKey = -1) {
    StartRecording();
    Script().laterSetupMicros = setupMicros;
    Keys().firstCheckFindingKey = firstCheckFindingKey;
    RunPlayer(firstCheckFindingKey < 0 ? std::vector<int>{'P', 'x'} : std::vector<int>{'P'});
    return FirstTune(RecordedLog());
}

TEST(TuneTwo, PlaysItsWholeScoreExactly) {
    const Log played = PlayedTune(kSetupMicros);
    const Log expected = ExpectedTune();
    ASSERT_EQ(played.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(played[i], expected[i]) << "entry " << i;
    EXPECT_EQ(played[0], "ASIOGenerateSineWavA 40/0.16/20") << "the tune starts at once with its first note";
}

// Check 0 is the key loop's; 8 follows the first section's last phrase.
TEST(TuneTwo, AKeyAfterASectionsLastPhraseStopsBeforeTheLink) {
    const Log stopped = PlayedTune(kSetupMicros, 8);
    const Log expected = ExpectedTune();
    Log firstSection(expected.begin(), expected.begin() + static_cast<long>(stopped.size()));
    EXPECT_EQ(stopped, firstSection);
    EXPECT_EQ(std::count(stopped.begin(), stopped.end(), "KeyWaiting"), 8);
    EXPECT_EQ(stopped.back(), "KeyWaiting");
    EXPECT_EQ(RecordedLog()[RecordedLog().size() - 5], "ASIOGenerateSweepWavB 100/10000/0.5/24")
        << "straight to the farewell, without a pause";
}

TEST(TuneTwo, HasTheShapeOfItsScore) {
    const TuneShape shape = ShapeOf(PlayedTune(0));
    EXPECT_EQ(shape.phrases, 40);
    EXPECT_EQ(shape.attenuations.count(0), 1u);
    EXPECT_EQ(*shape.attenuations.rbegin(), 20);
    EXPECT_TRUE(shape.phrasesWithUnwaitedNotes.empty());
    EXPECT_NEAR(shape.seconds, 54.0, 1.0);
}

}  // namespace
