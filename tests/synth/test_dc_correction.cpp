// DC correction over many notes: every note the generator accepts plays as
// the model says and sums to exactly 0, in nudge and in spread mode, in both
// formats. Thread: the test's own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "note_reference.h"
#include "synth/sine_generator.h"

namespace {

using note_reference::Model;
using note_reference::Request;

TEST(DcCorrection, RandomNotesSumToZeroInEveryModeAndFormat) {
    std::mt19937_64 random(4242);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    int notes = 0;
    int tiesBroken = 0;
    int modeCount[2][2] = {};  // [16-bit][spread]
    while (notes < 4000) {
        Request r;
        r.sampleRate = rates[random() % 6];
        r.frequency = 10.0 * std::pow(2205.0, unit(random));
        // Mostly short notes; one in twenty up to 10 s.
        r.seconds = (random() % 20 == 0) ? 0.01 * std::pow(1000.0, unit(random)) : 0.01 * std::pow(20.0, unit(random));
        r.attenuation = static_cast<uint32_t>(random() % 61);
        r.blockFrames = 32u << (random() % 8);
        r.is16Bit = random() % 2 == 0;
        SineGenerator g(r.blockFrames, r.is16Bit);
        const bool accepted = g.PlaySineWav(r.sampleRate, r.frequency, r.seconds, r.attenuation);
        const note_reference::Note note = Model(r);
        ASSERT_EQ(accepted, note.playable) << r.frequency << " Hz, " << r.seconds << " s";
        if (!accepted) continue;
        SCOPED_TRACE(testing::Message() << r.sampleRate << " Hz rate, " << r.frequency << " Hz, " << r.seconds << " s, "
                                        << r.attenuation << " dB, B = " << r.blockFrames << (r.is16Bit ? ", 16-bit" : ", 32-bit"));
        note_reference::ExpectPlaysAsModelled(g, note, /*checkCopy=*/notes % 8 == 0);
        ++modeCount[r.is16Bit][note.spread];
        tiesBroken += note.nearInteger;
        ++notes;
        if (HasFatalFailure() || HasNonfatalFailure()) break;
    }
    std::printf("%d notes (%d samples next to a whole number); nudge/spread: 16-bit %d/%d, 32-bit %d/%d\n", notes,
                tiesBroken, modeCount[1][0], modeCount[1][1], modeCount[0][0], modeCount[0][1]);
    for (const auto& format : modeCount) {
        EXPECT_GT(format[0], 50);
        EXPECT_GT(format[1], 50);
    }
}

}  // namespace

// At full level, a short 32-bit note's spread correction can come to dozens of
// LSBs on a sample already within a few LSBs of full scale. Added as it
// stands, the sample would wrap to the other end of the range: a full-scale
// click and a sum off by 2^32. The sample takes what fits and the rest goes
// to the samples after it, so the note still sums to exactly 0.
TEST(DcCorrection, ASpreadCorrectionAtFullScaleNeverWrapsASample) {
    for (const Request& r : {Request{44100, 748.981, 0.017, 0, 256, false}, Request{44100, 226.316, 0.013, 0, 256, false},
                             Request{44100, 1499.718, 0.013, 0, 256, false}}) {
        SCOPED_TRACE(testing::Message() << r.frequency << " Hz, " << r.seconds << " s");
        const note_reference::Note note = Model(r);
        ASSERT_TRUE(note.spread);
        SineGenerator g(r.blockFrames, r.is16Bit);
        ASSERT_TRUE(g.PlaySineWav(r.sampleRate, r.frequency, r.seconds, r.attenuation));
        note_reference::ExpectPlaysAsModelled(g, note);
    }
}
