// The log's line writers as they reach "Dbg.Log": line formats, open lines,
// flushing, silence while the log is closed, and over-long texts cut to the
// writer's buffer. Thread: the test's own.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "diag/debug_log.h"
#include "diag/log_format.h"
#include "diag/log_file.h"

namespace {

using tonegate_test::LogBody;
using tonegate_test::LogFileTest;
using tonegate_test::ReadLog;

using LogWriters = LogFileTest;

// The body of the log after the writers have run and the log is stopped.
template <typename Writes>
std::string BodyAfter(Writes writes) {
    LogStart();
    writes();
    EXPECT_EQ(LogStop(), 0);
    return LogBody(ReadLog());
}

TEST_F(LogWriters, EachWriterWritesItsLineFormat) {
    const std::string body = BodyAfter([] {
        LogLine("Timer started");
        LogInt("numDev", 2);
        LogInt("offset", -17);
        LogIntPair("nRequestedDrvNum", "Num devices", 1, 3);
        LogReal("frequency", 440.0, 6);
        LogText("no line end");
        LogText(" and more\n");
    });
    EXPECT_EQ(body,
              "Timer started\n"
              "numDev: 2\n"
              "offset: -17\n"
              "nRequestedDrvNum: 1, Num devices: 3\n"
              "frequency: 440.000000\n"
              "no line end and more\n");
}

TEST_F(LogWriters, IntegersCoverTheWholeSignedRange) {
    const std::string body = BodyAfter([] {
        LogInt("smallest", INT32_MIN);
        LogInt("largest", INT32_MAX);
        LogInt("zero", 0);
        LogIntPair("low", "high", INT32_MIN, INT32_MAX);
    });
    EXPECT_EQ(body,
              "smallest: -2147483648\n"
              "largest: 2147483647\n"
              "zero: 0\n"
              "low: -2147483648, high: 2147483647\n");
}

TEST_F(LogWriters, DashedIntegersLeaveTheLineOpen) {
    const std::string body = BodyAfter([] {
        LogIntDash("Channel", 0);
        LogIntDash("Group", -1);
        LogText("Output 1\n");
        LogIntDash("Channel", 1);
        LogLine("ends here");
    });
    EXPECT_EQ(body, "Channel: 0 - Group: -1 - Output 1\nChannel: 1 - ends here\n");
}

TEST_F(LogWriters, ALeadingLineEndPutsAnEmptyLineBefore) {
    const std::string body = BodyAfter([] {
        LogLine("notes played");
        LogInt("\nFinal noteCount", 4);
    });
    EXPECT_EQ(body, "notes played\n\nFinal noteCount: 4\n");
}

TEST_F(LogWriters, EveryLineIsInTheFileAsSoonAsItIsWritten) {
    LogStart();
    LogLine("first");
    EXPECT_NE(ReadLog().find("Timer initialized\nfirst\n"), std::string::npos);
    LogInt("second", 2);
    LogIntDash("third", 3);
    EXPECT_NE(ReadLog().find("first\nsecond: 2\nthird: 3 - "), std::string::npos);
    LogIntPair("a", "b", 4, 5);
    LogReal("r", 0.5, 1);
    EXPECT_NE(ReadLog().find("third: 3 - a: 4, b: 5\nr: 0.5\n"), std::string::npos);
}

TEST_F(LogWriters, WritersBeforeStartWriteNothing) {
    LogLine("too early");
    LogText("too early");
    LogInt("too early", 1);
    LogIntDash("too early", 2);
    LogIntPair("too", "early", 3, 4);
    LogReal("too early", 5.0, 2);
    EXPECT_FALSE(std::filesystem::exists("Dbg.Log"));
    EXPECT_EQ(LogStop(), 0);

    const std::string body = BodyAfter([] {});
    EXPECT_EQ(body, "");
    EXPECT_FALSE(std::filesystem::exists("Dbg1.Log"));
}

TEST_F(LogWriters, WritersAfterStopWriteNothing) {
    BodyAfter([] { LogLine("last line"); });
    const std::string closedLog = ReadLog();

    LogLine("too late");
    LogText("too late");
    LogInt("too late", 1);
    LogIntDash("too late", 2);
    LogIntPair("too", "late", 3, 4);
    LogReal("too late", 5.0, 2);
    EXPECT_EQ(LogStop(), 0);
    EXPECT_EQ(ReadLog(), closedLog);
}

TEST_F(LogWriters, StopEndsTheLastLineWithTwoEmptyLines) {
    LogStart();
    LogLine("last line");
    ASSERT_EQ(LogStop(), 0);
    EXPECT_NE(ReadLog().find("last line\n\n\nShutting down debug logging system...\n"), std::string::npos);
}

// The longest name each writer holds whole, from its buffer size.
TEST_F(LogWriters, NamesUpToTheBufferLimitAreWrittenWhole) {
    const std::string line(1022, 'l');
    const std::string intName(145, 'i');
    const std::string dashName(143, 'd');
    const std::string pairName1(113, 'p');
    const std::string pairName2(113, 'q');
    const std::string realName(231, 'r');
    const std::string body = BodyAfter([&] {
        LogLine(line.c_str());
        LogInt(intName.c_str(), INT32_MIN);
        LogIntDash(dashName.c_str(), INT32_MIN);
        LogText("\n");
        LogIntPair(pairName1.c_str(), pairName2.c_str(), INT32_MIN, INT32_MIN);
        LogReal(realName.c_str(), -1e9, 9);
    });
    EXPECT_EQ(body, line + "\n" +                                                           //
                        intName + ": -2147483648\n" +                                       //
                        dashName + ": -2147483648 - \n" +                                   //
                        pairName1 + ": -2147483648, " + pairName2 + ": -2147483648\n" +  //
                        realName + ": -1000000000.000000000\n");
}

TEST_F(LogWriters, OverLongTextsAreCutAndKeepTheirLineEnd) {
    const std::string longText(3000, 'x');
    const std::string body = BodyAfter([&] {
        LogLine(longText.c_str());
        LogInt(longText.c_str(), 7);
        LogIntDash(longText.c_str(), 8);
        LogLine("");
        LogIntPair("first", longText.c_str(), 1, 2);
        LogReal(longText.c_str(), 1.5, 2);
    });
    EXPECT_EQ(body, std::string(1022, 'x') + "\n" +                     //
                        std::string(158, 'x') + "\n" +                  //
                        std::string(156, 'x') + " - \n" +               //
                        "first: 1, " + std::string(244, 'x') + "\n" +  //
                        std::string(254, 'x') + "\n");
}

TEST(LineComposer, CutsTheTextToKeepTheEndingAndTheTerminator) {
    char buffer[12];
    EXPECT_STREQ(tonegate_diag::LineComposer(buffer, "\n").Text("name").Text(": ").Int(-12345).Finish(),
                 "name: -123\n");
    EXPECT_STREQ(tonegate_diag::LineComposer(buffer, " - ").Text("name: ").Int(42).Finish(), "name: 42 - ");
    EXPECT_STREQ(tonegate_diag::LineComposer(buffer, " - ").Text("name: ").Int(421).Finish(), "name: 42 - ");
    EXPECT_STREQ(tonegate_diag::LineComposer(buffer, "\n").Finish(), "\n");
}

TEST(LineComposer, NeverWritesPastItsBuffer) {
    char buffer[16];
    std::string guarded(sizeof buffer + 8, '#');
    tonegate_diag::LineComposer(guarded.data(), sizeof buffer, "\n").Text(std::string(40, 'a').c_str()).Int(1).Finish();
    EXPECT_EQ(guarded.substr(0, sizeof buffer), std::string(14, 'a') + "\n" + std::string(1, '\0'));
    EXPECT_EQ(guarded.substr(sizeof buffer), std::string(8, '#'));
}

}  // namespace
