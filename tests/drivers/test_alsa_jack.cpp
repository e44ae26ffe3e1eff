// The ALSA card over ALSA's jack plugin, on a dummy JACK server of the
// test's own: the rate it offers is the server's, and a run with stalls
// longer than the device's ring recovers and counts every underrun and
// plays every period to the end, a device whose server has ended is given
// up, and one whose server stalls but lives is waited out. Thread: the test's thread plays the host's;
// the callbacks run on the card's thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "drivers/test_jack_support.h"

namespace tonegate_test {
namespace {

class AlsaOverJackTest : public CardTest {
protected:
    AlsaOverJackTest() : CardTest(TONEGATE_ALSA_REGISTRATION, "Tonegate 2 ALSA Output") {}
    void SetUp() override {
        setenv("ALSA_CONFIG_PATH", TONEGATE_TEST_ALSA_CONFIG, 1);
        setenv("TONEGATE_ALSA_DEVICE", "tonegate_jack", 1);
        CardTest::SetUp();
    }
    void TearDown() override {
        CardTest::TearDown();
        for (const char* name : {"ALSA_CONFIG_PATH", "TONEGATE_ALSA_DEVICE", "TONEGATE_ALSA_STALL_EVERY"})
            unsetenv(name);
    }
};

TEST_F(AlsaOverJackTest, OffersOnlyTheServersRate) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_NO_FATAL_FAILURE(ExpectOnlyTheServersRate());
    EXPECT_EQ(host_.frames, static_cast<int32_t>(kPeriod));
    int32_t input = -1, output = -1;
    ASSERT_EQ(card_->getLatencies(&input, &output), ASE_OK);
    EXPECT_GE(output, static_cast<int32_t>(2 * kPeriod));
}

// Every 40th switch sleeps 30 ms, more than the ring of three 5.3 ms periods
// holds: each stall underruns, and every underrun is counted and recovered.
TEST_F(AlsaOverJackTest, EveryUnderrunIsRecoveredAndCounted) {
    setenv("TONEGATE_ALSA_STALL_EVERY", "40,30000", 1);
    ASSERT_NO_FATAL_FAILURE(Open());
    constexpr int kSwitches = 400;
    std::string text;
    ASSERT_TRUE(PlaySwitches(kSwitches, 10s, text)) << text;
    unsigned long long frames = 0, periods = 0, xruns = 0, recovered = 0;
    int periodFrames = 0;
    unsigned rate = 0;
    double worstMs = 0, periodMs = 0;
    const size_t at = text.find("Tonegate ALSA Output: ");
    ASSERT_NE(at, std::string::npos) << text;
    ASSERT_EQ(std::sscanf(text.c_str() + at,
                          "Tonegate ALSA Output: %llu frames played, %llu periods of %d frames at %u Hz, "
                          "worst callback %lf ms of %lf ms, %llu xruns, %llu recovered",
                          &frames, &periods, &periodFrames, &rate, &worstMs, &periodMs, &xruns, &recovered),
              8)
        << text;
    std::printf("ALSA over JACK: %s", text.c_str());
    EXPECT_EQ(text.find("lost"), std::string::npos) << text;
    EXPECT_EQ(periods, static_cast<unsigned long long>(host_.switches.load()));
    const unsigned long long stalls = periods / 40;
    EXPECT_GE(xruns, stalls);
    EXPECT_LE(xruns, stalls + 2) << "underruns beyond the stalls on an idle server";
    EXPECT_EQ(recovered, xruns);
    // Every period but the one stop may have cut short reached the device.
    EXPECT_GE(frames, (periods - 1) * kPeriod);
    EXPECT_LE(frames, periods * kPeriod);
    EXPECT_EQ(host_.wrongIndex.load(), 0);
}

// The server stopped mid-stream leaves the plugin taking no frame: after the
// card's timeout its thread gives the device up, says so in its report line
// and its error text, and calls the host no more; stop still returns.
TEST_F(AlsaOverJackTest, AVanishedDeviceEndsTheStreamAndIsReported) {
    ASSERT_NO_FATAL_FAILURE(Open());
    testing::internal::CaptureStderr();
    ASSERT_EQ(card_->start(), ASE_OK);
    while (host_.switches.load() < 50) std::this_thread::sleep_for(1ms);
    server_->Kill(SIGTERM);
    const Clock::time_point killed = Clock::now();
    while (ErrorMessage().find("lost") == std::string::npos && Clock::now() - killed < 5s)
        std::this_thread::sleep_for(10ms);
    const int switches = host_.switches.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(host_.switches.load(), switches);
    EXPECT_EQ(ErrorMessage(), "tonegate_jack lost: no frame taken for 1000 ms, JACK (jackd) has ended");
    EXPECT_EQ(host_.resetRequests.load(), 1);
    EXPECT_EQ(card_->stop(), ASE_OK);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("periods of 256 frames at 48000 Hz"), std::string::npos) << text;
    EXPECT_NE(text.find("server: JACK (jackd); tonegate_jack lost: no frame taken for 1000 ms, JACK (jackd) has ended\n"),
              std::string::npos)
        << text;
}

// A server that stalls longer than the device's timeout but lives (stopped,
// then continued) is waited out: the stream goes on where it was.
TEST_F(AlsaOverJackTest, AStalledServerThatLivesIsWaitedOut) {
    ASSERT_NO_FATAL_FAILURE(Open());
    testing::internal::CaptureStderr();
    ASSERT_EQ(card_->start(), ASE_OK);
    while (host_.switches.load() < 50) std::this_thread::sleep_for(1ms);
    server_->Signal(SIGSTOP);
    std::this_thread::sleep_for(1600ms);
    server_->Signal(SIGCONT);
    const int resumedFrom = host_.switches.load();
    const Clock::time_point resumed = Clock::now();
    while (host_.switches.load() < resumedFrom + 50 && Clock::now() - resumed < 5s) std::this_thread::sleep_for(1ms);
    EXPECT_GE(host_.switches.load(), resumedFrom + 50);
    EXPECT_EQ(ErrorMessage().find("lost"), std::string::npos) << ErrorMessage();
    EXPECT_EQ(host_.resetRequests.load(), 0);
    EXPECT_EQ(card_->stop(), ASE_OK);
    const std::string text = testing::internal::GetCapturedStderr();
    double longestWait = 0;
    const size_t at = text.find("longest wait ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_GE(std::sscanf(text.c_str() + at, "longest wait %lf ms", &longestWait), 1);
    EXPECT_GE(longestWait, 1500.0) << text;
    EXPECT_EQ(text.find("lost"), std::string::npos) << text;
}

}  // namespace
}  // namespace tonegate_test
