// Tests of QuilletOne run as a program beside the stand-in library, with
// real sleeps and real keys: typed on a pseudo-terminal (P, then a key
// mid-tune; a cursor key) and piped in (`printf P | QuilletOne`). The
// stand-in appends its calls to a file in the test's fresh folder.
// Thread: the test's own.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/child_process.h"
#include "player_harness.h"
#include "support/temp_dir.h"

namespace {

using tonegate_test::ChildProcess;

class ConsoleRun : public tonegate_test::FreshDirectoryTest {
protected:
    void SetUp() override { setenv("TONEGATE_STANDIN_LOG", (workingDirectory_.path() / "calls.log").c_str(), 1); }
    void TearDown() override { unsetenv("TONEGATE_STANDIN_LOG"); }

    static std::vector<std::string> Calls() {
        std::vector<std::string> names;
        for (const std::string& line : player_test::Split(tonegate_test::ReadFile("calls.log"), '\n'))
            if (!line.empty()) names.push_back(line.substr(0, line.find(' ')));
        return names;
    }
    static long Count(const std::vector<std::string>& calls, const std::string& name) {
        return std::count(calls.begin(), calls.end(), name);
    }
    // Waits for the child's end within `seconds` and returns its exit code.
    static int ExitCode(ChildProcess& child, int seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!child.HasExited() && std::chrono::steady_clock::now() < deadline) child.ReadFor(50);
        EXPECT_TRUE(child.HasExited()) << child.Printed();
        const int status = child.Wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static void ExpectFarewellAtTheEnd(const std::vector<std::string>& calls) {
        ASSERT_GE(calls.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
                  (std::vector<std::string>{"ASIOGenerateSweepWavB", "ASIOGenerateSweepWavA", "ASIOCloseDriver",
                                            "released"}));
    }
};

TEST_F(ConsoleRun, OnATerminalPPlaysAndAKeyMidTuneEndsItSoon) {
    auto child = ChildProcess::OnTerminal({QUILLET_ONE_BESIDE_STANDIN});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.ReadUntil("any other key to exit...")) << child.Printed();
    child.Write("P");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long notesBeforeKey = Count(Calls(), "ASIOGenerateSineWavA") + Count(Calls(), "ASIOGenerateSineWavB");
    EXPECT_GT(notesBeforeKey, 0) << "the tune has begun";
    const auto keyTime = std::chrono::steady_clock::now();
    child.Write("x");
    EXPECT_EQ(ExitCode(child, 6), 0);
    // At most the rest of a phrase, the 500 ms pause and the 550 ms sweeps.
    EXPECT_LT(std::chrono::steady_clock::now() - keyTime, std::chrono::milliseconds(4000));
    const std::vector<std::string> calls = Calls();
    EXPECT_LT(Count(calls, "ASIOGenerateSineWavA") + Count(calls, "ASIOGenerateSineWavB"), 596);
    ExpectFarewellAtTheEnd(calls);
}

TEST_F(ConsoleRun, OnATerminalACursorKeyEndsWithoutATune) {
    auto child = ChildProcess::OnTerminal({QUILLET_ONE_BESIDE_STANDIN});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.ReadUntil("any other key to exit...")) << child.Printed();
    child.Write("\x1b[A");
    EXPECT_EQ(ExitCode(child, 4), 0);
    const std::vector<std::string> calls = Calls();
    EXPECT_EQ(Count(calls, "ASIOGenerateSineWavA"), 0);
    ExpectFarewellAtTheEnd(calls);
}

// The whole tune in real time: about 47 s.
TEST_F(ConsoleRun, PrintfPThroughAPipePlaysTheWholeTuneOnceAndEnds) {
    auto child = ChildProcess::WithPipes({QUILLET_ONE_BESIDE_STANDIN});
    ASSERT_TRUE(child.Started());
    child.Write("P");
    child.CloseInput();
    EXPECT_EQ(ExitCode(child, 90), 0);
    EXPECT_EQ(child.Printed(),
              "A simple DOS Tonegate application\n\n\n\tHit 'P' to play a tune, or any other key to exit...\n");
    const std::vector<std::string> calls = Calls();
    EXPECT_EQ(Count(calls, "ASIOGenerateSineWavA"), 295);
    EXPECT_EQ(Count(calls, "ASIOGenerateSineWavB"), 301);
    EXPECT_EQ(Count(calls, "ASIOEnableWav"), 2 * 223);
    ExpectFarewellAtTheEnd(calls);
}

}  // namespace
