// Guarded conversion of a computed whole number (cycles, samples, blocks) to
// the unsigned count the schedule keeps.
// Thread: caller's thread.
#pragma once

#include <cstdint>

namespace tonegate_synth {

// Counts stay below 2^30 so that a schedule's sums and one-sample adjustments
// (R + rel, 2·(R + 1), blocks + 1) fit in 32 bits; that is hours of sound.
constexpr double kMaxCount = 1073741824.0;

// False for NaN, infinities, negatives and values of kMaxCount or more, which
// have no count; otherwise the whole number `value` in `count`.
inline bool ToCount(double value, uint32_t& count) {
    if (!(value >= 0.0 && value < kMaxCount)) return false;
    count = static_cast<uint32_t>(value);
    return true;
}

}  // namespace tonegate_synth
