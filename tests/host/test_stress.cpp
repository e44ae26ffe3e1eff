// The host under a long storm: for 30 seconds the test card's own thread
// switches 64-frame buffers as fast as it can while the caller fires random
// notes, sweeps, sweep restarts and output toggles at both channels. Every
// note played to its end is found in the card's capture and must sum to 0
// (in 64 bits) and last exactly the blocks and samples of its schedule; the
// notes found must be exactly the requests that a note's whole cycles allow.
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
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "host/host_session.h"
#include "host/tonegate.h"
#include "support/session_fixture.h"
#include "synth/sine_generator.h"

namespace {

using namespace std::chrono_literals;
using tonegate_test_card::CaptureRing;
using tonegate_test_card::ThreadSwitches;
using Clock = std::chrono::steady_clock;

constexpr int32_t kFrames = 64;
constexpr double kRate = 48000.0;
constexpr auto kStormLength = 30s;
constexpr int64_t kRecordBytes = 2 * kFrames * 4;  // both channels' halves, 32-bit
constexpr int64_t kRingRecords = 2048;
// Room for more records than the capture ring holds, so the card's thread,
// which waits for room in the capture, never overtakes the drain here either.
constexpr int64_t kStateRecords = 2 * kRingRecords;

bool WaitUntil(const std::function<bool()>& done, Clock::duration timeout = 20s) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

bool Busy(const SineGenerator* generator) { return generator->bSineActive.load() || generator->bSweepActive.load(); }

// A channel's note as the card's thread sees it around one switch. The
// note's fields are read only while its flag is set, when the real-time side
// owns the generator and the caller writes none of them.
struct NoteView {
    bool active = false;
    double phaseInc = 0.0;  // tells one note from the next
    uint32_t blockIndex = 0, noteBlocks = 0;
    uint64_t end = 0;  // the note's length in samples

    static NoteView Of(const SineGenerator& generator) {
        NoteView view;
        view.active = generator.bSineActive.load(std::memory_order_acquire);
        if (!view.active) return view;
        view.phaseInc = generator.dPhaseInc;
        view.blockIndex = generator.nBlockIndex;
        view.noteBlocks = generator.nNoteBlocks;
        view.end = uint64_t{generator.nReleaseBlock} * generator.nBufferFrames + generator.nReleaseOffset +
                   generator.nRampSamples;
        return view;
    }
};

// Which note block, if any, one switch rendered on one channel.
struct RenderedBlock {
    bool note = false;
    bool last = false;
    NoteView view;  // the note's schedule; blockIndex is the block rendered
};

RenderedBlock BlockBetween(const NoteView& before, const NoteView& after) {
    RenderedBlock block;
    const bool sameNote = after.active && before.active && after.phaseInc == before.phaseInc;
    if (before.active) {
        // Unchanged: output was off. Otherwise block blockIndex was rendered,
        // the last one unless the note is still there one block further on.
        if (sameNote && after.blockIndex == before.blockIndex) return block;
        block.note = true;
        block.view = before;
        block.last = !(sameNote && after.blockIndex == before.blockIndex + 1);
    } else if (after.active && after.blockIndex == 1) {
        // The note began inside this switch and its first block went out.
        block.note = true;
        block.view = after;
        block.view.blockIndex = 0;
    }
    return block;
}

struct SwitchState {
    RenderedBlock channels[2];
};

// Filled on the card's thread around every buffer switch of the host.
SwitchState* switchStates = nullptr;
int64_t statesWritten = 0;  // the card's thread only

void StressSwitch(int32_t index, ASIOBool directProcess) {
    const NoteView beforeA = NoteView::Of(*pSineGeneratorA), beforeB = NoteView::Of(*pSineGeneratorB);
    bufferSwitch(index, directProcess);
    SwitchState& state = switchStates[statesWritten++ % kStateRecords];
    state.channels[0] = BlockBetween(beforeA, NoteView::Of(*pSineGeneratorA));
    state.channels[1] = BlockBetween(beforeB, NoteView::Of(*pSineGeneratorB));
}

// A note found whole in the capture.
struct PlayedNote {
    int channel;
    double phaseInc;
};

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

    // Once the card's thread has ended.
    void Finish() {
        finished_.store(true, std::memory_order_release);
        if (thread_.joinable()) thread_.join();
    }

