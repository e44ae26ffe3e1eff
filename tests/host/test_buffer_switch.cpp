// The buffer switch through the real exports and the test card: silence and
// frozen generators while output is disabled, a missing or idle generator,
// the exact size of a cleared half, two voices that start together, a note
// beside a sweep, outputReady, out-of-range halves and the zero sum of every
// note in both sample formats. Thread: the test's own, which pumps the
// switches as the card's real-time thread would.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "host/host_session.h"
#include "host/tonegate.h"
#include "support/session_fixture.h"
#include "support/waiting.h"
#include "synth/sine_generator.h"

namespace {

using tonegate_test::Busy;

using tonegate_test_card::BuffersIntact;
using tonegate_test_card::CountCalls;
using tonegate_test_card::Operation;

constexpr int32_t kFrames = 256;  // the card's preferred size
// A bound on any note or sweep of these tests, in switches.
constexpr int kSwitchLimit = 5000;

// Both channels' halves as one switch left them.
using Halves = std::array<std::vector<int32_t>, 2>;

bool AllZero(const std::vector<int32_t>& samples) {
    for (int32_t sample : samples)
        if (sample != 0) return false;
    return true;
}

// The generators keep a note's sum in 32-bit arithmetic that wraps, so that
// is the sum a note cancels.
int32_t Sum(const std::vector<int32_t>& samples) {
    uint32_t sum = 0;
    for (int32_t sample : samples) sum += static_cast<uint32_t>(sample);
    return static_cast<int32_t>(sum);
}

// One channel of a run, switch after switch.
std::vector<int32_t> Channel(const std::vector<Halves>& run, int channel) {
    std::vector<int32_t> samples;
    for (const Halves& halves : run) samples.insert(samples.end(), halves[channel].begin(), halves[channel].end());
    return samples;
}

// Index of the first non-zero sample; -1 when there is none.
long FirstSound(const std::vector<int32_t>& samples) {
    for (size_t i = 0; i < samples.size(); ++i)
        if (samples[i] != 0) return static_cast<long>(i);
    return -1;
}

std::string FormatName(bool is16Bit) { return is16Bit ? "Int16" : "Int32"; }

class BufferSwitchTest : public tonegate_test::SessionTest {
protected:
    void TearDown() override {
        // The teardown deletes whatever the globals hold.
        if (hiddenB_ != nullptr) pSineGeneratorB = hiddenB_;
        if (hiddenA_ != nullptr) pSineGeneratorA = hiddenA_;
        SessionTest::TearDown();
    }

    void UseFormat(bool is16Bit) {
        is16Bit_ = is16Bit;
        for (auto& output : script().outputs) output.type = is16Bit ? ASIOSTInt16LSB : ASIOSTInt32LSB;
    }

    std::vector<int32_t> HalfSamples(int channel, int index) const {
        std::vector<int32_t> samples(kFrames);
        for (int i = 0; i < kFrames; ++i)
            samples[i] = is16Bit_ ? Half<int16_t>(channel, index)[i] : Half<int32_t>(channel, index)[i];
        return samples;
    }

    // One switch into the next half, as the running card makes it.
    Halves Switch() {
        const int32_t index = nextIndex_;
        nextIndex_ ^= 1;
        EXPECT_TRUE(Pump(index));
        return {HalfSamples(0, index), HalfSamples(1, index)};
    }

    std::vector<Halves> Run(int switches) {
        std::vector<Halves> run;
        for (int i = 0; i < switches; ++i) run.push_back(Switch());
        return run;
    }

    // Switches until neither generator plays any more.
    std::vector<Halves> RunUntilIdle() {
        std::vector<Halves> run;
        while (Busy(pSineGeneratorA) || Busy(pSineGeneratorB)) {
            run.push_back(Switch());
            if (run.size() > kSwitchLimit) {
                ADD_FAILURE() << "the generators never fell idle";
                break;
            }
        }
        return run;
    }

    bool is16Bit_ = false;
    int32_t nextIndex_ = 0;
    SineGenerator* hiddenA_ = nullptr;
    SineGenerator* hiddenB_ = nullptr;
};

class BufferSwitchFormatTest : public BufferSwitchTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        BufferSwitchTest::SetUp();
        UseFormat(GetParam());
    }
};

