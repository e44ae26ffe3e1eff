// The host under a long storm: for 30 seconds (or TONEGATE_STRESS_SECONDS)
// the test card's own thread switches 64-frame buffers as fast as it can
// while the caller fires random notes, sweeps, sweep restarts and output
// toggles at both channels. Every note played to its end is found in the
// card's capture and must be, block for block, the note a generator of its
// own plays for the request, and sum to 0 (in 64 bits); every note asked of
// an idle generator that its whole cycles allow must be found, in the order
// asked.
// Meant to run under ThreadSanitizer too.
// Thread: the test's (the caller), the card's own (the switches and the
// record of each switch), and the test's drain of the capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "host/host_session.h"
#include "host/tonegate.h"
#include "support/session_fixture.h"
#include "support/waiting.h"
#include "synth/sine_generator.h"

namespace {

using tonegate_test::WaitUntil;
using tonegate_test::Busy;
using tonegate_test::BothIdle;

using namespace std::chrono_literals;
using tonegate_test_card::CaptureRing;
using tonegate_test_card::ThreadSwitches;
using Clock = std::chrono::steady_clock;

constexpr int32_t kFrames = 64;
constexpr double kRate = 48000.0;
// TONEGATE_STRESS_SECONDS shortens it where each switch costs more (the
// thread sanitizer's pass runs it for 15 s).
std::chrono::seconds StormLength() {
    const char* asked = std::getenv("TONEGATE_STRESS_SECONDS");
    const long seconds = asked != nullptr ? std::strtol(asked, nullptr, 10) : 0;
    return seconds > 0 ? std::chrono::seconds(seconds) : 30s;
}
constexpr int64_t kRecordBytes = 2 * kFrames * 4;  // both channels' halves, 32-bit
constexpr int64_t kRingRecords = 2048;
// Room for more records than the capture ring holds, so the card's thread,
// which waits for room in the capture, never overtakes the drain here either.
constexpr int64_t kStateRecords = 2 * kRingRecords;

// A note request, made known to the checker before the export sees it: the
// note a generator of its own plays for it, in whole blocks (none when its
// whole cycles make no note of more than one block), and whether the
// channel's generator was idle, so that it must take the note.
struct Request {
    double frequency = 0.0, seconds = 0.0;
    uint32_t attenuation = 0;
    bool mustPlay = false;
    std::vector<int32_t> samples;
};

// Whether the cycles, frequency × seconds rounded with halves upward, are at
// least 2 and more samples than a block holds.
bool Playable(double frequency, double seconds) {
    const double asked = frequency * seconds;
    const double cycles = std::floor(asked) + (asked - std::floor(asked) >= 0.5 ? 1.0 : 0.0);
    return cycles >= 2.0 && std::floor(cycles * (kRate / frequency)) > kFrames;
}

std::vector<int32_t> NoteAlone(double frequency, double seconds, uint32_t attenuation) {
    SineGenerator alone(kFrames, false);
    std::vector<int32_t> samples;
    if (!alone.PlaySineWav(kRate, frequency, seconds, attenuation)) return samples;
    while (alone.bSineActive.load()) {
        samples.resize(samples.size() + kFrames);
        alone.RenderSine32(samples.data() + samples.size() - kFrames, nullptr);
    }
    return samples;
}

// Whether a sweep may have sounded on each channel in one switch: only then
// is a sound that follows no note not a note's first block.
struct SwitchState {
    bool sweeping[2];
};

// Filled on the card's thread around every buffer switch of the host.
SwitchState* switchStates = nullptr;
int64_t statesWritten = 0;  // the card's thread only

void StressSwitch(int32_t index, ASIOBool directProcess) {
    const bool sweepingA = pSineGeneratorA->bSweepActive.load(), sweepingB = pSineGeneratorB->bSweepActive.load();
    bufferSwitch(index, directProcess);
    SwitchState& state = switchStates[statesWritten++ % kStateRecords];
    state.sweeping[0] = sweepingA || pSineGeneratorA->bSweepActive.load();
    state.sweeping[1] = sweepingB || pSineGeneratorB->bSweepActive.load();
}

bool AllZero(const int32_t* samples) {
    return std::all_of(samples, samples + kFrames, [](int32_t sample) { return sample == 0; });
}

// Takes the capture switch by switch and follows each channel's note.
class NoteChecker {
public:
    NoteChecker() : storage_(kRingRecords * kRecordBytes), states_(kStateRecords), record_(kRecordBytes) {
        ring_.storage = storage_.data();
        ring_.capacity = static_cast<int64_t>(storage_.size());
        switchStates = states_.data();
        statesWritten = 0;
        thread_ = std::thread(&NoteChecker::Drain, this);
    }
    ~NoteChecker() { Finish(); }

