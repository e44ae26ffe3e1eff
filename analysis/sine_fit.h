// The fits that measure an item: its samples (held or read again), the
// envelope of its ramps, and a sine or chirp fitted to every sample by
// Gauss-Newton, its ramps refined on the samples, and what it leaves.
// Thread: the caller's one thread.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "analysis/capture_analysis.h"
#include "analysis/item_finder.h"

namespace tonegate_capture {

constexpr double kTwoPi = 6.283185307179586;
// A wave that never holds its frequency (a tone, or a sweep before its fade).
constexpr double kNoHold = std::numeric_limits<double>::infinity();

// The samples of one item on one channel, for the passes that measure it:
// kept in memory when the item is short enough (most are, and the passes
// then cost no reading), read again from the source for each pass
// otherwise, so that memory stays bounded whatever the capture's length.
class ItemSamples {
public:
    ItemSamples(SampleSource& source, int channel, int64_t first, int64_t frames);

    int64_t frames() const { return frames_; }
    int64_t first() const { return first_; }

    // Calls `visit(n, sample)` for every frame n of [from, from + count) of
    // the item (defined where the fits use it).
    template <typename Visit>
    bool ForEach(int64_t from, int64_t count, Visit visit);

private:
    static constexpr int64_t kHeldFrames = int64_t{1} << 21;
    SampleSource& source_;
    int channel_;
    int64_t first_, frames_;
    std::vector<double> held_;
    bool readable_ = true;
};

// The ramps' envelope: 0 before the attack, rising linearly to 1, falling
// linearly to 0 at the release's end. A ramp without frames is abrupt.
struct Envelope {
    Ramp attack, release;
    double operator()(double n) const {
        double g = 1.0;
        if (attack.frames > 0) g = std::min(g, (n - attack.zeroAt) / attack.frames);
        if (release.frames > 0) g = std::min(g, (release.zeroAt - n) / release.frames);
        return std::clamp(g, 0.0, 1.0);
    }
};

// y ≈ g·(c1 cos θ + c2 sin θ) + γ·sign(...), θ = ω·m + α·m²/2 with m the
// frame from `middle` (α = 0 for a tone). The phase is held in long double:
// a 60 s note has tens of millions of radians, where a double's rounding
// alone would be a visible fraction of a 32-bit sample.
struct SineFit {
    long double omega = 0;
    long double alpha = 0;
    double middle = 0;
    double c1 = 0, c2 = 0;
    double gamma = 0;  // how the samples were made integers: truncation toward 0 gives -1/2

    long double Phase(double m) const { return omega * m + 0.5L * alpha * m * m; }
    double Amplitude() const { return std::hypot(c1, c2); }
    // Hz at frame n (from the item's first).
    double FrequencyAt(double n, double rate) const {
        return static_cast<double>((omega + alpha * (n - middle)) * rate / kTwoPi);
    }
};

// Fits the sine (chirp: and its sweep rate) over [from, from + count) of
// the item, `rounds` Gauss-Newton rounds of one pass each over every frame;
// `truncation`: also fit γ (integer samples).
bool FitSine(ItemSamples& samples, int64_t from, int64_t count, const Envelope& envelope, int rounds, bool chirp,
             bool truncation, SineFit& fit);

// The same, first over a short stretch round the middle of [from, to) and
// then over ever longer ones up to all of it.
bool FitGrowing(ItemSamples& samples, int64_t from, int64_t to, const Envelope& envelope, bool chirp, SineFit& fit);

// The sine and both ramps fitted as one (a note without a steady part,
// whose loudness only the top between the ramps tells), at most `rounds`
// damped rounds over every frame; both ramps must have frames.
bool FitSineAndRamps(ItemSamples& samples, int rounds, SineFit& fit, Envelope& envelope);

// What the sine at the fit's frequency under `envelope` leaves of the item,
// its amplitude and phase fitted afresh: a sum of squares, to compare
// envelopes by.
double EnvelopeMisfit(ItemSamples& samples, const SineFit& fit, const Envelope& envelope);

// What the wave (its amplitude as fitted) under `envelope` leaves of the
// item's frames from `from` on, holding its frequency from `holdFrom`.
double TailMisfit(ItemSamples& samples, const SineFit& fit, int64_t from, const Envelope& envelope, double holdFrom);

// What the wave (its amplitude as fitted, unfaded and unheld) leaves of
// the frames [from, bound) for each of the ascending `bounds`, in one pass;
// empty when the samples cannot be read.
std::vector<double> LeadingMisfits(ItemSamples& samples, const SineFit& fit, int64_t from,
                                   const std::vector<int64_t>& bounds);

// A bit-exact capture's ramp placed to the frame: its zero and length as
// whole frames within `reach` of the estimate, the pair whose samples, made
// integers (truncated toward zero or rounded, whichever does better), come
// nearest the capture over the ramp's frames.
// A fit of a quiet ramp's line is a few frames off where truncation leaves
// its first samples 0; the samples themselves pin it.
void SnapRamp(ItemSamples& samples, const SineFit& fit, double holdFrom, bool rising, int reach, Ramp& ramp);

// A ramp's line refined on the samples of [from, from + count) against the
// fitted wave W at unit gain: y ≈ (p·n + q)·W(n) + γ·sign(W(n)). `holdFrom`:
// the frame from which the wave keeps the frequency it has reached (a
// sweep's fade); none for a tone. `integers`: truncation is fitted too,
// where `ramp` as it stands puts the wave.
bool RefineRamp(ItemSamples& samples, int64_t from, int64_t count, const SineFit& fit, double holdFrom, bool integers,
                Ramp& ramp);

// What the fitted wave under `envelope` leaves over the whole item: the
// residual's and the wave's sums of squares over [steadyFrom, steadyTo)
// (the truncation term is left in the residual: it is the format's own
// error), and the stretches of `window` frames whose residual exceeds
// `share` of the steady wave's power (none when `window` is 0).
// `steadyWindow`: also the residual's sum of squares over each window of
// that many frames of the steady part, from its first frame.
struct Residual {
    int64_t steadyFrom = 0, steadyTo = 0;
    int64_t steadyWindow = 0;
    double residual = 0, wave = 0;
    std::vector<double> steadyWindows;
    std::vector<Item::Gap> gaps;  // frames from the item's first
};
bool MeasureResidual(ItemSamples& samples, const SineFit& fit, const Envelope& envelope, double holdFrom,
                     int64_t window, double share, Residual& result);

}  // namespace tonegate_capture
