// PlaySineWav: a note's schedule (whole cycles, equal ramps of whole cycles),
// its pre-pass that measures the DC sum of the whole note, and the choice of
// how the renderer cancels that sum.
// Thread: caller's thread, while the generator is idle.
#include <cmath>
#include <cstdint>

#include "synth/generator_internals.h"
#include "synth/sine_generator.h"
#include "synth/whole_count.h"

namespace {

using tonegate_synth::ToCount;

// Longer notes play without a pre-pass and so without DC correction.
constexpr double kLongestCorrectedNote = 10.0;

uint32_t BlocksFor(uint32_t samples, uint32_t blockFrames) {
    return samples / blockFrames + (samples % blockFrames != 0 ? 1u : 0u);
}

// Where the release begins and where the note ends, in samples.
struct NoteLength {
    uint32_t rel;
    uint32_t end;
};

}  // namespace

namespace tonegate_synth {

struct NoteScheduler {
    // Keeps the release position and the block count of the note, and returns
    // how many single-LSB correction places the note has.
    static uint32_t PlaceRelease(SineGenerator& g, NoteLength length) {
        const uint32_t blockFrames = g.nBufferFrames;
        g.nReleaseBlock = length.rel / blockFrames;
        g.nReleaseOffset = length.rel % blockFrames;
        g.nNoteBlocks = BlocksFor(length.end, blockFrames);
        const uint32_t attackBlocks = g.nRampSamples / blockFrames;
        if (g.nReleaseBlock < attackBlocks) return 0;
        uint32_t capacity = g.nReleaseBlock - attackBlocks;
        if (capacity != 0 && g.nRampSamples % blockFrames != 0) --capacity;
        return capacity;
    }

    // Runs the whole note without output, leaving its DC sum in nSampleSum.
    // When the note is a whole number of samples and its last two steady
    // samples do not rise through zero, the release moves one sample later (and
    // `length` and the schedule with it). False if the moved note no longer
    // spans two blocks.
    template <typename Sample>
    static bool MeasureNote(SineGenerator& g, bool hasFraction, NoteLength& length, uint32_t& capacity) {
        const uint32_t rampSamples = g.nRampSamples;
        const double fullScale = g.nFullScale;
        NoteKernels::Fill<Stage::kAttack, Sample>(g, nullptr, rampSamples);
        if (hasFraction) {
            NoteKernels::Fill<Stage::kSteady, Sample>(g, nullptr, length.rel - rampSamples);
            g.dEnvelope = fullScale;
            NoteKernels::Fill<Stage::kRelease, Sample>(g, nullptr, rampSamples);
            return true;
        }
        NoteKernels::Fill<Stage::kSteady, Sample>(g, nullptr, length.rel - rampSamples - 2);
        Sample lastSteady[2];
        NoteKernels::Fill<Stage::kSteady>(g, lastSteady, 2);
        // Samples 1 to rel stay the same when the release moves; keep where
        // they end.
        const int32_t sumBeforeRelease = g.nSampleSum;
        const double phaseBeforeRelease = g.dPhase;
        g.dEnvelope = fullScale;
        NoteKernels::Fill<Stage::kRelease, Sample>(g, nullptr, rampSamples);
        if (lastSteady[0] <= 0 && lastSteady[1] > 0) return true;

        ++length.rel;
        length.end = rampSamples + length.rel;
        capacity = PlaceRelease(g, length);
        if (g.nNoteBlocks < 2) return false;
        // The state a second full pass has after sample rel - 1 of the moved
        // note; from there only one more steady sample and the release are new.
        g.ResetNoteState();
        g.nSampleSum = sumBeforeRelease;
        g.dPhase = phaseBeforeRelease;
        g.nAttackDone = rampSamples;
        NoteKernels::Fill<Stage::kSteady, Sample>(g, nullptr, 1);
        g.dEnvelope = fullScale;
        NoteKernels::Fill<Stage::kRelease, Sample>(g, nullptr, rampSamples);
        return true;
    }
};

}  // namespace tonegate_synth

