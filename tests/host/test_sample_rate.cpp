// Sample-rate control through ASIOSetSampleRate and ASIOGetSampleRate: the
// card's answers that refuse a rate and their log lines, the rate the card
// reports afterwards, and the refusal without a session.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "host/host_session.h"
#include "host/library_state.h"
#include "support/session_fixture.h"
#include "synth/sine_generator.h"

namespace {

using namespace tonegate_test_card;
using Lines = std::vector<std::string>;

constexpr const char* kNotInitialized = "Failed: ASIOSetSampleRate - ASIO system not initialized!";
constexpr const char* kRateLockedComma = "Ensure you don't have 'Rate Locked' set in the sound card's control panel,";
constexpr const char* kRateLockedStop = "Ensure you don't have 'Rate Locked' set in the sound card's control panel.";

class SampleRateTest : public tonegate_test::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        ASSERT_TRUE(OpenAndInit());
        NewLines();
    }
    // The lines written since the last mark, marking the end of the log anew.
    Lines NewLines() {
        const Lines all = tonegate_test::CurrentRunLines();
        Lines fresh;
        for (size_t i = lastLine_; i < all.size(); ++i) fresh.push_back(all[i]);
        lastLine_ = all.size();
        return fresh;
    }
    const Call* LastCallOf(Operation operation) const {
        const Call* found = nullptr;
        for (int i = 0; i < std::min(card_->record.callCount, kMaxCalls); ++i)
            if (card_->record.calls[i].operation == operation) found = &card_->record.calls[i];
        return found;
    }
    size_t lastLine_ = 0;
};

// One answer of the card to a request for 96000 Hz.
struct RateCase {
    const char* name;
    ASIOError canResult;
    ASIOError setResult;
    bool accepted;
    bool asksSetSampleRate;
    Lines lines;
};

void PrintTo(const RateCase& rateCase, std::ostream* out) { *out << rateCase.name; }

