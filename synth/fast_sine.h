// The sine of the note and sweep kernels: a double-precision sine good to
// about one ulp, built from plain IEEE operations only, so the note's pre-pass
// and its renderer get bit-identical values, and written so that loops over
// it vectorise (SinesInPlace).
// Thread: both.
#pragma once

#include <bit>
#include <cstdint>

namespace tonegate_synth {

// sin(x), accurate to about one ulp for |x| < 2^22·π (about 1.3e7 rad; a note
// reaches at most about 8.3e6) and bounded by 1 in magnitude (within rounding)
// for every finite |x| < 2^51. x is reduced to r = x − k·π, |r| ≤ π/2, with π
// split in three parts (Cody–Waite): k·kPiHigh and k·kPiMiddle are exact for
// |k| < 2^22, so r keeps its relative accuracy even next to a multiple of π,
// and only the tiny last product rounds. Then sin(x) = ±sin(r), the sign
// taken from the parity of k, and sin(r) = r + r³·P(r²) with a minimax P of
// degree 7, whose error stays below 4e-17 relative on |r| ≤ π/2.
inline double FastSine(double x) {
    constexpr double kInvPi = 0x1.45f306dc9c883p-2;
    constexpr double kPiHigh = 0x1.921fb54400000p+1;
    constexpr double kPiMiddle = 0x1.0b4611a400000p-33;
    constexpr double kPiLow = 0x1.13198a2e03707p-64;
    // Adding 1.5·2^52 rounds to a whole number, which then sits in the low
    // bits of the mantissa: the last bit is the parity of k.
    constexpr double kRoundingShift = 0x1.8p52;
    constexpr double kP0 = -0x1.5555555555555p-3;
    constexpr double kP1 = 0x1.1111111111107p-7;
    constexpr double kP2 = -0x1.a01a01a018aadp-13;
    constexpr double kP3 = 0x1.71de3a545670ap-19;
    constexpr double kP4 = -0x1.ae6455a1d694fp-26;
    constexpr double kP5 = 0x1.6124015b39739p-33;
    constexpr double kP6 = -0x1.ae5138b52d7abp-41;
    constexpr double kP7 = 0x1.89a484f1c83e7p-49;

    const double shifted = x * kInvPi + kRoundingShift;
    const double k = shifted - kRoundingShift;
    const uint64_t signOfOddK = std::bit_cast<uint64_t>(shifted) << 63;
    const double r = ((x - k * kPiHigh) - k * kPiMiddle) - k * kPiLow;
    const double r2 = r * r;
    double p = kP7;
    p = p * r2 + kP6;
    p = p * r2 + kP5;
    p = p * r2 + kP4;
    p = p * r2 + kP3;
    p = p * r2 + kP2;
    p = p * r2 + kP1;
    p = p * r2 + kP0;
    const double sineOfR = r + r * (r2 * p);
    return std::bit_cast<double>(std::bit_cast<uint64_t>(sineOfR) ^ signOfOddK);
}

// Replaces each of the n phases by its sine, FastSine bit for bit.
void SinesInPlace(double* values, uint32_t n);

}  // namespace tonegate_synth
