// One item measured on its own: a tone's sine fitted under its ramps, a
// sweep's chirp under its fade, or neither. Thread: the caller's one thread.
#include "analysis/item_measure.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/analysis_limits.h"
#include "analysis/sine_fit.h"

namespace tonegate_capture {

namespace {

// THD+N below this is reported as this: only a float capture of a pure
// sine comes near, and a logarithm of 0 is no figure.
constexpr double kLowestThdnDb = -300;

// Rounds of a ramp's refinement: each takes in frames surely inside it, so
// a first estimate half a ramp too long is right after three or four.
constexpr int kRampRounds = 8;
// Rounds of the joint fit of a note without a steady part, at most: from
// estimates a few frames off it settles in 10 to 30.
constexpr int kJointRounds = 40;
// Items with fewer crossings than this start their tone fit from a grid of
// frequencies, this fine.
constexpr int64_t kFewCrossings = 16;
constexpr int kFewCyclesGrid = 60;
// Frames either way a bit-exact capture's ramp is placed within: the fits
// leave a quiet 16-bit note's ramps up to a few frames off.
constexpr int kSnapReach = 4;
// Units a tone's ramp sample steps by from which its line's fit places it
// to the frame by itself (the generator's truth finds so from one unit).
constexpr double kPlacedStep = 4;
// A sweep's fade is taken to be at most this share of it (one block of
// three or more), and is searched in lengths growing by this factor.
constexpr double kLongestFadeShare = 1.0 / 3;
constexpr double kFadeSearchStep = 1.25;
// A first estimate that leaves less than this share of a note steady may be
// a note without a steady part whose ramps the first pass took short.
constexpr double kShortSteadyShare = 0.25;

int64_t Inside(double frame) { return static_cast<int64_t>(std::floor(frame)); }

// The frames between the attack's end and the release's start.
void SteadyPart(const Envelope& envelope, int64_t frames, int64_t& from, int64_t& to) {
    from = envelope.attack.frames > 0 ? static_cast<int64_t>(std::ceil(envelope.attack.zeroAt + envelope.attack.frames))
                                      : 0;
    to = envelope.release.frames > 0 ? Inside(envelope.release.zeroAt - envelope.release.frames) : frames;
    from = std::clamp<int64_t>(from, 0, frames);
    to = std::clamp<int64_t>(to, from, frames);
}

// A first ramp for the fits to refine: the first pass's line where it found
// one; else up to its first half-cycle at full level; else half the item.
Ramp FirstRamp(const Ramp& found, bool rising, int64_t frames) {
    if (found.frames > 0 || found.abrupt) return found;
    const double end = static_cast<double>(frames);
    Ramp guess;
    if (found.edge >= 0) {
        guess.frames = rising ? found.edge : end - found.edge;
    } else {
        guess.frames = end / 2;
    }
    guess.zeroAt = rising ? 0 : end;
    return guess;
}

// A refined ramp is kept when it is one: rising or falling within the item.
bool Plausible(const Ramp& ramp, int64_t frames) {
    const double length = static_cast<double>(frames);
    return ramp.frames >= 1 && ramp.frames <= 2 * length && ramp.zeroAt > -length && ramp.zeroAt < 2 * length;
}

// Both ramps refined against `fit` on the frames each surely covers.
bool RefineRamps(ItemSamples& samples, const SineFit& fit, double holdFrom, bool integers, Envelope& envelope) {
    const int64_t frames = samples.frames();
    Envelope refined = envelope;
    if (envelope.attack.frames > 0) {
        const int64_t to = Inside(envelope.attack.zeroAt + (1 - kRampMargin) * envelope.attack.frames);
        if (!RefineRamp(samples, 0, to, fit, holdFrom, integers, refined.attack) || !Plausible(refined.attack, frames))
            refined.attack = envelope.attack;
    }
    if (envelope.release.frames > 0) {
        const int64_t from = Inside(envelope.release.zeroAt - (1 - kRampMargin) * envelope.release.frames) + 1;
        if (!RefineRamp(samples, from, frames - from, fit, holdFrom, integers, refined.release) ||
            !Plausible(refined.release, frames))
            refined.release = envelope.release;
    }
    const bool moved = std::fabs(refined.attack.frames - envelope.attack.frames) > 0.05 ||
                       std::fabs(refined.attack.zeroAt - envelope.attack.zeroAt) > 0.05 ||
                       std::fabs(refined.release.frames - envelope.release.frames) > 0.05 ||
                       std::fabs(refined.release.zeroAt - envelope.release.zeroAt) > 0.05;
    envelope = refined;
    return moved;
}

double Decibels(double ratio) { return ratio > 0 ? std::max(10 * std::log10(ratio), kLowestThdnDb) : kLowestThdnDb; }

// A tone without a steady part: the sine fitted under the envelope, its
// ramps refined, their lengths searched, then all fitted as one.
bool FitRampedTone(ItemSamples& samples, const Reading& reading, SineFit& fit, Envelope& envelope) {
    const int64_t frames = samples.frames();
    if (!FitGrowing(samples, 0, frames, envelope, false, fit)) return false;
    RefineRamps(samples, fit, kNoHold, reading.integers, envelope);
    if (envelope.attack.frames <= 0 || envelope.release.frames <= 0)
        return FitSine(samples, 0, frames, envelope, 2, false, reading.integers, fit);
    if (!FitSineAndRamps(samples, kJointRounds, fit, envelope)) return false;
    // Ramps that meet below full level leave the amplitude above their
    // meeting unseen (the samples are the same for any): they are taken to
    // meet at it, the least amplitude the samples allow.
    Ramp& attack = envelope.attack;
    Ramp& release = envelope.release;
    const double meeting = (attack.zeroAt * release.frames + release.zeroAt * attack.frames) /
                           (attack.frames + release.frames);
    const double top = (meeting - attack.zeroAt) / attack.frames;
    if (top > 0 && top < 1) {
        fit.c1 *= top, fit.c2 *= top;
        attack.frames *= top, release.frames *= top;
    }
    return true;
}

// A tone with a steady part: the sine fitted over it, its ramps measured
// against that sine (and the sine again where they moved its bounds), then
// the sine fitted over every frame under the measured envelope. False also
// when the ramps leave no steady part after all.
bool FitSteadyTone(ItemSamples& samples, const Reading& reading, SineFit& fit, Envelope& envelope) {
    const int64_t frames = samples.frames();
    const double period = kTwoPi / static_cast<double>(fit.omega);
    int64_t steadyFrom = 0, steadyTo = frames;
    for (int round = 0; round < kRampRounds; ++round) {
        int64_t from = 0, to = 0;
        SteadyPart(envelope, frames, from, to);
        if (static_cast<double>(to - from) <= 4 * period) return false;
        const bool refit = round == 0 || std::llabs(from - steadyFrom) > 2 || std::llabs(to - steadyTo) > 2;
        if (refit) {
            const Envelope none;
            const bool fitted = round == 0 ? FitGrowing(samples, from, to, none, false, fit)
                                           : FitSine(samples, from, to - from, none, 1, false, false, fit);
            if (!fitted) return false;
            steadyFrom = from, steadyTo = to;
        }
        if (!RefineRamps(samples, fit, kNoHold, reading.integers, envelope) && !refit) break;
    }
    if (!FitSine(samples, 0, frames, envelope, 2, false, reading.integers, fit)) return false;
    if (RefineRamps(samples, fit, kNoHold, reading.integers, envelope) &&
        !FitSine(samples, 0, frames, envelope, 1, false, reading.integers, fit))
        return false;
    return true;
}

// A tone: fitted as one with a steady part, or without; where the first
// estimate leaves the steady part short, both, and the one that explains
// the item better is kept.
bool FitTone(ItemSamples& samples, double omega, const Reading& reading, SineFit& fit, Envelope& envelope) {
    const int64_t frames = samples.frames();
    fit.omega = omega;
    fit.middle = static_cast<double>(frames) / 2;
    int64_t from = 0, to = 0;
    SteadyPart(envelope, frames, from, to);
    const double periods = static_cast<double>(to - from) * omega / kTwoPi;
    SineFit steadyFit = fit, rampedFit = fit;
    Envelope steadyEnvelope = envelope, rampedEnvelope = envelope;
    const bool steady = periods > 4 && FitSteadyTone(samples, reading, steadyFit, steadyEnvelope);
    const bool ramped = (!steady || static_cast<double>(to - from) < kShortSteadyShare * static_cast<double>(frames)) &&
                        FitRampedTone(samples, reading, rampedFit, rampedEnvelope);
    if (!steady && !ramped) return false;
    const bool takeRamped = ramped && (!steady || EnvelopeMisfit(samples, rampedFit, rampedEnvelope) <
                                                      EnvelopeMisfit(samples, steadyFit, steadyEnvelope));
    fit = takeRamped ? rampedFit : steadyFit;
    envelope = takeRamped ? rampedEnvelope : steadyEnvelope;
    return true;
}

void DescribeTone(const SineFit& fit, const Envelope& envelope, const Reading& reading, int64_t frames, Item& item) {
    item.kind = ItemKind::Tone;
    item.frequency = fit.FrequencyAt(fit.middle, reading.rate);
    const Ramp& attack = envelope.attack;
    const Ramp& release = envelope.release;
    // The note's first sample is one frame after its attack's zero (where a
    // linear attack's gain would be 0), its last one frame before its
    // release's zero; an abrupt end is the item's own.
    const int64_t first = attack.frames > 0 ? std::llround(attack.zeroAt) + 1 : 0;
    const int64_t last = release.frames > 0 ? std::llround(release.zeroAt) - 1 : frames - 1;
    item.onset = item.start + first;
    item.attack = attack.frames > 0 ? std::max<int64_t>(std::llround(attack.frames) - 1, 0) : 0;
    item.release = release.frames > 0 ? std::max<int64_t>(std::llround(release.frames) - 1, 0) : 0;
    item.cycles = item.frequency * static_cast<double>(last - first + 1) / reading.rate;
    item.wholeCycles = std::llround(item.cycles);
}

// Fills THD+N, the residual and the gaps from one pass over the item;
// `steadyWindow`: the steady part's residual also kept by windows that long.
bool DescribeResidual(ItemSamples& samples, const SineFit& fit, const Envelope& envelope, double holdFrom,
                      const Reading& reading, int64_t steadyFrom, int64_t steadyTo, int64_t steadyWindow, Item& item,
                      double& thdn, Residual& residual) {
    residual.steadyFrom = steadyFrom, residual.steadyTo = steadyTo, residual.steadyWindow = steadyWindow;
    const int64_t window = reading.recorded ? std::max<int64_t>(std::llround(kGapWindowSeconds * reading.rate), 4) : 0;
    if (!MeasureResidual(samples, fit, envelope, holdFrom, window, kGapResidualShare, residual)) return false;
    thdn = Decibels(residual.wave > 0 ? residual.residual / residual.wave : 0);
    const int64_t counted = std::max<int64_t>(steadyTo - steadyFrom, 1);
    item.residualRms = std::sqrt(residual.residual / static_cast<double>(counted));
    item.gaps.clear();
    for (Item::Gap gap : residual.gaps) item.gaps.push_back({item.start + gap.start, gap.frames});
    return true;
}

// The steady part less its ends whose windows leave more than
// kSteadyEndExcess times the median window's residual, at most a half
// from each; false when nothing is trimmed.
bool TrimSteadyEnds(const Residual& residual, int64_t& from, int64_t& to) {
    const std::vector<double>& windows = residual.steadyWindows;
    const auto count = static_cast<int64_t>(windows.size());
    if (count < kSteadyEndFewestWindows) return false;
    std::vector<double> full(windows.begin(), windows.end() - 1);  // the last may be short
    std::nth_element(full.begin(), full.begin() + static_cast<int64_t>(full.size() / 2), full.end());
    const double limit = kSteadyEndExcess * full[full.size() / 2];
    if (!(limit > 0)) return false;
    const int64_t window = residual.steadyWindow;
    const auto lastFrames = static_cast<double>(residual.steadyTo - residual.steadyFrom - (count - 1) * window);
    const auto excess = [&](int64_t i) {
        const double scale = i == count - 1 ? static_cast<double>(window) / lastFrames : 1.0;
        return windows[static_cast<size_t>(i)] * scale > limit;
    };
    int64_t head = 0, tail = 0;
    while (head < count / 2 && excess(head)) ++head;
    while (tail < count / 2 && excess(count - 1 - tail)) ++tail;
    if (head == 0 && tail == 0) return false;
    from = residual.steadyFrom + head * window;
    if (tail > 0) to = residual.steadyFrom + (count - tail) * window;
    return true;
}

// An item of a few cycles: its crossings tell its frequency only to a
// part in their number, too coarse for the fit to start from. The frequency
// whose sine under the first envelope leaves least, on a grid from one
// crossing fewer to one more, where one does better than the crossings.
double FewCyclesFrequency(ItemSamples& samples, const Span& span, double omega, const Envelope& envelope) {
    if (span.crossingCount >= kFewCrossings) return omega;
    const double frames = static_cast<double>(samples.frames());
    const double lowest = kTwoPi / 2 * static_cast<double>(span.crossingCount - 1) / frames;
    const double highest = kTwoPi / 2 * static_cast<double>(span.crossingCount + 2) / frames;
    SineFit trial;
    trial.middle = frames / 2;
    trial.omega = omega;
    double best = omega, least = EnvelopeMisfit(samples, trial, envelope);
    for (int step = 0; step <= kFewCyclesGrid; ++step) {
        trial.omega = lowest + (highest - lowest) * step / kFewCyclesGrid;
        if (!(trial.omega > 0)) continue;
        const double misfit = EnvelopeMisfit(samples, trial, envelope);
        if (misfit < least) least = misfit, best = static_cast<double>(trial.omega);
    }
    return best;
}

bool MeasureTone(ItemSamples& samples, const Span& span, const Reading& reading, Item& item) {
    const int64_t frames = samples.frames();
    // Half a period a crossing; an item with too few for a line, from its count.
    const double halfPeriod = span.crossings.Fitted()
                                  ? span.crossings.Slope()
                                  : static_cast<double>(frames) / static_cast<double>(span.crossingCount + 1);
    const double omega = kTwoPi / std::max(2 * halfPeriod, kFewestFramesPerPeriod);
    Envelope envelope{FirstRamp(span.attack, true, frames), FirstRamp(span.release, false, frames)};
    SineFit fit;
    if (!FitTone(samples, FewCyclesFrequency(samples, span, omega, envelope), reading, fit, envelope)) return false;
    // A ramp whose samples step by several units each is where its line's
    // fit put it already; a quieter one is placed by its samples.
    if (reading.integers && !reading.recorded) {
        if (fit.Amplitude() < kPlacedStep * envelope.attack.frames)
            SnapRamp(samples, fit, kNoHold, true, kSnapReach, envelope.attack);
        if (fit.Amplitude() < kPlacedStep * envelope.release.frames)
            SnapRamp(samples, fit, kNoHold, false, kSnapReach, envelope.release);
    }
    DescribeTone(fit, envelope, reading, frames, item);
    int64_t steadyFrom = 0, steadyTo = 0;
    SteadyPart(envelope, frames, steadyFrom, steadyTo);
    // A period or more (the stretch between the ramps loses a frame at each end to rounding).
    item.thdnSteady = static_cast<double>(steadyTo - steadyFrom + 2) >= kTwoPi / static_cast<double>(fit.omega);
    if (!item.thdnSteady) steadyFrom = 0, steadyTo = frames;
    // THD+N as an analyser reads it: what is left once the sine that best
    // fits the stretch is taken out (the fit above also modelled truncation,
    // to find the tone's own amplitude; truncation is distortion here).
    SineFit notch = fit;
    if (item.thdnSteady && !FitSine(samples, steadyFrom, steadyTo - steadyFrom, Envelope{}, 1, false, false, notch))
        notch = fit;
    const auto period = static_cast<int64_t>(std::ceil(kTwoPi / static_cast<double>(fit.omega)));
    const int64_t window = item.thdnSteady ? std::max(kSteadyEndShortestWindow, period) : 0;
    Residual residual;
    if (!DescribeResidual(samples, notch, envelope, kNoHold, reading, steadyFrom, steadyTo, window, item, item.thdn,
                          residual))
        return false;
    // A fade that is not linear: the sine fitted again without its end.
    if (window > 0 && TrimSteadyEnds(residual, steadyFrom, steadyTo) &&
        FitSine(samples, steadyFrom, steadyTo - steadyFrom, Envelope{}, 1, false, false, notch) &&
        !DescribeResidual(samples, notch, envelope, kNoHold, reading, steadyFrom, steadyTo, 0, item, item.thdn, residual))
        return false;
    item.thdnMeasured = true;
    item.attenuation = 20 * std::log10(reading.fullScale / fit.Amplitude());
    return true;
}

// The fade whose envelope leaves least of the frames from `from` on, among
// the first pass's estimate, no fade, and lengths growing by a quarter from
// two frames up to that stretch: a sweep's fade can be shorter than its
// half-cycles, which the first pass then cannot see. Before a fade's first
// frame the wave is the unfaded one, whose misfit one pass gives for every
// candidate; each candidate then costs only its own frames.
Ramp SearchFade(ItemSamples& samples, const SineFit& fit, int64_t from, const Ramp& estimate) {
    const int64_t frames = samples.frames();
    std::vector<Ramp> fades;
    for (double length = 2; length < static_cast<double>(frames - from); length *= kFadeSearchStep)
        fades.push_back({static_cast<double>(frames), length});
    if (estimate.frames > 0) fades.push_back(estimate);
    const auto firstFaded = [&](const Ramp& fade) {
        return std::clamp<int64_t>(Inside(fade.zeroAt - fade.frames) + 1, from, frames);
    };
    std::sort(fades.begin(), fades.end(), [&](const Ramp& x, const Ramp& y) { return firstFaded(x) < firstFaded(y); });
    std::vector<int64_t> bounds;
    for (const Ramp& fade : fades) bounds.push_back(firstFaded(fade));
    bounds.push_back(frames);
    const std::vector<double> leading = LeadingMisfits(samples, fit, from, bounds);
    if (leading.empty()) return {};
    Ramp best;
    double least = leading.back();
    for (size_t i = 0; i < fades.size(); ++i) {
        Envelope trial;
        trial.release = fades[i];
        const double misfit =
            leading[i] + TailMisfit(samples, fit, bounds[i], trial, fades[i].zeroAt - fades[i].frames + 1);
        if (misfit < least) least = misfit, best = fades[i];
    }
    return best;
}

// A sweep: its chirp fitted over the frames before its fade (whose
// frequency holds), the fade measured against it, the chirp fitted again.
bool FitSweep(ItemSamples& samples, const Span& span, bool integers, SineFit& fit, Envelope& envelope) {
    const int64_t frames = samples.frames();
    // The crossings' count is the phase in half-cycles: a parabola of the
    // frame for a linear sweep, which gives the chirp its first estimate.
    double a = 0, b = 0, c = 0;
    if (!span.phase.Solve(a, b, c)) return false;
    envelope = Envelope{};
    const auto fadeStart = [&] {
        return envelope.release.frames > 0
                   ? std::clamp<int64_t>(Inside(envelope.release.zeroAt - envelope.release.frames), 4, frames)
                   : frames;
    };
    // The chirp first over the frames that surely precede any fade, then
    // the fade found among lengths up to that stretch's end.
    const int64_t surelyBefore = std::max<int64_t>(frames - static_cast<int64_t>(kLongestFadeShare * static_cast<double>(frames)), 4);
    fit.middle = static_cast<double>(surelyBefore) / 2;
    fit.omega = kTwoPi / 2 * (b + 2 * c * fit.middle);
    fit.alpha = kTwoPi * c;
    if (!(fit.omega > 0) || !FitGrowing(samples, 0, surelyBefore, Envelope{}, true, fit)) return false;
    envelope.release = SearchFade(samples, fit, surelyBefore, FirstRamp(span.release, false, frames));
    // The fade converges on its own (each round's stretch lies further
    // inside it); the chirp is fitted again once it has.
    const auto refineFade = [&](int rounds) {
        for (int round = 0; round < rounds && envelope.release.frames > 0; ++round)
            if (!RefineRamps(samples, fit, envelope.release.zeroAt - envelope.release.frames + 1, integers, envelope)) break;
    };
    refineFade(kRampRounds);
    if (envelope.release.frames > 0 && !FitSine(samples, 0, fadeStart(), Envelope{}, 1, true, false, fit)) return false;
    refineFade(2);
    return true;
}

bool MeasureSweep(ItemSamples& samples, const Span& span, const Reading& reading, Item& item, double& residualDb) {
    SineFit fit;
    Envelope envelope;
    if (!FitSweep(samples, span, reading.integers, fit, envelope)) return false;
    if (reading.integers && !reading.recorded)
        SnapRamp(samples, fit, envelope.release.zeroAt - envelope.release.frames + 1, false, kSnapReach, envelope.release);
    const int64_t frames = samples.frames();
    const Ramp& fade = envelope.release;
    const double hold = fade.frames > 0 ? fade.zeroAt - fade.frames + 1 : kNoHold;
    // A sweep starts at phase 0: the frame nearest its first sample where
    // the fitted phase is (a quiet sweep's first samples truncate to 0, a
    // recorded one's start below the threshold), from ω0·n + α·n²/2 = -ψ.
    const double phase = static_cast<double>(fit.Phase(-fit.middle)) + std::atan2(fit.c1, fit.c2);
    const double wrapped = phase - kTwoPi * std::round(phase / kTwoPi);
    const double omega0 = static_cast<double>(fit.omega - fit.alpha * fit.middle), alpha = static_cast<double>(fit.alpha);
    const double discriminant = omega0 * omega0 - 2 * alpha * wrapped;
    const double start = alpha != 0 && discriminant >= 0 ? (-omega0 + std::sqrt(discriminant)) / alpha : -wrapped / omega0;
    const double end = fade.frames > 0 ? fade.zeroAt + 1 : static_cast<double>(frames);
    item.kind = ItemKind::Sweep;
    item.onset = item.start + std::llround(start);
    // A sampled sweep's frequency at a frame is its phase's step from there
    // to the next frame: the chirp's slope half a frame later.
    item.from = fit.FrequencyAt(start + 0.5, reading.rate);
    item.to = fit.FrequencyAt(end + 0.5, reading.rate);
    item.fade = fade.frames > 0 ? std::max<int64_t>(std::llround(fade.frames) - 1, 0) : 0;
    item.attenuation = 20 * std::log10(reading.fullScale / fit.Amplitude());
    const int64_t sweepTo = fade.frames > 0 ? Inside(fade.zeroAt - fade.frames) : frames;
    Residual residual;
    return DescribeResidual(samples, fit, envelope, hold, reading, 0, std::max<int64_t>(sweepTo, 1), 0, item, residualDb,
                            residual);
}

// A frequency a capture at this rate can hold.
bool InBand(double frequency, const Reading& reading) { return frequency > 0 && frequency < reading.rate / 2; }

// Neither a tone nor a sweep: named by its shape, its level from its RMS.
void DescribeOther(const Span& span, const Reading& reading, Item& item) {
    item.kind = ItemKind::Other;
    const double frames = static_cast<double>(item.frames);
    const double rms = std::sqrt(span.energy / frames);
    const double mean = std::fabs(static_cast<double>(span.sum)) / frames;
    item.what = span.crossingCount < kFewestCrossings && mean > 0.5 * rms ? "DC"
                : frames < kRecordedGapSeconds * reading.rate              ? "a click"
                                                                           : "noise";
    item.attenuation = rms > 0 ? 20 * std::log10(reading.fullScale / (rms * std::sqrt(2.0))) : 0;
    item.frequency = item.from = item.to = 0;
    item.thdnMeasured = false;
    item.gaps.clear();
    item.unmeasured = span.crossingCount < kFewestCrossings
                          ? "frequency and THD+N: too few zero crossings to tell a frequency"
                          : "frequency and THD+N: neither a tone's nor a sweep's fit explains it";
}

}  // namespace

bool MeasureItem(SampleSource& source, int channel, const Span& span, const Reading& reading, Item& item) {
    item.channel = channel;
    item.start = item.onset = span.first;
    item.frames = span.last - span.first + 1;
    item.peak = span.peak;
    item.peakDb = span.peak > 0 ? 20 * std::log10(reading.fullScale / span.peak) : 0;
    item.hasSum = reading.integers;
    item.sum = reading.integers ? span.sum : 0;
    if (span.crossingCount < kFewestCrossings) {
        DescribeOther(span, reading, item);
        return true;
    }
    ItemSamples samples(source, channel, span.first, item.frames);
    // A tone's half-cycles keep their frequency; a sweep's move it. Each is
    // tried in that order of likelihood, and kept when its fit explains the item.
    double a = 0, b = 0, c = 0;
    const bool curved = span.phase.Solve(a, b, c);
    const double frames = static_cast<double>(item.frames);
    const bool sweepFirst = curved && span.crossingCount >= kFewCrossings &&
                            std::fabs(2 * c * frames) > kSweepMovesShare * std::fabs(b + c * frames);
    Item tone = item, sweep = item;
    double sweepResidual = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if ((attempt == 0) != sweepFirst) {
            if (MeasureTone(samples, span, reading, tone) && tone.thdn <= kKindResidualDb) {
                item = tone;
                return true;
            }
        } else {
            if (MeasureSweep(samples, span, reading, sweep, sweepResidual) && sweepResidual <= kKindResidualDb &&
                std::fabs(sweep.to - sweep.from) > 1 && InBand(sweep.from, reading) && InBand(sweep.to, reading)) {
                item = sweep;
                return true;
            }
        }
    }
    DescribeOther(span, reading, item);
    return true;
}

}  // namespace tonegate_capture
