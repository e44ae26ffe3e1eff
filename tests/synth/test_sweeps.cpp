// Sweeps: block count, the phase-increment law, the fade-out block and its
// table, restarts (also from the fade-out block), the end of a sweep and its
// refusals. Thread: the test's own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "synth/sine_generator.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct Sweep {
    double rate, freqStart, freqEnd, seconds;
    uint32_t attenuation, blockFrames;
    bool is16Bit;
};

// The sweep computed sample by sample with std::sin, with the fade table in
// closed form.
std::vector<int32_t> ModelSweep(const Sweep& s) {
    const double fullScale = s.is16Bit ? 32767.0 : 2147483647.0;
    const double fullLevel = s.is16Bit ? 32765.0 : 2147483645.0;
    const double amplitude = s.attenuation == 0 ? fullLevel : fullScale * std::pow(10.0, -(s.attenuation / 20.0));
    const uint32_t blocks = static_cast<uint32_t>(std::floor(s.rate * s.seconds / s.blockFrames + 0.5)) + 1;
    const double startInc = kTwoPi * s.freqStart / s.rate;
    const double incStep = (startInc - kTwoPi * s.freqEnd / s.rate) / (static_cast<double>(s.blockFrames) * blocks);
    std::vector<int32_t> samples;
    double phase = 0.0;
    double inc = startInc;
    for (uint32_t b = 0; b < blocks; ++b) {
        const bool fadeOut = b + 1 == blocks;
        for (uint32_t i = 0; i < s.blockFrames; ++i) {
            const double gain = fadeOut ? fullLevel * (s.blockFrames - 1 - i) / s.blockFrames / fullScale : 1.0;
            samples.push_back(static_cast<int32_t>(std::sin(phase) * gain * amplitude));
            phase += inc;
            if (!fadeOut) inc -= incStep;
        }
        phase = std::fmod(phase, kTwoPi);
    }
    return samples;
}

// Within one LSB of the model everywhere: the generator's sine is not std::sin.
void ExpectNearModel(const std::vector<int32_t>& played, const Sweep& s) {
    const std::vector<int32_t> model = ModelSweep(s);
    ASSERT_EQ(played.size(), model.size());
    for (size_t i = 0; i < model.size(); ++i) ASSERT_LE(std::llabs(int64_t{played[i]} - model[i]), 1) << "sample " << i;
}

// One block, rendered over stale contents that it must overwrite entirely.
std::vector<int32_t> RenderBlock(SineGenerator& g) {
    std::vector<int32_t> samples(g.nBufferFrames, 0x5a5a);
    if (g.b16Bit) {
        std::vector<int16_t> block(g.nBufferFrames, 0x5a5a), copy(g.nBufferFrames);
        g.RenderSweep16(block.data(), copy.data());
        EXPECT_EQ(block, copy);
        std::copy(block.begin(), block.end(), samples.begin());
    } else {
        g.RenderSweep32(samples.data(), nullptr);
    }
    return samples;
}

std::vector<int32_t> PlayRest(SineGenerator& g) {
    std::vector<int32_t> samples;
    for (int i = 0; i < 100000 && g.bSweepActive; ++i) {
        const std::vector<int32_t> block = RenderBlock(g);
        samples.insert(samples.end(), block.begin(), block.end());
    }
    EXPECT_FALSE(g.bSweepActive);
    EXPECT_FALSE(g.bSweepRestart);
    EXPECT_EQ(g.pFadeTable, nullptr);
    return samples;
}

std::unique_ptr<SineGenerator> Start(const Sweep& s) {
    auto g = std::make_unique<SineGenerator>(s.blockFrames, s.is16Bit);
    g->PlaySweepWav(s.rate, s.freqStart, s.freqEnd, s.seconds, s.attenuation);
    EXPECT_TRUE(g->bSweepActive);
    return g;
}

// The first whole cycle after sample `at`, from one rising zero crossing
// to the next.
struct Cycle {
    double length = 0.0;
    double middle = 0.0;
};

Cycle CycleAfter(const std::vector<int32_t>& samples, size_t at) {
    std::vector<double> crossings;
    for (size_t i = at; i < samples.size() && crossings.size() < 2; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            crossings.push_back(i - 1 + static_cast<double>(-samples[i - 1]) / (samples[i] - samples[i - 1]));
        }
    }
    if (crossings.size() < 2) return {};
    return {crossings[1] - crossings[0], (crossings[0] + crossings[1]) / 2};
}

