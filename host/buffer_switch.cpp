// The driver's callbacks: the buffer switch that fills both channels' halves
// from their generators or with silence, the sample-rate change and the
// driver's messages. Thread: real-time thread (the driver's own), except
// opening and closing the switch, on the caller's thread.
#include <atomic>
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

// The gate of the buffer switch. A switch announces itself before it looks
// at the gate and the teardown closes the gate before it counts the switches
// under way (all sequentially consistent), so either the switch sees the gate
// closed or the teardown waits for it: lock-free on the real-time side.
std::atomic<bool> switchOpen{false};
std::atomic<int32_t> switchesUnderWay{0};

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
    switchesUnderWay.fetch_add(1);
    // Before the buffers are complete and after the teardown there is nothing to write to.
    if (switchOpen.load()) {
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
    switchesUnderWay.fetch_sub(1, std::memory_order_release);
}

void OpenBufferSwitch() { switchOpen.store(true); }

void CloseBufferSwitch() {
    switchOpen.store(false);
    // A driver that switches after its stop returned is inside for one block at most.
    while (switchesUnderWay.load() != 0) std::this_thread::yield();
}

// The library learns a new rate only when it asks the driver for it.
void sampleRateDidChange(ASIOSampleRate /*rate*/) {}

int32_t asioMessages(int32_t selector, int32_t value, void* /*message*/, double* /*opt*/) {
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
            // The driver stays stopped: later requests find the session started.
            ptrASIO->stop();
            LogLine("asioMessages: kAsioResetRequest");
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
