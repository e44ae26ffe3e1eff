// The stopwatch's arithmetic as a pure function, so its wrap and rounding can
// be checked with chosen counter readings. Thread: any (no shared state).
#pragma once

#include <cstdint>

namespace tonegate_diag {

// Microseconds between two counter readings at `frequency` ticks a second,
// from the low 32 bits of each; 0 when the frequency's low half is 0.
uint32_t ElapsedMicroseconds(int64_t startReading, int64_t stopReading, int64_t frequency);

}  // namespace tonegate_diag