class SetSampleRateTest : public SampleRateTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(SetSampleRateTest, FollowsTheCardsAnswers) {
    script().canSampleRateResult = GetParam().canResult;
    script().setSampleRateResult = GetParam().setResult;
    const int rateReadsBefore = CountCalls(*card_, Operation::GetSampleRate);
    EXPECT_EQ(ASIOSetSampleRate(96000), GetParam().accepted);
    EXPECT_EQ(NewLines(), GetParam().lines);
    const Call* asked = LastCallOf(Operation::CanSampleRate);
    ASSERT_NE(asked, nullptr);
    EXPECT_EQ(asked->real, 96000.0);
    EXPECT_EQ(CountCalls(*card_, Operation::SetSampleRate), GetParam().asksSetSampleRate ? 1 : 0);
    // A refused rate leaves the known rate as it was, without asking the card.
    EXPECT_EQ(CountCalls(*card_, Operation::GetSampleRate), rateReadsBefore + (GetParam().accepted ? 1 : 0));
    EXPECT_EQ(asioDriverInfo.sampleRate, GetParam().accepted ? 96000.0 : 48000.0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SetSampleRateTest,
    ::testing::Values(
        RateCase{"Accepted", ASE_OK, ASE_OK, true, true, {"Set sample rate: 96000"}},
        RateCase{"NoClock",
                 ASE_NoClock,
                 ASE_OK,
                 false,
                 false,
                 {"Failed: SetSampleRate", kRateLockedComma, "...or perhaps requested sample rate is not supported: 96000"}},
        RateCase{"NotPresent", ASE_NotPresent, ASE_OK, false, false,
                 {"Can't set requested sample rate: No external clock I/O"}},
        // Any other answer of canSampleRate lets setSampleRate decide.
        RateCase{"InvalidParameterThenSet", ASE_InvalidParameter, ASE_OK, true, true, {"Set sample rate: 96000"}},
        RateCase{"InvalidParameterThenSetFails",
                 ASE_InvalidParameter,
                 ASE_NoClock,
                 false,
                 true,
                 {"Couldn't set sound card to requested sample rate: 96000", kRateLockedStop}},
        RateCase{"SetFails",
                 ASE_OK,
                 ASE_NotPresent,
                 false,
                 true,
                 {"Couldn't set sound card to requested sample rate: 96000", kRateLockedStop}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SampleRateTest, NotesFollowTheRateTheCardReportsNotTheOneAskedFor) {
    script().rateAfterSet = 95999.9;
    EXPECT_TRUE(ASIOSetSampleRate(96000));
    EXPECT_EQ(NewLines(), Lines{"Set sample rate: 95999"});
    EXPECT_EQ(asioDriverInfo.sampleRate, 95999.9);
    ASSERT_NE(ASIOGenerateSineWavA(1000.0, 0.5, 0), 0u);
    // The note begins as the same note at the reported rate does, not as at 96 kHz.
    EXPECT_TRUE(NextHalfBeginsAs(95999.9, 1000.0, 0.5, 0));
}

TEST_F(SampleRateTest, SetSucceedsWhateverTheRateReadBackReturns) {
    script().getSampleRateResult = ASE_NotPresent;
    script().rateAfterSet = 88200.0;
    EXPECT_TRUE(ASIOSetSampleRate(88200));
    EXPECT_EQ(NewLines(), Lines{"Set sample rate: 88200"});
}

// A failed read reports what the card last wrote, not the rate just refused.
struct ReadFailure {
    const char* name;
    ASIOError result;
    const char* line;
};

void PrintTo(const ReadFailure& failure, std::ostream* out) { *out << failure.name; }

class GetSampleRateFailureTest : public SampleRateTest, public ::testing::WithParamInterface<ReadFailure> {};

TEST_P(GetSampleRateFailureTest, ReturnsZeroAndTheLastKnownRate) {
    script().setSampleRateResult = ASE_NoClock;
    EXPECT_FALSE(ASIOSetSampleRate(96000));
    NewLines();
    script().sampleRate = 44100.7;
    script().getSampleRateResult = GetParam().result;
    EXPECT_EQ(ASIOGetSampleRate(), 0);
    EXPECT_EQ(NewLines(), (Lines{GetParam().line, "Last known sample rate: 44100"}));
}

INSTANTIATE_TEST_SUITE_P(
    Results, GetSampleRateFailureTest,
    ::testing::Values(ReadFailure{"NotPresent", ASE_NotPresent, "Failed: GetSampleRate - No external clock I/O"},
                      ReadFailure{"NoClock", ASE_NoClock, "Failed: function GetSampleRate - Reason unknown"},
                      // Only ASE_OK is success.
                      ReadFailure{"Positive", 1, "Failed: function GetSampleRate - Reason unknown"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SampleRateTest, GetAfterSetReturnsTheNewRate) {
    EXPECT_TRUE(ASIOSetSampleRate(44100));
    EXPECT_TRUE(ASIOSetSampleRate(48000));
    NewLines();
    EXPECT_EQ(ASIOGetSampleRate(), 48000);
    EXPECT_EQ(NewLines(), Lines{"Sample rate: 48000"});
}

// The rate is unsigned for the card and signed 32-bit in the log.
TEST_F(SampleRateTest, RatesBeyondTheSignedRangeAreLoggedNegative) {
    script().canSampleRateResult = ASE_NoClock;
    EXPECT_FALSE(ASIOSetSampleRate(3000000000u));
    ASSERT_NE(LastCallOf(Operation::CanSampleRate), nullptr);
    EXPECT_EQ(LastCallOf(Operation::CanSampleRate)->real, 3000000000.0);
    script().canSampleRateResult = ASE_OK;
    script().setSampleRateResult = ASE_NoClock;
    EXPECT_FALSE(ASIOSetSampleRate(2147483648u));
    ASSERT_NE(LastCallOf(Operation::SetSampleRate), nullptr);
    EXPECT_EQ(LastCallOf(Operation::SetSampleRate)->real, 2147483648.0);
    EXPECT_EQ(NewLines(), (Lines{"Failed: SetSampleRate", kRateLockedComma,
                                 "...or perhaps requested sample rate is not supported: -1294967296",
                                 "Couldn't set sound card to requested sample rate: -2147483648", kRateLockedStop}));
}

class SampleRateWithoutSessionTest : public tonegate_test::SessionTest {};

TEST_F(SampleRateWithoutSessionTest, BothExportsRefuseWithTheSettersLine) {
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSetSampleRate(48000));
    EXPECT_EQ(ASIOGetSampleRate(), 0);
    // After a refused initialisation there is still no session.
    script().initResult = ASIOFalse;
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    EXPECT_FALSE(ASIOSetSampleRate(48000));
    EXPECT_EQ(ASIOGetSampleRate(), 0);
    const Lines lines = LinesFrom("asioOpenDriver success!");
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 4),
              (Lines{"asioOpenDriver success!", kNotInitialized, kNotInitialized, "Total num devices found: 1"}));
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"Final noteCount: " + std::to_string(static_cast<int32_t>(noteCount)), kNotInitialized,
                     kNotInitialized}));
    EXPECT_EQ(CountCalls(*card_, Operation::CanSampleRate), 0);
    EXPECT_EQ(CountCalls(*card_, Operation::GetSampleRate), 0);
}

}  // namespace
