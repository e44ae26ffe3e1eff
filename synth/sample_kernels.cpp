// The sample kernels: runs of note samples of one stage (steady, attack ramp,
// release ramp) in one output format, plain (summed into nSampleSum, with or
// without a destination) or spread-corrected; and NudgeSample.
// Thread: both. Without a destination on the caller's thread (the note's
// pre-pass); with one on the real-time thread, where nothing here allocates,
// locks or calls the system.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "synth/fast_sine.h"
#include "synth/format_kernels.h"
#include "synth/sine_generator.h"

namespace {

using tonegate_synth::AddToSample;
using tonegate_synth::FittingLsbs;

enum class Stage { kSteady, kAttack, kRelease };

// Samples are made a chunk at a time: the phases (and ramp gains) one after
// the other, exactly as a sample-by-sample loop adds them, then the sines and
// the samples over the whole chunk, which vectorises.
constexpr uint32_t kChunk = 64;

// The next `count` (at most kChunk) truncated note samples into `values`.
template <Stage stage>
void NextSamples(SineGenerator& g, int32_t* values, uint32_t count) {
    double sines[kChunk];
    double phase = g.dPhase;
    const double phaseInc = g.dPhaseInc;
    for (uint32_t i = 0; i < count; ++i) {
        phase += phaseInc;
        sines[i] = phase;
    }
    g.dPhase = phase;
    tonegate_synth::SinesInPlace(sines, count);
    const double amplitude = g.dAmplitude;
    if constexpr (stage == Stage::kSteady) {
        for (uint32_t i = 0; i < count; ++i) values[i] = static_cast<int32_t>(sines[i] * amplitude);
    } else {
        double gains[kChunk];
        double envelope = g.dEnvelope;
        const double envelopeStep = g.dEnvelopeStep;
        const double fullScale = g.nFullScale;
        for (uint32_t i = 0; i < count; ++i) {
            if constexpr (stage == Stage::kAttack) {
                envelope += envelopeStep;
            } else {
                envelope -= envelopeStep;
            }
            gains[i] = envelope / fullScale;
        }
        g.dEnvelope = envelope;
        // The gain stays below 1 and the amplitude below full scale, so every
        // value is in range of the truncating conversion.
        for (uint32_t i = 0; i < count; ++i) values[i] = static_cast<int32_t>((sines[i] * amplitude) * gains[i]);
    }
}

template <Stage stage>
void CountStageSamples(SineGenerator& g, uint32_t n) {
    if constexpr (stage == Stage::kAttack) g.nAttackDone += n;
    if constexpr (stage == Stage::kRelease) g.nReleaseDone += n;
}

template <Stage stage, typename Sample>
void FillPlain(SineGenerator& g, Sample* dst, uint32_t n) {
    int32_t values[kChunk];
    // The sum wraps in 32 bits; only a pass's final sum matters.
    uint32_t sum = static_cast<uint32_t>(g.nSampleSum);
    for (uint32_t done = 0; done < n;) {
        const uint32_t count = std::min(kChunk, n - done);
        NextSamples<stage>(g, values, count);
        for (uint32_t i = 0; i < count; ++i) sum += static_cast<uint32_t>(static_cast<Sample>(values[i]));
        if (dst != nullptr) {
            for (uint32_t i = 0; i < count; ++i) dst[done + i] = static_cast<Sample>(values[i]);
        }
        done += count;
    }
    g.nSampleSum = static_cast<int32_t>(sum);
    CountStageSamples<stage>(g, n);
}

template <Stage stage, typename Sample>
void FillSpread(SineGenerator& g, Sample* dst, uint32_t n) {
    int32_t values[kChunk];
    double correction = g.dCorrectionAcc;
    const double correctionStep = g.dCorrectionStep;
    for (uint32_t done = 0; done < n;) {
        const uint32_t count = std::min(kChunk, n - done);
        NextSamples<stage>(g, values, count);
        for (uint32_t i = 0; i < count; ++i) {
            Sample sample = static_cast<Sample>(values[i]);
            correction += correctionStep;
            if (std::fabs(correction) >= 1.0) {
                double wholeLsbs;
                correction = std::modf(correction, &wholeLsbs);
                // |wholeLsbs| < |step| + 1, and |step| = |DC sum| / samples < 2^30.
                const int32_t wanted = static_cast<int32_t>(wholeLsbs);
                const int32_t fitting = FittingLsbs(sample, wanted);
                sample = AddToSample(sample, fitting);
                // What a sample next to full scale has no room for stays owed
                // and goes to the samples that follow, so the sum still ends at 0.
                correction += wanted - fitting;
            }
            dst[done + i] = sample;
        }
        done += count;
    }
    g.dCorrectionAcc = correction;
    CountStageSamples<stage>(g, n);
}

template <typename Sample>
void Nudge(SineGenerator& g, Sample& sample) {
    if (g.nPendingCorrection < 0) {
        ++g.nPendingCorrection;
        sample = AddToSample(sample, -1);
    } else {
        --g.nPendingCorrection;
        sample = AddToSample(sample, 1);
    }
}

}  // namespace

void SineGenerator::FillSteady32(int32_t* dst, uint32_t n) { FillPlain<Stage::kSteady>(*this, dst, n); }
void SineGenerator::FillSteady16(int16_t* dst, uint32_t n) { FillPlain<Stage::kSteady>(*this, dst, n); }
void SineGenerator::FillAttack32(int32_t* dst, uint32_t n) { FillPlain<Stage::kAttack>(*this, dst, n); }
void SineGenerator::FillAttack16(int16_t* dst, uint32_t n) { FillPlain<Stage::kAttack>(*this, dst, n); }
void SineGenerator::FillRelease32(int32_t* dst, uint32_t n) { FillPlain<Stage::kRelease>(*this, dst, n); }
void SineGenerator::FillRelease16(int16_t* dst, uint32_t n) { FillPlain<Stage::kRelease>(*this, dst, n); }
void SineGenerator::FillSteadySpread32(int32_t* dst, uint32_t n) { FillSpread<Stage::kSteady>(*this, dst, n); }
void SineGenerator::FillSteadySpread16(int16_t* dst, uint32_t n) { FillSpread<Stage::kSteady>(*this, dst, n); }
void SineGenerator::FillAttackSpread32(int32_t* dst, uint32_t n) { FillSpread<Stage::kAttack>(*this, dst, n); }
void SineGenerator::FillAttackSpread16(int16_t* dst, uint32_t n) { FillSpread<Stage::kAttack>(*this, dst, n); }
void SineGenerator::FillReleaseSpread32(int32_t* dst, uint32_t n) { FillSpread<Stage::kRelease>(*this, dst, n); }
void SineGenerator::FillReleaseSpread16(int16_t* dst, uint32_t n) { FillSpread<Stage::kRelease>(*this, dst, n); }

void SineGenerator::NudgeSample(int32_t& sample) { Nudge(*this, sample); }
void SineGenerator::NudgeSample(int16_t& sample) { Nudge(*this, sample); }
