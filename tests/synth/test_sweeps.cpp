// Sweeps: block count, the phase-increment law, the fade-out block and its
// table, restarts (also from the fade-out block), the end of a sweep and its
// refusals. Thread: the test's own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

// A generator of the sweep's block size and format, with the sweep started.
struct Sweeping {
    Sweep s;
    SineGenerator g;
    explicit Sweeping(const Sweep& sweep) : s(sweep), g(sweep.blockFrames, sweep.is16Bit) {
        g.PlaySweepWav(s.rate, s.freqStart, s.freqEnd, s.seconds, s.attenuation);
        EXPECT_TRUE(g.bSweepActive);
    }

    // One block, rendered over stale contents that it must overwrite entirely.
    std::vector<int32_t> RenderBlock() {
        std::vector<int32_t> samples(s.blockFrames, 0x5a5a);
        if (s.is16Bit) {
            std::vector<int16_t> block(s.blockFrames, 0x5a5a), copy(s.blockFrames);
            g.RenderSweep16(block.data(), copy.data());
            EXPECT_EQ(block, copy);
            std::copy(block.begin(), block.end(), samples.begin());
        } else {
            g.RenderSweep32(samples.data(), nullptr);
        }
        return samples;
    }

    std::vector<int32_t> PlayRest() {
        std::vector<int32_t> samples;
        for (int i = 0; i < 100000 && g.bSweepActive; ++i) {
            const std::vector<int32_t> block = RenderBlock();
            samples.insert(samples.end(), block.begin(), block.end());
        }
        EXPECT_FALSE(g.bSweepActive);
        return samples;
    }
};

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
        Sweeping sweep(s);
        std::vector<int32_t> played;
        for (int b = 0; b < 94; ++b) {
            const std::vector<int32_t> block = sweep.RenderBlock();
            played.insert(played.end(), block.begin(), block.end());
        }
        const std::vector<int32_t> fadeOut = sweep.PlayRest();
        played.insert(played.end(), fadeOut.begin(), fadeOut.end());
        ASSERT_EQ(played.size(), 48640u);  // 95 blocks
        EXPECT_EQ(played.front(), 0);
        EXPECT_EQ(played.back(), 0);
        ExpectNearModel(played, s);
        // The frequency law: f(n) = 100 + 900 n / 48640 Hz before the fade-out block.
        for (const size_t at : {1000u, 12000u, 24000u, 36000u, 47000u}) {
            const Cycle cycle = CycleAfter(played, at);
            const double expected = 100 + 900.0 * cycle.middle / 48640;
            EXPECT_NEAR(48000 / cycle.length, expected, 0.002 * expected) << at;
        }
        // The fade-out block keeps the frequency its first sample has.
        EXPECT_NEAR(48000 / CycleAfter(played, 94 * 512 + 250).length, 990.53, 0.5);

        // Back to idle: the same request plays the same sweep again.
        sweep.g.PlaySweepWav(s.rate, s.freqStart, s.freqEnd, s.seconds, s.attenuation);
        EXPECT_EQ(sweep.PlayRest(), played);
    }
}

TEST(Sweeps, EqualFrequenciesGiveASteadyToneWithAFadeOut) {
    const Sweep s{44100, 441, 441, 0.5, 20, 256, false};
    Sweeping sweep(s);
    const std::vector<int32_t> played = sweep.PlayRest();
    ASSERT_EQ(played.size(), (86u + 1) * 256);
    for (const size_t at : {100u, 10000u, 20000u}) EXPECT_NEAR(CycleAfter(played, at).length, 100.0, 0.01);
    ExpectNearModel(played, s);
}

TEST(Sweeps, SecondRequestRestartsTheFirstSweepUnchanged) {
    for (const int restartAfter : {10, 94}) {  // 94: during the fade-out block
        const Sweep s{48000, 1000, 200, 1.0, 6, 512, true};
        Sweeping sweep(s);
        const std::vector<int32_t> first = sweep.RenderBlock();
        for (int b = 1; b < restartAfter; ++b) sweep.RenderBlock();
        sweep.g.PlaySweepWav(96000, 50, 5000, 5.0, 0);
        const std::vector<int32_t> played = sweep.PlayRest();
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
    }
    // 1.5 blocks round to 2, and the fade-out block makes 3.
    Sweeping sweep({44100, 100, 1000, 0.14, 0, 4096, false});
    EXPECT_EQ(sweep.PlayRest().size(), 3u * 4096);
}

}  // namespace
