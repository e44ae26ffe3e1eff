// The real-time path under the realtime sanitizer: the test card's own thread
// makes the buffer switches while the caller plays notes, sweeps (each left
// to end, so its fade table is freed on the real-time thread), restarts and
// output toggles on both channels, in both sample formats. The sanitizer ends
// the process at the first allocation, lock or system call it finds inside
// the buffer switch or a renderer. The first case shows that it would.
// Thread: the test's (the caller) and the card's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "host/host_session.h"
#include "host/tonegate.h"
#include "support/session_fixture.h"
#include "support/waiting.h"
#include "synth/realtime_attributes.h"
#include "synth/sine_generator.h"

#ifndef TONEGATE_REALTIME_SANITIZER
#error "test_realtime_safety needs a build with TONEGATE_SANITIZE=realtime"
#endif

namespace {

using tonegate_test::WaitUntil;
using tonegate_test::BothIdle;

using namespace std::chrono_literals;
using tonegate_test_card::ThreadSwitches;
using Clock = std::chrono::steady_clock;

void* volatile allocated = nullptr;
void AllocatesOnTheRealtimePath() TONEGATE_NONBLOCKING {
    allocated = std::malloc(16);
    std::free(allocated);
}

TEST(RealtimeSanitizerTest, ReportsAnAllocationInsideAMarkedFunction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(AllocatesOnTheRealtimePath(), "RealtimeSanitizer");
}

class RealtimeSafetyTest : public tonegate_test::SessionTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        script().preferredSize = 64;
        for (auto& output : script().outputs) output.type = GetParam() ? ASIOSTInt16LSB : ASIOSTInt32LSB;
        script().ownThread = ASIOTrue;
        script().threadPeriodMicroseconds = 0;  // as fast as it can
    }

    // Waits until both generators are idle and the switch that ended the
    // last note or sweep is complete.
    void WaitForSilence() {
        ASSERT_TRUE(WaitUntil(BothIdle));
        const int64_t now = ThreadSwitches(*card_);
        ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) > now; }));
    }

    std::mt19937 random_{20260611u + (GetParam() ? 1u : 0u)};
};

TEST_P(RealtimeSafetyTest, NotesSweepsRestartsAndTogglesOnTheCardsThread) {
    ASSERT_TRUE(OpenAndInit());
    std::uniform_real_distribution<double> frequency(10.0, 22050.0), noteSeconds(0.01, 0.08),
        sweepSeconds(0.1, 0.2);
    int sweepsEnded = 0;
    for (int round = 0; round < 20; ++round) {
        // Both begin in the same switch; while output is off neither can end.
        ASIOEnableWav(false);
        ASIOGenerateSineWavA(frequency(random_), noteSeconds(random_), static_cast<uint32_t>(round) % 61);
        ASIOGenerateSweepWavB(frequency(random_), frequency(random_), sweepSeconds(random_), 6);
        EXPECT_TRUE(pSineGeneratorA->bSineActive.load());
        EXPECT_TRUE(pSineGeneratorB->bSweepActive.load());
        ASIOEnableWav(true);
        // Some way into the sweep (of 75 blocks at least) it starts over, and output pauses for a while.
        const int64_t started = ThreadSwitches(*card_);
        ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) > started + 20; }));
        ASIOGenerateSweepWavB(100.0, 200.0, 0.1, 0);
        ASIOEnableWav(false);
        std::this_thread::sleep_for(1ms);
        ASIOEnableWav(true);
        WaitForSilence();
        if (HasFatalFailure()) return;
        // The sweep ended on the card's thread, which freed its fade table there.
        ++sweepsEnded;

        // The channels the other way round.
        ASIOGenerateSweepWavA(frequency(random_), frequency(random_), sweepSeconds(random_), 0);
        ASIOGenerateSineWavB(frequency(random_), noteSeconds(random_), 3);
        WaitForSilence();
        if (HasFatalFailure()) return;
        ++sweepsEnded;
    }
    // A note longer than 10 seconds and a long sweep, cut short by the teardown.
    ASIOGenerateSineWavA(440.0, 12.0, 0);
    ASIOGenerateSweepWavB(1000.0, 100.0, 10.0, 0);
    const int64_t before = ThreadSwitches(*card_);
    ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) > before + 100; }));
    ASIOCloseDriver();  // stops the card's thread in the middle of both
    EXPECT_EQ(sweepsEnded, 40);
    EXPECT_EQ(record().brokenGuardsAtDispose, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, RealtimeSafetyTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Int16" : "Int32"); });

}  // namespace
