// The exports' guards and range checks: every refusal message, the order in
// which bounds are tested, NaN handling, and the neutral results when there
// is no driver or session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <limits>
#include <string>
#include <vector>

#include "host/library_state.h"
#include "host/tonegate.h"
#include "support/log_reader.h"
#include "support/scoped_registry.h"

namespace {

using tonegate_test::CurrentRunLines;
using tonegate_test::ScopedRegistry;
using tonegate_test::ScopedWorkingDirectory;

// A fresh working directory and a registry without any driver.
class NoDriverTest : public ::testing::Test {
protected:
    ScopedWorkingDirectory workingDirectory_;
    ScopedRegistry registry_;
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What an ASIOOpenDriver that finds no driver writes.
const std::vector<std::string> kNoDriverLines = {"Enumerating ASIO Drivers...", "",
                                                 "Couldn't find any ASIO drivers!"};

// Runs one request between a log start and stop and returns what it logged
// after the lines of the failed open.
template <typename Request>
std::vector<std::string> LinesOf(Request request) {
    EXPECT_FALSE(ASIOOpenDriver());
    request();
    EXPECT_EQ(ASIOCloseDriver(), 0);
    std::vector<std::string> lines = CurrentRunLines();
    EXPECT_GE(lines.size(), kNoDriverLines.size());
    if (lines.size() < kNoDriverLines.size()) return lines;
    EXPECT_TRUE(std::equal(kNoDriverLines.begin(), kNoDriverLines.end(), lines.begin()));
    return std::vector<std::string>(lines.begin() + kNoDriverLines.size(), lines.end());
}

struct SineCase {
    double frequency;
    double seconds;
    uint32_t attenuation;
    const char* message;  // null: accepted
};

void PrintTo(const SineCase& c, std::ostream* out) {
    *out << c.frequency << " Hz, " << c.seconds << " s, " << c.attenuation << " dB";
}

class SineChecks : public NoDriverTest, public ::testing::WithParamInterface<SineCase> {};

TEST_P(SineChecks, LogsOnlyTheFirstFailedBound) {
    const SineCase c = GetParam();
    const uint32_t countBefore = noteCount;
    for (auto request : {ASIOGenerateSineWavA, ASIOGenerateSineWavB}) {
        uint32_t result = 1;
        std::vector<std::string> lines = LinesOf([&] { result = request(c.frequency, c.seconds, c.attenuation); });
        EXPECT_EQ(result, 0u);
        if (c.message == nullptr) {
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], c.message);
        }
    }
    // Without a session no request counts as a note.
    EXPECT_EQ(noteCount, countBefore);
}

const char* const kSineAttenuation = "Failed: PlaySineWav - antenuation dBs greater than 60!";
const char* const kSineShort = "Failed: PlaySineWav - seconds less than 0.01!";
const char* const kSineLong = "Failed: PlaySineWav - seconds greater than 60!";
const char* const kSineHigh = "Failed: PlaySineWav - Frequency greater than half the sample rate!";
const char* const kSineLow = "Failed: PlaySineWav - Frequency less than 1 hz!";

INSTANTIATE_TEST_SUITE_P(
    Bounds, SineChecks,
    ::testing::Values(SineCase{440, 1, 0, nullptr}, SineCase{10, 0.01, 60, nullptr},
                      SineCase{22050, 60, 0, nullptr}, SineCase{440, 1, 61, kSineAttenuation},
                      SineCase{440, 1, static_cast<uint32_t>(-1), kSineAttenuation},
                      SineCase{440, 0.0099, 0, kSineShort}, SineCase{440, -1, 0, kSineShort},
                      SineCase{440, kNaN, 0, kSineShort}, SineCase{440, 60.0001, 0, kSineLong},
                      SineCase{22050.5, 1, 0, kSineHigh}, SineCase{5, 1, 0, kSineLow},
                      SineCase{9.999, 1, 0, kSineLow}, SineCase{kNaN, 1, 0, kSineLow},
                      // several bounds broken: the first in table order wins
                      SineCase{30000, 100, 70, kSineAttenuation}, SineCase{30000, 100, 0, kSineLong},
                      SineCase{1, 0, 0, kSineShort}, SineCase{30000, kNaN, 0, kSineShort}));

struct SweepCase {
    double freqStart;
    double freqEnd;
    double seconds;
    uint32_t attenuation;
    const char* message;
};

void PrintTo(const SweepCase& c, std::ostream* out) {
    *out << c.freqStart << " to " << c.freqEnd << " Hz, " << c.seconds << " s, " << c.attenuation << " dB";
}

class SweepChecks : public NoDriverTest, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(SweepChecks, LogsOnlyTheFirstFailedBound) {
    const SweepCase c = GetParam();
    for (auto request : {ASIOGenerateSweepWavA, ASIOGenerateSweepWavB}) {
        std::vector<std::string> lines =
            LinesOf([&] { request(c.freqStart, c.freqEnd, c.seconds, c.attenuation); });
        if (c.message == nullptr) {
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], c.message);
        }
    }
}