TEST_P(BufferSwitchFormatTest, DisabledOutputSilencesBothChannelsAndFreezesThemWhereTheyStood) {
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(1000.0, 0.05, 0);
    ASIOGenerateSweepWavB(200.0, 2000.0, 0.5, 0);
    const std::vector<Halves> uninterrupted = RunUntilIdle();

    ASIOGenerateSineWavA(1000.0, 0.05, 0);
    ASIOGenerateSweepWavB(200.0, 2000.0, 0.5, 0);
    std::vector<Halves> run = Run(3);
    EXPECT_EQ(ASIOEnableWav(false), false);
    for (int i = 0; i < 4; ++i) {
        const Halves silent = Switch();
        EXPECT_TRUE(AllZero(silent[0])) << i;
        EXPECT_TRUE(AllZero(silent[1])) << i;
    }

    // Both go on from where they stood, as if never interrupted.
    EXPECT_EQ(ASIOEnableWav(true), true);
    const std::vector<Halves> rest = RunUntilIdle();
    run.insert(run.end(), rest.begin(), rest.end());
    EXPECT_EQ(Channel(run, 0), Channel(uninterrupted, 0));
    EXPECT_EQ(Channel(run, 1), Channel(uninterrupted, 1));
}

TEST_P(BufferSwitchFormatTest, SilenceClearsExactlyOneHalfOfEachChannel) {
    const int32_t halfBytes = kFrames * (GetParam() ? 2 : 4);
    ASSERT_TRUE(OpenAndInit());
    ASSERT_EQ(record().buffers[0].bytes, halfBytes);
    ASSERT_EQ(record().buffers[1].bytes, halfBytes);
    const std::vector<uint8_t> zeros(static_cast<size_t>(halfBytes), 0);
    const auto cleared = [&](int channel, int index) {
        return std::memcmp(record().buffers[channel].halves[index], zeros.data(), zeros.size()) == 0;
    };

    ASIOEnableWav(false);
    ASIOGenerateSweepWavA(440.0, 880.0, 1.0, 0);  // starts the card; silent for now
    for (int32_t index = 0; index < 2; ++index) {
        ASSERT_TRUE(Pump(index));
        EXPECT_TRUE(cleared(0, index)) << index;
        EXPECT_TRUE(cleared(1, index)) << index;
    }
    EXPECT_TRUE(BuffersIntact(*card_));

    ASIOEnableWav(true);
    for (int32_t index = 0; index < 2; ++index) {
        ASSERT_TRUE(Pump(index));
        EXPECT_FALSE(cleared(0, index)) << index;  // the sweep plays
        EXPECT_TRUE(cleared(1, index)) << index;   // idle
    }
    EXPECT_TRUE(BuffersIntact(*card_));
}

TEST_P(BufferSwitchFormatTest, TwoVoicesBracketedByDisabledOutputStartInTheSameSwitch) {
    ASSERT_TRUE(OpenAndInit());
    ASIOEnableWav(false);
    ASIOGenerateSineWavA(440.0, 0.1, 0);
    std::vector<Halves> run = Run(2);  // A waits, frozen
    ASIOGenerateSineWavB(1250.0, 0.1, 6);
    ASIOEnableWav(true);
    for (const Halves& halves : RunUntilIdle()) run.push_back(halves);

    // Both begin with the first sample of the first switch after enabling.
    EXPECT_EQ(FirstSound(Channel(run, 0)), 2 * kFrames);
    EXPECT_EQ(FirstSound(Channel(run, 1)), 2 * kFrames);
}

