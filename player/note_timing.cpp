// The note table, note pacing and the two-voice step.
// Thread: the player's only thread.
#include "player/note_timing.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "player/library_binding.h"
#include "player/system_calls.h"
#include "player/tune.h"

double* pNoteArray = nullptr;
uint32_t dwPendingMicros = 0;

namespace {

constexpr int kNotesPerOctave = 12;
constexpr int kOctaveCount = kNoteCount / kNotesPerOctave;

void SleepThrough(double seconds, uint32_t gapMicros) {
    playerSystem.sleep(static_cast<DWORD>(std::trunc((seconds + gapMicros * 0.000001) * 1000)));
}

// A slow start eats into the gap, but never below the floor.
void FinishNote(uint32_t setupMicros, double seconds, bool wait) {
    if (!wait) {
        dwPendingMicros += setupMicros;  // wraps modulo 2^32
        return;
    }
    uint32_t gap = MIN_GAP_MICROS;
    if (setupMicros < GAP_TARGET_MICROS && GAP_TARGET_MICROS - setupMicros > MIN_GAP_MICROS)
        gap = GAP_TARGET_MICROS - setupMicros;
    SleepThrough(seconds, gap);
}

}  // namespace

bool CreateNoteArray() {
    pNoteArray = new (std::nothrow) double[kNoteCount];
    if (pNoteArray == nullptr) {
        std::printf("\nCouldn't create the note array! - Out of memory\n");
        return false;
    }
    FillOctaves(110.0f, kOctaveCount, pNoteArray);
    return true;
}

void ReleaseNoteArray() {
    delete[] pNoteArray;
    pNoteArray = nullptr;
}

void FillOctaves(float baseFrequency, int octaveCount, double* entries) {
    for (int octave = 0; octave < octaveCount; ++octave) {
        FillOctave(baseFrequency, entries + octave * kNotesPerOctave);
        baseFrequency *= 2.0f;  // exact in single precision
    }
}

// The base is step 9 of its octave (an A), so the octave runs from nine
// semitones below it to two above.
void FillOctave(double baseFrequency, double* entries) {
    constexpr double kSemitone = 1.0 / kNotesPerOctave;
    for (int step = -9; step <= 2; ++step)
        entries[step + 9] = step == 0 ? baseFrequency : baseFrequency * std::pow(2.0, step * kSemitone);
}

void PlayNoteA(int noteNumber, double seconds, uint32_t attenuation, bool wait) {
    FinishNote(pLibrary->pASIOGenerateSineWavA(pNoteArray[noteNumber], seconds, attenuation), seconds, wait);
}

void PlayNoteB(int noteNumber, double seconds, uint32_t attenuation, bool wait) {
    FinishNote(pLibrary->pASIOGenerateSineWavB(pNoteArray[noteNumber], seconds, attenuation), seconds, wait);
}

void Rest(double seconds) {
    uint32_t gap = dwPendingMicros >= GAP_TARGET_MICROS ? 0 : GAP_TARGET_MICROS - dwPendingMicros;
    dwPendingMicros = 0;
    if (gap < MIN_GAP_MICROS) gap = MIN_GAP_MICROS;
    SleepThrough(seconds, gap);
}

void PlayNote(const Note& note, bool wait) {
    if (note.channel == Channel::A)
        PlayNoteA(note.number, note.seconds, note.attenuation, wait);
    else
        PlayNoteB(note.number, note.seconds, note.attenuation, wait);
}

void PlayTwoVoices(const Note& one, const Note& other) {
    const bool oneFirst = one.seconds > other.seconds || (one.seconds == other.seconds && one.channel == Channel::A);
    const Note& longer = oneFirst ? one : other;
    const Note& shorter = oneFirst ? other : one;
    pLibrary->pASIOEnableWav(false);
    PlayNote(longer, false);
    PlayNote(shorter, false);
    pLibrary->pASIOEnableWav(true);
    Rest(shorter.seconds);
}