    CaptureRing* ring() { return &ring_; }

    // Before the export that asks for the note.
    void Ask(int channel, Request request) {
        const std::lock_guard<std::mutex> lock(requestsMutex_);
        requests_[channel].push_back(std::move(request));
    }

    // Once the card's thread has ended.
    void Finish() {
        finished_.store(true, std::memory_order_release);
        if (thread_.joinable()) thread_.join();
    }

    // The requests of a channel, asked in this order, and which of them were
    // played whole.
    const std::deque<Request>& requests(int channel) const { return requests_[channel]; }
    const std::vector<size_t>& played(int channel) const { return played_[channel]; }
    int64_t switches() const { return switches_; }
    int64_t faults() const { return faults_; }
    int64_t noteBlocks() const { return noteBlocks_; }

private:
    struct Following {
        bool on = false;
        size_t request = 0;
        size_t blocks = 0;
        int64_t sum = 0;
    };

    void Drain() {
        for (;;) {
            const bool last = finished_.load(std::memory_order_acquire);
            while (tonegate_test_card::TakeFromRing(ring_, record_.data(), kRecordBytes)) Take();
            if (last) return;
            std::this_thread::yield();
        }
    }

    void Fault() { ++faults_; }

    void Take() {
        // The state of this switch was written before its capture was published.
        const SwitchState& state = states_[static_cast<size_t>(switches_++ % kStateRecords)];
        const std::lock_guard<std::mutex> lock(requestsMutex_);
        for (int channel = 0; channel < 2; ++channel) {
            int32_t half[kFrames];
            std::memcpy(half, record_.data() + channel * kFrames * 4, sizeof half);
            Following& note = following_[channel];
            if (!note.on) {
                if (state.sweeping[channel] || AllZero(half)) continue;
                if (!StartingRequest(channel, half)) {
                    Fault();  // a sound that is neither a sweep nor a requested note
                    continue;
                }
                note = Following{true, next_[channel] - 1, 0, 0};
            }
            Request& request = requests_[channel][note.request];
            const int32_t* expected = request.samples.data() + note.blocks * kFrames;
            if (!std::equal(half, half + kFrames, expected)) {
                // Silence while output is off; anything else is out of place.
                if (AllZero(half)) continue;
                Fault();
                note.on = false;
                continue;
            }
            ++noteBlocks_;
            for (const int32_t sample : half) note.sum += sample;
            if (++note.blocks * kFrames < request.samples.size()) continue;
            note.on = false;
            if (note.sum != 0) Fault();
            played_[channel].push_back(note.request);
            std::vector<int32_t>().swap(request.samples);
        }
    }

    // Whether one of the channel's requests not yet reached begins with
    // `half`; the requests passed over are done with.
    bool StartingRequest(int channel, const int32_t* half) {
        std::deque<Request>& requests = requests_[channel];
        while (next_[channel] < requests.size()) {
            Request& request = requests[next_[channel]++];
            if (!request.samples.empty() && std::equal(half, half + kFrames, request.samples.begin())) return true;
            std::vector<int32_t>().swap(request.samples);
        }
        return false;
    }

    std::vector<uint8_t> storage_;
    std::vector<SwitchState> states_;
    std::vector<uint8_t> record_;
    CaptureRing ring_{};
    std::mutex requestsMutex_;
    std::deque<Request> requests_[2];
    size_t next_[2] = {0, 0};
    Following following_[2];
    std::vector<size_t> played_[2];
    int64_t switches_ = 0, faults_ = 0, noteBlocks_ = 0;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

class StressTest : public tonegate_test::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        script().preferredSize = kFrames;
        script().sampleRate = kRate;
        script().ownThread = ASIOTrue;
        script().threadPeriodMicroseconds = 0;  // as fast as it can
        script().capture = checker_.ring();
    }

    NoteChecker checker_;
};

