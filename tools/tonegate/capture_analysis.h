// The analysis behind `tonegate check` and the tests' capture checks: a
// capture read in blocks (memory does not grow with its length), from a file
// with libsndfile or from samples held in memory, the items found on each channel (runs of sound between
// silences), and each item measured independently of the synthesis: a
// tone's frequency fitted over the whole item, ramps included, its whole
// cycles, ramps, level, exact sample sum and THD+N; a sweep's start and end
// frequencies and fade. Thread: the caller's one thread.
#pragma once

#include <cstdint>
#include <memory>
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

// Where the analysis reads the samples: frames in blocks, interleaved, each
// sample in sample units (integers as written; floats in full-scale units),
// from any frame on.
class SampleSource {
public:
    virtual ~SampleSource() = default;
    // Frames read into `samples` (room for `frames` × channels); 0 at the end.
    virtual int64_t Read(double* samples, int64_t frames) = 0;
    virtual bool Seek(int64_t frame) = 0;

    int channels = 0;
    int rate = 0;
    int bits = 0;
    bool floating = false;
};

// Samples the caller holds, one vector per channel (a capture read whole).
class HeldSamples : public SampleSource {
public:
    HeldSamples(const std::vector<int32_t>* channelSamples, int channelCount, int sampleRate, int sampleBits);
    int64_t Read(double* samples, int64_t frames) override;
    bool Seek(int64_t frame) override;

private:
    const std::vector<int32_t>* channels_;
    int64_t next_ = 0;
};

// Analyses what `source` holds; `capture.path` is left to the caller. False
// with the reason in `why` when it cannot be read.
bool AnalyseSamples(SampleSource& source, const AnalysisOptions& options, Capture& capture, std::string& why);

#ifdef TONEGATE_WITH_SNDFILE
// The capture file at `path` read with libsndfile (WAV, FLAC, any bit depth);
// null with the reason in `why` when it cannot be read as audio.
std::unique_ptr<SampleSource> OpenCaptureFile(const std::string& path, std::string& why);

// Reads and analyses the capture at `path`.
bool AnalyseCapture(const std::string& path, const AnalysisOptions& options, Capture& capture, std::string& why);
#endif

// Full scale of an integer capture of `bits` bits (1.0 for float).
double FullScale(const Capture& capture);

}  // namespace tonegate_capture
