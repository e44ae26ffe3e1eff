// Drivers that break their side of the bargain, scripted through the test
// card: absurd channel counts, buffer sizes and sample rates, buffers without
// addresses, texts without terminators, unknown sample types, a stop from
// inside the card's own callback, callbacks made from inside the host's own
// call to the card, and buffer switches before the buffers are complete,
// after the teardown or with a wrong index. Each must leave the
// host standing, write nothing outside the card's guard bytes, and say why in
// the log or by refusing. Thread: the test's own, and the card's thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host/host_session.h"
#include "host/library_state.h"
#include "support/session_fixture.h"

namespace {

using namespace tonegate_test_card;
using Lines = std::vector<std::string>;

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t kListedChannels = 1024;
constexpr int32_t kLargestBuffer = 1 << 20;
constexpr const char* kNoOutput = "There doesn't seem to be any analog I/O channels!";
constexpr const char* kNoAddress = "Failed: CreatePrimaryBuffer - the driver gave no address for a buffer half!";
constexpr const char* kUnsupported = "Can't support sound card's internal format!";

class HostileDriverTest : public tonegate_test::SessionTest {
protected:
    // Whether every byte of half `index` of channel `channel` is `value`.
    bool HalfIs(int channel, int index, uint8_t value) const {
        const HandedBuffer& buffer = card_->record.buffers[channel];
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer.halves[index]);
        return std::all_of(bytes, bytes + buffer.bytes, [value](uint8_t b) { return b == value; });
    }
    bool AllHalvesAre(uint8_t value) const {
        for (int channel = 0; channel < card_->record.bufferCount; ++channel)
            for (int index = 0; index < 2; ++index)
                if (!HalfIs(channel, index, value)) return false;
        return true;
    }
    // Closes the run and checks the guards the card found when it freed the halves.
    void CloseExpectingIntactGuards() {
        ASIOCloseDriver();
        EXPECT_EQ(record().brokenGuardsAtDispose, 0);
    }
    static bool HasLine(const std::string& line) {
        const Lines lines = tonegate_test::CurrentRunLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    static size_t CountLinesStartingWith(const std::string& prefix) {
        const Lines lines = tonegate_test::CurrentRunLines();
        return static_cast<size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
    }
};

// Channel counts: how many the card claims, how many the survey lists, and
// whether the session is refused for want of an output.
struct ChannelCount {
    int32_t outputs;
    int32_t listed;
    bool refused;
};

void PrintTo(const ChannelCount& c, std::ostream* out) { *out << c.outputs << " outputs"; }

class ChannelCounts : public HostileDriverTest, public ::testing::WithParamInterface<ChannelCount> {};

TEST_P(ChannelCounts, SurveyListsABoundedNumberAndANegativeCountIsNoOutput) {
    const ChannelCount& c = GetParam();
    script().outputChannels = c.outputs;
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_EQ(ASIOSystemInit(GetDesktopWindow()), !c.refused);
    EXPECT_EQ(CountLinesStartingWith("Channel: "), static_cast<size_t>(c.listed));
    // The driver is asked about the listed channels and a few things more,
    // however many it claims.
    EXPECT_LT(record().callCount, c.listed + 32);
    EXPECT_EQ(HasLine(kNoOutput), c.refused);
    const int32_t unlisted = c.refused ? 0 : c.outputs - c.listed;
    EXPECT_EQ(HasLine("Output channels not listed: " + std::to_string(unlisted)), unlisted > 0);
    EXPECT_EQ(CountLinesStartingWith("Output channels not listed"), unlisted > 0 ? 1u : 0u);
    CloseExpectingIntactGuards();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, ChannelCounts,
    ::testing::Values(ChannelCount{kListedChannels, kListedChannels, false},
                      ChannelCount{kListedChannels + 1, kListedChannels, false},
                      ChannelCount{100000, kListedChannels, false}, ChannelCount{kInt32Max, kListedChannels, false},
                      ChannelCount{0, 0, true}, ChannelCount{-1, 0, true}, ChannelCount{kInt32Min, 0, true}));

// The card reports zeros for the channels beyond those it has scripts for;
// the line about the rest follows the last listed one, before the count of
// the first group, which covers the listed channels.
TEST_F(HostileDriverTest, ChannelsNotListedAreCountedAfterTheLastListedOne) {
    script().outputChannels = kInt32Max;
    ASSERT_TRUE(OpenAndInit());
    const Lines lines = LinesFrom("Channel: " + std::to_string(kListedChannels - 1) +
                                  " - Group: 0 - , ASIO sample type: ASIOSTInt16MSB");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Output channels not listed: " + std::to_string(kInt32Max - kListedChannels));
    EXPECT_EQ(lines[2], "Num first group output channels: " + std::to_string(kListedChannels));
}

// Buffer sizes no card can mean: refused before createBuffers is asked, even
// by a card that would answer ASE_OK to anything.
class UnusableBufferSizes : public HostileDriverTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(UnusableBufferSizes, AreRefusedBeforeTheDriverIsAskedForBuffers) {
    script().preferredSize = GetParam();
    script().acceptsAnyBufferSize = ASIOTrue;
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    EXPECT_EQ(LinesFrom("asioDriverInfo.outputBuffers to activate: 2"),
              (Lines{"asioDriverInfo.outputBuffers to activate: 2",
                     "Failed: CreatePrimaryBuffer - unusable preferredSize: " + std::to_string(GetParam()), "",
                     "Final noteCount: " + std::to_string(static_cast<int32_t>(noteCount))}));
    EXPECT_EQ(CountCalls(*card_, Operation::CreateBuffers), 0);
    EXPECT_EQ(CountCalls(*card_, Operation::DisposeBuffers), 0);
    EXPECT_EQ(pSineGeneratorA, nullptr);
    EXPECT_EQ(pSineGeneratorB, nullptr);
    // Nothing is played on a session that does not exist.
    EXPECT_EQ(ASIOGenerateSineWavA(440.0, 1.0, 0), 0u);
    EXPECT_EQ(CountCalls(*card_, Operation::Start), 0);
}

INSTANTIATE_TEST_SUITE_P(Hostile, UnusableBufferSizes,
                         ::testing::Values(0, -1, -4096, kInt32Min, kLargestBuffer + 1, 1 << 30, kInt32Max));

// Sizes that are odd or at the bound are played as they are.
struct UsableSize {
    int32_t frames;
    ASIOSampleType type;
    bool noteFits;  // a one-second note at 48 kHz is longer than one half
};

void PrintTo(const UsableSize& s, std::ostream* out) { *out << s.frames << " frames, type " << s.type; }

class UsableBufferSizes : public HostileDriverTest, public ::testing::WithParamInterface<UsableSize> {};

TEST_P(UsableBufferSizes, ArePlayedWithinTheHalves) {
    const UsableSize& s = GetParam();
    script().preferredSize = s.frames;
    script().outputs[0].type = script().outputs[1].type = s.type;
    ASSERT_TRUE(OpenAndInit());
    const uint32_t sampleBytes = s.type == ASIOSTInt16LSB ? 2 : 4;
    EXPECT_EQ(nBufferBytes, static_cast<uint32_t>(s.frames) * sampleBytes);
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    EXPECT_EQ(HasLine("Failed: pSineGeneratorA->PlaySineWav"), !s.noteFits);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Pump(i % 2));
    EXPECT_TRUE(BuffersIntact(*card_));
    EXPECT_TRUE(HalfIs(1, 0, 0));
    EXPECT_TRUE(HalfIs(1, 1, 0));
    // A sounding first block has non-zero samples once the attack is under way.
    EXPECT_EQ(!HalfIs(0, 1, 0), s.noteFits);
    CloseExpectingIntactGuards();
}

