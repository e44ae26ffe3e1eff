// Two threads writing to the log at once: every line arrives whole, in each
// thread's own order, and none is lost. Thread: the test's own and two writers.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "diag/log_file.h"

namespace {

using tonegate_test::LogBody;
using tonegate_test::ReadLog;

using LogConcurrency = tonegate_test::LogFileTest;

constexpr int kLinesPerThread = 3000;

// Each line names its writer and its number and carries a long run of the
// writer's letter, so a torn or mixed line cannot pass for a whole one.
std::string WriterName(char letter) { return std::string("writer ") + letter + " " + std::string(120, letter); }

void WriteLines(char letter) {
    const std::string name = WriterName(letter);
    for (int index = 0; index < kLinesPerThread; ++index) {
        if (index % 2 == 0) {
            LogInt(name.c_str(), index);
        } else {
            LogIntPair(name.c_str(), "line", index, -index);
        }
    }
}

std::string ExpectedLine(char letter, int index) {
    const std::string number = std::to_string(index);
    if (index % 2 == 0) return WriterName(letter) + ": " + number;
    return WriterName(letter) + ": " + number + ", line: -" + number;
}

TEST_F(LogConcurrency, TwoWritersProduceOnlyWholeLines) {
    LogStart();
    std::thread first(WriteLines, 'a');
    std::thread second(WriteLines, 'b');
    first.join();
    second.join();
    ASSERT_EQ(LogStop(), 0);

    std::istringstream body(LogBody(ReadLog()));
    int next[2] = {0, 0};
    int lines = 0;
    for (std::string line; std::getline(body, line); ++lines) {
        ASSERT_GE(line.size(), 8u) << "line " << lines;
        const char letter = line[7];
        ASSERT_TRUE(letter == 'a' || letter == 'b') << line;
        int& index = next[letter - 'a'];
        ASSERT_LT(index, kLinesPerThread) << line;
        ASSERT_EQ(line, ExpectedLine(letter, index)) << "line " << lines;
        ++index;
    }
    EXPECT_EQ(lines, 2 * kLinesPerThread);
    EXPECT_EQ(next[0], kLinesPerThread);
    EXPECT_EQ(next[1], kLinesPerThread);
}

}  // namespace
