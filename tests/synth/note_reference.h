// Test support: an independent model of a sine note (its schedule, its ideal
// samples computed one by one with std::sin, and their DC correction), and a
// check that plays a scheduled note on a generator block by block and holds
// it against the model. Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "synth/fast_sine.h"
#include "synth/sine_generator.h"

namespace note_reference {

struct Request {
    double sampleRate;
    double frequency;
    double seconds;
    uint32_t attenuation;
    uint32_t blockFrames;
    bool is16Bit;
};

// A note as it should sound. Samples are numbered from 1; sample k is at
// index k - 1.
struct Note {
    Request request{};
    bool playable = false;   // passes every refusal of the scheduler
    bool corrected = false;  // at most 10 s: measured and DC-corrected
    uint32_t cycles = 0, rampCycles = 0, rampSamples = 0, rel = 0, end = 0, capacity = 0;
    bool releaseMoved = false;
    std::vector<int32_t> truncated;  // before DC correction
    int64_t sum = 0;                 // of `truncated`
    int nearInteger = 0;             // samples whose truncation the generator's sine decides
    bool spread = false;             // the sum is cancelled by spreading
};

inline void ComputeSamples(const Request& r, Note& note) {
    const double fullScale = r.is16Bit ? 32767.0 : 2147483647.0;
    // 10^((20·log10(full scale) - dB) / 20), two units below full scale at 0 dB.
    const double fullScaleDb = r.is16Bit ? 90.30873362283398 : 186.63859730762366;
    const double amplitude = r.attenuation == 0 ? fullScale - 2 : std::pow(10.0, (fullScaleDb - r.attenuation) * 0.05);
    const double phaseInc = 6.283185307179586 / (r.sampleRate / r.frequency);
    const double envelopeStep = fullScale / (note.rampSamples + 1);
    note.truncated.assign(note.end, 0);
    note.nearInteger = 0;
    double phase = 0.0;
    double envelope = 0.0;
    for (uint32_t k = 1; k <= note.end; ++k) {
        phase += phaseInc;
        double gain = 1.0;
        if (k <= note.rampSamples) {
            envelope += envelopeStep;
            gain = envelope / fullScale;
        } else if (k > note.rel) {
            if (k == note.rel + 1) envelope = fullScale;
            envelope -= envelopeStep;
            gain = envelope / fullScale;
        }
        double x = std::sin(phase) * amplitude * gain;
        // So close to a whole number that two good double-precision sines may
        // truncate it one LSB apart: the generator's own sine (tested against
        // std::sin on its own) decides.
        if (std::fabs(x - std::round(x)) < 2e-15 * std::fabs(x) + 1e-9) {
            x = tonegate_synth::FastSine(phase) * amplitude * gain;
            ++note.nearInteger;
        }
        note.truncated[k - 1] = static_cast<int32_t>(x);
    }
    note.sum = std::accumulate(note.truncated.begin(), note.truncated.end(), int64_t{0});
}

inline Note Model(const Request& r) {
    Note note;
    note.request = r;
    const double spc = r.sampleRate / r.frequency;
    note.cycles = static_cast<uint32_t>(std::floor(r.frequency * r.seconds + 0.5));
    const double exact = note.cycles * spc;
    const uint32_t total = static_cast<uint32_t>(exact);
    if (note.cycles < 2 || total <= r.blockFrames) return note;
    const uint32_t half = note.cycles / 2;
    note.rampCycles = half * (1 / r.frequency) <= 0.01 ? half : std::min(half, static_cast<uint32_t>(std::ceil(r.frequency * 0.01)));
    note.rampSamples = static_cast<uint32_t>(note.rampCycles * spc) - 1;
    note.rel = static_cast<uint32_t>((note.cycles - note.rampCycles) * spc) + (exact != total ? 1 : 0);
    note.end = note.rampSamples + note.rel;
    if (note.end < 2 * (note.rampSamples + 1)) ++note.rel, ++note.end;
    if (note.rampSamples < 1) return note;
    note.playable = true;
    ComputeSamples(r, note);
    if (r.seconds > 10) return note;
    note.corrected = true;
    // A whole-sample note whose last two steady samples do not rise through
    // zero gets one more steady sample.
    if (exact == total && !(note.truncated[note.rel - 2] <= 0 && note.truncated[note.rel - 1] > 0)) {
        note.releaseMoved = true;
        ++note.rel, ++note.end;
        ComputeSamples(r, note);
    }
    const int64_t spareBlocks = static_cast<int64_t>(note.rel / r.blockFrames) - note.rampSamples / r.blockFrames;
    note.capacity = spareBlocks <= 0 ? 0 : static_cast<uint32_t>(spareBlocks - (note.rampSamples % r.blockFrames != 0 ? 1 : 0));
    note.spread = std::llabs(note.sum) > note.capacity + 3;
    return note;
}

// Where single-LSB corrections may land, in playing order: the last attack
// sample, the last sample of every block that is steady throughout, the last
// steady sample when the steady run starts in the release's block, the first
// release sample and, last of all, the note's last sample.
inline std::vector<uint32_t> CorrectionPlaces(const Note& note, uint32_t blockFrames) {
    std::vector<uint32_t> places{note.rampSamples};
    for (uint32_t last = blockFrames; last <= note.rel; last += blockFrames) {
        if (last - blockFrames >= note.rampSamples) places.push_back(last);
    }
    if (note.rampSamples / blockFrames == note.rel / blockFrames) places.push_back(note.rel);
    places.push_back(note.rel + 1);
    places.push_back(note.end);
    return places;
}

// The note's samples after DC correction: in nudge mode one LSB at each place
// while more than one step is left, the last place taking the final step; in
// spread mode -sum / end per sample, released in whole LSBs as it builds up,
// a leftover of 0.9 LSB or more settled on the last sample.
inline std::vector<int32_t> Corrected(const Note& note) {
    const uint32_t blockFrames = note.request.blockFrames;
    const bool is16Bit = note.request.is16Bit;
    std::vector<int32_t> samples = note.truncated;
    if (!note.corrected || note.sum == 0) return samples;
    if (!note.spread) {
        int64_t pending = -note.sum;
        const std::vector<uint32_t> places = CorrectionPlaces(note, blockFrames);
        for (size_t i = 0; i < places.size(); ++i) {
            const bool last = i + 1 == places.size();
            if (last ? pending != 0 : std::llabs(pending) > 1) {
                const int step = pending < 0 ? -1 : 1;
                samples[places[i] - 1] += step;
                pending -= step;
            }
        }
        return samples;
    }
    // A sample takes no more than its format's range allows; the rest stays
    // owed to the samples after it.
    const int64_t highest = is16Bit ? INT16_MAX : INT32_MAX;
    const int64_t lowest = is16Bit ? INT16_MIN : INT32_MIN;
    auto take = [&](int32_t& sample, int64_t wanted) {
        const int64_t fitting = std::clamp(int64_t{sample} + wanted, lowest, highest) - sample;
        sample = static_cast<int32_t>(sample + fitting);
        return wanted - fitting;
    };
    const double step = -(static_cast<double>(note.sum) / note.end);
    double leftover = 0.0;
    for (int32_t& sample : samples) {
        leftover += step;
        if (std::fabs(leftover) >= 1.0) {
            const double whole = std::trunc(leftover);
            leftover = leftover - whole + static_cast<double>(take(sample, static_cast<int64_t>(whole)));
        }
    }
    const int32_t settled = static_cast<int32_t>(std::fabs(leftover) + 0.1);
    take(samples.back(), leftover < 0 ? -settled : settled);
    return samples;
}

// Plays the generator's note to its end, every block appended; with
// `checkCopy` each block also goes to a second destination that must match.
template <typename Sample>
std::vector<int32_t> PlayNote(SineGenerator& g, uint32_t blockFrames, bool checkCopy, uint32_t maxBlocks) {
    std::vector<Sample> block(blockFrames), copy(blockFrames);
    std::vector<int32_t> played;
    for (uint32_t i = 0; i < maxBlocks && g.bSineActive; ++i) {
        Sample* copyTo = checkCopy ? copy.data() : nullptr;
        if constexpr (sizeof(Sample) == 4) {
            g.RenderSine32(block.data(), copyTo);
        } else {
            g.RenderSine16(block.data(), copyTo);
        }
        if (checkCopy) {
            EXPECT_EQ(copy, block) << "block " << i;
        }
        played.insert(played.end(), block.begin(), block.end());
    }
    return played;
}

// `g` was made for `r`'s block size and format.
inline std::vector<int32_t> PlayNote(SineGenerator& g, const Request& r, bool checkCopy = false,
                                     uint32_t maxBlocks = 1u << 20) {
    return r.is16Bit ? PlayNote<int16_t>(g, r.blockFrames, checkCopy, maxBlocks)
                     : PlayNote<int32_t>(g, r.blockFrames, checkCopy, maxBlocks);
}

// Plays the note `g` has just scheduled for `note` and checks it against the
// model: the same length in blocks, the same samples (the schedule and the
// correction mode decide them, corrections included), a sum of exactly 0 when
// corrected and zeros after the end.
inline void ExpectPlaysAsModelled(SineGenerator& g, const Note& note, bool checkCopy = false) {
    const uint32_t blockFrames = note.request.blockFrames;
    const uint32_t blocks = (note.end + blockFrames - 1) / blockFrames;
    const std::vector<int32_t> played = PlayNote(g, note.request, checkCopy, blocks + 1);
    EXPECT_FALSE(g.bSineActive);
    if (played.size() != static_cast<size_t>(blocks) * blockFrames) {
        ADD_FAILURE() << "played " << played.size() << " samples in place of " << blocks << " blocks";
        return;
    }
    EXPECT_TRUE(std::all_of(played.begin() + note.end, played.end(), [](int32_t v) { return v == 0; }));
    if (note.corrected) {
        EXPECT_EQ(std::accumulate(played.begin(), played.end(), int64_t{0}), 0);
    }
    const std::vector<int32_t> expected = Corrected(note);
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), played.begin());
    EXPECT_EQ(mismatch.first, expected.end()) << "sample " << (mismatch.first - expected.begin()) + 1 << " of " << note.end
                                              << " is " << *mismatch.second << ", not " << *mismatch.first;
}

}  // namespace note_reference
