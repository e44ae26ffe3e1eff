// Tunes as data: a tune is a list of phrases, a phrase a list of steps, and
// one small loop plays them, so the tune tables read like a score and tests
// count the tune from exactly what the program plays.
// Thread: the player's only thread.
#pragma once

#include <span>

#include "player/note_timing.h"

enum class StepKind : uint8_t {
    WaitedNote,    // a note, then its length and the gap
    TwoVoices,     // one note on each channel, begun together
    LoneRest,      // silence, or the time an unwaited note still sounds
    UnwaitedNote,  // a note that sounds on under the steps after it
};

struct TuneStep {
    StepKind kind;
    Note first;
    Note second;
    double restSeconds;
};

using Phrase = std::span<const TuneStep>;

constexpr Note OnA(int number, double seconds, uint32_t attenuation) {
    return {Channel::A, number, seconds, attenuation};
}
constexpr Note OnB(int number, double seconds, uint32_t attenuation) {
    return {Channel::B, number, seconds, attenuation};
}
constexpr TuneStep Waited(Note note) { return {StepKind::WaitedNote, note, {}, 0.0}; }
constexpr TuneStep Unwaited(Note note) { return {StepKind::UnwaitedNote, note, {}, 0.0}; }
constexpr TuneStep Together(Note one, Note other) { return {StepKind::TwoVoices, one, other, 0.0}; }
constexpr TuneStep RestFor(double seconds) { return {StepKind::LoneRest, {}, {}, seconds}; }

void PlayPhrase(Phrase phrase);
// Plays the phrases with a key check after each; true as soon as a check
// finds a key-press waiting (the key stays unread).
bool PlayPhrasesUntilKey(std::span<const Phrase> phrases);
