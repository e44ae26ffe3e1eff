// The host under real threads: the test card's own real-time thread makes
// the buffer switches while the caller requests notes, sweeps and output
// toggles on both channels as fast as it can, and a third thread drains the
// card's capture of every switch. Also the card's thread on its own, and
// driver messages sent from another thread while the caller logs. Meant to
// run under ThreadSanitizer too.
// Thread: the test's (the caller), the card's own, and the test's helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/host_session.h"
#include "host/tonegate.h"
#include "support/session_fixture.h"
#include "support/waiting.h"
#include "synth/sine_generator.h"

namespace {

using tonegate_test::WaitUntil;
using tonegate_test::BothIdle;

using namespace std::chrono_literals;
using tonegate_test_card::CaptureRing;
using tonegate_test_card::CountCalls;
using tonegate_test_card::IsRunning;
using tonegate_test_card::Operation;
using tonegate_test_card::ThreadSwitches;
using Clock = std::chrono::steady_clock;

// What one captured switch held, per channel.
// Sums in 32-bit arithmetic that wraps, as the generators cancel a note's sum.
struct SwitchSums {
    uint32_t sum[2];
    bool sounded[2];
};

// Drains the card's capture ring on a thread of its own, switch by switch.
class CaptureDrain {
public:
    CaptureDrain(int32_t frames, bool is16Bit)
        : frames_(frames), is16Bit_(is16Bit), storage_(1 << 20), record_(RecordBytes()) {
        ring_.storage = storage_.data();
        ring_.capacity = static_cast<int64_t>(storage_.size());
        thread_ = std::thread(&CaptureDrain::Drain, this);
    }
    ~CaptureDrain() { Finish(); }

    CaptureRing* ring() { return &ring_; }
    int64_t RecordBytes() const { return 2 * frames_ * (is16Bit_ ? 2 : 4); }

    // Once the card's thread has ended: takes what is left and stops.
    const std::vector<SwitchSums>& Finish() {
        finished_.store(true, std::memory_order_release);
        if (thread_.joinable()) thread_.join();
        return switches_;
    }

private:
    void Drain() {
        for (;;) {
            const bool last = finished_.load(std::memory_order_acquire);
            while (tonegate_test_card::TakeFromRing(ring_, record_.data(), RecordBytes())) Add();
            if (last) return;
            std::this_thread::yield();
        }
    }

    void Add() {
        SwitchSums sums{};
        for (int channel = 0; channel < 2; ++channel) {
            const uint8_t* half = record_.data() + channel * RecordBytes() / 2;
            for (int32_t i = 0; i < frames_; ++i) {
                int32_t sample;
                if (is16Bit_) {
                    int16_t narrow;
                    std::memcpy(&narrow, half + 2 * i, 2);
                    sample = narrow;
                } else {
                    std::memcpy(&sample, half + 4 * i, 4);
                }
                sums.sum[channel] += static_cast<uint32_t>(sample);
                sums.sounded[channel] = sums.sounded[channel] || sample != 0;
            }
        }
        switches_.push_back(sums);
    }

    const int32_t frames_;
    const bool is16Bit_;
    std::vector<uint8_t> storage_;
    std::vector<uint8_t> record_;
    CaptureRing ring_{};
    std::vector<SwitchSums> switches_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Notes requested on idle generators, and the switches that hold them whole.
struct Segment {
    int64_t first, last;
    bool plays[2];
};

struct ThreadedRun {
    int32_t frames;
    bool is16Bit;
};

void PrintTo(const ThreadedRun& run, std::ostream* out) {
    *out << run.frames << "-frame " << (run.is16Bit ? "16-bit" : "32-bit") << " buffers";
}

class RealtimeThreadTest : public tonegate_test::SessionTest, public ::testing::WithParamInterface<ThreadedRun> {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        script().preferredSize = GetParam().frames;
        for (auto& output : script().outputs) output.type = GetParam().is16Bit ? ASIOSTInt16LSB : ASIOSTInt32LSB;
        script().ownThread = ASIOTrue;
        script().threadPeriodMicroseconds = 0;  // as fast as it can
        script().capture = drain_.ring();
    }

