// End-to-end test support: what a note and a sweep must look like in the
// capture, checked sample by sample, with the figures measured on the way.
// Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "e2e/tonegate_exports.h"
#include "support/capture.h"

namespace tonegate_e2e {

struct Note {
    double frequency;
    double seconds;
    uint32_t attenuation;
};

struct Sweep {
    double freqStart;
    double freqEnd;
    double seconds;
    uint32_t attenuation;
};

// What a check measured, for the figures a test prints.
struct ToneFigures {
    int64_t startFrame = 0;
    double frequencyErrorPpm = 0;  // notes: fitted over the whole note; sweeps: the worse end
};

constexpr double kTwoPi = 6.283185307179586;

// f × seconds rounded to the nearest whole cycle, halves upward.
inline int64_t WholeCycles(const Note& note) {
    double whole = 0;
    const double fraction = std::modf(note.frequency * note.seconds, &whole);
    return static_cast<int64_t>(whole) + (fraction >= 0.5 ? 1 : 0);
}

// Samples in each ramp: the smallest whole number of cycles lasting at least
// 10 ms, or half the note's cycles when those are shorter.
inline int64_t RampSamples(const Note& note, double rate) {
    const int64_t half = WholeCycles(note) / 2;
    const int64_t tenMilliseconds = static_cast<int64_t>(std::ceil(note.frequency * 0.01));
    const int64_t rampCycles =
        static_cast<double>(half) / note.frequency <= 0.01 ? half : std::min(tenMilliseconds, half);
    return static_cast<int64_t>(std::floor(static_cast<double>(rampCycles) * rate / note.frequency)) - 1;
}

// Largest difference between the capture from `start` and a note of `length`
// samples with ramps of `ramp` samples: sample n (from 1) lies at phase n × the
// phase step, under a gain rising as n / (ramp + 1) and falling likewise;
// zeros follow the note up to `span` samples.
inline double NoteResidual(const std::vector<int32_t>& samples, int64_t start, const Note& note, double rate,
                           double amplitude, int64_t ramp, int64_t length, int64_t span) {
    const double step = kTwoPi / (rate / note.frequency);
    double phase = 0, worst = 0;
    for (int64_t n = 1; n <= span && start + n - 1 < static_cast<int64_t>(samples.size()); ++n) {
        phase += step;
        double expected = 0;
        if (n <= length) {
            const double gain = n <= ramp ? static_cast<double>(n) / static_cast<double>(ramp + 1)
                                : n > length - ramp
                                    ? static_cast<double>(length + 1 - n) / static_cast<double>(ramp + 1)
                                    : 1.0;
            expected = std::trunc(std::sin(phase) * amplitude * gain);
        }
        worst = std::max(worst, std::abs(samples[static_cast<size_t>(start + n - 1)] - expected));
    }
    return worst;
}

// The note in `item` against the generator's shape sample by sample, its sum,
// and the analysis's figures: a tone, whole cycles, the frequency asked for.
inline ToneFigures CheckNote(const Capture& capture, const tonegate_capture::Item& item, const Note& note,
                             int64_t bufferFrames) {
    const std::vector<int32_t>& samples = capture.channel[item.channel];
    const int64_t last = LastFrame(item);
    const double rate = capture.rate;
    const double amplitude = AmplitudeFor(note.attenuation, capture.bits);
    const int64_t cycles = WholeCycles(note);
    const double exactLength = static_cast<double>(cycles) * rate / note.frequency;
    const int64_t ramp = RampSamples(note, rate);
    // A note begins with a buffer half; its first samples may truncate to 0.
    const int64_t start = item.start / bufferFrames * bufferFrames;

    // The ramp and length that fit the capture best, searched round the
    // expected ramp and the whole cycles' length; the note lasts at least to
    // its last non-zero sample, and zeros follow it.
    const int64_t shortest = static_cast<int64_t>(std::floor(exactLength)) - 2;
    const int64_t longest = shortest + 4;
    const int64_t span = longest + 2;
    EXPECT_LE(last - start + 1, longest) << "sound beyond the note's end";
    int64_t fittedRamp = 0, length = 0;
    double residual = INFINITY;
    for (int64_t r = std::max<int64_t>(1, ramp - 2); r <= ramp + 2; ++r) {
        for (int64_t l = std::max(shortest, last - start + 1); l <= longest; ++l) {
            const double worst = NoteResidual(samples, start, note, rate, amplitude, r, l, span);
            if (worst < residual) std::tie(residual, fittedRamp, length) = std::tuple(worst, r, l);
        }
    }
    // Truncation, one LSB of DC correction and the phase's rounding over the note.
    EXPECT_LE(residual, 3.0 + 1e-6 * amplitude)
        << "the note's shape, best fit with ramp " << fittedRamp << " and length " << length;
    // One sample more or less in the ramps moves their peaks by amplitude / ramp.
    if (amplitude / static_cast<double>(ramp + 1) >= 8.0) {
        EXPECT_EQ(fittedRamp, ramp) << "ramp samples";
    }
    EXPECT_LE(std::abs(static_cast<double>(length) - exactLength), 2.0) << "length against whole cycles";

    int64_t sum = 0;
    for (int64_t i = start; i <= last; ++i) sum += samples[static_cast<size_t>(i)];
    EXPECT_EQ(sum, 0) << "sum of the note's samples";

    EXPECT_EQ(item.sum, 0) << "the analysis's sum";
    EXPECT_EQ(item.kind, tonegate_capture::ItemKind::Tone);
    // A quiet note's ramps keep too few units to place its start to the
    // period: its first half-cycles truncate to 0.
    if (amplitude >= 1000.0) {
        EXPECT_EQ(item.onset, start) << "the analysis's onset";
        // The release may end one sample late, on a rising zero.
        EXPECT_NEAR(item.cycles, static_cast<double>(cycles), 0.05 + note.frequency / rate) << "whole cycles";
    }
    const double errorPpm = (item.frequency / note.frequency - 1.0) * 1e6;
    // A note of 0.1 s or more fits to within a part per million in a 16-bit
    // capture and a hundredth of that in a 32-bit one, unless it is quiet;
    // shorter notes have fewer cycles to fit.
    const double boundPpm = note.seconds < 0.1 || amplitude < 1000.0 ? 10.0 : capture.bits == 16 ? 1.0 : 0.01;
    EXPECT_LE(std::abs(errorPpm), boundPpm) << "frequency " << item.frequency << " Hz";
    return {start, errorPpm};
}

// Frequency of the sweep at sample n from its start: the phase step moves in
// a straight line over all its blocks, and the fade block keeps the last one.
inline double SweepFrequencyAt(const Sweep& sweep, double n, int64_t blocks, int64_t bufferFrames) {
    const double all = static_cast<double>((blocks + 1) * bufferFrames);
    const double held = std::min(n, static_cast<double>(blocks * bufferFrames));
    return sweep.freqStart + (sweep.freqEnd - sweep.freqStart) * held / all;
}

// The sweep in `item` against the generator's schedule: where it starts and
// ends, its level and fade sample by sample, and the analysis's figures for
// its two ends.
inline ToneFigures CheckSweep(const Capture& capture, const tonegate_capture::Item& item, const Sweep& sweep,
                              int64_t bufferFrames) {
    const std::vector<int32_t>& samples = capture.channel[item.channel];
    const int64_t last = LastFrame(item);
    const double rate = capture.rate;
    const double amplitude = AmplitudeFor(sweep.attenuation, capture.bits);
    const int64_t blocks =
        static_cast<int64_t>(std::floor(rate * sweep.seconds / static_cast<double>(bufferFrames) + 0.5));
    const int64_t length = (blocks + 1) * bufferFrames;
    // The first sample, at phase 0, is 0 and opens a buffer half.
    EXPECT_EQ(item.start % bufferFrames, 1) << "first sample";
    const int64_t start = item.start - 1;
    const int64_t fadeStart = start + blocks * bufferFrames;

    // The last sample is 0; before it the fade leaves a little sound, unless
    // the tone's last half-cycle happens to pass zero there.
    const double lastHalfCycle = rate / SweepFrequencyAt(sweep, static_cast<double>(length), blocks, bufferFrames) / 2;
    EXPECT_LE(last, start + length - 2) << "last sample";
    EXPECT_GE(static_cast<double>(last), static_cast<double>(start + length - 2) - lastHalfCycle - 2)
        << "length";

    int32_t peak = 0;
    for (int64_t i = start; i < fadeStart; ++i) peak = std::max(peak, std::abs(samples[static_cast<size_t>(i)]));
    EXPECT_LE(peak, amplitude + 1) << "level";
    EXPECT_GE(peak, 0.99 * amplitude) << "level";
    int64_t aboveFade = -1;
    for (int64_t i = bufferFrames - 1; i >= 0; --i) {
        const double fade = amplitude * static_cast<double>(bufferFrames - 1 - i) / static_cast<double>(bufferFrames);
        if (std::abs(samples[static_cast<size_t>(fadeStart + i)]) > fade + 1) aboveFade = i;
    }
    EXPECT_EQ(aboveFade, -1) << "first fade-block sample above the falling line";

    // The analysis fits the sweep's phase and gives the frequency its line
    // has at the sweep's first sample and at the end of its last block: the
    // sweep's own two frequencies.
    EXPECT_EQ(item.kind, tonegate_capture::ItemKind::Sweep);
    EXPECT_EQ(item.onset, start) << "the sweep begins at its first sample, at phase 0";
    const double from = sweep.freqStart, to = sweep.freqEnd;
    double worstPpm = 0;
    for (const auto& [measured, expected, end] : {std::tuple(item.from, from, "start"), std::tuple(item.to, to, "end")}) {
        const double errorPpm = (measured / expected - 1.0) * 1e6;
        EXPECT_LE(std::abs(errorPpm), 200.0) << end << " frequency " << measured << ", expected " << expected;
        if (std::abs(errorPpm) > std::abs(worstPpm)) worstPpm = errorPpm;
    }
    return {start, worstPpm};
}

}  // namespace tonegate_e2e
