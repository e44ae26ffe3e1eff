// The capture analysis on signals the test makes itself in long double, whose
// figures it knows from how it made them: sines of a chosen starting phase,
// fades of other shapes, known harmonics and noise, a clock offset, tones at
// simple fractions of the rate, a recorded tone with a dropout or a skip,
// noise, DC and a click, a float and a 16-bit capture.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "analysis/capture_analysis.h"

namespace {

using tonegate_capture::Capture;
using tonegate_capture::Item;
using tonegate_capture::ItemKind;

constexpr int kRate = 48000;
constexpr int64_t kLead = 4800;  // silence before and after every sound
constexpr long double kPi = 3.141592653589793238462643383279503L;

enum class Fade { kLinear, kLogarithmic, kHalfSine };

// A note: its attack's zero at k = 0, samples k = 1 … length − 1, its
// release's zero at k = length; `ramp` samples inside each ramp.
struct Note {
    explicit Note(long double frequency, long double peak = 0.1L, int64_t samples = 24000) : f(frequency), amplitude(peak), length(samples) {}
    long double f, amplitude, phase = 0;
    int64_t length, ramp = 479;
    Fade fade = Fade::kLinear;
    std::vector<long double> harmonics;  // 2nd, 3rd, …: amplitudes relative to the fundamental
};

long double Gain(const Note& n, int64_t k) {
    const long double u = std::min({1.0L, k / (n.ramp + 1.0L), (n.length - k) / (n.ramp + 1.0L)});
    if (u >= 1 || n.fade == Fade::kLinear) return u;
    return n.fade == Fade::kLogarithmic ? std::pow(10.0L, -4 * (1 - u)) : (1 - std::cos(kPi * u)) / 2;  // 80 dB in equal dB steps
}

std::vector<long double> Samples(const Note& n) {
    std::vector<long double> out(static_cast<size_t>(n.length - 1));
    for (int64_t k = 1; k < n.length; ++k) {
        const long double phase = 2 * kPi * n.f * k / kRate + n.phase;
        long double x = std::sin(phase);
        for (size_t h = 0; h < n.harmonics.size(); ++h) x += n.harmonics[h] * std::sin((h + 2) * phase);
        out[static_cast<size_t>(k - 1)] = n.amplitude * Gain(n, k) * x;
    }
    return out;
}

// Full-scale signals on A and B from frame kLead, rounded to `bits`-bit
// integers, with Gaussian noise of RMS `noise` (full-scale units) on every
// frame when it is not 0, the way a recording has it.
Capture Analyse(const std::vector<long double>& a, const std::vector<long double>& b, int bits = 32, double noise = 0) {
    const double fullScale = std::ldexp(1.0, bits - 1) - 1;
    const size_t frames = 2 * kLead + std::max(a.size(), b.size());
    std::mt19937_64 rng(7);
    std::normal_distribution<double> gauss(0, noise * fullScale);
    std::vector<int32_t> channel[2] = {std::vector<int32_t>(frames), std::vector<int32_t>(frames)};
    for (int c = 0; c < 2; ++c) {
        const std::vector<long double>& s = c == 0 ? a : b;
        for (size_t i = 0, lead = kLead; i < frames; ++i) {
            const long double x = (i >= lead && i - lead < s.size() ? s[i - lead] * fullScale : 0) + (noise > 0 ? gauss(rng) : 0);
            channel[c][i] = static_cast<int32_t>(std::clamp<long double>(std::llround(x), -fullScale, fullScale));
        }
    }
    tonegate_capture::HeldSamples source(channel, 2, kRate, bits);
    Capture capture;
    std::string why;
    EXPECT_TRUE(tonegate_capture::AnalyseSamples(source, {}, capture, why)) << why;
    return capture;
}

// The one item on `channel`, or a failure.
std::optional<Item> One(const Capture& capture, int channel = 0) {
    std::vector<Item> mine;
    std::string kinds;
    for (const Item& item : capture.items)
        if (item.channel == channel) mine.push_back(item), kinds += std::string(" ") + tonegate_capture::KindName(item.kind);
    if (mine.size() == 1) return mine[0];
    ADD_FAILURE() << mine.size() << " items on channel " << channel << ", not one:" << kinds;
    return std::nullopt;
}

// Rounding to nearest errs by at most ½ LSB: a mean square of at most ¼ LSB²
// against the tone's A²/2.
double RoundingThdn(long double amplitude, int bits) { return 10 * std::log10(0.25 / (0.5 * std::pow(amplitude * (std::ldexp(1.0, bits - 1) - 1), 2))); }

void ExpectTone(const Item& item, const Note& n, double relativeBound) {
    EXPECT_EQ(item.kind, ItemKind::Tone);
    EXPECT_NEAR(item.frequency / static_cast<double>(n.f) - 1, 0, relativeBound) << item.frequency << " Hz";
    EXPECT_EQ(item.onset, kLead);
    EXPECT_EQ(item.attack, n.ramp);
    EXPECT_EQ(item.release, n.ramp);
    EXPECT_EQ(item.wholeCycles, std::llround(static_cast<double>(n.f * n.length / kRate)));
}

TEST(IndependentSignals, OnsetAndRampsComeFromTheAttackWhateverTheStartingPhase) {
    for (const long double f : {100.0L, 1000.0L})
        for (const long double phase : {0.0L, kPi / 2, kPi}) {
            Note shifted(f);
            shifted.phase = phase;
            SCOPED_TRACE(std::to_string(static_cast<int>(f)) + " Hz from phase " + std::to_string(static_cast<double>(phase)));
            const Capture capture = Analyse(Samples(shifted), Samples(Note(f)));
            const std::optional<Item> a = One(capture, 0), b = One(capture, 1);
            ASSERT_TRUE(a && b);
            ExpectTone(*a, shifted, 1e-8);  // 0.01 ppm: a 32-bit capture
            EXPECT_EQ(a->onset, b->onset) << "two voices started on one frame";
        }
}

TEST(IndependentSignals, ThdnOfFadedTonesAndOfHarmonicsInNoiseIsTheSteadyPartsTrueRatio) {
    const long double h3 = std::pow(10.0L, -73.4L / 20), h2 = 1e-3L, noise = std::pow(10.0L, -3.5L);
    std::mt19937_64 rng(11);
    std::normal_distribution<double> gauss(0, static_cast<double>(0.5L * noise / std::sqrt(2.0L)));  // -70 dB of the tone
    for (const Fade fade : {Fade::kLogarithmic, Fade::kHalfSine, Fade::kLinear}) {
        SCOPED_TRACE("fade " + std::to_string(static_cast<int>(fade)));
        Note n(997, 0.5L, 48000);
        n.fade = fade, n.harmonics = fade == Fade::kLinear ? std::vector{h2, h3} : std::vector{0.0L, h3};
        std::vector<long double> made = Samples(n);
        if (fade == Fade::kLinear)
            for (long double& x : made) x += gauss(rng);
        const std::optional<Item> item = One(Analyse(made, {}));
        ASSERT_TRUE(item);
        EXPECT_TRUE(item->thdnMeasured && item->thdnSteady);
        // 0.1 dB: over 46,000 steady samples (1000 cycles) the harmonics' and the noise's power are
        // known to 0.03 dB; the 32-bit rounding is 100 dB below them.
        const long double truth = h3 * h3 + (fade == Fade::kLinear ? h2 * h2 + noise * noise : 0);
        EXPECT_NEAR(item->thdn, 10 * std::log10(static_cast<double>(truth)), 0.1);
    }
}

TEST(IndependentSignals, AToneOffByAClocksTenthOfAPercentReadsToOnePartInABillion) {
    const Note n(1000 * 1.001L, 0.25L, 48000);
    const std::optional<Item> item = One(Analyse(Samples(n), {}));
    ASSERT_TRUE(item);
    ExpectTone(*item, n, 1e-9);
}

TEST(IndependentSignals, TonesAtSimpleFractionsOfTheRateAreFittedTones) {
    for (const long double f : {kRate / 4.0L, kRate / 8.0L, kRate / 20.0L, kRate / 3.0L + 0.37L, 2 * kRate / 5.0L + 0.31L}) {
        SCOPED_TRACE(std::to_string(static_cast<double>(f)) + " Hz");
        const Note n(f, 0.25L);
        const std::optional<Item> item = One(Analyse(Samples(n), {}));
        ASSERT_TRUE(item);
        ExpectTone(*item, n, 1e-8);
        EXPECT_TRUE(item->thdnMeasured);
        EXPECT_LE(item->thdn, RoundingThdn(n.amplitude, 32));
    }
}

// A recording: noise at -90 dBFS on every frame under a 1 s tone at -20 dBFS.
constexpr double kRecordingNoise = 3.1622776601683795e-5;

TEST(IndependentSignals, ZerosInARecordedToneAreOneGapWhereTheyAre) {
    // 1 ms of zeros at 12 places over a 1 kHz tone's steady part, each at another phase; then 0.5 ms
    // and 4 ms (four crossings of the tone inside; from 5 ms a silence parts two items) at 1 kHz and 100 Hz.
    struct Hole {
        long double f;
        int64_t from, frames;
    };
    std::vector<Hole> holes;
    for (int64_t from = 4800; from < 43000; from += 3413) holes.push_back({1000, from, 48});
    for (const int64_t frames : {24, 192}) holes.push_back({1000, 20011, frames}), holes.push_back({100, 20011, frames});
    for (const Hole& hole : holes) {
        SCOPED_TRACE(std::to_string(hole.frames) + " zeros from sample " + std::to_string(hole.from) + " of " +
                     std::to_string(static_cast<int>(hole.f)) + " Hz");
        const Note n(hole.f, 0.1L, 48000);
        std::vector<long double> made = Samples(n);
        std::fill_n(made.begin() + hole.from, hole.frames, 0.0L);
        const std::optional<Item> item = One(Analyse(made, {}, 32, kRecordingNoise));
        ASSERT_TRUE(item);
        EXPECT_EQ(item->kind, ItemKind::Tone);
        if (item->gaps.size() != 1) {
            ADD_FAILURE() << item->gaps.size() << " gaps, not one";
            continue;
        }
        // Each end within a quarter period: where the tone crosses zero a hole shows nothing.
        const int64_t start = kLead + hole.from, quarter = std::llround(kRate / hole.f / 4);
        EXPECT_NEAR(item->gaps[0].start, start, quarter);
        EXPECT_NEAR(item->gaps[0].start + item->gaps[0].frames, start + hole.frames, quarter);
    }
}

TEST(IndependentSignals, AWholeCycleSkipInARecordedToneReadsAsTheShorterToneItLeaves) {
    // 3 ms at 1 kHz is 3 whole cycles: what is left is exactly a tone 144 samples shorter.
    Note n(1000, 0.1L, 48000);
    std::vector<long double> made = Samples(n);
    made.erase(made.begin() + 24000, made.begin() + 24144);
    n.length -= 144;
    const std::optional<Item> item = One(Analyse(made, {}, 32, kRecordingNoise));
    ASSERT_TRUE(item);
    ExpectTone(*item, n, 1e-8);  // the noise's Cramér–Rao bound is 6e-10
    EXPECT_TRUE(item->gaps.empty()) << "a skip of whole cycles leaves nothing to find";
    // The noise's own ratio; over 47,000 samples its power is known to 0.03 dB.
    EXPECT_NEAR(item->thdn, 20 * std::log10(kRecordingNoise / (0.1 / std::sqrt(2.0))), 0.1);
}

TEST(IndependentSignals, NoiseDcAndAClickAreOtherNeverASweepOrAToneOf0Hz) {
    std::mt19937_64 rng(13);
    std::normal_distribution<double> gauss(0, 0.1);
    std::vector<long double> noise(24000), dc(24000, 0.25L), click = {0.5L, -0.5L, 0.25L};
    for (long double& x : noise) x = gauss(rng);
    for (const auto& [made, what] : {std::pair{noise, "noise"}, std::pair{dc, "DC"}, std::pair{click, "a click"}}) {
        const std::optional<Item> item = One(Analyse(made, {}));
        ASSERT_TRUE(item) << what;
        EXPECT_EQ(item->kind, ItemKind::Other) << what << " read as a " << tonegate_capture::KindName(item->kind);
        EXPECT_EQ(item->what, what);
        EXPECT_FALSE(item->unmeasured.empty()) << what << ": no word on why it has no frequency";
        long double power = 0;
        for (const long double x : made) power += std::pow(std::round(x * 2147483647.0L) / 2147483647.0L, 2);
        EXPECT_NEAR(item->attenuation, -10 * std::log10(static_cast<double>(2 * power / made.size())), 0.01) << what << ": RMS × √2";
    }
}

// A float capture: samples in full-scale units as float32 holds them.
struct FloatSamples : tonegate_capture::SampleSource {
    explicit FloatSamples(const std::vector<long double>& a) : samples(a.size() + 2 * kLead) {
        for (size_t i = 0; i < a.size(); ++i) samples[i + kLead] = static_cast<float>(a[i]);
        channels = 1, rate = kRate, bits = 32, floating = true, format = "float 32-bit";
    }
    int64_t Read(double* out, int64_t frames) override {
        const int64_t got = std::clamp<int64_t>(static_cast<int64_t>(samples.size()) - next, 0, frames);
        std::copy_n(samples.begin() + next, got, out);
        return next += got, got;
    }
    bool Seek(int64_t frame) override { return frame >= 0 && frame <= static_cast<int64_t>(samples.size()) ? (next = frame, true) : false; }
    std::vector<float> samples;
    int64_t next = 0;
};

TEST(IndependentSignals, AQuietFloatCaptureReadsItsExactZerosAsSilence) {
    const Note n(1000, 1e-4L);  // -80 dBFS, below any recording's threshold
    FloatSamples source(Samples(n));
    Capture capture;
    std::string why;
    ASSERT_TRUE(tonegate_capture::AnalyseSamples(source, {}, capture, why)) << why;
    const std::optional<Item> item = One(capture);
    ASSERT_TRUE(item);
    ExpectTone(*item, n, 1e-8);  // float32 keeps 24 bits of every sample
    EXPECT_EQ(item->start, kLead);
    EXPECT_EQ(item->frames, n.length - 1) << "the whole note, ramps included";
    EXPECT_FALSE(item->hasSum) << "a float capture has no exact sum";
}

TEST(IndependentSignals, A16BitCaptureMeasuresToItsRounding) {
    const Note n(440);
    const std::vector<long double> made = Samples(n);
    const std::optional<Item> item = One(Analyse(made, {}, 16));
    ASSERT_TRUE(item);
    ExpectTone(*item, n, 1e-6);  // 1 ppm: a 16-bit capture
    int64_t sum = 0;
    for (const long double x : made) sum += std::llround(x * 32767);
    EXPECT_TRUE(item->hasSum);
    EXPECT_EQ(item->sum, sum);
    EXPECT_NEAR(item->attenuation, 20.0, 0.01) << "rounding to nearest takes nothing from the fundamental";
    EXPECT_TRUE(item->thdnMeasured && item->thdnSteady);
    EXPECT_LE(item->thdn, RoundingThdn(n.amplitude, 16));
}

}  // namespace
