// The stopwatch: its arithmetic on chosen counter readings (wrap of the low
// halves, truncation, low 32 bits of the frequency and of the result) and a
// real interval timed on the counter. Thread: the test's own.
#include <gtest/gtest.h>

#include <cstdint>

#include "diag/debug_log.h"
#include "diag/elapsed_time.h"
#include "diag/log_file.h"
#include "diag/stopwatch.h"
#include "platform/win32.h"

namespace {

using tonegate_diag::ElapsedMicroseconds;

constexpr int64_t kTenMegahertz = 10000000;
constexpr int64_t kHighHalf = int64_t{1} << 32;

TEST(StopwatchArithmetic, TruncatesToWholeMicroseconds) {
    EXPECT_EQ(ElapsedMicroseconds(1000, 1000 + 12345, kTenMegahertz), 1234u);
    EXPECT_EQ(ElapsedMicroseconds(0, 1, 3), 333333u);
    EXPECT_EQ(ElapsedMicroseconds(0, 9, kTenMegahertz), 0u);
    EXPECT_EQ(ElapsedMicroseconds(0, 10, kTenMegahertz), 1u);
    EXPECT_EQ(ElapsedMicroseconds(42, 42, kTenMegahertz), 0u);
}

TEST(StopwatchArithmetic, NoCounterGivesZero) {
    EXPECT_EQ(ElapsedMicroseconds(0, 12345, 0), 0u);
    // Only the frequency's low half counts, and here it is 0.
    EXPECT_EQ(ElapsedMicroseconds(0, 12345, kHighHalf), 0u);
}

TEST(StopwatchArithmetic, ALowHalfThatWrapsStillCountsTheTrueTicks) {
    const int64_t start = 0xFFFFFF00;
    const int64_t stop = kHighHalf + 0x100;
    EXPECT_EQ(ElapsedMicroseconds(start, stop, kTenMegahertz), 51u);  // 512 ticks
    EXPECT_EQ(ElapsedMicroseconds(start + 6 * kHighHalf, 0x100, kTenMegahertz), 51u);
    EXPECT_EQ(ElapsedMicroseconds(-1, 12344, kTenMegahertz), 1234u);
}

TEST(StopwatchArithmetic, OnlyTheLowHalvesAreUsed) {
    EXPECT_EQ(ElapsedMicroseconds(5 * kHighHalf + 100, 7 * kHighHalf + 600, kHighHalf + 1000), 500000u);
}

TEST(StopwatchArithmetic, AResultBeyondThirtyTwoBitsKeepsItsLowHalf) {
    // (2^32 - 1) * 10^6 modulo 2^32 is 2^32 - 10^6.
    EXPECT_EQ(ElapsedMicroseconds(0, 0xFFFFFFFF, 1), 4293967296u);
    // 4295 seconds at 1 kHz: 4295000000 - 2^32 = 32704 microseconds.
    EXPECT_EQ(ElapsedMicroseconds(0, 4295000, 1000), 32704u);
}

using Stopwatch = tonegate_test::LogFileTest;

TEST_F(Stopwatch, TimesARealIntervalAfterTheLogStarts) {
    LogStart();
    TimerStart();
    Sleep(20);
    TimerStop();
    const uint32_t elapsed = TimerElapsedMicroseconds();
    EXPECT_GE(elapsed, 20000u);
    EXPECT_LT(elapsed, 5000000u);
}

TEST_F(Stopwatch, TheLastStopCounts) {
    LogStart();
    TimerStart();
    TimerStop();
    const uint32_t quick = TimerElapsedMicroseconds();
    Sleep(10);
    TimerStop();
    EXPECT_GE(TimerElapsedMicroseconds(), quick + 10000u);
}

}  // namespace
