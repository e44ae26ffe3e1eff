// Tests of the player's note table: 60 equal-tempered semitones whose every
// ninth-of-twelve entry is an exact octave of 110 Hz, built from a
// single-precision base. Thread: the test's own.
#include <gtest/gtest.h>

#include <cmath>

#include "player/note_timing.h"

namespace {

TEST(NoteTable, HoldsSixtySemitonesWithExactOctavesOfA) {
    ASSERT_TRUE(CreateNoteArray());
    EXPECT_EQ(pNoteArray[9], 110.0);
    EXPECT_EQ(pNoteArray[21], 220.0);
    EXPECT_EQ(pNoteArray[33], 440.0);
    EXPECT_EQ(pNoteArray[45], 880.0);
    EXPECT_EQ(pNoteArray[57], 1760.0);
    EXPECT_NEAR(pNoteArray[0], 65.40639133, 1e-8);
    EXPECT_NEAR(pNoteArray[12], 130.8127827, 1e-7);
    EXPECT_NEAR(pNoteArray[59], 1975.533205, 1e-6);
    for (int note = 1; note < kNoteCount; ++note)
        EXPECT_NEAR(pNoteArray[note] / pNoteArray[note - 1], std::pow(2.0, 1.0 / 12), 1e-12) << note;
    ReleaseNoteArray();
    EXPECT_EQ(pNoteArray, nullptr);
}

TEST(NoteTable, AnOctaveRunsFromNineSemitonesBelowItsBaseToTwoAbove) {
    double octave[12];
    FillOctave(100.0, octave);
    EXPECT_EQ(octave[9], 100.0);
    EXPECT_DOUBLE_EQ(octave[0], 100.0 * std::pow(2.0, -9.0 / 12));
    EXPECT_DOUBLE_EQ(octave[11], 100.0 * std::pow(2.0, 2.0 / 12));
}

TEST(NoteTable, TheBaseIsSinglePrecisionAndDoublesPerOctave) {
    double entries[24];
    FillOctaves(110.1f, 2, entries);
    EXPECT_EQ(entries[9], static_cast<double>(110.1f));
    EXPECT_NE(entries[9], 110.1);
    EXPECT_EQ(entries[21], static_cast<double>(110.1f) * 2);
}

}  // namespace
