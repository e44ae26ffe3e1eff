// The JACK card on a dummy server of the test's own: what it answers, what
// reaches the ports it feeds, its pace, the xruns it counts, and how it ends
// when the server goes away. Thread: the test's thread plays the host's; the
// callbacks run on JACK's process thread.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "drivers/test_jack_support.h"

namespace tonegate_test {
namespace {

struct JackReport {
    unsigned long long cycles = 0, xruns = 0;
    double worstMs = 0, periodMs = 0;
};

bool ParseReport(const std::string& text, JackReport& report) {
    const size_t at = text.find("Tonegate JACK Output: ");
    if (at == std::string::npos) return false;
    int frames = 0;
    unsigned rate = 0, outputReady = 0;
    return std::sscanf(text.c_str() + at,
                       "Tonegate JACK Output: %llu cycles of %d frames at %u Hz, worst callback %lf ms of %lf ms, "
                       "%llu xruns, %u outputReady calls",
                       &report.cycles, &frames, &rate, &report.worstMs, &report.periodMs, &report.xruns,
                       &outputReady) == 7;
}

class JackOutputTest : public CardTest {
protected:
    JackOutputTest() : CardTest(TONEGATE_JACK_REGISTRATION, "Tonegate 3 JACK Output") {}
    void TearDown() override {
        observer_.reset();
        CardTest::TearDown();
        unsetenv("TONEGATE_JACK_STALL_EVERY");
    }
    // Opened, with an observer listening to the card's outputs from the start.
    void OpenObserved(size_t frames) {
        ASSERT_NO_FATAL_FAILURE(Open());
        observer_ = std::make_unique<JackObserver>(frames);
        ASSERT_TRUE(observer_->ready());
    }
    void StartListening() {
        ASSERT_EQ(card_->start(), ASE_OK);
        ASSERT_TRUE(observer_->Listen("Tonegate:out_"));
    }

