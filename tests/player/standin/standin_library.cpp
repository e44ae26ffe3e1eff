// A stand-in for the Tonegate library, built as libTonegate.so in a folder
// of its own beside the test programs that load it. It exports the ten
// functions by name, records every call with its arguments (and its own
// loading and release) and answers from the test's script. Without a test
// program to report to, it appends its calls to the file named by
// TONEGATE_STANDIN_LOG, if set. Variants leave out one export.
// Thread: the player's only thread.
#define STANDIN_HOOK __attribute__((weak, visibility("default")))
#include "standin/standin_protocol.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "host/tonegate.h"

namespace {

StandinScript& Script() {
    static StandinScript defaults;
    return PlayerTestScript != nullptr ? *PlayerTestScript() : defaults;
}

void Record(const char* call, std::initializer_list<double> arguments = {}) {
    if (PlayerTestRecord != nullptr) {
        PlayerTestRecord(call, static_cast<int>(arguments.size()), arguments.begin());
        return;
    }
    const char* path = std::getenv("TONEGATE_STANDIN_LOG");
    if (path == nullptr) return;
    std::string line = call;
    for (double argument : arguments) line += " " + std::to_string(argument);
    if (FILE* log = std::fopen(path, "a")) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
}

uint32_t NextSetupMicros() {
    StandinScript& script = Script();
    if (script.setupMicros.empty()) return script.laterSetupMicros;
    const uint32_t micros = script.setupMicros.front();
    script.setupMicros.pop_front();
    return micros;
}

// Marks the library's arrival in the process and its release by the last
// FreeLibrary.
struct LoadedMark {
    LoadedMark() { Record("loaded"); }
    ~LoadedMark() { Record("released"); }
} loadedMark;

}  // namespace

extern "C" {

bool ASIOOpenDriver() {
    Record("ASIOOpenDriver");
    return Script().openDriver;
}

bool ASIOSystemInit(TonegateWindow window) {
    Record("ASIOSystemInit", {static_cast<double>(reinterpret_cast<uintptr_t>(window))});
    return Script().systemInit;
}

int32_t ASIOCloseDriver() {
    Record("ASIOCloseDriver");
    return 0;
}

bool ASIOEnableWav(bool enable) {
    Record("ASIOEnableWav", {enable ? 1.0 : 0.0});
    return enable;
}

bool ASIOSetSampleRate(uint32_t sampleRate) {
    Record("ASIOSetSampleRate", {static_cast<double>(sampleRate)});
    if (sampleRate == 96000) return Script().accept96000;
    return sampleRate == 48000 && Script().accept48000;
}

#ifndef STANDIN_WITHOUT_GET_SAMPLE_RATE
int32_t ASIOGetSampleRate() {
    Record("ASIOGetSampleRate");
    return 48000;
}
#endif

uint32_t ASIOGenerateSineWavA(double frequency, double seconds, uint32_t attenuation) {
    Record("ASIOGenerateSineWavA", {frequency, seconds, static_cast<double>(attenuation)});
    return NextSetupMicros();
}

uint32_t ASIOGenerateSineWavB(double frequency, double seconds, uint32_t attenuation) {
    Record("ASIOGenerateSineWavB", {frequency, seconds, static_cast<double>(attenuation)});
    return NextSetupMicros();
}

void ASIOGenerateSweepWavA(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    Record("ASIOGenerateSweepWavA", {freqStart, freqEnd, seconds, static_cast<double>(attenuation)});
}

#ifndef STANDIN_WITHOUT_SWEEP_B
void ASIOGenerateSweepWavB(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    Record("ASIOGenerateSweepWavB", {freqStart, freqEnd, seconds, static_cast<double>(attenuation)});
}
#endif

}  // extern "C"
