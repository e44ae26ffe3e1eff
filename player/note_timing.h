// The note table (60 equal-tempered semitones from 65.4 Hz), notes started
// by number on channel A or B, the pacing that keeps a fixed gap after each
// note whatever the library's start-up cost, and the two-voice step that
// starts one note on each channel at the same instant.
// Thread: the player's only thread.
#pragma once

#include <cstdint>

constexpr int kNoteCount = 60;
constexpr uint32_t MIN_GAP_MICROS = 1000;

// The note table, entry k for note number k; null until CreateNoteArray.
extern double* pNoteArray;
// Set-up times of the notes started without waiting since the last Rest.
extern uint32_t dwPendingMicros;

bool CreateNoteArray();
void ReleaseNoteArray();
void FillOctaves(float baseFrequency, int octaveCount, double* entries);
void FillOctave(double baseFrequency, double* entries);

// `wait` true: sleep through the note and the gap after it; false: return at
// once and leave its set-up time for the next Rest to take out of the gap.
void PlayNoteA(int noteNumber, double seconds, uint32_t attenuation, bool wait);
void PlayNoteB(int noteNumber, double seconds, uint32_t attenuation, bool wait);
// Sleeps `seconds` and a gap shortened by the pending set-up times.
void Rest(double seconds);

enum class Channel : uint8_t { A, B };

struct Note {
    Channel channel;
    int number;
    double seconds;
    uint32_t attenuation;
};

void PlayNote(const Note& note, bool wait);
// One note on each channel, both sounding from the same buffer: output is
// paused while they are requested, the longer first (channel A first when
// they are equally long), then the player rests for the shorter one.
void PlayTwoVoices(const Note& one, const Note& other);
