// Helpers shared by the note pre-pass, the stage operations and the sweep:
// the kernels of each output format, picked by sample type, and wrapping
// sample arithmetic.
// Thread: both.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "synth/sine_generator.h"

namespace tonegate_synth {

template <typename Sample>
struct FormatKernels;

template <>
struct FormatKernels<int32_t> {
    static constexpr auto steady = &SineGenerator::FillSteady32;
    static constexpr auto attack = &SineGenerator::FillAttack32;
    static constexpr auto release = &SineGenerator::FillRelease32;
    static constexpr auto steadySpread = &SineGenerator::FillSteadySpread32;
    static constexpr auto attackSpread = &SineGenerator::FillAttackSpread32;
    static constexpr auto releaseSpread = &SineGenerator::FillReleaseSpread32;
};

template <>
struct FormatKernels<int16_t> {
    static constexpr auto steady = &SineGenerator::FillSteady16;
    static constexpr auto attack = &SineGenerator::FillAttack16;
    static constexpr auto release = &SineGenerator::FillRelease16;
    static constexpr auto steadySpread = &SineGenerator::FillSteadySpread16;
    static constexpr auto attackSpread = &SineGenerator::FillAttackSpread16;
    static constexpr auto releaseSpread = &SineGenerator::FillReleaseSpread16;
};

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

}  // namespace tonegate_synth
