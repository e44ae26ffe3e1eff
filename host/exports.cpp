// The ten exported functions: thin guards over driver opening, the host
// session and the generators. Each checks the library-wide state and its
// arguments, logs the reason for a refusal and returns a neutral result.
// Thread: caller's thread, one export at a time.
#include "host/tonegate.h"

#include "diag/debug_log.h"
#include "host/driver_opening.h"
#include "host/library_state.h"
#include "host/request_checks.h"

namespace {

constexpr const char* kNotInitialized = "Failed: ASIOSetSampleRate - ASIO system not initialized!";

}  // namespace

extern "C" {

bool ASIOOpenDriver(void) { return OpenDriverRun(); }

bool ASIOSystemInit(TonegateWindow) {
    // The audio session is not built yet: even with a driver open there is
    // nothing to initialise, so the request is refused.
    return false;
}

int32_t ASIOCloseDriver(void) { return CloseDriverRun(); }

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
