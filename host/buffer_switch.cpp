// The driver's callbacks: the buffer switch that fills both channels' halves
// from their generators or with silence, the sample-rate change and the
// driver's messages. Thread: real-time thread (the driver's own).
#include <cstring>

#include "diag/debug_log.h"
#include "host/host_session.h"
#include "host/library_state.h"
#include "synth/sine_generator.h"

namespace {

// Answered as supported when a driver asks, though no message handles it.
constexpr int32_t kSupportedUnhandledSelector = 10;

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
void bufferSwitch(int32_t index, ASIOBool /*directProcess*/) {
    // Only the two halves exist: any other index touches nothing.
    if (index != 0 && index != 1) return;
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