INSTANTIATE_TEST_SUITE_P(Hostile, UsableBufferSizes,
                         ::testing::Values(UsableSize{1, ASIOSTInt32LSB, true}, UsableSize{3, ASIOSTInt16LSB, true},
                                           UsableSize{37, ASIOSTInt32LSB, true},
                                           UsableSize{999, ASIOSTInt16LSB, true},
                                           UsableSize{kLargestBuffer, ASIOSTInt32LSB, false}));

// Rates no clock has: the survey logs them without an undefined conversion,
// the generators refuse notes and ignore sweeps, and the card gets silence.
struct BadRate {
    double rate;
    int32_t logged;  // the whole number the log shows
};

void PrintTo(const BadRate& r, std::ostream* out) { *out << r.rate << " Hz"; }

class BadSampleRates : public HostileDriverTest, public ::testing::WithParamInterface<BadRate> {};

TEST_P(BadSampleRates, AreLoggedSafelyAndRefuseEveryNote) {
    const BadRate& r = GetParam();
    script().sampleRate = r.rate;
    ASSERT_TRUE(OpenAndInit());
    EXPECT_TRUE(HasLine("sampleRate: " + std::to_string(r.logged)));
    const uint32_t notesBefore = noteCount;
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    ASIOGenerateSweepWavB(100.0, 1000.0, 1.0, 0);
    EXPECT_EQ(noteCount, notesBefore + 1);
    EXPECT_EQ(LinesFrom("Failed: pSineGeneratorA->PlaySineWav"),
              (Lines{"Failed: pSineGeneratorA->PlaySineWav", "frequency: 440.000000", "seconds: 1.000000",
                     "noteCount: " + std::to_string(static_cast<int32_t>(noteCount))}));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Pump(i % 2));
    EXPECT_TRUE(AllHalvesAre(0));
    EXPECT_TRUE(BuffersIntact(*card_));
    EXPECT_EQ(ASIOGetSampleRate(), r.logged);
    EXPECT_TRUE(HasLine("Sample rate: " + std::to_string(r.logged)));
    CloseExpectingIntactGuards();
}

