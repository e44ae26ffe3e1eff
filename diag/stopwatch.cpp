// The library-wide stopwatch on the performance counter.
// Thread: caller's thread only.
#include "diag/stopwatch.h"

#include <cmath>

#include "diag/debug_log.h"
#include "diag/elapsed_time.h"
#include "platform/win32.h"

namespace {

LARGE_INTEGER startCount{};
LARGE_INTEGER stopCount{};
LARGE_INTEGER counterFrequency{};

uint32_t LowHalf(int64_t count) { return static_cast<uint32_t>(static_cast<uint64_t>(count)); }

}  // namespace

namespace tonegate_diag {

uint32_t ElapsedMicroseconds(int64_t startReading, int64_t stopReading, int64_t frequency) {
    // Unsigned, so a low half that wrapped between the readings still gives
    // the true tick count.
    const uint32_t ticks = LowHalf(stopReading) - LowHalf(startReading);
    const uint32_t ticksPerSecond = LowHalf(frequency);
    if (ticksPerSecond == 0) return 0;
    const double microseconds = std::trunc(ticks / static_cast<double>(ticksPerSecond) * 1000000.0);
    // At most (2^32 - 1) * 10^6 < 2^53: a finite, non-negative whole number
    // that a 64-bit unsigned holds exactly, so this conversion is defined and
    // the second one keeps the low 32 bits.
    return static_cast<uint32_t>(static_cast<uint64_t>(microseconds));
}

}  // namespace tonegate_diag

void TimerReset() {
    startCount.QuadPart = 0;
    stopCount.QuadPart = 0;
    LogLine("Timer initialized");
}

void TimerReadFrequency() {
    // Left at 0 when the system has no counter.
    counterFrequency.QuadPart = 0;
    QueryPerformanceFrequency(&counterFrequency);
}

void TimerStart() {
    startCount.QuadPart = 0;
    stopCount.QuadPart = 0;
    QueryPerformanceCounter(&startCount);
}

void TimerStop() { QueryPerformanceCounter(&stopCount); }

uint32_t TimerElapsedMicroseconds() {
    return tonegate_diag::ElapsedMicroseconds(startCount.QuadPart, stopCount.QuadPart, counterFrequency.QuadPart);
}