bool SineGenerator::PlaySineWav(double sampleRate, double frequency, double seconds, uint32_t attenuation) {
    if (bSweepActive.load(std::memory_order_acquire)) return false;
    if (bSineActive.load(std::memory_order_acquire)) return false;
    // Without a finite positive rate and a block size there are no sample counts to schedule.
    if (!(std::isfinite(sampleRate) && sampleRate > 0.0) || nBufferFrames == 0) return false;

    dSampleRate = sampleRate;
    const double period = 1.0 / frequency;
    const double samplesPerCycle = sampleRate / frequency;

    double wholeCycles;
    if (std::modf(frequency * seconds, &wholeCycles) >= 0.5) wholeCycles += 1.0;
    uint32_t cycles;
    // A NaN, infinite or negative product of frequency and seconds is no cycle count.
    if (!ToCount(wholeCycles, cycles) || cycles < 2) return false;

    const double exactSamples = cycles * samplesPerCycle;
    uint32_t total;
    // A negative or non-finite samples-per-cycle gives no sample count.
    if (!ToCount(std::floor(exactSamples), total)) return false;
    const bool hasFraction = std::fmod(exactSamples, static_cast<double>(total)) != 0.0;
    if (total <= nBufferFrames) return false;

    const uint32_t half = cycles / 2;
    uint32_t rampCycles = half;
    if (!(half * period <= 0.01)) {
        double wholeRampCycles;
        if (std::modf(frequency * 0.01, &wholeRampCycles) != 0.0) wholeRampCycles += 1.0;
        // frequency is finite and positive here, but the count is guarded like every other.
        if (!ToCount(wholeRampCycles, rampCycles)) return false;
        if (rampCycles > half) rampCycles = half;
    }

    uint32_t rampSamplesPlusOne;
    // Fewer than two samples in the ramp's cycles would leave the ramp empty (R < 1).
    if (!ToCount(std::floor(rampCycles * samplesPerCycle), rampSamplesPlusOne) || rampSamplesPlusOne < 2) return false;
    const uint32_t rampSamples = rampSamplesPlusOne - 1;
    NoteLength length{};
    // Below `total`, so always a count; guarded all the same.
    if (!ToCount(std::floor((cycles - rampCycles) * samplesPerCycle), length.rel)) return false;
    if (hasFraction) ++length.rel;
    length.end = rampSamples + length.rel;
    // At least two steady samples.
    if (2 * rampSamplesPlusOne > length.end) {
        ++length.rel;
        ++length.end;
    }
    nRampSamples = rampSamples;
    uint32_t capacity = tonegate_synth::NoteScheduler::PlaceRelease(*this, length);
    if (nNoteBlocks < 2) return false;

    dEnvelopeStep = nFullScale / static_cast<double>(rampSamplesPlusOne);
    dAmplitude = AmplitudeForAttenuation(attenuation);
    bSpreadCorrection = false;
    dPhaseInc = tonegate_synth::kTwoPi / (dSampleRate / frequency);
    ResetNoteState();

    if (seconds > kLongestCorrectedNote) {
        bSineActive.store(true, std::memory_order_release);
        return false;
    }

    using tonegate_synth::NoteScheduler;
    const bool measured = b16Bit ? NoteScheduler::MeasureNote<int16_t>(*this, hasFraction, length, capacity)
                                 : NoteScheduler::MeasureNote<int32_t>(*this, hasFraction, length, capacity);
    if (!measured) return false;

    const int32_t dcSum = nSampleSum;
    const int64_t dcMagnitude = dcSum < 0 ? -static_cast<int64_t>(dcSum) : dcSum;
    if (dcSum != 0) {
        if (dcMagnitude <= static_cast<int64_t>(capacity) + 3) {
            // |dcSum| ≤ capacity + 3 < 2^31, so the negation cannot overflow.
            nPendingCorrection = -dcSum;
        } else {
            nPendingCorrection = 0;
            dCorrectionStep = -(static_cast<double>(dcSum) / static_cast<double>(length.end));
            bSpreadCorrection = true;
        }
    }

    ResetNoteState();
    bSineActive.store(true, std::memory_order_release);
    return true;
}