INSTANTIATE_TEST_SUITE_P(Hostile, BadSampleRates,
                         ::testing::Values(BadRate{std::nan(""), 0},
                                           BadRate{std::numeric_limits<double>::infinity(), kInt32Max},
                                           BadRate{-std::numeric_limits<double>::infinity(), kInt32Min},
                                           BadRate{0.0, 0}, BadRate{-48000.0, -48000}, BadRate{1e300, kInt32Max}));

TEST_F(HostileDriverTest, BuffersWithoutAddressesAreRefusedAndStillDisposedOf) {
    script().fillsBufferPointers = ASIOFalse;
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    EXPECT_EQ(LinesFrom(kNoAddress), (Lines{kNoAddress, "", "Final noteCount: " +
                                                                 std::to_string(static_cast<int32_t>(noteCount))}));
    // The card said it made them, so they are the card's to free.
    EXPECT_EQ(CountCalls(*card_, Operation::DisposeBuffers), 1);
    EXPECT_EQ(pSineGeneratorA, nullptr);
    EXPECT_EQ(pSineGeneratorB, nullptr);
    // A card that switches all the same finds nothing to write through.
    ASSERT_NE(record().callbacks.bufferSwitch, nullptr);
    record().callbacks.bufferSwitch(0, ASIOTrue);
    record().callbacks.bufferSwitch(1, ASIOTrue);
    EXPECT_EQ(CountCalls(*card_, Operation::OutputReady), 1);  // the probe only
}

// Texts the card does not terminate are cut at the end of their fields.
TEST_F(HostileDriverTest, DriverNameWithoutTerminatorIsCutAtTheField) {
    std::memset(script().driverName, 'N', sizeof script().driverName);
    ASSERT_TRUE(OpenAndInit());
    EXPECT_TRUE(HasLine(std::string(kNameBytes - 1, 'N')));
    EXPECT_EQ(std::string(pASIOBuffers->driverName), std::string(kNameBytes - 1, 'N'));
}