    // Notes on idle generators on one or both channels, until they have played out.
    void PlayNotesWhole(int which) {
        std::uniform_real_distribution<double> frequency(300.0, 8000.0), seconds(0.01, 0.06);
        std::uniform_int_distribution<uint32_t> attenuation(0, 30);
        Segment segment{ThreadSwitches(*card_), 0, {which != 1, which != 0}};
        if (segment.plays[0]) ASIOGenerateSineWavA(frequency(random_), seconds(random_), attenuation(random_));
        if (segment.plays[1]) ASIOGenerateSineWavB(frequency(random_), seconds(random_), attenuation(random_));
        ASSERT_TRUE(WaitUntil(BothIdle));
        // The switch that ended the notes is this one at the latest; wait until it is complete.
        segment.last = ThreadSwitches(*card_);
        ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) > segment.last; }));
        segments_.push_back(segment);
    }

    // Everything at once, on both channels, as fast as the caller can.
    void Storm(Clock::duration length) {
        std::uniform_real_distribution<double> frequency(10.0, 22050.0), noteSeconds(0.01, 0.1),
            sweepSeconds(0.1, 0.3);
        std::uniform_int_distribution<int> action(0, 5);
        for (const auto end = Clock::now() + length; Clock::now() < end;) {
            switch (action(random_)) {
                case 0: ASIOGenerateSineWavA(frequency(random_), noteSeconds(random_), 0); break;
                case 1: ASIOGenerateSineWavB(frequency(random_), noteSeconds(random_), 10); break;
                case 2: ASIOGenerateSweepWavA(frequency(random_), frequency(random_), sweepSeconds(random_), 0); break;
                case 3: ASIOGenerateSweepWavB(frequency(random_), frequency(random_), sweepSeconds(random_), 6); break;
                case 4: ASIOEnableWav(false); break;
                default: ASIOEnableWav(true); break;
            }
        }
        ASIOEnableWav(true);
    }

    CaptureDrain drain_{GetParam().frames, GetParam().is16Bit};
    std::mt19937 random_{20240611u + static_cast<uint32_t>(GetParam().frames)};
    std::vector<Segment> segments_;
};

TEST_P(RealtimeThreadTest, EveryWholeNoteSumsToZeroBeforeAndAfterAStormOfRequests) {
    ASSERT_TRUE(OpenAndInit());
    // Notes alone first, each left to play out, so that each can be found in the capture.
    for (const auto end = Clock::now() + 1s; Clock::now() < end;) {
        PlayNotesWhole(static_cast<int>(random_() % 3));
        if (HasFatalFailure()) return;
    }
    const size_t calmSegments = segments_.size();
    Storm(2s);
    ASSERT_TRUE(WaitUntil(BothIdle));
    PlayNotesWhole(2);  // the generators still play whole notes after the storm
    if (HasFatalFailure()) return;
    const int64_t lastNeeded = segments_.back().last;

    ASIOCloseDriver();  // stops and joins the card's thread
    const std::vector<SwitchSums>& switches = drain_.Finish();
    const CaptureRing& ring = *drain_.ring();
    EXPECT_EQ(ring.written % drain_.RecordBytes(), 0);
    EXPECT_EQ(static_cast<int64_t>(switches.size()) + ring.dropped, ThreadSwitches(*card_));
    ASSERT_GT(static_cast<int64_t>(switches.size()), lastNeeded);
    EXPECT_GE(calmSegments, 2u);
    EXPECT_EQ(record().brokenGuardsAtDispose, 0);

    for (size_t s = 0; s < segments_.size(); ++s) {
        const Segment& segment = segments_[s];
        for (int channel = 0; channel < 2; ++channel) {
            uint32_t sum = 0;
            bool sounded = false;
            for (int64_t i = segment.first; i <= segment.last; ++i) {
                sum += switches[static_cast<size_t>(i)].sum[channel];
                sounded = sounded || switches[static_cast<size_t>(i)].sounded[channel];
            }
            EXPECT_EQ(sounded, segment.plays[channel]) << "segment " << s << ", channel " << channel;
            EXPECT_EQ(sum, 0u) << "segment " << s << ", channel " << channel;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Buffers, RealtimeThreadTest,
                         ::testing::Values(ThreadedRun{64, false}, ThreadedRun{256, true}), [](const auto& info) {
                             return std::to_string(info.param.frames) + (info.param.is16Bit ? "Int16" : "Int32");
                         });

class RealtimeSessionTest : public tonegate_test::SessionTest {};

// A reset from another thread stops the card's running thread; the caller's
// later requests start nothing.
TEST_F(RealtimeSessionTest, ResetFromAnotherThreadStopsTheCardsThreadForGood) {
    script().ownThread = ASIOTrue;
    script().threadPeriodMicroseconds = 500;
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSweepWavA(100.0, 1000.0, 10.0, 0);  // outlasts the test
    ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) >= 10; }));

    std::thread driver([&] { EXPECT_EQ(tonegate_test_card::SendAsioMessage(*card_, kAsioResetRequest, 0), 1); });
    for (int i = 0; i < 200; ++i) ASIOGenerateSineWavB(440.0, 0.01, 0);
    driver.join();
    const int64_t stoppedAt = ThreadSwitches(*card_);
    for (int i = 0; i < 10; ++i) ASIOGenerateSineWavB(440.0, 0.01, 0);
    std::this_thread::sleep_for(5ms);

    EXPECT_EQ(ThreadSwitches(*card_), stoppedAt);
    EXPECT_FALSE(IsRunning(*card_));
    EXPECT_EQ(CountCalls(*card_, Operation::Start), 1);
    EXPECT_TRUE(pSineGeneratorA->bSweepActive.load());  // never finished
}

