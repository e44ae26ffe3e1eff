// Rotation of the three log generations at every start, and the unavailable
// log when "Dbg.Log" cannot be opened. Thread: the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "diag/debug_log.h"
#include "diag/log_file.h"
#include "diag/stopwatch.h"
#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;
using tonegate_test::LogFileTest;
using tonegate_test::MakeFolderInTheWay;
using tonegate_test::ReadFile;
using tonegate_test::ReadLog;
using tonegate_test::StartsWithHeader;
using tonegate_test::WriteFile;

using LogRotation = LogFileTest;

void ExpectFreshLog() {
    const std::string log = ReadLog();
    EXPECT_TRUE(StartsWithHeader(log)) << log;
}

TEST_F(LogRotation, NoEarlierLogLeavesOnlyTheNewOne) {
    LogStart();
    ASSERT_EQ(LogStop(), 0);
    ExpectFreshLog();
    EXPECT_FALSE(fs::exists("Dbg1.Log"));
    EXPECT_FALSE(fs::exists("Dbg2.Log"));
}

TEST_F(LogRotation, OneEarlierLogBecomesTheFirstGeneration) {
    WriteFile("Dbg.Log", "run 1\n");
    LogStart();
    ExpectFreshLog();
    ASSERT_EQ(LogStop(), 0);
    EXPECT_EQ(ReadFile("Dbg1.Log"), "run 1\n");
    EXPECT_FALSE(fs::exists("Dbg2.Log"));
}

TEST_F(LogRotation, TwoEarlierLogsShiftOneGenerationEach) {
    WriteFile("Dbg.Log", "run 2\n");
    WriteFile("Dbg1.Log", "run 1\n");
    LogStart();
    ASSERT_EQ(LogStop(), 0);
    ExpectFreshLog();
    EXPECT_EQ(ReadFile("Dbg1.Log"), "run 2\n");
    EXPECT_EQ(ReadFile("Dbg2.Log"), "run 1\n");
}

TEST_F(LogRotation, ThreeEarlierLogsDropTheOldest) {
    WriteFile("Dbg.Log", "run 3\n");
    WriteFile("Dbg1.Log", "run 2\n");
    WriteFile("Dbg2.Log", "run 1\n");
    LogStart();
    ASSERT_EQ(LogStop(), 0);
    ExpectFreshLog();
    EXPECT_EQ(ReadFile("Dbg1.Log"), "run 3\n");
    EXPECT_EQ(ReadFile("Dbg2.Log"), "run 2\n");
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 3);
}

TEST_F(LogRotation, SuccessiveRunsKeepTheLastThree) {
    for (int run = 1; run <= 4; ++run) {
        LogStart();
        LogInt("run", run);
        ASSERT_EQ(LogStop(), 0);
    }
    EXPECT_NE(ReadLog("Dbg.Log").find("run: 4\n"), std::string::npos);
    EXPECT_NE(ReadLog("Dbg1.Log").find("run: 3\n"), std::string::npos);
    EXPECT_NE(ReadLog("Dbg2.Log").find("run: 2\n"), std::string::npos);
}

TEST_F(LogRotation, AnUndeletableOldestKeepsTheOlderGenerationsAndTruncatesTheLog) {
    WriteFile("Dbg.Log", "run 3\n");
    WriteFile("Dbg1.Log", "run 2\n");
    MakeFolderInTheWay("Dbg2.Log");
    LogStart();
    ASSERT_EQ(LogStop(), 0);
    ExpectFreshLog();
    EXPECT_EQ(ReadFile("Dbg1.Log"), "run 2\n");
    EXPECT_EQ(ReadFile("Dbg2.Log/content"), "kept");
}

TEST_F(LogRotation, AnUnopenableLogLeavesEveryWriterSilent) {
    MakeFolderInTheWay("Dbg.Log");
    MakeFolderInTheWay("Dbg1.Log");
    MakeFolderInTheWay("Dbg2.Log");
    LogStart();
    LogLine("lost");
    LogText("lost");
    LogInt("lost", 1);
    LogIntDash("lost", 2);
    LogIntPair("lost", "too", 3, 4);
    LogReal("lost", 5.0, 1);
    EXPECT_EQ(LogStop(), 0);
    EXPECT_EQ(LogStop(), 0);

    EXPECT_TRUE(fs::is_directory("Dbg.Log"));
    for (const char* folder : {"Dbg.Log", "Dbg1.Log", "Dbg2.Log"}) {
        EXPECT_EQ(ReadFile(fs::path(folder) / "content"), "kept") << folder;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << folder;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 3);
}

TEST_F(LogRotation, AnUnopenableLogStillReadsTheCounterFrequency) {
    MakeFolderInTheWay("Dbg.Log");
    MakeFolderInTheWay("Dbg1.Log");
    MakeFolderInTheWay("Dbg2.Log");
    LogStart();
    TimerStart();
    Sleep(5);
    TimerStop();
    EXPECT_GE(TimerElapsedMicroseconds(), 5000u);
    EXPECT_EQ(LogStop(), 0);
}

}  // namespace
