// A straightforward note pre-pass for comparison with PlaySineWav: every
// sample with std::sin, the whole note twice when the release moves.
// Thread: the benchmark's own.
#include "baseline_sine_note.h"

#include <algorithm>
#include <cmath>

namespace {

// The note's truncated samples summed in 32-bit wrapping arithmetic; the
// last two steady samples in `lastSteady`.
uint32_t SumOfNote(double phaseInc, double amplitude, double fullScale, const BaselineNote& note, int32_t lastSteady[2]) {
    const double envelopeStep = fullScale / (note.rampSamples + 1);
    double phase = 0.0;
    double envelope = 0.0;
    uint32_t sum = 0;
    for (uint32_t k = 1; k <= note.end; ++k) {
        phase += phaseInc;
        double x = std::sin(phase) * amplitude;
        if (k <= note.rampSamples) {
            envelope += envelopeStep;
            x = x * (envelope / fullScale);
        } else if (k > note.rel) {
            if (k == note.rel + 1) envelope = fullScale;
            envelope -= envelopeStep;
            x = x * (envelope / fullScale);
        }
        const int32_t v = static_cast<int32_t>(x);
        if (k + 1 == note.rel) lastSteady[0] = v;
        if (k == note.rel) lastSteady[1] = v;
        sum += static_cast<uint32_t>(v);
    }
    return sum;
}

}  // namespace

bool BaselineMeasureNote(double sampleRate, double frequency, double seconds, uint32_t attenuation,
                         uint32_t blockFrames, bool is16Bit, BaselineNote& note) {
    const double spc = sampleRate / frequency;
    const uint32_t cycles = static_cast<uint32_t>(std::floor(frequency * seconds + 0.5));
    const double exact = cycles * spc;
    const uint32_t total = static_cast<uint32_t>(exact);
    if (cycles < 2 || total <= blockFrames || seconds > 10) return false;
    const uint32_t half = cycles / 2;
    const uint32_t rampCycles = half / frequency <= 0.01 ? half : std::min(half, static_cast<uint32_t>(std::ceil(frequency * 0.01)));
    note.rampSamples = static_cast<uint32_t>(rampCycles * spc) - 1;
    note.rel = static_cast<uint32_t>((cycles - rampCycles) * spc) + (exact != total ? 1 : 0);
    note.end = note.rampSamples + note.rel;
    if (note.end < 2 * (note.rampSamples + 1)) ++note.rel, ++note.end;

    const double fullScale = is16Bit ? 32767.0 : 2147483647.0;
    const double amplitude = attenuation == 0 ? fullScale - 2
                                              : std::pow(10.0, ((is16Bit ? 90.30873362283398 : 186.63859730762366) - attenuation) * 0.05);
    const double phaseInc = 6.283185307179586 / (sampleRate / frequency);
    int32_t lastSteady[2] = {};
    uint32_t sum = SumOfNote(phaseInc, amplitude, fullScale, note, lastSteady);
    note.releaseMoved = exact == total && !(lastSteady[0] <= 0 && lastSteady[1] > 0);
    if (note.releaseMoved) {
        ++note.rel;
        ++note.end;
        sum = SumOfNote(phaseInc, amplitude, fullScale, note, lastSteady);
    }
    note.sum = static_cast<int32_t>(sum);
    return true;
}