TEST_F(RealtimeSessionTest, DriverMessagesFromAnotherThreadInterleaveWholeLines) {
    constexpr int kEach = 500;
    constexpr const char* kMessageLine = "asioMessages: kAsioLatenciesChanged";
    constexpr const char* kRefusalLine = "Failed: PlaySweepWav - seconds less than 0.01!";
    ASSERT_TRUE(OpenAndInit());
    std::thread driver([&] {
        for (int i = 0; i < kEach; ++i) tonegate_test_card::SendAsioMessage(*card_, kAsioLatenciesChanged, 0);
    });
    for (int i = 0; i < kEach; ++i) ASIOGenerateSweepWavA(100.0, 200.0, 0.05, 0);
    driver.join();

    std::vector<std::string> lines = LinesFrom("CreatePrimaryBuffer success!");
    ASSERT_FALSE(lines.empty());
    lines.erase(lines.begin());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kMessageLine), kEach);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kRefusalLine), kEach);
    EXPECT_EQ(lines.size(), 2u * kEach);
}

// The card's own thread without the host: halves alternate from 0, a stop
// from inside the callback ends it after that switch, and a stop from the
// caller returns only when no switch can follow.
int32_t seenIndices[64];
std::atomic<int64_t> seenSwitches{0};
std::atomic<int64_t> stopAfterSwitch{-1};
IASIO* ownThreadCard = nullptr;

void RecordingSwitch(int32_t index, ASIOBool) {
    const int64_t seen = seenSwitches.load(std::memory_order_relaxed);
    if (seen < 64) seenIndices[seen] = index;
    seenSwitches.store(seen + 1, std::memory_order_release);
    if (seen + 1 == stopAfterSwitch) ownThreadCard->stop();
}
void IgnoreRate(ASIOSampleRate) {}
int32_t IgnoreMessage(int32_t, int32_t, void*, double*) { return 0; }

TEST_F(RealtimeSessionTest, CardThreadAlternatesHalvesAndStopsFromEitherSide) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const CLSID clsid = tonegate_test::ClsidOf(tonegate_test::CardClassText(0));
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object), S_OK);
    ownThreadCard = static_cast<IASIO*>(object);
    script().ownThread = ASIOTrue;
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks{RecordingSwitch, IgnoreRate, IgnoreMessage, nullptr};
    ASSERT_EQ(ownThreadCard->createBuffers(infos, 2, 64, &callbacks), ASE_OK);

    stopAfterSwitch = 40;
    ASSERT_EQ(ownThreadCard->start(), ASE_OK);
    ASSERT_TRUE(WaitUntil([] { return seenSwitches.load(std::memory_order_acquire) >= 40; }));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(seenSwitches.load(), 40);
    EXPECT_FALSE(IsRunning(*card_));
    for (int i = 0; i < 40; ++i) EXPECT_EQ(seenIndices[i], i % 2) << i;

    // Paced by absolute deadlines: never more switches than periods begun.
    stopAfterSwitch = -1;
    script().threadPeriodMicroseconds = 2000;
    const auto begin = Clock::now();
    ASSERT_EQ(ownThreadCard->start(), ASE_OK);  // joins the thread that stopped itself
    std::this_thread::sleep_for(30ms);
    ASSERT_EQ(ownThreadCard->stop(), ASE_OK);
    const auto elapsed = Clock::now() - begin;
    const int64_t paced = seenSwitches.load() - 40;
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(seenSwitches.load() - 40, paced);
    EXPECT_GE(paced, 1);
    EXPECT_LE(paced, elapsed / 2000us + 1);
    EXPECT_EQ(CountCalls(*card_, Operation::Stop), 2);

    EXPECT_EQ(ownThreadCard->disposeBuffers(), ASE_OK);
    ownThreadCard->Release();
    CoUninitialize();
}

}  // namespace
