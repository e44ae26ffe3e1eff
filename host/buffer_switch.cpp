// The driver's callbacks: the buffer switch that fills both channels' halves
// from their generators or with silence, the sample-rate change and the
// driver's messages, each behind a gate that the session opens and closes.
// Thread: real-time thread (the driver's own; messages may come from any of
// the driver's threads), except opening and closing the gates, on the
// caller's thread.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "diag/debug_log.h"
#include "host/host_session.h"
#include "host/library_state.h"
#include "synth/realtime_attributes.h"
#include "synth/sine_generator.h"

namespace {

// Answered as supported when a driver asks, though no message handles it.
constexpr int32_t kSupportedUnhandledSelector = 10;

// The gate a callback passes to reach the session and the driver. A call
// announces itself before it looks at the gate and the teardown closes the
// gate before it counts the calls under way (all sequentially consistent), so
// either the call sees the gate closed or the teardown waits for it:
// lock-free on the driver's side.
class CallbackGate {
public:
    void Open() { open_.store(true); }
    void Close() {
        open_.store(false);
        // A call under way ends soon: a switch after one block, a message at
        // most after the driver's stop.
        while (underWay_.load() != 0) std::this_thread::yield();
    }

    // One call through the gate, announced for its whole scope.
    class Pass {
    public:
        explicit Pass(CallbackGate& gate) : gate_(gate) {
            alone_ = gate_.underWay_.fetch_add(1) == 0;
            open_ = gate_.open_.load();
        }
        ~Pass() { gate_.underWay_.fetch_sub(1, std::memory_order_release); }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        bool Open() const { return open_; }
        // No other call through the gate is under way, on this thread or another.
        bool Alone() const { return alone_; }

    private:
        CallbackGate& gate_;
        bool alone_ = false;
        bool open_ = false;
    };

private:
    std::atomic<bool> open_{false};
    std::atomic<int32_t> underWay_{0};
};

CallbackGate switchGate;
CallbackGate messageGate;

// Set while a reset request is answered: a driver whose stop asks for another
// reset (or whose second thread asks meanwhile) is answered without a second
// stop. Not a thread_local: a library that is unloaded leaves its threads'
// dynamic TLS behind, which the leak checker then trips over at exit.
std::atomic<bool> answeringReset{false};

constexpr char kResetRequestLine[] = "asioMessages: kAsioResetRequest";

// Stops the driver and logs the request with the driver's reason for it,
// asked for first, before the stop can change what the driver reports.
void AnswerResetRequest() {
    char reason[128] = {};
    ptrASIO->getErrorMessage(reason);
    reason[sizeof reason - 1] = '\0';  // a driver need not terminate it
    // The reason's reader takes the one line after the request's.
    for (char& c : reason)
        if (c == '\n' || c == '\r') c = ' ';
    // The driver stays stopped: later requests find the session started.
    ptrASIO->stop();
    if (reason[0] == '\0') {
        LogLine(kResetRequestLine);
    } else {
        // Both lines in one write, so that no other thread's line comes between them.
        char lines[sizeof kResetRequestLine + sizeof "\nDriver reports: " + sizeof reason];
        std::snprintf(lines, sizeof lines, "%s\nDriver reports: %s", kResetRequestLine, reason);
        LogLine(lines);
    }
}

// Real-time thread; no allocation, no lock.
template <typename Sample>
void FillChannel(SineGenerator* generator, void* half) {
    Sample* block = static_cast<Sample*>(half);
    if (generator != nullptr && generator->bSineActive.load(std::memory_order_acquire)) {
        if constexpr (sizeof(Sample) == 2)
            generator->RenderSine16(block, nullptr);
        else
            generator->RenderSine32(block, nullptr);
    } else if (generator != nullptr && generator->bSweepActive.load(std::memory_order_acquire)) {
        if constexpr (sizeof(Sample) == 2)
            generator->RenderSweep16(block, nullptr);
        else
            generator->RenderSweep32(block, nullptr);
    } else {
        std::memset(half, 0, nBufferBytes);
    }
}

// Real-time thread; no allocation, no lock.
template <typename Sample>
void FillBothChannels(int32_t index) {
    FillChannel<Sample>(pSineGeneratorA, asioDriverInfo.bufferInfos[0].buffers[index]);
    FillChannel<Sample>(pSineGeneratorB, asioDriverInfo.bufferInfos[1].buffers[index]);
}

}  // namespace

// Real-time thread; no allocation, no lock, no log line.
void bufferSwitch(int32_t index, ASIOBool /*directProcess*/) TONEGATE_NONBLOCKING {
    // Only the two halves exist: any other index touches nothing.
    if (index != 0 && index != 1) return;
    const CallbackGate::Pass pass(switchGate);
    // Before the buffers are complete and after the teardown there is nothing
    // to write to. A switch made while another is under way (from inside the
    // driver's outputReady, or by a second thread) would render the
    // generators twice at once, and would recurse without end through an
    // outputReady that switches: it writes and calls nothing.
    if (pass.Open() && pass.Alone()) {
        if (!bWavEnabled.load(std::memory_order_acquire)) {
            std::memset(asioDriverInfo.bufferInfos[1].buffers[index], 0, nBufferBytes);
            std::memset(asioDriverInfo.bufferInfos[0].buffers[index], 0, nBufferBytes);
        } else if (b16BitCard) {
            FillBothChannels<int16_t>(index);
        } else {
            FillBothChannels<int32_t>(index);
        }
        if (asioDriverInfo.bOutputReady) ptrASIO->outputReady();
    }
}

void OpenBufferSwitch() { switchGate.Open(); }
void CloseBufferSwitch() { switchGate.Close(); }
void OpenDriverMessages() { messageGate.Open(); }
void CloseDriverMessages() { messageGate.Close(); }

// The library learns a new rate only when it asks the driver for it.
void sampleRateDidChange(ASIOSampleRate /*rate*/) {}

int32_t asioMessages(int32_t selector, int32_t value, void* /*message*/, double* /*opt*/) {
    const CallbackGate::Pass pass(messageGate);
    // Outside the session the driver may already be released: nothing is answered.
    if (!pass.Open()) return 0;
    switch (selector) {
        case kAsioSelectorSupported:
            LogLine("asioMessages: kAsioSelectorSupported");
            return value == kAsioEngineVersion || value == kAsioResetRequest || value == kAsioResyncRequest ||
                           value == kAsioLatenciesChanged || value == kAsioSupportsTimeInfo ||
                           value == kAsioSupportsTimeCode || value == kSupportedUnhandledSelector
                       ? 1
                       : 0;
        case kAsioEngineVersion:
            LogLine("asioMessages: kAsioEngineVersion");
            return 2;
        case kAsioResetRequest:
            // One asked for while a reset is answered is that reset's.
            if (!answeringReset.exchange(true, std::memory_order_acq_rel)) {
                AnswerResetRequest();
                answeringReset.store(false, std::memory_order_release);
            }
            return 1;
        case kAsioResyncRequest:
            LogLine("asioMessages: kAsioResyncRequest");
            return 1;
        case kAsioLatenciesChanged:
            LogLine("asioMessages: kAsioLatenciesChanged");
            return 1;
        case kAsioSupportsTimeInfo:
            LogLine("asioMessages: kAsioSupportsTimeInfo");
            return 0;
        case kAsioSupportsTimeCode:
            LogLine("asioMessages: kAsioSupportsTimeCode");
            return 0;
        default:
            return 0;
    }
}
