// The ten exported functions: thin guards over driver opening, the host
// session and the generators. Each checks the library-wide state and its
// arguments, logs the reason for a refusal and returns a neutral result.
// Thread: caller's thread, one export at a time.
#include "host/tonegate.h"

#include "diag/debug_log.h"
#include "host/driver_opening.h"
#include "host/host_session.h"
#include "host/library_state.h"
#include "host/request_checks.h"

namespace {

constexpr const char* kNotInitialized = "Failed: ASIOSetSampleRate - ASIO system not initialized!";

bool SessionReady() { return pASIOBuffers != nullptr && pASIOBuffers->bInitSuccess; }

}  // namespace

extern "C" {

bool ASIOOpenDriver(void) { return OpenDriverRun(); }

bool ASIOSystemInit(TonegateWindow window) { return SystemInit(static_cast<HWND>(window)); }

int32_t ASIOCloseDriver(void) { return CloseDriverRun(); }

// Works without a session too: the flag is simply stored.
bool ASIOEnableWav(bool enable) {
    bWavEnabled.store(enable, std::memory_order_release);
    return enable;
}

bool ASIOSetSampleRate(uint32_t rate) {
    if (!SessionReady()) {
        LogLine(kNotInitialized);
        return false;
    }
    return pASIOBuffers->SetSampleRate(rate);
}

int32_t ASIOGetSampleRate(void) {
    // The getter's refusal names the setter, as users' scripts expect.
    if (!SessionReady()) {
        LogLine(kNotInitialized);
        return 0;
    }
    return pASIOBuffers->GetSampleRate();
}

uint32_t ASIOGenerateSineWavA(double frequency, double seconds, uint32_t attenuation) {
    if (!SineRequestAccepted(frequency, seconds, attenuation) || pASIOBuffers == nullptr) return 0;
    return pASIOBuffers->GenerateSineWavA(frequency, seconds, attenuation);
}

uint32_t ASIOGenerateSineWavB(double frequency, double seconds, uint32_t attenuation) {
    if (!SineRequestAccepted(frequency, seconds, attenuation) || pASIOBuffers == nullptr) return 0;
    return pASIOBuffers->GenerateSineWavB(frequency, seconds, attenuation);
}

void ASIOGenerateSweepWavA(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    if (!SweepRequestAccepted(freqStart, freqEnd, seconds, attenuation) || pASIOBuffers == nullptr) return;
    pASIOBuffers->GenerateSweepWavA(freqStart, freqEnd, seconds, attenuation);
}

void ASIOGenerateSweepWavB(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    if (!SweepRequestAccepted(freqStart, freqEnd, seconds, attenuation) || pASIOBuffers == nullptr) return;
    pASIOBuffers->GenerateSweepWavB(freqStart, freqEnd, seconds, attenuation);
}

}  // extern "C"
