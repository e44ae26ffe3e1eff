// The sample kernels: runs of note samples of one stage (steady, attack ramp,
// release ramp) in one output format, plain (summed into nSampleSum, with or
// without a destination) or spread-corrected; and the single-LSB nudge.
// Thread: both. Without a destination on the caller's thread (the note's
// pre-pass); with one on the real-time thread, where nothing here allocates,
// locks or calls the system.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "synth/fast_sine.h"
#include "synth/generator_internals.h"
#include "synth/sine_generator.h"

namespace tonegate_synth {

// The next `count` (at most kChunk) truncated note samples into `values`.
template <Stage stage>
void NoteKernels::NextSamples(SineGenerator& g, int32_t* values, uint32_t count) {
    double sines[kChunk];
    double phase = g.dPhase;
    const double phaseInc = g.dPhaseInc;
    for (uint32_t i = 0; i < count; ++i) {
        phase += phaseInc;
        sines[i] = phase;
    }
    g.dPhase = phase;
    SinesInPlace(sines, count);
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
void NoteKernels::CountStageSamples(SineGenerator& g, uint32_t n) {
    if constexpr (stage == Stage::kAttack) g.nAttackDone += n;
    if constexpr (stage == Stage::kRelease) g.nReleaseDone += n;
}

template <Stage stage, typename Sample>
void NoteKernels::Fill(SineGenerator& g, Sample* dst, uint32_t n) {
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
void NoteKernels::FillSpread(SineGenerator& g, Sample* dst, uint32_t n) {
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
void NoteKernels::NudgeSample(SineGenerator& g, Sample& sample) {
    if (g.nPendingCorrection < 0) {
        ++g.nPendingCorrection;
        sample = AddToSample(sample, -1);
    } else {
        --g.nPendingCorrection;
        sample = AddToSample(sample, 1);
    }
}

template void NoteKernels::Fill<Stage::kSteady>(SineGenerator&, int32_t*, uint32_t);
template void NoteKernels::Fill<Stage::kSteady>(SineGenerator&, int16_t*, uint32_t);
template void NoteKernels::Fill<Stage::kAttack>(SineGenerator&, int32_t*, uint32_t);
template void NoteKernels::Fill<Stage::kAttack>(SineGenerator&, int16_t*, uint32_t);
template void NoteKernels::Fill<Stage::kRelease>(SineGenerator&, int32_t*, uint32_t);
template void NoteKernels::Fill<Stage::kRelease>(SineGenerator&, int16_t*, uint32_t);
template void NoteKernels::FillSpread<Stage::kSteady>(SineGenerator&, int32_t*, uint32_t);
template void NoteKernels::FillSpread<Stage::kSteady>(SineGenerator&, int16_t*, uint32_t);
template void NoteKernels::FillSpread<Stage::kAttack>(SineGenerator&, int32_t*, uint32_t);
template void NoteKernels::FillSpread<Stage::kAttack>(SineGenerator&, int16_t*, uint32_t);
template void NoteKernels::FillSpread<Stage::kRelease>(SineGenerator&, int32_t*, uint32_t);
template void NoteKernels::FillSpread<Stage::kRelease>(SineGenerator&, int16_t*, uint32_t);
template void NoteKernels::NudgeSample(SineGenerator&, int32_t&);
template void NoteKernels::NudgeSample(SineGenerator&, int16_t&);

}  // namespace tonegate_synth