TEST_F(HostileDriverTest, ErrorMessageWithoutTerminatorIsCutAtTheField) {
    script().initResult = ASIOFalse;
    std::memset(script().errorMessage, 'E', sizeof script().errorMessage);
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    const Lines lines = LinesFrom("!pASIOBuffers->bInitSuccess");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], std::string(kNameBytes - 1, 'E'));
}

TEST_F(HostileDriverTest, ChannelNameWithoutTerminatorIsCutAtTheField) {
    char(&name)[32] = script().outputs[0].name;
    std::memset(name, 'C', sizeof name);
    ASSERT_TRUE(OpenAndInit());
    EXPECT_TRUE(HasLine("Channel: 0 - Group: 0 - " + std::string(sizeof name - 1, 'C') +
                        ", ASIO sample type: ASIOSTInt32LSB"));
}

// Sample types outside the table, on the channel that sets the format.
class JunkSampleTypes : public HostileDriverTest, public ::testing::WithParamInterface<ASIOSampleType> {};

TEST_P(JunkSampleTypes, OnTheFirstChannelAreAnUnknownFormatAndRefused) {
    script().outputs[0].type = GetParam();
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    EXPECT_TRUE(HasLine("Channel: 0 - Group: 0 - Out 1, ASIO sample type: Unknown format"));
    EXPECT_TRUE(HasLine("First group output ASIO sample type: Unknown format"));
    EXPECT_TRUE(HasLine(kUnsupported));
    EXPECT_EQ(CountCalls(*card_, Operation::CreateBuffers), 0);
}

TEST_P(JunkSampleTypes, OnTheSecondChannelAreCaughtWhenTheBuffersAreReadBack) {
    script().outputs[1].type = GetParam();
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    EXPECT_TRUE(HasLine("Channel: 1 - Group: 0 - Out 2, ASIO sample type: Unknown format"));
    EXPECT_TRUE(HasLine("Internal format of these buffers didn't turn out to be what we thought!"));
    EXPECT_EQ(CountCalls(*card_, Operation::DisposeBuffers), 1);
}

INSTANTIATE_TEST_SUITE_P(Hostile, JunkSampleTypes, ::testing::Values(-1, 5, 21, 28, 1000, kInt32Min, kInt32Max));

// The card's own thread asks for a reset: the host stops the card from inside
// the card's callback, and the card's thread ends without being joined there.
TEST_F(HostileDriverTest, StopFromInsideTheCardsOwnCallbackEndsItsThread) {
    script().ownThread = ASIOTrue;
    script().resetRequestAfterSwitches = 3;
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // The host logs the request once the stop has returned: wait for both.
    while ((IsRunning(*card_) || !HasLine("asioMessages: kAsioResetRequest")) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(IsRunning(*card_));
    EXPECT_EQ(ThreadSwitches(*card_), 3);
    EXPECT_TRUE(HasLine("asioMessages: kAsioResetRequest"));
    // The session stays started: no later request starts the card again.
    ASIOGenerateSineWavB(440.0, 1.0, 0);
    EXPECT_EQ(CountCalls(*card_, Operation::Start), 1);
    EXPECT_EQ(CountCalls(*card_, Operation::Stop), 1);
    CloseExpectingIntactGuards();
    EXPECT_EQ(CountCalls(*card_, Operation::Stop), 2);
    EXPECT_EQ(ThreadSwitches(*card_), 3);
}

// A card whose thread goes on switching after stop returned and after the
// session is gone: its halves, still its own, are left as they are, with
// output enabled or not, and the card is no longer called, not even by a
// reset request (a watchdog's, racing the close).
TEST_F(HostileDriverTest, SwitchesAndMessagesAfterTheTeardownWriteNothingAndCallNothing) {
    script().keepsBuffersAfterDispose = ASIOTrue;
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    ASSERT_TRUE(Pump(0));
    ASSERT_TRUE(Pump(1));
    const ASIOCallbacks callbacks = record().callbacks;
    IASIO* card = ptrASIO;
    card->AddRef();  // the card outlives the host's reference, as its thread would
    ASIOCloseDriver();
    ASSERT_EQ(record().liveObjects, 1);
    EXPECT_EQ(record().brokenGuardsAtDispose, 0);
    ASSERT_TRUE(AllHalvesAre(kFreshBufferByte));
    const int readyCalls = CountCalls(*card_, Operation::OutputReady);
    for (bool enabled : {true, false}) {
        ASIOEnableWav(enabled);
        for (int32_t index : {0, 1, 0, 1}) callbacks.bufferSwitch(index, ASIOTrue);
    }
    const int32_t calls = record().callCount;
    EXPECT_EQ(callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr), 0);
    EXPECT_TRUE(AllHalvesAre(kFreshBufferByte));
    EXPECT_TRUE(BuffersIntact(*card_));
    EXPECT_EQ(CountCalls(*card_, Operation::OutputReady), readyCalls);
    EXPECT_EQ(record().callCount, calls);
    card->Release();
    EXPECT_EQ(record().liveObjects, 0);
}

