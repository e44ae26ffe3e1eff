// The analysis behind `tonegate check` and the tests' capture checks: a
// capture read with libsndfile in blocks (memory does not grow with its
// length), the items found on each channel (runs of sound between
// silences), and each item measured independently of the synthesis: a
// tone's frequency fitted over the whole item, ramps included, its whole
// cycles, ramps, level, exact sample sum and THD+N; a sweep's start and end
// frequencies and fade. Thread: the caller's one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tonegate_capture {

enum class ItemKind { Tone, Sweep };

struct Item {
    int channel = 0;  // 0: A (the first channel), 1: B
    ItemKind kind = ItemKind::Tone;
    int64_t start = 0;   // first frame of the item (its first sample that is not silence)
    int64_t onset = 0;   // frame where the sound begins: for a tone, where its attack starts from 0
                         // (a quiet tone's first samples may be silent)
    int64_t frames = 0;  // frames from the first to the last sample that is not silence
    double peak = 0;     // largest magnitude, in sample units
    double attenuation = 0;  // the peak in dB below full scale
    int64_t sum = 0;     // exact sum of the item's integer samples (0 for a float capture)
    // Tones
    double frequency = 0;   // Hz, fitted over the whole item
    double cycles = 0;      // frequency × length
    int64_t attack = 0;     // frames of the rising ramp
    int64_t release = 0;    // frames of the falling ramp
    double thdn = 0;        // dB, residual against the fitted tone (0 when shorter than 0.1 s)
    // Sweeps
    double from = 0, to = 0;  // Hz at the start and at the end
    int64_t fade = 0;         // frames of the final fade
};

struct Capture {
    std::string path;
    int rate = 0;
    int channels = 0;
    int bits = 0;            // 16, 24, 32 for integer captures; 32 or 64 for float
    bool floating = false;
    int64_t frames = 0;
    bool bitExact = false;   // integer samples with digital silence between the items
    int64_t clipped = 0;     // samples at either end of the range
    double dc[2] = {0, 0};   // mean of each channel, in full-scale units
    std::vector<Item> items; // in order of onset, channel A first on a tie
};

struct AnalysisOptions {
    double thresholdDb = -70;  // silence below this level (dBFS) in a recorded capture
    bool recorded = false;     // force the tolerant reading even for digital silence
};

// Reads and analyses the capture at `path`. False with the reason in `why`
// when the file cannot be read as audio.
bool AnalyseCapture(const std::string& path, const AnalysisOptions& options, Capture& capture, std::string& why);

// Full scale of an integer capture of `bits` bits (1.0 for float).
double FullScale(const Capture& capture);

}  // namespace tonegate_capture
