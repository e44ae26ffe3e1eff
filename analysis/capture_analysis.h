// The analysis behind `tonegate check` and the tests' capture checks: a
// capture read in blocks (memory does not grow with its length), from a file
// or from samples held in memory, the items found on each channel (runs of
// sound between silences), and each item measured independently of the
// synthesis. A tone: its frequency, amplitude and phase fitted over every
// sample of the item under its measured envelope; its whole cycles, ramps,
// onset, exact sample sum and THD+N over its steady part. A sweep: its phase
// fitted as a chirp, its start and end frequencies and fade. Anything else
// (noise, DC, a click) is reported as what it is, with its level.
// Thread: the caller's one thread; nothing here keeps global state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tonegate_capture {

enum class ItemKind { Tone, Sweep, Other };

// "tone", "sweep", "other": the names the reports use.
const char* KindName(ItemKind kind);

struct Item {
    int channel = 0;  // 0: A, 1: B (the capture's channels chosen for them)
    ItemKind kind = ItemKind::Tone;
    int64_t start = 0;   // first frame of the item (its first sample that is not silence)
    int64_t frames = 0;  // frames from the first to the last sample that is not silence
    // Where the sound begins. A tone: the first frame after its attack's zero
    // (where a linear attack's first sample is), found from the attack itself
    // whatever the starting phase; an abrupt tone: its first frame. A sweep:
    // the frame where its fitted phase is 0 just before its first sample.
    int64_t onset = 0;
    double peak = 0;        // largest magnitude, in sample units
    double peakDb = 0;      // the peak in dB below full scale
    double attenuation = 0; // the level: a tone's or sweep's fitted amplitude (other: its RMS × √2) in dB below full scale
    int64_t sum = 0;        // exact sum of the item's integer samples
    bool hasSum = false;    // false for a float capture, which has no exact sum
    // Tones
    double frequency = 0;     // Hz, fitted over every sample of the item
    double cycles = 0;        // frequency × the note's length (onset to its release's end)
    int64_t wholeCycles = 0;  // cycles rounded to the nearest whole number
    int64_t attack = 0;       // samples inside the rising ramp (gain above 0, below 1); 0: abrupt
    int64_t release = 0;      // samples inside the falling ramp; 0: abrupt
    bool thdnMeasured = false;
    double thdn = 0;          // dB, what the fitted tone leaves, against the tone
    bool thdnSteady = false;  // measured over the steady part between the ramps (else over the whole item)
    // Sweeps
    double from = 0, to = 0;  // Hz at the onset and at the end of the fade
    int64_t fade = 0;         // samples inside the final fade
    // What the fitted sound leaves, RMS in sample units (tones and sweeps).
    double residualRms = 0;
    // Stretches inside the item where the sound breaks off or jumps (a
    // dropout, a skip, a click in it): frames from the capture's start.
    struct Gap {
        int64_t start = 0;
        int64_t frames = 0;
    };
    std::vector<Gap> gaps;
    // Other: what it is ("noise", "DC", "a click"); any kind: a figure that
    // could not be measured and why (empty when everything was).
    std::string what;
    std::string unmeasured;
};

struct Capture {
    std::string path;
    std::string format;      // as the file says: "PCM 16-bit", "float 32-bit", "u-law", ...
    int rate = 0;
    int channels = 0;        // channels in the file
    int analysedChannels = 0;// how many of them are read as A and B (1 for mono)
    int channelA = 0, channelB = 1;  // which file channels are A and B (from 0)
    int bits = 0;            // 8, 16, 24, 32 for integer captures; 32 or 64 for float
    bool floating = false;
    int64_t frames = 0;
    int64_t declaredFrames = 0;  // what the file's header says it holds (frames when it says nothing else)
    bool bitExact = false;   // exact zeros between items and tones exactly as a generator writes them
    double thresholdDb = 0;  // the silence threshold of the recorded reading, dBFS (given or from the noise floor)
    int64_t clipped = 0;     // samples at either end of the range
    double dc[2] = {0, 0};   // mean of each channel, in full-scale units
    std::vector<Item> items; // in order of onset, channel A first on a tie
};

struct AnalysisOptions {
    bool thresholdGiven = false;  // else the recorded reading finds it from the capture's noise floor
    double thresholdDb = -70;     // silence below this level (dBFS) in a recorded capture
    bool recorded = false;        // force the tolerant reading even for digital silence
    int channelA = 0, channelB = 1;  // which of the file's channels to read as A and B
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
    std::string format;          // the file's own name of its sample format
    int64_t declaredFrames = -1; // what the header says, where it says more than the file holds; -1 unknown
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

// The capture file at `path` as a sample source (WAV, FLAC, any bit depth;
// with libsndfile, or a plain WAV reader where the build has none); null with
// the reason in `why` when it cannot be read as audio.
std::unique_ptr<SampleSource> OpenCaptureFile(const std::string& path, std::string& why);

// Reads and analyses the capture at `path`.
bool AnalyseCapture(const std::string& path, const AnalysisOptions& options, Capture& capture, std::string& why);

// Full scale of an integer capture of `bits` bits (1.0 for float).
double FullScale(const Capture& capture);

}  // namespace tonegate_capture
