// The driver's messages and its sample-rate change, sent by the test card to
// the host's callbacks: every selector's result and log line, a rate change
// that changes nothing, and a reset request that stops the driver for good
// and gives the driver's reason for it.
// Thread: the test's own, standing in for the card's real-time thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "host/host_session.h"
#include "host/library_state.h"
#include "host/tonegate.h"
#include "support/session_fixture.h"
#include "synth/sine_generator.h"

namespace {

using tonegate_test_card::CountCalls;
using tonegate_test_card::IsRunning;
using tonegate_test_card::Operation;
using tonegate_test_card::SendAsioMessage;
using tonegate_test_card::SendSampleRateDidChange;
using Lines = std::vector<std::string>;

constexpr const char* kReady = "CreatePrimaryBuffer success!";
constexpr const char* kSelectorSupported = "asioMessages: kAsioSelectorSupported";

struct MessageCase {
    int32_t selector;
    int32_t value;
    int32_t result;
    const char* line;  // null: none
};

void PrintTo(const MessageCase& message, std::ostream* out) {
    *out << "selector " << message.selector << ", value " << message.value;
}

class DriverMessageTest : public tonegate_test::SessionTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(DriverMessageTest, AnswersAndLogsAsItsSelectorSays) {
    const MessageCase& message = GetParam();
    ASSERT_TRUE(OpenAndInit());
    const int32_t calls = record().callCount;
    double opt = 1.5;
    char text[] = "unused";

    EXPECT_EQ(SendAsioMessage(*card_, message.selector, message.value, text, &opt), message.result);

    Lines expected{kReady};
    if (message.line != nullptr) expected.push_back(message.line);
    EXPECT_EQ(LinesFrom(kReady), expected);
    EXPECT_EQ(record().callCount, calls);  // asks the driver nothing
    EXPECT_EQ(opt, 1.5);
    EXPECT_STREQ(text, "unused");
}

INSTANTIATE_TEST_SUITE_P(
    Selectors, DriverMessageTest,
    ::testing::Values(
        // Whether a selector is supported: the line whatever the answer.
        MessageCase{1, 2, 1, kSelectorSupported}, MessageCase{1, 3, 1, kSelectorSupported},
        MessageCase{1, 5, 1, kSelectorSupported}, MessageCase{1, 6, 1, kSelectorSupported},
        MessageCase{1, 7, 1, kSelectorSupported}, MessageCase{1, 8, 1, kSelectorSupported},
        MessageCase{1, 10, 1, kSelectorSupported}, MessageCase{1, 4, 0, kSelectorSupported},
        MessageCase{1, 9, 0, kSelectorSupported}, MessageCase{1, 0, 0, kSelectorSupported},
        MessageCase{1, 1, 0, kSelectorSupported}, MessageCase{1, 11, 0, kSelectorSupported},
        MessageCase{2, 0, 2, "asioMessages: kAsioEngineVersion"},
        MessageCase{5, 0, 1, "asioMessages: kAsioResyncRequest"},
        MessageCase{6, 0, 1, "asioMessages: kAsioLatenciesChanged"},
        MessageCase{7, 0, 0, "asioMessages: kAsioSupportsTimeInfo"},
        MessageCase{8, 0, 0, "asioMessages: kAsioSupportsTimeCode"},
        // Unknown selectors: no answer and no line.
        MessageCase{4, 0, 0, nullptr}, MessageCase{9, 2, 0, nullptr}, MessageCase{10, 0, 0, nullptr},
        MessageCase{11, 0, 0, nullptr}, MessageCase{0, 2, 0, nullptr}, MessageCase{-1, 2, 0, nullptr}),
    [](const auto& info) {
        const auto number = [](int32_t n) { return n < 0 ? "Minus" + std::to_string(-n) : std::to_string(n); };
        return "Selector" + number(info.param.selector) + "Value" + number(info.param.value);
    });

class DriverEventTest : public tonegate_test::SessionTest {};

TEST_F(DriverEventTest, SampleRateChangeLeavesTheSessionAsItWas) {
    ASSERT_TRUE(OpenAndInit());
    const int32_t calls = record().callCount;
    for (double rate : {96000.0, 0.0, std::nan("")}) EXPECT_TRUE(SendSampleRateDidChange(*card_, rate));

    EXPECT_EQ(asioDriverInfo.sampleRate, 48000.0);
    EXPECT_EQ(LinesFrom(kReady), Lines{kReady});
    EXPECT_EQ(record().callCount, calls);
    // The note is computed for the rate the host knows: it begins as the same note at 48 kHz does.
    ASIOGenerateSineWavA(440.0, 0.1, 0);
    EXPECT_TRUE(NextHalfBeginsAs(48000.0, 440.0, 0.1, 0));
}

TEST_F(DriverEventTest, ResetRequestStopsTheDriverAndNothingStartsItAgain) {
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 0.5, 0);  // starts the card
    const uint32_t counted = noteCount;  // counts since the library was loaded
    ASSERT_TRUE(IsRunning(*card_));
    ASSERT_TRUE(Pump(0));

    EXPECT_EQ(SendAsioMessage(*card_, kAsioResetRequest, 0), 1);
    EXPECT_FALSE(IsRunning(*card_));
    EXPECT_EQ(CountCalls(*card_, Operation::Stop), 1);
    EXPECT_EQ(record().calls[record().callCount - 1].operation, Operation::Stop);

    // B takes its note but never plays it; A still holds its own, so both refuse more.
    ASIOGenerateSineWavB(660.0, 0.1, 0);
    ASIOGenerateSweepWavA(100.0, 200.0, 0.5, 0);
    ASIOGenerateSineWavA(550.0, 0.1, 0);
    ASIOGenerateSineWavB(770.0, 0.2, 0);
    EXPECT_EQ(CountCalls(*card_, Operation::Start), 1);
    EXPECT_FALSE(Pump(1));
    EXPECT_TRUE(pSineGeneratorA->bSineActive.load());
    EXPECT_TRUE(pSineGeneratorB->bSineActive.load());

    EXPECT_EQ(LinesFrom(kReady),
              (Lines{kReady, "asioMessages: kAsioResetRequest", "Failed: pSineGeneratorA->PlaySineWav",
                     "frequency: 550.000000", "seconds: 0.100000", "noteCount: " + std::to_string(counted + 2),
                     "Failed: pSineGeneratorB->PlaySineWav", "frequency: 770.000000", "seconds: 0.200000",
                     "noteCount: " + std::to_string(counted + 3)}));
}

// A card whose device failed keeps its reason for getErrorMessage and asks
// for a reset: the reason follows the request's line, as one line, cut to
// its field when the card does not terminate it.
TEST_F(DriverEventTest, ResetRequestIsFollowedByTheDriversReason) {
    const auto expectReason = [&](const std::string& reason) {
        ASSERT_TRUE(OpenAndInit());
        EXPECT_EQ(SendAsioMessage(*card_, kAsioResetRequest, 0), 1);
        EXPECT_EQ(LinesFrom(kReady), (Lines{kReady, "asioMessages: kAsioResetRequest", "Driver reports: " + reason}));
        ASIOCloseDriver();
    };
    tonegate_test_card::SetText(script().errorMessage, "hw:1 lost: device unplugged");
    expectReason("hw:1 lost: device unplugged");
    tonegate_test_card::SetText(script().errorMessage, "server gone\r\nxruns: 3");
    expectReason("server gone  xruns: 3");
    std::memset(script().errorMessage, 'E', sizeof script().errorMessage);
    expectReason(std::string(sizeof script().errorMessage - 1, 'E'));
}

}  // namespace
