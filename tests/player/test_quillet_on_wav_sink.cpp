// QuilletOne end to end on the real library and the WAV-sink driver of the
// build tree: `printf P | QuilletOne` plays the greeting, the tune and the
// farewell; the log counts every note of the tune and ends with its footer;
// and the capture lasts as long as the player's own sleeps say it should.
// Ctrl+C mid-tune still closes the driver, the log and the capture whole.
// Thread: the test's own.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <numeric>
#include <string>
#include <thread>

#include "platform/child_process.h"
#include "player_harness.h"
#include "support/log_reader.h"
#include "support/temp_dir.h"

namespace {

using tonegate_test::ChildProcess;

// Every sleep of a run that plays the tune once, at zero set-up time, taken
// from the player itself run against the recording stand-in.
double PlayedSeconds() {
    player_test::StartRecording();
    player_test::RunPlayer({'P', 'x'});
    const std::vector<int> sleeps = player_test::Sleeps(player_test::RecordedLog());
    return std::accumulate(sleeps.begin(), sleeps.end(), 0) / 1000.0;
}

TEST(QuilletOnWavSink, PrintfPPlaysTheTuneIntoACaptureOfTheRightLength) {
    const double expectedSeconds = PlayedSeconds();
    tonegate_test::ScopedWorkingDirectory workingDirectory;
    // The build tree's own registrations: the sink is the only driver.
    unsetenv("TONEGATE_REGISTRY");
    auto child = ChildProcess::WithPipes({QUILLET_ONE_PROGRAM});
    ASSERT_TRUE(child.Started());
    child.Write("P");
    child.CloseInput();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!child.HasExited() && std::chrono::steady_clock::now() < deadline) child.ReadFor(100);
    ASSERT_TRUE(child.HasExited()) << child.Printed();
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(child.Printed(),
              "A simple DOS Tonegate application\n\n\n\tHit 'P' to play a tune, or any other key to exit...\n");

    const std::vector<std::string> log = tonegate_test::SplitLines(tonegate_test::ReadFile("Dbg.Log"));
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log.back(), "Goodbye, and may all your code compile!");
    EXPECT_NE(std::find(log.begin(), log.end(), "Final noteCount: 596"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Set sample rate: 96000"), log.end());

    SF_INFO info{};
    SNDFILE* capture = sf_open("Tonegate.wav", SFM_READ, &info);
    ASSERT_NE(capture, nullptr) << sf_strerror(nullptr);
    sf_close(capture);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 96000);
    const double capturedSeconds = static_cast<double>(info.frames) / info.samplerate;
    EXPECT_NEAR(capturedSeconds, expectedSeconds, 0.02 * expectedSeconds);
    std::printf("capture %.3f s, the player's sleeps %.3f s\n", capturedSeconds, expectedSeconds);
}

// Ctrl+C mid-tune: the player closes the driver and exits at once, with the
// shell's code for it; the log ends with its footer and the capture's RIFF
// and data sizes count every byte of the file.
TEST(QuilletOnWavSink, CtrlCMidTuneClosesTheLogAndTheCaptureWhole) {
    tonegate_test::ScopedWorkingDirectory workingDirectory;
    unsetenv("TONEGATE_REGISTRY");
    auto child = ChildProcess::WithPipes({QUILLET_ONE_PROGRAM});
    ASSERT_TRUE(child.Started());
    child.Write("P");
    ASSERT_TRUE(child.ReadUntil("any other key to exit...", 10000)) << child.Printed();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    child.Signal(SIGINT);
    const auto interrupted = std::chrono::steady_clock::now();
    while (!child.HasExited() && std::chrono::steady_clock::now() - interrupted < std::chrono::seconds(10))
        child.ReadFor(20);
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(2));
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 130);

    const std::vector<std::string> log = tonegate_test::SplitLines(tonegate_test::ReadFile("Dbg.Log"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Goodbye, and may all your code compile!");
    const std::string capture = tonegate_test::ReadFile("Tonegate.wav");
    ASSERT_GT(capture.size(), 44u);
    const auto field = [&capture](size_t at) {
        uint32_t value = 0;
        for (size_t i = at + 4; i-- > at;) value = value << 8 | static_cast<unsigned char>(capture[i]);
        return value;
    };
    EXPECT_EQ(field(4), capture.size() - 8);
    EXPECT_EQ(field(40), capture.size() - 44);
}

}  // namespace