const char* const kSweepAttenuation = "Failed: PlaySweepWav - antenuation dBs greater than 60!";
const char* const kSweepShort = "Failed: PlaySweepWav - seconds less than 0.01!";
const char* const kSweepLong = "Failed: PlaySweepWav - seconds greater than 10!";
const char* const kSweepStartHigh = "Failed: PlaySweepWav - freqStart greater 22050 hz!";
const char* const kSweepLow = "Failed: PlaySweepWav - Frequency less than 10 hz!";
const char* const kSweepEndHigh = "Failed: PlaySweepWav - Frequency greater than 22050 hz!";

INSTANTIATE_TEST_SUITE_P(
    Bounds, SweepChecks,
    ::testing::Values(SweepCase{100, 1000, 0.1, 0, nullptr}, SweepCase{10, 22050, 10, 60, nullptr},
                      SweepCase{22050, 10, 1, 0, nullptr}, SweepCase{100, 1000, 1, 61, kSweepAttenuation},
                      SweepCase{100, 1000, 1, static_cast<uint32_t>(-1), kSweepAttenuation},
                      SweepCase{100, 1000, 0.05, 0, kSweepShort}, SweepCase{100, 1000, kNaN, 0, kSweepShort},
                      SweepCase{100, 1000, 10.001, 0, kSweepLong}, SweepCase{22051, 1000, 1, 0, kSweepStartHigh},
                      SweepCase{9, 1000, 1, 0, kSweepLow}, SweepCase{kNaN, 1000, 1, 0, kSweepLow},
                      SweepCase{100, 22050.01, 1, 0, kSweepEndHigh}, SweepCase{100, 9.5, 1, 0, kSweepLow},
                      SweepCase{100, kNaN, 1, 0, kSweepLow},
                      SweepCase{kNaN, kNaN, 1, 0, kSweepLow},
                      SweepCase{30000, 30000, 20, 70, kSweepAttenuation}));

class ExportFrame : public NoDriverTest {};

TEST_F(ExportFrame, SampleRateExportsRefuseWithoutASession) {
    std::vector<std::string> lines = LinesOf([] {
        EXPECT_FALSE(ASIOSetSampleRate(48000));
        EXPECT_EQ(ASIOGetSampleRate(), 0);
    });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Failed: ASIOSetSampleRate - ASIO system not initialized!");
    EXPECT_EQ(lines[1], "Failed: ASIOSetSampleRate - ASIO system not initialized!");
}

TEST_F(ExportFrame, OpenWithoutDriversLogsAndSystemInitRefusesSilently) {
    EXPECT_FALSE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSystemInit(nullptr));
    EXPECT_EQ(ASIOCloseDriver(), 0);
    EXPECT_EQ(CurrentRunLines(), kNoDriverLines);
    EXPECT_NE(nDrvOpenResult, 0);
}

TEST_F(ExportFrame, EnableWavStoresItsFlagWithoutLoggingEvenBeforeOpen) {
    EXPECT_FALSE(ASIOEnableWav(false));
    EXPECT_FALSE(bWavEnabled.load());
    EXPECT_TRUE(ASIOEnableWav(true));
    EXPECT_TRUE(bWavEnabled.load());
    std::vector<std::string> lines = LinesOf([] {
        EXPECT_FALSE(ASIOEnableWav(false));
        EXPECT_TRUE(ASIOEnableWav(true));
    });
    EXPECT_TRUE(lines.empty());
    // Closing the driver leaves the flag as it was.
    EXPECT_TRUE(bWavEnabled.load());
}

TEST_F(ExportFrame, CloseTwiceStopsTheLogOnceAndWritesOneFooter) {
    EXPECT_FALSE(ASIOOpenDriver());
    EXPECT_EQ(ASIOCloseDriver(), 0);
    const std::string afterFirst = tonegate_test::ReadFile("Dbg.Log");
    EXPECT_EQ(ASIOCloseDriver(), 0);
    EXPECT_EQ(tonegate_test::ReadFile("Dbg.Log"), afterFirst);
    EXPECT_NE(afterFirst.find(std::string("Goodbye, and may all your code compile!") + tonegate_test::kLogLineEnd),
              std::string::npos);
}

TEST_F(ExportFrame, CloseWithoutOpenDoesNothing) {
    EXPECT_EQ(ASIOCloseDriver(), 0);
    EXPECT_FALSE(std::filesystem::exists("Dbg.Log"));
}

TEST_F(ExportFrame, RequestsWhileTheLogIsClosedWriteNothing) {
    EXPECT_EQ(ASIOGenerateSineWavA(5, 1, 0), 0u);
    ASIOGenerateSweepWavB(100, 1000, 0.01, 0);
    EXPECT_FALSE(ASIOSetSampleRate(96000));
    EXPECT_FALSE(std::filesystem::exists("Dbg.Log"));
}

TEST_F(ExportFrame, EachOpenRotatesTheLog) {
    EXPECT_FALSE(ASIOOpenDriver());
    ASIOCloseDriver();
    EXPECT_FALSE(ASIOOpenDriver());
    ASIOCloseDriver();
    EXPECT_TRUE(std::filesystem::exists("Dbg.Log"));
    EXPECT_TRUE(std::filesystem::exists("Dbg1.Log"));
    EXPECT_FALSE(std::filesystem::exists("Dbg2.Log"));
}

}  // namespace