    const std::vector<PlayedNote>& played() const { return played_; }
    int64_t switches() const { return switches_; }
    int64_t faults() const { return faults_; }
    int64_t noteBlocks() const { return noteBlocks_; }

private:
    struct Following {
        bool on = false;
        double phaseInc = 0.0;
        uint32_t blocks = 0, noteBlocks = 0;
        uint64_t end = 0;
        int64_t sum = 0;
        bool silentAfterEnd = true;
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
        for (int channel = 0; channel < 2; ++channel) {
            const RenderedBlock& block = state.channels[channel];
            if (!block.note) continue;
            ++noteBlocks_;
            Following& note = following_[channel];
            if (block.view.blockIndex == 0) {
                if (note.on) Fault();  // a note began before the last one ended
                note = Following{true, block.view.phaseInc, 0, block.view.noteBlocks, block.view.end, 0, true};
            }
            if (!note.on || note.phaseInc != block.view.phaseInc || note.blocks != block.view.blockIndex) {
                Fault();
                note.on = false;
                continue;
            }
            const uint8_t* half = record_.data() + channel * kFrames * 4;
            for (int32_t i = 0; i < kFrames; ++i) {
                int32_t sample;
                std::memcpy(&sample, half + 4 * i, 4);
                note.sum += sample;
                const uint64_t position = uint64_t{note.blocks} * kFrames + static_cast<uint64_t>(i);
                if (position >= note.end && sample != 0) note.silentAfterEnd = false;
            }
            ++note.blocks;
            if (!block.last) continue;
            note.on = false;
            if (note.blocks != note.noteBlocks || note.sum != 0 || !note.silentAfterEnd ||
                (note.end + kFrames - 1) / kFrames != note.noteBlocks) {
                Fault();
                continue;
            }
            played_.push_back({channel, note.phaseInc});
        }
    }

    std::vector<uint8_t> storage_;
    std::vector<SwitchState> states_;
    std::vector<uint8_t> record_;
    CaptureRing ring_{};
    Following following_[2];
    std::vector<PlayedNote> played_;
    int64_t switches_ = 0, faults_ = 0, noteBlocks_ = 0;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// A note request, and whether its whole cycles make a note of more than one
// block: the cycles, frequency × seconds rounded with halves upward, at
// least 2, and more samples than a block holds.
struct Request {
    int channel;
    double phaseInc;
    bool playable;
};

Request NoteRequest(int channel, double frequency, double seconds) {
    const double asked = frequency * seconds;
    const double cycles = std::floor(asked) + (asked - std::floor(asked) >= 0.5 ? 1.0 : 0.0);
    const bool playable = cycles >= 2.0 && std::floor(cycles * (kRate / frequency)) > kFrames;
    return {channel, 6.283185307179586 / (kRate / frequency), playable};
}

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
    std::vector<Request> accepted;
    int64_t noteRequests = 0, sweepRequests = 0, toggles = 0;
    for (const auto end = Clock::now() + kStormLength; Clock::now() < end;) {
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
            const double f = what < 53 ? frequency(random) : std::exp(logFrequency(random));
            const double seconds = noteSeconds(random);
            const Request request = NoteRequest(channel, f, seconds);
            const bool idle = !Busy(generator);
            (channel == 0 ? ASIOGenerateSineWavA : ASIOGenerateSineWavB)(f, seconds, attenuation(random));
            // On an idle generator a playable note is taken; on a busy one it
            // is taken only if the generator fell idle just before. A note's
            // increment is the caller's own field, which the renderers only read.
            const bool taken = generator->bSineActive.load() && generator->dPhaseInc == request.phaseInc;
            ++noteRequests;
            if ((idle && request.playable) || taken) accepted.push_back(request);
        }
        // A few switches at most between requests, so that the card's thread
        // plays notes while the caller keeps asking.
        const int64_t next = ThreadSwitches(*card_) + pause(random);
        ASSERT_TRUE(WaitUntil([&] { return ThreadSwitches(*card_) >= next; }));
    }
    ASIOEnableWav(true);
    ASSERT_TRUE(WaitUntil([] { return !Busy(pSineGeneratorA) && !Busy(pSineGeneratorB); }));
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

    // The notes played whole are exactly the accepted requests, in order per channel.
    for (int channel = 0; channel < 2; ++channel) {
        std::vector<double> expected, found;
        for (const Request& request : accepted)
            if (request.channel == channel) expected.push_back(request.phaseInc);
        for (const PlayedNote& note : checker_.played())
            if (note.channel == channel) found.push_back(note.phaseInc);
        EXPECT_EQ(found, expected) << "channel " << channel;
        EXPECT_GT(found.size(), 100u) << "channel " << channel;
    }
    std::printf("stress: %lld switches, %zu notes checked (%lld note blocks), %lld note requests, "
                "%lld sweep requests, %lld toggles\n",
                static_cast<long long>(checker_.switches()), checker_.played().size(),
                static_cast<long long>(checker_.noteBlocks()), static_cast<long long>(noteRequests),
                static_cast<long long>(sweepRequests), static_cast<long long>(toggles));
}

}  // namespace
