// The ten exported functions: thin guards over driver opening, the host
// session and the generators. Each checks the library-wide state and its
// arguments, logs the reason for a refusal and returns a neutral result.
// Thread: caller's thread, one export at a time.
#include "host/tonegate.h"

#include "diag/debug_log.h"
#include "host/library_state.h"
#include "host/request_checks.h"

namespace {

constexpr const char* kNotInitialized = "Failed: ASIOSetSampleRate - ASIO system not initialized!";

}  // namespace

extern "C" {

bool ASIOOpenDriver(void) {
    nDrvOpenResult = 1;
    LogStart();
    // No driver list can be built yet, so no driver is ever found.
    LogLine("Couldn't find any ASIO drivers!");
    return false;
}

bool ASIOSystemInit(TonegateWindow) {
    // Needs an opened driver, which ASIOOpenDriver never leaves yet.
    return false;
}

int32_t ASIOCloseDriver(void) { return LogStop(); }

bool ASIOEnableWav(bool enable) {
    bWavEnabled.store(enable, std::memory_order_release);
    return enable;
}

bool ASIOSetSampleRate(uint32_t) {
    LogLine(kNotInitialized);
    return false;
}

int32_t ASIOGetSampleRate(void) {
    // The getter's refusal names the setter, as users' scripts expect.
    LogLine(kNotInitialized);
    return 0;
}

uint32_t ASIOGenerateSineWavA(double frequency, double seconds, uint32_t attenuation) {
    SineRequestAccepted(frequency, seconds, attenuation);
    return 0;
}

uint32_t ASIOGenerateSineWavB(double frequency, double seconds, uint32_t attenuation) {
    SineRequestAccepted(frequency, seconds, attenuation);
    return 0;
}

void ASIOGenerateSweepWavA(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    SweepRequestAccepted(freqStart, freqEnd, seconds, attenuation);
}

void ASIOGenerateSweepWavB(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    SweepRequestAccepted(freqStart, freqEnd, seconds, attenuation);
}

}  // extern "C"