TEST_F(StressTest, NotesPlayedWholeThroughAStormOfRequestsSumToZeroAndKeepTheirSchedule) {
    ASSERT_TRUE(OpenAndInit());
    // Before the first request starts the card, while no switch runs.
    record().callbacks.bufferSwitch = &StressSwitch;

    std::mt19937 random{20261010u};
    std::uniform_real_distribution<double> frequency(10.0, 22050.0), logFrequency(std::log(10.0), std::log(22050.0)),
        noteSeconds(0.01, 0.1), sweepSeconds(0.1, 0.3);
    std::uniform_int_distribution<uint32_t> attenuation(0, 30);
    std::uniform_int_distribution<int> action(0, 99), pause(0, 7);
    int64_t noteRequests = 0, sweepRequests = 0, toggles = 0;
    for (const auto end = Clock::now() + StormLength(); Clock::now() < end;) {
        const int what = action(random);
        const int channel = what % 2;
        SineGenerator* generator = channel == 0 ? pSineGeneratorA : pSineGeneratorB;
        if (what < 2) {
            // Rare enough that a sweep is sometimes left to end and sometimes started over.
            (channel == 0 ? ASIOGenerateSweepWavA : ASIOGenerateSweepWavB)(frequency(random), frequency(random),
                                                                           sweepSeconds(random), attenuation(random));
            ++sweepRequests;
        } else if (what < 6) {
            ASIOEnableWav(what < 4);
            ++toggles;
        } else {
            // Low notes are few cycles long: half the notes spread over the octaves.
            Request request;
            request.frequency = what < 53 ? frequency(random) : std::exp(logFrequency(random));
            request.seconds = noteSeconds(random);
            request.attenuation = attenuation(random);
            const bool playable = Playable(request.frequency, request.seconds);
            if (playable) request.samples = NoteAlone(request.frequency, request.seconds, request.attenuation);
            ASSERT_EQ(request.samples.empty(), !playable) << request.frequency << " Hz, " << request.seconds << " s";
            // On an idle generator a playable note is taken; on a busy one it
            // is taken only if the generator fell idle just before.
            request.mustPlay = playable && !Busy(generator);
            checker_.Ask(channel, request);
            (channel == 0 ? ASIOGenerateSineWavA : ASIOGenerateSineWavB)(request.frequency, request.seconds,
                                                                         request.attenuation);
            ++noteRequests;
        }
        // A few switches at most between requests, so that the card's thread
        // plays notes while the caller keeps asking.
        const int64_t next = ThreadSwitches(*card_) + pause(random);
        ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) >= next; }));
    }
    ASIOEnableWav(true);
    ASSERT_TRUE(WaitUntil(BothIdle));
    const int64_t idleAt = ThreadSwitches(*card_);
    ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) > idleAt; }));
    ASSERT_EQ(ASIOCloseDriver(), 0);  // stops and joins the card's thread
    checker_.Finish();

    const CaptureRing& ring = *checker_.ring();
    EXPECT_EQ(checker_.switches() + ring.dropped, ThreadSwitches(*card_));
    EXPECT_LE(ring.dropped, 1);
    EXPECT_EQ(checker_.faults(), 0);
    EXPECT_EQ(record().brokenGuardsAtDispose, 0);
    tonegate_test::ExpectAllReleased(card_);

    // Every note asked of an idle generator was played whole, each exactly
    // as a generator of its own plays it, in the order asked.
    size_t notesPlayed = 0;
    for (int channel = 0; channel < 2; ++channel) {
        const std::vector<size_t>& played = checker_.played(channel);
        const std::deque<Request>& requests = checker_.requests(channel);
        size_t missing = 0;
        for (size_t i = 0; i < requests.size(); ++i)
            if (requests[i].mustPlay && !std::binary_search(played.begin(), played.end(), i)) ++missing;
        EXPECT_EQ(missing, 0u) << "channel " << channel;
        EXPECT_GT(played.size(), 100u) << "channel " << channel;
        notesPlayed += played.size();
    }
    std::printf("stress: %lld switches, %zu notes checked (%lld note blocks), %lld note requests, "
                "%lld sweep requests, %lld toggles\n",
                static_cast<long long>(checker_.switches()), notesPlayed,
                static_cast<long long>(checker_.noteBlocks()), static_cast<long long>(noteRequests),
                static_cast<long long>(sweepRequests), static_cast<long long>(toggles));
}

}  // namespace
