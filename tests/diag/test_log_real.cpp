// The real-number text of LogReal: zero and NaN, the two range marks and their
// boundaries, the sign, cut (never rounded) decimals and the decimals count.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "diag/log_format.h"

namespace {

std::string Real(double value, int32_t decimals) {
    char text[tonegate_diag::kRealTextSize];
    return tonegate_diag::FormatReal(text, sizeof text, value, decimals);
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(LogReal, ZeroOfEitherSignAndNaNAreAPlainZero) {
    EXPECT_EQ(Real(0.0, 6), "0");
    EXPECT_EQ(Real(-0.0, 6), "0");
    EXPECT_EQ(Real(kNaN, 6), "0");
    EXPECT_EQ(Real(-kNaN, 3), "0");
    EXPECT_EQ(Real(0.0, 0), "0");
}

TEST(LogReal, TinyMagnitudesGetTheLowRangeMark) {
    EXPECT_EQ(Real(5e-10, 6), "<>+/-1.0e-9");
    EXPECT_EQ(Real(-5e-10, 6), "<>+/-1.0e-9");
    EXPECT_EQ(Real(std::nextafter(1e-9, 0.0), 6), "<>+/-1.0e-9");
    EXPECT_EQ(Real(std::numeric_limits<double>::denorm_min(), 0), "<>+/-1.0e-9");
}

TEST(LogReal, TheLowBoundaryItselfIsANumber) {
    EXPECT_EQ(Real(1e-9, 6), "0.000000");
    EXPECT_EQ(Real(-1e-9, 6), "-0.000000");
    EXPECT_EQ(Real(1e-9, 9), "0.000000001");
    EXPECT_EQ(Real(-1e-9, 0), "-0.?");
}

TEST(LogReal, HugeMagnitudesAndInfinitiesGetTheHighRangeMark) {
    EXPECT_EQ(Real(1.5e9, 6), "<>+/-1.0e+9");
    EXPECT_EQ(Real(-1.5e9, 6), "<>+/-1.0e+9");
    EXPECT_EQ(Real(std::nextafter(1e9, 2e9), 6), "<>+/-1.0e+9");
    EXPECT_EQ(Real(kInfinity, 6), "<>+/-1.0e+9");
    EXPECT_EQ(Real(-kInfinity, 0), "<>+/-1.0e+9");
}

TEST(LogReal, TheHighBoundaryItselfIsANumber) {
    EXPECT_EQ(Real(1e9, 6), "1000000000.000000");
    EXPECT_EQ(Real(-1e9, 6), "-1000000000.000000");
    EXPECT_EQ(Real(std::nextafter(1e9, 0.0), 2), "999999999.99");
}

TEST(LogReal, DecimalsAreCutNotRounded) {
    EXPECT_EQ(Real(440.0, 6), "440.000000");
    EXPECT_EQ(Real(0.25, 6), "0.250000");
    EXPECT_EQ(Real(2.05, 6), "2.049999");
    EXPECT_EQ(Real(0.01, 6), "0.010000");
    EXPECT_EQ(Real(0.999, 2), "0.99");
    EXPECT_EQ(Real(-2.5, 2), "-2.50");
    EXPECT_EQ(Real(0.001, 2), "0.00");
    EXPECT_EQ(Real(-0.001, 2), "-0.00");
}

TEST(LogReal, NoDecimalsMarksTheFraction) {
    EXPECT_EQ(Real(12.75, 0), "12.?");
    EXPECT_EQ(Real(-12.75, 0), "-12.?");
    EXPECT_EQ(Real(3.0, 0), "3.?");
}

TEST(LogReal, NegativeDecimalsCountByTheirMagnitude) {
    EXPECT_EQ(Real(12.75, -3), "12.750");
    EXPECT_EQ(Real(12.75, -1), "12.7");
    EXPECT_EQ(Real(0.5, -15), "0.500000000");
    EXPECT_EQ(Real(0.5, INT32_MIN), "0.500000000");
}

TEST(LogReal, DecimalsAboveNineAreCutToNine) {
    EXPECT_EQ(Real(0.123456789123, 15), "0.123456789");
    EXPECT_EQ(Real(0.5, INT32_MAX), "0.500000000");
    EXPECT_EQ(Real(0.123456789123, 9), "0.123456789");
    EXPECT_EQ(Real(0.123456789123, 8), "0.12345678");
}

TEST(LogReal, ATooSmallBufferIsCutAndTerminated) {
    char text[6];
    EXPECT_STREQ(tonegate_diag::FormatReal(text, sizeof text, 440.0, 6), "440.0");
}

}  // namespace
