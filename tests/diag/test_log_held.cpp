// The log's path is never written through: a link or a FIFO there is refused
// at once and the writers stay silent; a second run in the folder leaves the
// first run's log whole and in place and logs under another name.
// Thread: the test's own; one case forks the second run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "diag/debug_log.h"
#include "diag/log_file.h"

namespace {

namespace fs = std::filesystem;
using tonegate_test::LogBody;
using tonegate_test::MakeFolderInTheWay;
using tonegate_test::ReadFile;
using tonegate_test::ReadLog;
using tonegate_test::WriteFile;

using LogHeld = tonegate_test::LogFileTest;

// Whatever is at Dbg.Log stays there: the generations cannot move it away.
void BlockRotation() {
    MakeFolderInTheWay("Dbg1.Log");
    MakeFolderInTheWay("Dbg2.Log");
}

void LogOneRun() {
    LogStart();
    LogLine("lost");
    EXPECT_EQ(LogStop(), 0);
}

TEST_F(LogHeld, ALinkAtTheLogsPathIsNotFollowed) {
    WriteFile("victim.txt", "kept");
    fs::create_symlink("victim.txt", "Dbg.Log");
    BlockRotation();
    LogOneRun();
    EXPECT_EQ(ReadFile("victim.txt"), "kept");
    EXPECT_TRUE(fs::is_symlink("Dbg.Log"));
}

// First with a reader, so that a log written into the FIFO shows there
// instead of waiting for one; then without, where opening it would wait.
TEST_F(LogHeld, AFifoAtTheLogsPathIsRefusedWithoutWaiting) {
    ASSERT_EQ(mkfifo("Dbg.Log", 0600), 0);
    BlockRotation();
    const int reader = open("Dbg.Log", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    LogOneRun();
    char byte = 0;
    const ssize_t got = read(reader, &byte, 1);
    close(reader);
    ASSERT_LE(got, 0) << "the log was written into the FIFO";
    LogOneRun();
    EXPECT_TRUE(fs::is_fifo("Dbg.Log"));
}

TEST_F(LogHeld, ASecondRunLeavesTheFirstRunsLogAndLogsUnderAnotherName) {
    WriteFile("Dbg.Log", "older run\n");
    LogStart();
    LogLine("first run");
    const pid_t second = fork();
    ASSERT_GE(second, 0);
    if (second == 0) {
        // Ended with _exit, which leaves the streams inherited from the test
        // unflushed; the file stderr now goes to is flushed by hand.
        if (std::freopen("second-run.txt", "w", stderr) == nullptr) _exit(1);
        LogStart();
        LogLine("second run");
        const int closed = LogStop();
        std::fflush(stderr);
        _exit(closed == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(second, &status, 0), second);
    LogLine("first run again");
    ASSERT_EQ(LogStop(), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(LogBody(ReadLog()), "first run\nfirst run again\n");
    EXPECT_EQ(ReadFile("Dbg1.Log"), "older run\n");
    EXPECT_FALSE(fs::exists("Dbg2.Log"));
    EXPECT_EQ(LogBody(ReadLog("Dbg-2.Log")), "second run\n");
    EXPECT_NE(ReadFile("second-run.txt").find("this run logs to Dbg-2.Log"), std::string::npos);
}

}  // namespace