TEST_P(BufferSwitchFormatTest, NoteAndSweepOnTheTwoChannelsPlayAsEachDoesAlone) {
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(880.0, 0.05, 3);
    const std::vector<int32_t> noteAlone = Channel(RunUntilIdle(), 0);
    ASIOGenerateSweepWavB(100.0, 1000.0, 0.1, 0);
    const std::vector<Halves> sweepRun = RunUntilIdle();
    // 0.1 s at 48000 Hz is 18.75 blocks, rounded to 19, and a fade-out block.
    ASSERT_EQ(sweepRun.size(), 20u);
    const std::vector<int32_t> sweepAlone = Channel(sweepRun, 1);
    EXPECT_EQ(sweepAlone.front(), 0);
    EXPECT_EQ(sweepAlone.back(), 0);
    EXPECT_NE(sweepAlone[1], 0);

    ASIOGenerateSineWavA(880.0, 0.05, 3);
    ASIOGenerateSweepWavB(100.0, 1000.0, 0.1, 0);
    const std::vector<Halves> together = RunUntilIdle();
    const std::vector<int32_t> noteTogether = Channel(together, 0);
    ASSERT_GE(noteTogether.size(), noteAlone.size());
    EXPECT_EQ(std::vector<int32_t>(noteTogether.begin(), noteTogether.begin() + static_cast<long>(noteAlone.size())),
              noteAlone);
    EXPECT_TRUE(AllZero(std::vector<int32_t>(noteTogether.begin() + static_cast<long>(noteAlone.size()),
                                             noteTogether.end())));
    EXPECT_EQ(Sum(noteTogether), 0);
    EXPECT_EQ(Channel(together, 1), sweepAlone);
    EXPECT_TRUE(AllZero(Switch()[1]));  // silence once the sweep is over
}

INSTANTIATE_TEST_SUITE_P(Formats, BufferSwitchFormatTest, ::testing::Bool(),
                         [](const auto& info) { return FormatName(info.param); });

// The channel that stays silent, and whether its generator is missing or just idle.
struct SilentChannel {
    int channel;
    bool missing;
};

void PrintTo(const SilentChannel& silent, std::ostream* out) {
    *out << (silent.channel == 0 ? "A " : "B ") << (silent.missing ? "missing" : "idle");
}

class SilentChannelTest : public BufferSwitchTest, public ::testing::WithParamInterface<SilentChannel> {};

TEST_P(SilentChannelTest, YieldsZerosWhileTheOtherChannelPlays) {
    const int silent = GetParam().channel;
    const int playing = 1 - silent;
    ASSERT_TRUE(OpenAndInit());
    if (GetParam().missing) {
        SineGenerator*& generator = silent == 0 ? pSineGeneratorA : pSineGeneratorB;
        (silent == 0 ? hiddenA_ : hiddenB_) = generator;
        generator = nullptr;
        // A request for a channel without a generator is refused silently.
        EXPECT_EQ(silent == 0 ? ASIOGenerateSineWavA(660.0, 0.05, 0) : ASIOGenerateSineWavB(660.0, 0.05, 0), 0u);
    }
    if (playing == 0)
        ASIOGenerateSineWavA(550.0, 0.05, 0);
    else
        ASIOGenerateSineWavB(550.0, 0.05, 0);

    const std::vector<Halves> run = RunUntilIdle();
    ASSERT_FALSE(run.empty());
    EXPECT_NE(FirstSound(Channel(run, playing)), -1);
    EXPECT_TRUE(AllZero(Channel(run, silent)));
}

INSTANTIATE_TEST_SUITE_P(Channels, SilentChannelTest,
                         ::testing::Values(SilentChannel{0, true}, SilentChannel{1, true}, SilentChannel{0, false},
                                           SilentChannel{1, false}),
                         [](const auto& info) {
                             return std::string(info.param.channel == 0 ? "A" : "B") +
                                    (info.param.missing ? "Missing" : "Idle");
                         });

class OutputReadyTest : public BufferSwitchTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OutputReadyTest, FollowsEverySwitchOnlyWhenTheProbeSucceeded) {
    const bool wanted = GetParam();
    script().outputReadyResult = wanted ? ASE_OK : ASE_NotPresent;
    ASSERT_TRUE(OpenAndInit());
    const int afterSetup = CountCalls(*card_, Operation::OutputReady);
    ASIOGenerateSineWavA(440.0, 0.1, 0);
    Run(3);
    ASIOEnableWav(false);  // a silent switch is followed all the same
    Run(2);
    EXPECT_EQ(CountCalls(*card_, Operation::OutputReady) - afterSetup, wanted ? 5 : 0);
}