    std::unique_ptr<JackObserver> observer_;
};

TEST_F(JackOutputTest, TheServersPeriodAndRateAreTheOnlyOnes) {
    ASSERT_NO_FATAL_FAILURE(Open());
    int32_t least = 0, most = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(card_->getBufferSize(&least, &most, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(least, static_cast<int32_t>(kPeriod));
    EXPECT_EQ(most, static_cast<int32_t>(kPeriod));
    EXPECT_EQ(preferred, static_cast<int32_t>(kPeriod));
    ASSERT_NO_FATAL_FAILURE(ExpectOnlyTheServersRate());
    int32_t input = -1, output = -1;
    ASSERT_EQ(card_->getLatencies(&input, &output), ASE_OK);
    EXPECT_EQ(input, 0);
    EXPECT_GE(output, static_cast<int32_t>(kPeriod));
}

// Three seconds of switches take three seconds within 1%, every sample
// reaches the ports as the float of its integer, and nothing runs late.
TEST_F(JackOutputTest, PlaysInTimeAndEverySampleArrives) {
    const int switches = static_cast<int>(3 * kRate / kPeriod) + 1;
    ASSERT_NO_FATAL_FAILURE(OpenObserved(static_cast<size_t>(switches + 100) * kPeriod));
    ASSERT_NO_FATAL_FAILURE(StartListening());
    while (host_.switches.load() < switches) std::this_thread::sleep_for(1ms);
    testing::internal::CaptureStderr();
    ASSERT_EQ(card_->stop(), ASE_OK);
    const int made = host_.switches.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(host_.switches.load(), made) << "a switch after stop returned";
    JackReport report;
    const std::string text = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ParseReport(text, report)) << text;

    const double seconds = std::chrono::duration<double>(host_.last - host_.first).count();
    const double produced = static_cast<double>(made - 1) * kPeriod / kRate;
    std::printf("JACK pace: %.4f s of output in %.4f s, worst callback %.3f ms\n", produced, seconds, report.worstMs);
    EXPECT_NEAR(seconds, produced, 0.01 * produced);
    EXPECT_EQ(report.cycles, static_cast<unsigned long long>(made));
    EXPECT_EQ(report.xruns, 0u);
    EXPECT_EQ(observer_->xruns(), 0) << server_->log();
    EXPECT_EQ(host_.wrongIndex.load(), 0);

    // From the first frame the observer heard on, each one is the ramp's next.
    const size_t frames = observer_->frames();
    ASSERT_GT(frames, 2u * kRate);
    const std::vector<float>& a = observer_->received(0);
    const std::vector<float>& b = observer_->received(1);
    ASSERT_GT(a[0], 0.0f) << "the observer heard silence first";
    const auto k0 = static_cast<uint64_t>(std::lround(a[0] * 2147483648.0 / 65536.0)) - 1;
    int wrong = 0;
    size_t checked = 0;
    for (; checked < frames && a[checked] != 0.0f; ++checked) {
        const size_t i = checked;
        const float expectedA = static_cast<float>(Ramp(k0 + i, 0)) / 2147483648.0f;
        const float expectedB = static_cast<float>(Ramp(k0 + i, 1)) / 2147483648.0f;
        if ((a[i] != expectedA || b[i] != expectedB) && ++wrong <= 3)
            ADD_FAILURE() << "frame " << i << ": " << a[i] << ", " << b[i] << " instead of " << expectedA << ", "
                          << expectedB;
    }
    EXPECT_GE(checked, 2u * kRate);
}

// Every fiftieth cycle sleeps 2.5 periods: each such cycle is an xrun the
// server tells of, the card counts each one, and the switches go on.
TEST_F(JackOutputTest, CountsEveryXrunAndKeepsPlaying) {
    const double periodUs = kPeriod * 1e6 / kRate;
    setenv("TONEGATE_JACK_STALL_EVERY", ("50," + std::to_string(static_cast<int>(2.5 * periodUs))).c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(OpenObserved(kPeriod));
    ASSERT_NO_FATAL_FAILURE(StartListening());
    constexpr int kSwitches = 400;
    while (host_.switches.load() < kSwitches) std::this_thread::sleep_for(1ms);
    // The last xrun's notice may still be on its way.
    std::this_thread::sleep_for(100ms);
    testing::internal::CaptureStderr();
    ASSERT_EQ(card_->stop(), ASE_OK);
    JackReport report;
    const std::string text = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ParseReport(text, report)) << text;
    std::printf("JACK stalls: %llu cycles, %llu xruns counted, %d seen by the observer\n", report.cycles, report.xruns,
                observer_->xruns());
    const auto stalls = report.cycles / 50;
    EXPECT_GE(report.xruns, stalls);
    EXPECT_EQ(report.xruns, static_cast<unsigned long long>(observer_->xruns()));
    EXPECT_GE(report.cycles, static_cast<unsigned long long>(kSwitches));
    EXPECT_GT(report.worstMs, 0.0);
}

// The server stopped mid-stream (SIGTERM, so it leaves no stale state in
// /dev/shm for the next servers): the host hears no more switches but one
// reset request, the card says why, and stop and release still return.
TEST_F(JackOutputTest, AGoneServerEndsTheStreamAndIsReported) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(card_->start(), ASE_OK);
    while (host_.switches.load() < 20) std::this_thread::sleep_for(1ms);
    server_->Kill(SIGTERM);
    std::this_thread::sleep_for(500ms);
    const int afterKill = host_.switches.load();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(host_.switches.load(), afterKill);
    EXPECT_NE(ErrorMessage().find("JACK server gone"), std::string::npos) << ErrorMessage();
    EXPECT_EQ(host_.resetRequests.load(), 1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(card_->stop(), ASE_OK);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("JACK server gone"), std::string::npos) << text;
    EXPECT_EQ(card_->start(), ASE_NotPresent);
}

}  // namespace
}  // namespace tonegate_test
