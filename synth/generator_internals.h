// The synth's own view of SineGenerator, for synth/*.cpp only: the shared
// constants, wrapping sample arithmetic and the sample kernels that the note
// pre-pass and the stage operations both run.
// Thread: both. The kernels without a destination on the caller's thread (the
// note's pre-pass); with one on the real-time thread, where they allocate,
// lock and call nothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "synth/sine_generator.h"

namespace tonegate_synth {

constexpr double kTwoPi = 6.283185307179586;
// Samples are made a chunk at a time: the phases (and ramp gains) one after
// the other, exactly as a sample-by-sample loop adds them, then the sines and
// the samples over the whole chunk, which vectorises.
constexpr uint32_t kChunk = 64;

// sample + lsbs in the sample's own width, wrapping instead of overflowing.
template <typename Sample>
Sample AddToSample(Sample sample, int32_t lsbs) {
    return static_cast<Sample>(static_cast<uint32_t>(sample) + static_cast<uint32_t>(lsbs));
}

// The part of `lsbs` that `sample` can take without leaving its format's
// range: a correction must never wrap a peak into a full-scale click.
template <typename Sample>
int32_t FittingLsbs(Sample sample, int32_t lsbs) {
    const int64_t room = lsbs > 0 ? int64_t{std::numeric_limits<Sample>::max()} - sample
                                  : int64_t{std::numeric_limits<Sample>::min()} - sample;
    return static_cast<int32_t>(lsbs > 0 ? std::min<int64_t>(lsbs, room) : std::max<int64_t>(lsbs, room));
}

enum class Stage { kSteady, kAttack, kRelease };

// Runs of n note samples of one stage in the format of Sample (int32_t or
// int16_t), defined in sample_kernels.cpp for both.
struct NoteKernels {
    // Adds every sample to nSampleSum; a null destination only measures.
    template <Stage stage, typename Sample>
    static void Fill(SineGenerator& g, Sample* dst, uint32_t n);
    // Carries the spread DC correction; needs a destination.
    template <Stage stage, typename Sample>
    static void FillSpread(SineGenerator& g, Sample* dst, uint32_t n);
    // Moves one sample one LSB toward cancelling the note's DC sum.
    template <typename Sample>
    static void NudgeSample(SineGenerator& g, Sample& sample);

private:
    template <Stage stage>
    static void NextSamples(SineGenerator& g, int32_t* values, uint32_t count);
    template <Stage stage>
    static void CountStageSamples(SineGenerator& g, uint32_t n);
};

}  // namespace tonegate_synth
