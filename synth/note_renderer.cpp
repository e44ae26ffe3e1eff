// Playing a scheduled note: the stage operations (attack, steady, release,
// with the single-LSB corrections at their fixed places) and the block state
// machine RenderSine32 / RenderSine16 that cuts the note into blocks.
// Thread: real-time thread. Nothing here allocates, locks, logs or calls the
// system.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "synth/generator_internals.h"
#include "synth/realtime_attributes.h"
#include "synth/sine_generator.h"

namespace tonegate_synth {

struct NoteRenderer {
    // More than the one step the note's last sample takes.
    static bool ManyStepsPending(const SineGenerator& g) { return g.nPendingCorrection > 1 || g.nPendingCorrection < -1; }

    // Stage operations: one run of n samples of a note stage. The ramp ones
    // return true while their ramp is unfinished.
    template <typename Sample>
    static bool RenderAttack(SineGenerator& g, Sample* dst, uint32_t n) {
        if (g.bSpreadCorrection) {
            NoteKernels::FillSpread<Stage::kAttack>(g, dst, n);
        } else {
            NoteKernels::Fill<Stage::kAttack>(g, dst, n);
        }
        return g.nAttackDone != g.nRampSamples;
    }

    template <typename Sample>
    static void RenderSteady(SineGenerator& g, Sample* dst, uint32_t n) {
        if (g.bSpreadCorrection) {
            NoteKernels::FillSpread<Stage::kSteady>(g, dst, n);
            return;
        }
        NoteKernels::Fill<Stage::kSteady>(g, dst, n);
        if (n == g.nBufferFrames && ManyStepsPending(g)) NoteKernels::NudgeSample(g, dst[n - 1]);
    }

    template <typename Sample>
    static bool RenderRelease(SineGenerator& g, Sample* dst, uint32_t n) {
        const bool beginsRelease = g.nReleaseDone == 0;
        if (beginsRelease) g.dEnvelope = g.nFullScale;
        if (g.bSpreadCorrection) {
            NoteKernels::FillSpread<Stage::kRelease>(g, dst, n);
        } else {
            NoteKernels::Fill<Stage::kRelease>(g, dst, n);
            if (beginsRelease && ManyStepsPending(g)) NoteKernels::NudgeSample(g, dst[0]);
        }
        return g.nReleaseDone != g.nRampSamples;
    }

    template <typename Sample>
    static void FinishBlock(SineGenerator& g, const Sample* block, Sample* copyTo) {
        if (copyTo != nullptr) std::copy_n(block, g.nBufferFrames, copyTo);
        ++g.nBlockIndex;
    }

    // Settles what is left of the DC correction on the note's last sample,
    // zeroes the rest of the block and hands the generator back.
    template <typename Sample>
    static void EndNote(SineGenerator& g, Sample* block, Sample* copyTo, uint32_t noteSamplesInBlock) {
        Sample& last = block[noteSamplesInBlock - 1];
        if (g.bSpreadCorrection) {
            // A leftover of 0.9 LSB or more counts as one. It is below one LSB
            // unless samples next to full scale left some owed; the last sample
            // is near silence and takes it.
            const double leftover = g.dCorrectionAcc;
            const int32_t lsbs = static_cast<int32_t>(std::floor(std::fabs(leftover) + 0.1));
            last = AddToSample(last, FittingLsbs(last, leftover < 0.0 ? -lsbs : lsbs));
        } else if (g.nPendingCorrection != 0) {
            NoteKernels::NudgeSample(g, last);
        }
        std::fill(block + noteSamplesInBlock, block + g.nBufferFrames, Sample{0});
        if (copyTo != nullptr) std::copy_n(block, g.nBufferFrames, copyTo);
        ++g.nBlockIndex;
        g.bSineActive.store(false, std::memory_order_release);
    }

    template <typename Sample>
    static void RenderBlock(SineGenerator& g, Sample* block, Sample* copyTo) {
        const uint32_t blockFrames = g.nBufferFrames;
        const uint32_t rampSamples = g.nRampSamples;
        uint32_t releaseStart = 0;
        uint32_t releaseCount = 0;
        if (!g.bAttackFinished) {
            uint32_t written = 0;
            const uint32_t attackLeft = rampSamples - g.nAttackDone;
            if (attackLeft != 0) {
                const uint32_t n = std::min(blockFrames, attackLeft);
                if (RenderAttack(g, block, n)) return FinishBlock(g, block, copyTo);
                if (ManyStepsPending(g)) NoteKernels::NudgeSample(g, block[n - 1]);
                // An attack that ends with the block leaves the steady run to the next call.
                if (n == blockFrames) return FinishBlock(g, block, copyTo);
                written = n;
            }
            g.bAttackFinished = true;
            if (g.nBlockIndex != g.nReleaseBlock) {
                RenderSteady(g, block + written, blockFrames - written);
                return FinishBlock(g, block, copyTo);
            }
            // Attack and release in one block: the last steady sample is a
            // correction place of its own.
            RenderSteady(g, block + written, g.nReleaseOffset - written);
            if (ManyStepsPending(g)) NoteKernels::NudgeSample(g, block[g.nReleaseOffset - 1]);
            g.bReleaseStarted = true;
            releaseStart = g.nReleaseOffset;
            releaseCount = std::min(blockFrames - g.nReleaseOffset, rampSamples);
        } else if (g.nBlockIndex < g.nReleaseBlock) {
            RenderSteady(g, block, blockFrames);
            return FinishBlock(g, block, copyTo);
        } else if (!g.bReleaseStarted) {
            g.bReleaseStarted = true;
            // Shorter than a block, so the steady run takes no nudge.
            if (g.nReleaseOffset > 0) RenderSteady(g, block, g.nReleaseOffset);
            releaseStart = g.nReleaseOffset;
            releaseCount = std::min(blockFrames - g.nReleaseOffset, rampSamples);
        } else {
            releaseCount = std::min(blockFrames, rampSamples - g.nReleaseDone);
        }
        if (RenderRelease(g, block + releaseStart, releaseCount)) return FinishBlock(g, block, copyTo);
        EndNote(g, block, copyTo, releaseStart + releaseCount);
    }
};

}  // namespace tonegate_synth

void SineGenerator::RenderSine32(int32_t* block, int32_t* copyTo) TONEGATE_NONBLOCKING {
    tonegate_synth::NoteRenderer::RenderBlock(*this, block, copyTo);
}
void SineGenerator::RenderSine16(int16_t* block, int16_t* copyTo) TONEGATE_NONBLOCKING {
    tonegate_synth::NoteRenderer::RenderBlock(*this, block, copyTo);
}
