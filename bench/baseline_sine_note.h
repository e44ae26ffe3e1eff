// A straightforward note pre-pass for comparison with PlaySineWav: the same
// schedule, the whole note computed with std::sin, and computed a second time
// in full when the release moves. Thread: the benchmark's own.
#pragma once

#include <cstdint>

struct BaselineNote {
    uint32_t rampSamples;
    uint32_t rel;
    uint32_t end;
    bool releaseMoved;
    int32_t sum;
};

// False when the note has no schedule (too few cycles, one block) or is
// longer than 10 seconds.
bool BaselineMeasureNote(double sampleRate, double frequency, double seconds, uint32_t attenuation,
                         uint32_t blockFrames, bool is16Bit, BaselineNote& note);