INSTANTIATE_TEST_SUITE_P(Probe, OutputReadyTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Wanted" : "NotWanted"; });

class OutOfRangeIndexTest : public BufferSwitchTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(OutOfRangeIndexTest, TouchesNeitherHalfAndCallsNothing) {
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 0.2, 0);
    ASIOGenerateSweepWavB(300.0, 600.0, 0.5, 0);
    const std::vector<Halves> uninterrupted = RunUntilIdle();
    ASIOGenerateSineWavA(440.0, 0.2, 0);
    ASIOGenerateSweepWavB(300.0, 600.0, 0.5, 0);
    std::vector<Halves> run = Run(2);
    const auto snapshot = [&] {
        std::vector<uint8_t> bytes;
        for (int channel = 0; channel < 2; ++channel)
            for (void* half : record().buffers[channel].halves) {
                const uint8_t* begin = static_cast<const uint8_t*>(half);
                bytes.insert(bytes.end(), begin, begin + record().buffers[channel].bytes);
            }
        return bytes;
    };
    const std::vector<uint8_t> before = snapshot();
    const int32_t calls = record().callCount;

    ASSERT_TRUE(Pump(GetParam()));
    ASIOEnableWav(false);  // not even silence is written
    ASSERT_TRUE(Pump(GetParam()));

    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(record().callCount, calls);
    EXPECT_TRUE(BuffersIntact(*card_));
    // Neither generator moved on.
    ASIOEnableWav(true);
    const std::vector<Halves> rest = RunUntilIdle();
    run.insert(run.end(), rest.begin(), rest.end());
    EXPECT_EQ(Channel(run, 0), Channel(uninterrupted, 0));
    EXPECT_EQ(Channel(run, 1), Channel(uninterrupted, 1));
}

INSTANTIATE_TEST_SUITE_P(Indices, OutOfRangeIndexTest, ::testing::Values(7, -1, 2), [](const auto& info) {
    return info.param < 0 ? "Minus" + std::to_string(-info.param) : std::to_string(info.param);
});

struct NoteRequest {
    double sampleRate;
    double frequency;
    double seconds;
    uint32_t attenuation;
};

void PrintTo(const NoteRequest& note, std::ostream* out) {
    *out << note.frequency << " Hz for " << note.seconds << " s at " << note.attenuation << " dB, "
         << note.sampleRate << " Hz";
}

class NoteSumTest : public BufferSwitchTest, public ::testing::WithParamInterface<std::tuple<bool, NoteRequest>> {};

// The same note on both channels at once; each sums to zero on its own.
TEST_P(NoteSumTest, EveryNotePlayedSumsToZero) {
    const auto& [is16Bit, note] = GetParam();
    UseFormat(is16Bit);
    script().sampleRate = note.sampleRate;
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(note.frequency, note.seconds, note.attenuation);
    ASIOGenerateSineWavB(note.frequency, note.seconds, note.attenuation);
    ASSERT_TRUE(pSineGeneratorA->bSineActive.load());
    ASSERT_TRUE(pSineGeneratorB->bSineActive.load());

    const std::vector<Halves> run = RunUntilIdle();
    for (int channel = 0; channel < 2; ++channel) {
        const std::vector<int32_t> samples = Channel(run, channel);
        EXPECT_NE(FirstSound(samples), -1) << channel;
        EXPECT_EQ(Sum(samples), 0) << channel;
    }
    EXPECT_TRUE(BuffersIntact(*card_));
}

INSTANTIATE_TEST_SUITE_P(Notes, NoteSumTest,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(NoteRequest{48000.0, 1000.0, 0.5, 0},
                                                              NoteRequest{48000.0, 440.0, 0.25, 0},
                                                              NoteRequest{44100.0, 97.5, 0.3, 6},
                                                              NoteRequest{48000.0, 12345.6, 0.05, 20},
                                                              NoteRequest{48000.0, 22050.0, 0.01, 60},
                                                              NoteRequest{48000.0, 10.0, 0.25, 3},
                                                              NoteRequest{96000.0, 3001.7, 1.0, 1},
                                                              NoteRequest{44100.0, 10000.0, 2.0, 40})),
                         [](const auto& info) {
                             return FormatName(std::get<0>(info.param)) + "Note" + std::to_string(info.index);
                         });

}  // namespace
