// SineGenerator's construction and destruction, the amplitude law shared by
// notes and sweeps, and the reset of a note's running state.
// Thread: caller's thread (construction, destruction, note and sweep set-up).
#include "synth/sine_generator.h"

#include <cfenv>
#include <cmath>

namespace {

// 20·log10 of the full scale of each format.
constexpr double kFullScaleDb16 = 90.30873362283398;
constexpr double kFullScaleDb32 = 186.63859730762366;

}  // namespace

SineGenerator::SineGenerator(uint32_t bufferFrames, bool is16Bit) {
    b16Bit = is16Bit;
    nFullScale = is16Bit ? 32767u : 2147483647u;
    bSineActive.store(false, std::memory_order_release);
    bSweepActive.store(false, std::memory_order_release);
    pFadeTable = nullptr;
    nBufferFrames = bufferFrames;
    // Default precision and rounding with every exception masked, whatever a
    // host program left behind: the samples depend on them.
    std::fesetenv(FE_DFL_ENV);
}

SineGenerator::~SineGenerator() {
    delete[] pFadeTable;
    pFadeTable = nullptr;
}

double SineGenerator::AmplitudeForAttenuation(uint32_t attenuation) const {
    // Two units below full scale at 0 dB.
    if (attenuation == 0) return b16Bit ? 32765.0 : 2147483645.0;
    const double fullScaleDb = b16Bit ? kFullScaleDb16 : kFullScaleDb32;
    return std::pow(10.0, (fullScaleDb - attenuation) * 0.05);
}

void SineGenerator::ResetNoteState() {
    dEnvelope = 0.0;
    dPhase = 0.0;
    dCorrectionAcc = 0.0;
    nSampleSum = 0;
    nAttackDone = 0;
    nReleaseDone = 0;
    nBlockIndex = 0;
    bAttackFinished = false;
    bReleaseStarted = false;
}
