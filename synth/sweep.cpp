// Sweeps: PlaySweepWav and the fade table on the caller's thread, and the
// sweep renderers RenderSweep32 / RenderSweep16 on the real-time thread.
// Thread: both. The renderers allocate nothing, lock nothing and call nothing
// of the system; their one heap operation is freeing the finished sweep's
// fade table.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "synth/fast_sine.h"
#include "synth/generator_internals.h"
#include "synth/realtime_attributes.h"
#include "synth/sine_generator.h"
#include "synth/whole_count.h"

namespace tonegate_synth {

struct SweepRenderer {
    template <typename Sample>
    static void RenderBlock(SineGenerator& g, Sample* block, Sample* copyTo) {
        if (g.bSweepRestart.load(std::memory_order_acquire)) {
            g.nSweepBlocksLeft = g.nSweepBlocks;
            g.dAmplitude = g.dSweepAmplitude;
            g.dPhase = g.dSweepStartPhase;
            g.dPhaseInc = g.dSweepStartInc;
            g.dPhaseIncStep = g.dSweepIncStep;
            g.bSweepRestart.store(false, std::memory_order_release);
        }
        const uint32_t blockFrames = g.nBufferFrames;
        // The fade-out block keeps its frequency and ends on a 0 of its own.
        const bool fadeOut = g.nSweepBlocksLeft == 1;
        const uint32_t sineFrames = fadeOut ? blockFrames - 1 : blockFrames;
        const double amplitude = g.dAmplitude;
        const double incStep = g.dPhaseIncStep;
        double phase = g.dPhase;
        double phaseInc = g.dPhaseInc;
        // Phases are computed a chunk at a time and their sines over the whole chunk.
        double sines[kChunk];
        for (uint32_t done = 0; done < sineFrames;) {
            const uint32_t count = std::min(kChunk, sineFrames - done);
            // A sweep sample takes the phase before it advances, so a sweep starts at 0.
            for (uint32_t i = 0; i < count; ++i) {
                sines[i] = phase;
                phase += phaseInc;
                if (!fadeOut) phaseInc -= incStep;
            }
            SinesInPlace(sines, count);
            // Gains and amplitude keep every value within full scale, in range of the conversion.
            if (fadeOut) {
                const double* fade = g.pFadeTable + done;
                for (uint32_t i = 0; i < count; ++i) block[done + i] = static_cast<Sample>(static_cast<int32_t>(sines[i] * fade[i] * amplitude));
            } else {
                for (uint32_t i = 0; i < count; ++i) block[done + i] = static_cast<Sample>(static_cast<int32_t>(sines[i] * amplitude));
            }
            done += count;
        }
        if (fadeOut) block[blockFrames - 1] = 0;
        g.dPhaseInc = phaseInc;
        g.dPhase = phase >= kTwoPi ? std::fmod(phase, kTwoPi) : phase;
        if (copyTo != nullptr) std::copy_n(block, blockFrames, copyTo);
        if (--g.nSweepBlocksLeft == 0) {
            // The real-time thread's one heap operation: the finished sweep's fade table.
            FreeFadeTableOnRealtimeThread(g.pFadeTable);
            g.pFadeTable = nullptr;
            g.bSweepRestart.store(false, std::memory_order_release);
            g.bSweepActive.store(false, std::memory_order_release);
        }
    }
};

}  // namespace tonegate_synth

using tonegate_synth::kTwoPi;

void SineGenerator::PlaySweepWav(double sampleRate, double freqStart, double freqEnd, double seconds,
                                 uint32_t attenuation) {
    if (bSineActive.load(std::memory_order_acquire)) return;
    if (bSweepActive.load(std::memory_order_acquire)) {
        bSweepRestart.store(true, std::memory_order_release);
        return;
    }
    // Without a finite positive rate and a block size there is no block count.
    if (!(std::isfinite(sampleRate) && sampleRate > 0.0) || nBufferFrames == 0) return;
    const double blockFrames = nBufferFrames;
    uint32_t blocks;
    // A NaN, negative or huge duration is no block count.
    const bool counted = tonegate_synth::ToCount(std::floor(sampleRate * seconds / blockFrames + 0.5), blocks);
    dSampleRate = sampleRate;
    if (!counted || blocks < 2) return;

    const double startInc = kTwoPi / (dSampleRate / freqStart);
    const double endInc = kTwoPi / (dSampleRate / freqEnd);
    // More than a cycle per sample is no tone, and a NaN or unbounded phase
    // would leave the sine's range and the conversion's.
    if (!(std::fabs(startInc) <= kTwoPi && std::fabs(endInc) <= kTwoPi)) return;

    nSweepBlocksLeft = nSweepBlocks = blocks + 1;
    dPhaseIncStep = (startInc - endInc) / (blockFrames * nSweepBlocks);
    dAmplitude = dSweepAmplitude = AmplitudeForAttenuation(attenuation);
    dPhaseInc = dSweepStartInc = startInc;
    dPhase = dSweepStartPhase = 0.0;
    dSweepIncStep = dPhaseIncStep;

    pFadeTable = new (std::nothrow) double[nBufferFrames];
    if (pFadeTable == nullptr) return;
    BuildFadeTable(pFadeTable, nBufferFrames);
    bSweepActive.store(true, std::memory_order_release);
    bSweepRestart.store(false, std::memory_order_release);
}

void SineGenerator::BuildFadeTable(double* table, uint32_t n) const {
    if (n == 0) return;
    const double fullLevel = AmplitudeForAttenuation(0);
    const double step = fullLevel / n;
    double level = fullLevel;
    for (uint32_t i = 0; i + 1 < n; ++i) {
        level -= step;
        table[i] = level / nFullScale;
    }
    table[n - 1] = 0.0;
}

void SineGenerator::RenderSweep32(int32_t* block, int32_t* copyTo) TONEGATE_NONBLOCKING {
    tonegate_synth::SweepRenderer::RenderBlock(*this, block, copyTo);
}
void SineGenerator::RenderSweep16(int16_t* block, int16_t* copyTo) TONEGATE_NONBLOCKING {
    tonegate_synth::SweepRenderer::RenderBlock(*this, block, copyTo);
}
