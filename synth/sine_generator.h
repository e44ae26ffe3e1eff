// SineGenerator: the single-voice tone generator of one output channel. It is
// idle, plays one sine note or plays one linear sweep, and renders it block by
// block straight into the card's 16-bit or 32-bit integer samples.
// Thread: both. PlaySineWav and PlaySweepWav on the caller's thread, the
// Render* operations on the real-time thread; the two public flags hand the
// object over between the two.
#pragma once

#include <atomic>
#include <cstdint>

namespace tonegate_synth {
// The synth's own code, which reaches the schedule and running state below.
struct NoteKernels;
struct NoteRenderer;
struct NoteScheduler;
struct SweepRenderer;
}  // namespace tonegate_synth

class SineGenerator {
public:
    SineGenerator(uint32_t bufferFrames, bool is16Bit);
    ~SineGenerator();
    SineGenerator(const SineGenerator&) = delete;
    SineGenerator& operator=(const SineGenerator&) = delete;

    // Schedules a note of whole cycles with equal ramps and, up to 10 seconds,
    // a zero DC sum. False when refused, and for a note longer than 10 seconds,
    // which plays without DC correction.
    bool PlaySineWav(double sampleRate, double frequency, double seconds, uint32_t attenuation);
    // Starts a sweep on an idle generator, or asks the playing sweep to start over.
    void PlaySweepWav(double sampleRate, double freqStart, double freqEnd, double seconds, uint32_t attenuation);
    // Per-frame gains of a sweep's fade-out block, falling linearly to 0.
    void BuildFadeTable(double* table, uint32_t n) const;

    // The next block of the note or sweep into `block` (the generator's
    // buffer frames), copied to `copyTo` as well when that is not null.
    void RenderSine32(int32_t* block, int32_t* copyTo);
    void RenderSine16(int16_t* block, int16_t* copyTo);
    void RenderSweep32(int32_t* block, int32_t* copyTo);
    void RenderSweep16(int16_t* block, int16_t* copyTo);

    // Peak amplitude in sample units for a whole number of dB below full scale.
    double AmplitudeForAttenuation(uint32_t attenuation) const;

    // Written with release and read with acquire: each is the last field its
    // writer touches, so the reader sees the whole note or sweep behind it.
    std::atomic<bool> bSineActive{false};
    std::atomic<bool> bSweepActive{false};

private:
    friend struct tonegate_synth::NoteKernels;
    friend struct tonegate_synth::NoteRenderer;
    friend struct tonegate_synth::NoteScheduler;
    friend struct tonegate_synth::SweepRenderer;

    // Phase, envelope, correction remainder, sum and stage counters back to the
    // start of a note.
    void ResetNoteState();

    int32_t nSampleSum = 0;
    int32_t nPendingCorrection = 0;
    uint32_t nFullScale = 0;
    uint32_t nRampSamples = 0;
    uint32_t nReleaseOffset = 0;
    uint32_t nReleaseBlock = 0;
    uint32_t nBlockIndex = 0;
    uint32_t nReleaseDone = 0;
    uint32_t nAttackDone = 0;
    uint32_t nNoteBlocks = 0;
    uint32_t nSweepBlocks = 0;
    uint32_t nSweepBlocksLeft = 0;
    uint32_t nBufferFrames = 0;
    double* pFadeTable = nullptr;
    double dCorrectionStep = 0.0;
    double dCorrectionAcc = 0.0;
    double dPhaseInc = 0.0;
    double dPhaseIncStep = 0.0;
    double dAmplitude = 0.0;
    double dPhase = 0.0;
    double dSampleRate = 0.0;
    double dSweepAmplitude = 0.0;
    double dSweepStartPhase = 0.0;
    double dSweepStartInc = 0.0;
    double dEnvelope = 0.0;
    double dEnvelopeStep = 0.0;
    double dSweepIncStep = 0.0;
    bool bAttackFinished = false;
    bool bReleaseStarted = false;
    bool bSpreadCorrection = false;
    // Set by the caller's thread while a sweep plays, cleared by the real-time thread.
    std::atomic<bool> bSweepRestart{false};
    bool b16Bit = false;
};