// A card that switches inside createBuffers, before the host has its buffer
// size: a previous run's larger size must not reach the new, smaller halves.
TEST_F(HostileDriverTest, SwitchesBeforeTheBuffersAreCompleteWriteNothing) {
    script().preferredSize = 4096;
    ASSERT_TRUE(OpenAndInit());
    CloseExpectingIntactGuards();

    script().preferredSize = 32;
    script().switchesInCreateBuffers = ASIOTrue;
    ASSERT_TRUE(OpenAndInit());
    EXPECT_TRUE(BuffersIntact(*card_));
    EXPECT_TRUE(AllHalvesAre(kFreshBufferByte));
    // Once set up, the session plays as usual.
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    ASSERT_TRUE(Pump(0));
    EXPECT_TRUE(HalfIs(1, 0, 0));
    CloseExpectingIntactGuards();
}

// Callbacks from inside the host's own call to the card: a stop that asks
// for a reset, an outputReady that switches again. The host answers without
// calling the card back, so neither recurses.
TEST_F(HostileDriverTest, ResetRequestFromInsideStopIsAnsweredWithoutAnotherStop) {
    script().stopPostsResetRequest = ASIOTrue;
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    EXPECT_EQ(SendAsioMessage(*card_, kAsioResetRequest, 0), 1);
    EXPECT_EQ(CountCalls(*card_, Operation::Stop), 1);
    EXPECT_EQ(CountLinesStartingWith("asioMessages: kAsioResetRequest"), 1u);
    // The teardown's stop asks once more, and is not answered with a stop either.
    CloseExpectingIntactGuards();
    EXPECT_EQ(CountCalls(*card_, Operation::Stop), 2);
}

TEST_F(HostileDriverTest, SwitchFromInsideOutputReadyWritesNothing) {
    script().outputReadySwitches = ASIOTrue;
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    const int readyCalls = CountCalls(*card_, Operation::OutputReady);
    ASSERT_TRUE(Pump(1));
    EXPECT_EQ(CountCalls(*card_, Operation::OutputReady), readyCalls + 1);
    EXPECT_TRUE(HalfIs(0, 0, kFreshBufferByte));
    EXPECT_TRUE(HalfIs(1, 0, kFreshBufferByte));
    EXPECT_FALSE(HalfIs(0, 1, kFreshBufferByte));
    CloseExpectingIntactGuards();
}

TEST_F(HostileDriverTest, SwitchWithAnIndexOtherThanZeroOrOneTouchesNothing) {
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 1.0, 0);
    const int readyCalls = CountCalls(*card_, Operation::OutputReady);
    for (int32_t index : {7, 2, -1, kInt32Min, kInt32Max}) ASSERT_TRUE(Pump(index));
    EXPECT_TRUE(AllHalvesAre(kFreshBufferByte));
    EXPECT_EQ(CountCalls(*card_, Operation::OutputReady), readyCalls);
    CloseExpectingIntactGuards();
}

}  // namespace
