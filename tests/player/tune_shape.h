// Test support: the shape of a tune counted from its log as the player
// played it. Thread: the test's own.
#pragma once

#include <algorithm>
#include <map>
#include <set>

#include "player_harness.h"

namespace player_test {

struct TuneShape {
    int phrases = 0;  // key checks
    std::map<char, int> notesOnChannel;
    int twoVoiceSteps = 0;
    std::set<int> attenuations;
    std::set<std::string> lengths;
    int lowestNote = 99;
    int highestNote = -1;
    std::vector<int> phrasesWithUnwaitedNotes;  // 1-based
    double seconds = 0;
};

struct NoteEntry {
    char channel;
    int number;
    std::string length;
    int attenuation;
    int Millis() const { return static_cast<int>(std::stod(length) * 1000 + 0.5); }
};

inline bool IsNote(const std::string& entry) { return entry.rfind("ASIOGenerateSineWav", 0) == 0; }
inline bool IsSleep(const std::string& entry) { return entry.rfind("Sleep ", 0) == 0; }

inline NoteEntry ParseNote(const std::string& entry) {
    const std::vector<std::string> parts = Split(entry.substr(21), '/');
    return {entry[19], std::stoi(parts[0]), parts[1], std::stoi(parts[2])};
}

// Also checks, as it goes, the rules the tunes keep: a two-voice step pairs
// the two channels and requests the longer note first (A first when they
// are equally long); while its longer note still sounds, the waited notes
// are on the other channel; and a note outside a two-voice step is followed
// by a sleep (an unwaited one by a sleep shorter than itself).
inline TuneShape ShapeOf(const Log& tune) {
    TuneShape shape;
    char soundingOn = 0;  // the channel whose longer note still sounds
    int soundingMillis = 0;
    for (size_t i = 0; i < tune.size(); ++i) {
        const std::string& entry = tune[i];
        if (entry == "KeyWaiting") ++shape.phrases;
        if (IsSleep(entry)) shape.seconds += std::stoi(entry.substr(6)) / 1000.0;
        if (!IsNote(entry) && entry != "ASIOEnableWav 0") continue;
        std::vector<NoteEntry> notes;
        if (entry == "ASIOEnableWav 0") {
            if (i + 3 >= tune.size() || !IsNote(tune[i + 1]) || !IsNote(tune[i + 2]) || tune[i + 3] != "ASIOEnableWav 1") {
                ADD_FAILURE() << "a two-voice step is two notes between pause and resume, at " << i;
                continue;
            }
            const NoteEntry longer = ParseNote(tune[i + 1]), shorter = ParseNote(tune[i + 2]);
            EXPECT_NE(longer.channel, shorter.channel) << i;
            EXPECT_TRUE(longer.Millis() > shorter.Millis() || (longer.Millis() == shorter.Millis() && longer.channel == 'A'))
                << "the longer note first, A first when equal, at " << i;
            ++shape.twoVoiceSteps;
            soundingOn = longer.channel;
            soundingMillis = longer.Millis() - shorter.Millis();
            notes = {longer, shorter};
            i += 3;
        } else {
            const NoteEntry note = ParseNote(entry);
            notes = {note};
            if (i + 1 >= tune.size() || !IsSleep(tune[i + 1])) {
                ADD_FAILURE() << "a single note is followed by a sleep, at " << i;
            } else if (std::stoi(tune[i + 1].substr(6)) < note.Millis()) {
                shape.phrasesWithUnwaitedNotes.push_back(shape.phrases + 1);
            }
            if (soundingMillis > 0) {
                EXPECT_NE(note.channel, soundingOn) << "under a sounding longer note, at " << i;
            }
            soundingMillis -= note.Millis();
        }
        for (const NoteEntry& note : notes) {
            ++shape.notesOnChannel[note.channel];
            shape.lowestNote = std::min(shape.lowestNote, note.number);
            shape.highestNote = std::max(shape.highestNote, note.number);
            shape.lengths.insert(note.length);
            shape.attenuations.insert(note.attenuation);
        }
    }
    return shape;
}

}  // namespace player_test
