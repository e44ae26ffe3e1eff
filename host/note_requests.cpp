// The session's note and sweep requests: the first one starts the driver,
// notes are counted and their hand-over to the generator is timed.
// Thread: caller's thread; allocates nothing and takes no lock of its own.
#include "diag/debug_log.h"
#include "diag/stopwatch.h"
#include "host/host_session.h"
#include "host/library_state.h"
#include "synth/sine_generator.h"

bool HostSession::StartOnce() {
    if (bStarted) return true;
    // A failed start leaves bStarted false, so the next request tries again.
    if (ptrASIO->start() != ASE_OK) {
        LogLine("Can't start!");
        return false;
    }
    bStarted = true;
    return true;
}

uint32_t HostSession::GenerateSineWav(SineGenerator* generator, const char* failureLine, double frequency,
                                      double seconds, uint32_t attenuation) {
    if (generator == nullptr) return 0;
    ++noteCount;
    if (!StartOnce()) return 0;
    TimerStart();
    if (!generator->PlaySineWav(asioDriverInfo.sampleRate, frequency, seconds, attenuation)) {
        LogLine(failureLine);
        LogReal("frequency", frequency, 6);
        LogReal("seconds", seconds, 6);
        LogInt("noteCount", static_cast<int32_t>(noteCount));
    }
    // The failure lines, when there are any, are part of the time returned.
    TimerStop();
    return TimerElapsedMicroseconds();
}

uint32_t HostSession::GenerateSineWavA(double frequency, double seconds, uint32_t attenuation) {
    return GenerateSineWav(pSineGeneratorA, "Failed: pSineGeneratorA->PlaySineWav", frequency, seconds, attenuation);
}

uint32_t HostSession::GenerateSineWavB(double frequency, double seconds, uint32_t attenuation) {
    return GenerateSineWav(pSineGeneratorB, "Failed: pSineGeneratorB->PlaySineWav", frequency, seconds, attenuation);
}

// Sweeps are neither counted nor timed.
void HostSession::GenerateSweepWav(SineGenerator* generator, double freqStart, double freqEnd, double seconds,
                                   uint32_t attenuation) {
    if (generator == nullptr || !StartOnce()) return;
    generator->PlaySweepWav(asioDriverInfo.sampleRate, freqStart, freqEnd, seconds, attenuation);
}

void HostSession::GenerateSweepWavA(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    GenerateSweepWav(pSineGeneratorA, freqStart, freqEnd, seconds, attenuation);
}

void HostSession::GenerateSweepWavB(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    GenerateSweepWav(pSineGeneratorB, freqStart, freqEnd, seconds, attenuation);
}
