// Helpers shared by the note pre-pass, the stage operations and the sweep:
// the kernels of each output format, picked by sample type, and wrapping
// sample arithmetic.
// Thread: both.
#pragma once

#include <cstdint>

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

}  // namespace tonegate_synth