TEST(Sweeps, WorkedExamplePlaysTheModelledSweepInBothFormats) {
    for (const bool is16Bit : {true, false}) {
        const Sweep s{48000, 100, 1000, 1.0, 0, 512, is16Bit};
        const auto sweep = Start(s);
        SineGenerator& g = *sweep;
        EXPECT_EQ(g.nSweepBlocks, 95u);
        EXPECT_NEAR(g.dPhaseIncStep, -2.422074928e-06, 1e-14);
        ASSERT_NE(g.pFadeTable, nullptr);
        for (uint32_t i = 0; i < 512; ++i) {
            ASSERT_NEAR(g.pFadeTable[i], (g.AmplitudeForAttenuation(0) * (511 - i) / 512) / g.nFullScale, 1e-12) << i;
        }
        std::vector<int32_t> played;
        for (int b = 0; b < 94; ++b) {
            const std::vector<int32_t> block = RenderBlock(g);
            played.insert(played.end(), block.begin(), block.end());
        }
        EXPECT_NEAR(g.dPhaseInc * 48000 / kTwoPi, 990.53, 0.005);  // the fade-out block's frequency
        const std::vector<int32_t> fadeOut = PlayRest(g);
        played.insert(played.end(), fadeOut.begin(), fadeOut.end());
        ASSERT_EQ(played.size(), 48640u);
        EXPECT_EQ(played.front(), 0);
        EXPECT_EQ(played.back(), 0);
        ExpectNearModel(played, s);
        // The frequency law: f(n) = 100 + 900 n / 48640 Hz before the fade-out block.
        for (const size_t at : {1000u, 12000u, 24000u, 36000u, 47000u}) {
            const Cycle cycle = CycleAfter(played, at);
            const double expected = 100 + 900.0 * cycle.middle / 48640;
            EXPECT_NEAR(48000 / cycle.length, expected, 0.002 * expected) << at;
        }
    }
}

TEST(Sweeps, EqualFrequenciesGiveASteadyToneWithAFadeOut) {
    const Sweep s{44100, 441, 441, 0.5, 20, 256, false};
    const auto sweep = Start(s);
    SineGenerator& g = *sweep;
    EXPECT_EQ(g.dPhaseIncStep, 0.0);
    const std::vector<int32_t> played = PlayRest(g);
    ASSERT_EQ(played.size(), (86u + 1) * 256);
    for (const size_t at : {100u, 10000u, 20000u}) EXPECT_NEAR(CycleAfter(played, at).length, 100.0, 0.01);
    ExpectNearModel(played, s);
}

TEST(Sweeps, SecondRequestRestartsTheFirstSweepUnchanged) {
    for (const int restartAfter : {10, 94}) {  // 94: during the fade-out block
        const Sweep s{48000, 1000, 200, 1.0, 6, 512, true};
        const auto sweep = Start(s);
        SineGenerator& g = *sweep;
        const std::vector<int32_t> first = RenderBlock(g);
        for (int b = 1; b < restartAfter; ++b) RenderBlock(g);
        g.PlaySweepWav(96000, 50, 5000, 5.0, 0);
        EXPECT_TRUE(g.bSweepRestart);
        EXPECT_EQ(g.dSampleRate, 48000.0);
        EXPECT_EQ(g.nSweepBlocks, 95u);
        const std::vector<int32_t> played = PlayRest(g);
        ASSERT_EQ(played.size(), 95u * 512) << restartAfter;
        EXPECT_TRUE(std::equal(first.begin(), first.end(), played.begin())) << restartAfter;
        ExpectNearModel(played, s);
    }
}

TEST(Sweeps, RefusesSweepsWithoutTwoBlocksOrAUsableRate) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        uint32_t blockFrames;
        double rate, freqStart, seconds;
    };
    for (const Case& c : {Case{"1.08 blocks", 4096, 44100, 100, 0.1},
                          Case{"NaN rate", 512, kNaN, 100, 1},
                          Case{"zero rate", 512, 0, 100, 1},
                          Case{"negative rate", 512, -48000, 100, 1},
                          Case{"no buffer", 0, 48000, 100, 1},
                          Case{"NaN seconds", 512, 48000, 100, kNaN},
                          Case{"NaN frequency", 512, 48000, kNaN, 1},
                          Case{"more than a cycle per sample", 512, 48000, 48001, 1}}) {
        SineGenerator g(c.blockFrames, false);
        g.PlaySweepWav(c.rate, c.freqStart, 1000, c.seconds, 0);
        EXPECT_FALSE(g.bSweepActive) << c.what;
        EXPECT_EQ(g.pFadeTable, nullptr) << c.what;
    }
    SineGenerator g(4096, false);
    g.PlaySweepWav(44100, 100, 1000, 0.1, 0);
    EXPECT_EQ(g.dSampleRate, 44100.0);
    g.PlaySweepWav(44100, 100, 1000, 0.14, 0);  // 1.5 blocks round to 2
    EXPECT_TRUE(g.bSweepActive);
    EXPECT_EQ(g.nSweepBlocks, 3u);
}

}  // namespace
