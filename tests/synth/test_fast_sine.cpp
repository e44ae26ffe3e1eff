// The kernels' own sine against the true sine: within a couple of ulps over the
// phases notes and sweeps reach, and never a full-scale sample more than one
// LSB away. Thread: the test's own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "synth/fast_sine.h"

namespace {

using tonegate_synth::FastSine;

// The sine of a double phase to well beyond double precision, whatever the C
// library's own sin is worth (the Windows runtime's is several ulps off at
// large phases): the phase is brought into [-pi/2, pi/2] in long double with
// pi in three 40-bit parts, so each product k * part is exact for the
// k < 2^22 of the phases tested here, and the short argument goes to sinl.
double ReferenceSine(double x) {
    const long double piHigh = 0x1.921fb54442p+1L;
    const long double piMiddle = 0x1.a308d31318p-40L;
    const long double piLow = 0x1.8a2e037072p-80L;
    const long double k = std::nearbyint(static_cast<long double>(x) / piHigh);
    const long double reduced = ((static_cast<long double>(x) - k * piHigh) - k * piMiddle) - k * piLow;
    const long double sine = std::sin(reduced);
    const bool odd = std::fmod(std::fabs(k), 2.0L) == 1.0L;
    return static_cast<double>(odd ? -sine : sine);
}

// Distance in units of the last place of the reference value.
double UlpsOff(double value, double reference) {
    const double ulp = std::nextafter(std::fabs(reference), INFINITY) - std::fabs(reference);
    return std::fabs(value - reference) / ulp;
}

TEST(FastSine, MatchesTheTrueSineWithinTwoUlpsAndOneLsb) {
    std::mt19937_64 random(20240611);
    // Up to the phase of a 22050 Hz note of 60 s, and small phases of sweeps.
    std::uniform_real_distribution<double> longPhase(0.0, 8.4e6);
    std::uniform_real_distribution<double> shortPhase(-7.0, 7.0);
    double worstUlps = 0.0;
    for (int i = 0; i < 2000000; ++i) {
        const double x = (i % 2 == 0) ? longPhase(random) : shortPhase(random);
        const double reference = ReferenceSine(x);
        const double value = FastSine(x);
        // Near a zero of sin(x) the result is small and its relative error
        // grows; there the absolute error is what a sample sees.
        if (std::fabs(reference) > 1e-3) worstUlps = std::max(worstUlps, UlpsOff(value, reference));
        ASSERT_LE(std::fabs(value - reference), 4e-16) << "x = " << x;
        const double amplitude = 2147483645.0;
        ASSERT_LE(std::llabs(static_cast<int64_t>(value * amplitude) - static_cast<int64_t>(reference * amplitude)), 1)
            << "x = " << x;
    }
    EXPECT_LE(worstUlps, 2.0);
}

TEST(FastSine, ExactAtSpecialPhasesAndOddInSign) {
    EXPECT_EQ(FastSine(0.0), 0.0);
    EXPECT_EQ(FastSine(M_PI / 2), 1.0);
    EXPECT_EQ(FastSine(-M_PI / 2), -1.0);
    EXPECT_NEAR(FastSine(M_PI), std::sin(M_PI), 1e-30);
    EXPECT_NEAR(FastSine(1e6 * M_PI), std::sin(1e6 * M_PI), 1e-24);
    for (double x : {0.1, 1.0, 3.0, 12345.678, 1.3e6}) EXPECT_EQ(FastSine(-x), -FastSine(x));
}

// The block form may run another instruction set's version; it must give
// the same bits as the one-by-one form the test itself compiles.
TEST(FastSine, BlockOfSinesEqualsOneByOne) {
    std::vector<double> phases(1000);
    for (size_t i = 0; i < phases.size(); ++i) phases[i] = 0.37 * static_cast<double>(i * i);
    std::vector<double> sines = phases;
    tonegate_synth::SinesInPlace(sines.data(), static_cast<uint32_t>(sines.size()));
    for (size_t i = 0; i < phases.size(); ++i) ASSERT_EQ(sines[i], FastSine(phases[i])) << i;
}

}  // namespace
