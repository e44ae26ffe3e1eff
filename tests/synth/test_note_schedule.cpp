// Note scheduling: the worked 1 kHz example, cycle and ramp rounding, the
// first sample, and every refusal (busy generator, too few cycles, one-block
// notes, unusable rates and buffer sizes, empty ramps, notes over 10 s).
// Thread: the test's own.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "note_reference.h"
#include "synth/sine_generator.h"

namespace {

using note_reference::Model;
using note_reference::Request;

TEST(NoteSchedule, WorkedExampleMovesTheReleaseOneSample) {
    const Request r{48000, 1000, 0.5, 0, 512, true};
    const note_reference::Note note = Model(r);
    ASSERT_TRUE(note.playable && note.corrected);
    EXPECT_EQ(note.cycles, 500u);
    EXPECT_EQ(note.rampCycles, 10u);
    EXPECT_EQ(note.rampSamples, 479u);
    EXPECT_EQ(note.truncated[23520 - 1], 0);  // s2 = 0: the steady run does not rise through zero
    EXPECT_TRUE(note.releaseMoved);
    EXPECT_EQ(note.rel, 23521u);  // block 45, sample 481
    EXPECT_EQ(note.end, 24000u);  // 47 blocks
    EXPECT_EQ(note.capacity, 44u);

    // Played sample for sample as modelled: the pre-pass leaves nothing
    // behind, so the note starts from scratch.
    SineGenerator g(512, true);
    ASSERT_TRUE(g.PlaySineWav(48000, 1000, 0.5, 0));
    EXPECT_TRUE(g.bSineActive);
    note_reference::ExpectPlaysAsModelled(g, note);
}

TEST(NoteSchedule, CyclesRoundHalvesUpAndRampsAreWholeCycles) {
    // 100 Hz × 0.025 s = 2.5 cycles -> 3; half = 1 cycle = 0.01 s exactly, so the ramp is 1 cycle.
    const note_reference::Note note = Model({48000, 100, 0.025, 0, 512, false});
    EXPECT_EQ(note.rampSamples, 479u);
    EXPECT_EQ(note.end, 1440u);
    SineGenerator g(512, false);
    ASSERT_TRUE(g.PlaySineWav(48000, 100, 0.025, 0));
    note_reference::ExpectPlaysAsModelled(g, note);
    // 1.49 cycles -> 1: too short.
    SineGenerator h(512, false);
    EXPECT_FALSE(h.PlaySineWav(48000, 149, 0.01, 0));
    EXPECT_FALSE(h.bSineActive);
    // 1.5 cycles -> 2.
    EXPECT_TRUE(h.PlaySineWav(48000, 15, 0.1, 0));
}

TEST(NoteSchedule, FirstSampleIsTheFirstAttackStep) {
    for (const bool is16Bit : {true, false}) {
        const Request r{44100, 441, 0.5, 6, 512, is16Bit};
        SineGenerator g(512, is16Bit);
        ASSERT_TRUE(g.PlaySineWav(44100, 441, 0.5, 6));
        const double phaseInc = 6.283185307179586 / (44100.0 / 441);
        // Ramps of 5 cycles of 100 samples: R + 1 = 500.
        const double expected = std::trunc(std::sin(phaseInc) * g.AmplitudeForAttenuation(6) * (1.0 / 500));
        const std::vector<int32_t> played = note_reference::PlayNote(g, r, false, 1);
        EXPECT_EQ(played[0], expected) << is16Bit;
        EXPECT_NE(played[0], 0);
    }
}

TEST(NoteSchedule, BusyGeneratorRefusesAndKeepsItsNote) {
    SineGenerator g(512, false);
    ASSERT_TRUE(g.PlaySineWav(48000, 440, 1.0, 0));
    EXPECT_FALSE(g.PlaySineWav(96000, 1000, 2.0, 0));
    g.PlaySweepWav(96000, 100, 1000, 1.0, 0);
    EXPECT_FALSE(g.bSweepActive);
    // Neither request touched the note.
    note_reference::ExpectPlaysAsModelled(g, Model({48000, 440, 1.0, 0, 512, false}));

    SineGenerator h(512, true);
    h.PlaySweepWav(48000, 100, 1000, 1.0, 0);
    ASSERT_TRUE(h.bSweepActive);
    EXPECT_FALSE(h.PlaySineWav(48000, 440, 1.0, 0));
    EXPECT_FALSE(h.bSineActive);
    // The sweep plays its 95 blocks undisturbed.
    std::vector<int16_t> block(512);
    uint32_t sweepBlocks = 0;
    for (; h.bSweepActive && sweepBlocks < 100; ++sweepBlocks) h.RenderSweep16(block.data(), nullptr);
    EXPECT_EQ(sweepBlocks, 95u);
}

TEST(NoteSchedule, RefusesNotesWithoutAUsableSchedule) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        uint32_t blockFrames;
        double rate, frequency, seconds;
    };
    for (const Case& c : {Case{"one block (480 samples)", 512, 48000, 1000, 0.01},
                          Case{"exactly one block", 480, 48000, 1000, 0.01},
                          Case{"NaN rate", 512, kNaN, 1000, 1},
                          Case{"infinite rate", 512, kInf, 1000, 1},
                          Case{"zero rate", 512, 0, 1000, 1},
                          Case{"negative rate", 512, -48000, 1000, 1},
                          Case{"no buffer", 0, 48000, 1000, 1},
                          Case{"NaN frequency", 512, 48000, kNaN, 1},
                          Case{"negative frequency and seconds", 16, 48000, -1000, -1},
                          Case{"infinite seconds", 512, 48000, 1000, kInf},
                          Case{"empty ramp (1.9 samples a cycle)", 1, 19, 10, 0.2}}) {
        SineGenerator g(c.blockFrames, false);
        EXPECT_FALSE(g.PlaySineWav(c.rate, c.frequency, c.seconds, 0)) << c.what;
        EXPECT_FALSE(g.bSineActive) << c.what;
    }
    // The same short notes play once there is room for two blocks and a ramp.
    SineGenerator g(479, false);
    EXPECT_TRUE(g.PlaySineWav(48000, 1000, 0.01, 0));
    SineGenerator h(1, false);
    EXPECT_TRUE(h.PlaySineWav(21, 10, 0.2, 0));
}

TEST(NoteSchedule, NotesOverTenSecondsPlayUncorrected) {
    SineGenerator g(512, false);
    ASSERT_TRUE(g.PlaySineWav(8000, 1001, 10.0, 0));  // ten seconds still go through the pre-pass
    note_reference::ExpectPlaysAsModelled(g, Model({8000, 1001, 10.0, 0, 512, false}));

    EXPECT_FALSE(g.PlaySineWav(8000, 1001, 10.01, 0));
    EXPECT_TRUE(g.bSineActive);
    const note_reference::Note longNote = Model({8000, 1001, 10.01, 0, 512, false});
    ASSERT_NE(longNote.sum, 0);  // so that a correction would show
    note_reference::ExpectPlaysAsModelled(g, longNote);
}

}  // namespace
