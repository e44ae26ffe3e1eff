// The capture analysis: one pass over the whole capture finds and surveys
// the items and takes the capture's figures; then each item is read again
// from its first frame and fitted. Thread: the caller's one thread.
#include "analysis/capture_analysis.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tonegate_capture {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int64_t kBlockFrames = 16384;
// Silence that parts two items: in a bit-exact capture a run of exact zeros
// (a quiet note's crossings hold far shorter ones), in a recorded one a run
// below the threshold.
constexpr double kExactGapSeconds = 0.002;
constexpr int64_t kExactGapFrames = 64;
constexpr double kRecordedGapSeconds = 0.005;
// A recorded item shorter than this is a click, not a sound.
constexpr double kShortestRecordedItem = 0.001;
// A ramp's half-cycles are those below this share of the item's peak.
constexpr double kRampShare = 0.9;
// Each fit visits at most this many frames of an item, evenly strided: the
// samples are exact, so a subset spread over the whole item fits it as well
// as every frame would, at a fraction of the time.
constexpr int64_t kFittedFrames = 4096;
// Half-cycles kept at each end of an item to measure its ramps.
constexpr size_t kEdgeHalfCycles = 256;
constexpr double kShortestMeasuredTone = 0.1;
// A ramp is refined on its frames up to this share short of its estimated
// end, so that no steady frame is taken for a ramp's.
constexpr double kRampMargin = 0.03;

// Calls `visit(n, sample)` for `count` frames of one channel from `first`,
// n counted from 0.
template <typename Visit>
bool ForEachSample(SampleSource& file, int channel, int64_t first, int64_t count, Visit visit) {
    if (!file.Seek(first)) return false;
    std::vector<double> block(static_cast<size_t>(kBlockFrames * file.channels));
    for (int64_t done = 0; done < count;) {
        const int64_t got = file.Read(block.data(), std::min(count - done, kBlockFrames));
        if (got <= 0) return false;
        for (int64_t i = 0; i < got; ++i) visit(done + i, block[static_cast<size_t>(i * file.channels + channel)]);
        done += got;
    }
    return true;
}

// Least-squares line y = a + b·x, fed point by point, each with its weight.
struct Line {
    int64_t points = 0;
    double n = 0, x = 0, y = 0, xx = 0, xy = 0;
    void Add(double px, double py, double weight = 1) {
        ++points;
        n += weight, x += weight * px, y += weight * py, xx += weight * px * px, xy += weight * px * py;
    }
    bool Fitted() const { return points >= 2 && n > 0 && n * xx - x * x > 0; }
    double Slope() const { return (n * xy - x * y) / (n * xx - x * x); }
    double At(double px) const { return (y - Slope() * x) / n + Slope() * px; }
};

struct HalfCycle {
    double middle;  // frame of the half-cycle's middle, from the item's start
    double length;  // frames between its two crossings
    double peak;
};

// A linear ramp from its half-cycle peaks: where it starts (frame of zero
// level) and how many frames it takes to reach `peak`. The ramp's half-cycles
// are those at the item's end (its start for a rising ramp) before the first
// that reaches nine tenths of the peak.
struct Ramp {
    double zeroAt = 0;
    double frames = 0;
};

template <typename HalfCycles>
Ramp FitRamp(const HalfCycles& halves, double peak, bool rising) {
    Line line;
    const auto add = [&](const HalfCycle& half) {
        if (half.peak >= kRampShare * peak) return false;
        line.Add(half.middle, half.peak);
        return true;
    };
    if (rising) {
        for (auto half = halves.begin(); half != halves.end() && add(*half); ++half) {}
    } else {
        for (auto half = halves.rbegin(); half != halves.rend() && add(*half); ++half) {}
    }
    Ramp ramp;
    if (!line.Fitted() || line.Slope() == 0 || (line.Slope() > 0) != rising) return ramp;
    ramp.zeroAt = line.At(0) / -line.Slope();
    ramp.frames = std::fabs(peak / line.Slope());
    return ramp;
}

// One item as the first pass finds it: where it is, its peak and exact sum,
// its crossings (half a period a step), how its frequency moves, and its
// ramps, from the peaks of the half-cycles at its two ends. Positions are
// frames from the item's first frame. Small, so that a long capture's many
// items cost little memory.
struct Span {
    int64_t first = 0, last = 0;
    double peak = 0;
    int64_t sum = 0;
    Line crossings;  // crossing position against its count
    Line trend;      // frequency of each half-cycle against its middle
    Ramp attack, release;
};

// Splits one channel into items while it surveys them: runs of samples
// louder than `level`, parted by at least `gap` quieter frames. Crossings are
// told apart with hysteresis: a rise counts once the signal has gone above
// the level after being below minus the level, at the last place it passed
// zero (interpolated between the two samples round it).
class Segmenter {
public:
    Segmenter(double level, int64_t gap, double rate) : level_(level), gap_(gap), rate_(rate) {}

    // Frames [first, first + count) of one channel, every `step`-th value of
    // `samples`. The state the loop touches on every sample lives in locals
    // (kept in registers) and goes back to the members round each event.
    void Feed(const double* samples, int step, int64_t first, int64_t count) {
        int64_t last = span_.last, sum = span_.sum, origin = span_.first;
        double peak = span_.peak, previous = previous_, halfPeak = halfPeak_;
        double lastRise = lastRise_, lastFall = lastFall_;
        int state = state_;
        const auto save = [&] {
            span_.last = last, span_.sum = sum, span_.peak = peak;
            previous_ = previous, halfPeak_ = halfPeak, lastRise_ = lastRise, lastFall_ = lastFall, state_ = state;
        };
        const auto load = [&] {
            last = span_.last, sum = span_.sum, origin = span_.first, peak = span_.peak;
            previous = previous_, halfPeak = halfPeak_, lastRise = lastRise_, lastFall = lastFall_, state = state_;
        };
        for (int64_t i = 0; i < count; ++i) {
            const double x = samples[i * step];
            const int64_t n = first + i;
            const double magnitude = std::fabs(x);
            if (magnitude > level_) {
                if (!open_ || n - last - 1 >= gap_) {
                    save();
                    if (open_) Close();
                    Open(n);
                    load();
                }
                last = n;
                peak = std::max(peak, magnitude);
            }
            if (!open_) continue;
            sum += static_cast<int64_t>(x);
            if (previous < 0 && x >= 0) lastRise = static_cast<double>(n - origin - 1) + previous / (previous - x);
            if (previous > 0 && x <= 0) lastFall = static_cast<double>(n - origin - 1) + previous / (previous - x);
            if (x > level_ && state <= 0) {
                if (state < 0) save(), Cross(lastRise), load();
                state = 1;
            } else if (x < -level_ && state >= 0) {
                if (state > 0) save(), Cross(lastFall), load();
                state = -1;
            }
            halfPeak = std::max(halfPeak, magnitude);
            previous = x;
        }
        save();
    }

    // The items found; `shortest` drops shorter ones.
    std::vector<Span> Finish(int64_t shortest) {
        if (open_) Close();
        std::vector<Span> kept;
        for (Span& span : spans_)
            if (span.last - span.first + 1 >= shortest) kept.push_back(std::move(span));
        return kept;
    }

private:
    void Open(int64_t n) {
        span_ = Span{};
        head_.clear(), tail_.clear();
        tailNext_ = 0;
        span_.first = n;
        open_ = true;
        state_ = 0, count_ = 0;
        previous_ = 0, lastCrossing_ = -1, halfPeak_ = 0;
    }
    void Close() {
        span_.attack = FitRamp(head_, span_.peak, true);
        // The ring's oldest half-cycle first.
        std::vector<HalfCycle> tail(tail_.begin() + static_cast<long>(tailNext_), tail_.end());
        tail.insert(tail.end(), tail_.begin(), tail_.begin() + static_cast<long>(tailNext_));
        span_.release = FitRamp(tail, span_.peak, false);
        spans_.push_back(span_);
        open_ = false;
    }
    void Cross(double at) {
        if (lastCrossing_ >= 0) {
            const HalfCycle half{(at + lastCrossing_) / 2, at - lastCrossing_, halfPeak_};
            // Weighted by the half-cycle's power: the quiet ends of ramps,
            // where rounding moves the crossings most, count least.
            span_.trend.Add(half.middle, rate_ / (2 * half.length), half.peak * half.peak);
            if (head_.size() < kEdgeHalfCycles) head_.push_back(half);
            if (tail_.size() < kEdgeHalfCycles) {
                tail_.push_back(half);
            } else {
                tail_[tailNext_] = half;
                tailNext_ = (tailNext_ + 1) % kEdgeHalfCycles;
            }
        }
        span_.crossings.Add(count_++, at);
        lastCrossing_ = at;
        halfPeak_ = 0;
    }

    double level_;
    int64_t gap_;
    double rate_;
    std::vector<Span> spans_;
    Span span_;
    // The open item's first half-cycles, and its last ones in a ring whose
    // oldest is at tailNext_ once full.
    std::vector<HalfCycle> head_, tail_;
    size_t tailNext_ = 0;
    bool open_ = false;
    int state_ = 0;
    int64_t count_ = 0;
    double previous_ = 0, lastRise_ = 0, lastFall_ = 0, lastCrossing_ = -1, halfPeak_ = 0;
};

int64_t Silence(const std::vector<Span>& spans, int64_t frames) {
    int64_t sound = 0;
    for (const Span& span : spans) sound += span.last - span.first + 1;
    return frames - sound;
}


// The samples of one item on one channel, for the passes that measure it:
// kept in memory when the item is short enough (most are, and the passes
// then cost no reading), read again from the file for each pass otherwise,
// so that memory stays bounded whatever the capture's length.
class ItemSamples {
public:
    ItemSamples(SampleSource& file, int channel, const Span& span)
        : file_(file), channel_(channel), first_(span.first), frames_(span.last - span.first + 1) {
        if (frames_ > kCachedFrames) return;
        kept_.reserve(static_cast<size_t>(frames_));
        readable_ = ForEachSample(file_, channel_, first_, frames_, [this](int64_t, double x) { kept_.push_back(x); });
    }

    int64_t frames() const { return frames_; }

    // Calls `visit(n, sample)` for every `stride`-th frame n of [from, from + count).
    template <typename Visit>
    bool ForEach(int64_t from, int64_t count, int64_t stride, Visit visit) {
        from = std::clamp<int64_t>(from, 0, frames_);
        count = std::clamp<int64_t>(count, 0, frames_ - from);
        if (frames_ > kCachedFrames)
            return ForEachSample(file_, channel_, first_ + from, count, [&](int64_t n, double x) {
                if (n % stride == 0) visit(from + n, x);
            });
        if (!readable_) return false;
        for (int64_t n = from; n < from + count; n += stride) visit(n, kept_[static_cast<size_t>(n)]);
        return true;
    }

private:
    static constexpr int64_t kCachedFrames = int64_t{1} << 21;
    SampleSource& file_;
    int channel_;
    int64_t first_, frames_;
    std::vector<double> kept_;
    bool readable_ = true;
};
// The ramps' envelope: 0 before the attack, rising linearly to 1, falling
// linearly to 0 at the release's end.
struct Envelope {
    Ramp attack, release;
    double operator()(double n) const {
        double g = 1.0;
        if (attack.frames > 0) g = std::min(g, (n - attack.zeroAt) / attack.frames);
        if (release.frames > 0) g = std::min(g, (release.zeroAt - n) / release.frames);
        return std::clamp(g, 0.0, 1.0);
    }
};

// y ≈ g·(c1 cos θ + c2 sin θ), θ = ω·m + α·m²/2 with m the frame from
// `middle` (α = 0 for a tone, the frequency's slope for a sweep), fitted by
// Gauss-Newton: each round solves the model linearised in ω (two more terms,
// m·cos and m·sin) and, for a sweep, in α (m²·cos and m²·sin), and moves
// them. One pass over the frames a round, the sine and cosine stepped by
// rotation.
struct SineFit {
    double omega = 0;
    double alpha = 0;
    double middle = 0;
    double c1 = 0, c2 = 0;

    double Phase(double m) const { return omega * m + 0.5 * alpha * m * m; }
};

int64_t Stride(int64_t count) { return std::max<int64_t>(1, count / kFittedFrames); }

// Solves the K×K normal equations a·x = b in place (partial pivoting).
template <int K>
bool Solve(std::array<std::array<double, K>, K>& a, std::array<double, K>& x) {
    for (int col = 0; col < K; ++col) {
        int pivot = col;
        for (int row = col + 1; row < K; ++row)
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
        std::swap(a[col], a[pivot]);
        std::swap(x[col], x[pivot]);
        if (a[col][col] == 0) return false;
        for (int row = col + 1; row < K; ++row) {
            const double factor = a[row][col] / a[col][col];
            for (int k = col; k < K; ++k) a[row][k] -= factor * a[col][k];
            x[row] -= factor * x[col];
        }
    }
    for (int col = K - 1; col >= 0; --col) {
        for (int k = col + 1; k < K; ++k) x[col] -= a[col][k] * x[k];
        x[col] /= a[col][col];
    }
    return true;
}

// K = 4 fits a tone, K = 6 a sweep.
template <int K>
bool FitSine(ItemSamples& samples, int64_t from, int64_t count, const Envelope& envelope, int rounds, SineFit& fit) {
    const double middle = static_cast<double>(from) + static_cast<double>(count - 1) / 2;
    // Moving the middle keeps the same phase law.
    fit.omega += fit.alpha * (middle - fit.middle);
    fit.middle = middle;
    const double scale = 2.0 / std::max<double>(static_cast<double>(count), 2.0);
    const int64_t stride = Stride(count);
    const double frames = static_cast<double>(stride);
    for (int round = 0; round < rounds; ++round) {
        std::array<std::array<double, K>, K> a{};
        std::array<double, K> b{};
        double c = 0, s = 0, stepCos = 1, stepSin = 0;
        // The step's own turn from one visited frame to the next (a sweep's).
        const double turnCos = std::cos(fit.alpha * frames * frames), turnSin = std::sin(fit.alpha * frames * frames);
        int64_t visited = 0;
        const bool read = samples.ForEach(from, count, stride, [&](int64_t n, double y) {
            const double m = static_cast<double>(n) - fit.middle;
            // Exact every 1024 frames visited, rotated in between.
            if (visited++ % 1024 == 0) {
                const double step = fit.Phase(m + frames) - fit.Phase(m);
                c = std::cos(fit.Phase(m)), s = std::sin(fit.Phase(m));
                stepCos = std::cos(step), stepSin = std::sin(step);
            }
            const double g = envelope(static_cast<double>(n));
            const double ms = m * scale;
            double u[K];
            u[0] = g * c, u[1] = g * s, u[2] = u[0] * ms, u[3] = u[1] * ms;
            if constexpr (K == 6) u[4] = u[2] * ms, u[5] = u[3] * ms;
            for (int i = 0; i < K; ++i) {
                b[i] += u[i] * y;
                for (int j = i; j < K; ++j) a[i][j] += u[i] * u[j];
            }
            const double nextC = c * stepCos - s * stepSin;
            s = s * stepCos + c * stepSin;
            c = nextC;
            const double nextStepCos = stepCos * turnCos - stepSin * turnSin;
            stepSin = stepSin * turnCos + stepCos * turnSin;
            stepCos = nextStepCos;
        });
        if (!read) return false;
        for (int i = 0; i < K; ++i)
            for (int j = 0; j < i; ++j) a[i][j] = a[j][i];
        std::array<double, K> x = b;
        if (!Solve<K>(a, x)) return false;
        // With the phase off by δω·m + δα·m²/2: c3 = c2·δω/scale,
        // c4 = -c1·δω/scale, c5 = c2·δα/(2·scale²), c6 = -c1·δα/(2·scale²).
        const double power = x[0] * x[0] + x[1] * x[1];
        if (power == 0) return false;
        fit.omega += (x[2] * x[1] - x[3] * x[0]) / power * scale;
        if constexpr (K == 6) fit.alpha += 2 * (x[4] * x[1] - x[5] * x[0]) / power * scale * scale;
        fit.c1 = x[0], fit.c2 = x[1];
    }
    return true;
}

// A ramp's line refined on the samples themselves, against the steady part's
// sine S: y ≈ (α·n + β)·S(n) + γ·sign(S(n)) over frames [from, from + count).
// The last term takes up how the samples were made integers: truncation
// toward zero takes about half a unit off every sample, which would
// otherwise move a quiet ramp's start by many frames.
bool RefineRamp(ItemSamples& samples, int64_t from, int64_t count, const SineFit& sine, Ramp& ramp) {
    std::array<std::array<double, 3>, 3> a{};
    std::array<double, 3> b{};
    const bool read = samples.ForEach(from, count, Stride(count), [&](int64_t n, double y) {
        const double m = static_cast<double>(n) - sine.middle;
        const double wave = sine.c1 * std::cos(sine.Phase(m)) + sine.c2 * std::sin(sine.Phase(m));
        const double u[3] = {static_cast<double>(n) * wave, wave, wave > 0 ? 1.0 : wave < 0 ? -1.0 : 0.0};
        for (int i = 0; i < 3; ++i) {
            b[i] += u[i] * y;
            for (int k = i; k < 3; ++k) a[i][k] += u[i] * u[k];
        }
    });
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < i; ++k) a[i][k] = a[k][i];
    std::array<double, 3> x = b;
    if (!read || !Solve<3>(a, x) || x[0] == 0) return false;
    ramp.zeroAt = -x[1] / x[0];
    ramp.frames = std::fabs(1 / x[0]);
    return true;
}

// Fits the sine over [from, to), first over a short stretch round its middle
// and then over ever longer ones, so that the estimate never drifts by a
// cycle over the stretch it is refined on.
template <int K>
bool FitGrowing(ItemSamples& samples, int64_t from, int64_t to, const Envelope& envelope, SineFit& fit) {
    const double period = kTwoPi / fit.omega;
    const int64_t middle = (from + to) / 2;
    for (int64_t half = static_cast<int64_t>(64 * period);; half *= K == 4 ? 16 : 4) {
        const int64_t first = std::max(from, middle - half), last = std::min(to, middle + half);
        const bool whole = first == from && last == to;
        if (!FitSine<K>(samples, first, last - first, envelope, whole ? 2 : 1, fit)) return false;
        if (whole) return true;
    }
}

// A tone's frequency, fitted to the whole item, ramps included. The
// crossings give a first estimate and the half-cycle peaks a first envelope;
// a fit of the steady part between the ramps gives the sine, the ramps are
// then measured against that sine, and a last fit takes in the whole item
// under the measured envelope.
bool MeasureTone(ItemSamples& samples, double rate, double frequency, Envelope envelope, Item& item) {
    const int64_t frames = samples.frames();
    SineFit fit;
    fit.omega = kTwoPi * frequency / rate;
    const double period = rate / frequency;
    // The steady part and the ramps are each measured where the other surely
    // is not; once more when the ramps' first estimate was off by a frame.
    bool fitted = false;
    for (int round = 0; round < 2 && envelope.attack.frames > 0 && envelope.release.frames > 0; ++round) {
        const Ramp attack = envelope.attack, release = envelope.release;
        const int64_t steadyFrom = static_cast<int64_t>(std::ceil(attack.zeroAt + attack.frames)) + 1;
        const int64_t steadyTo = static_cast<int64_t>(std::floor(release.zeroAt - release.frames)) - 1;
        if (steadyTo - steadyFrom <= 4 * period) break;
        if (!(round == 0 ? FitGrowing<4>(samples, steadyFrom, steadyTo, Envelope{}, fit)
                         : FitSine<4>(samples, steadyFrom, steadyTo - steadyFrom, Envelope{}, 1, fit)))
            return false;
        fitted = true;
        const auto inside = [](double frame) { return static_cast<int64_t>(std::floor(frame)); };
        const int64_t attackTo = inside(attack.zeroAt + (1 - kRampMargin) * attack.frames);
        const int64_t releaseFrom = inside(release.zeroAt - (1 - kRampMargin) * release.frames) + 1;
        RefineRamp(samples, 0, attackTo, fit, envelope.attack);
        RefineRamp(samples, releaseFrom, frames - releaseFrom, fit, envelope.release);
        if (std::fabs(envelope.attack.frames - attack.frames) < 1 && std::fabs(envelope.release.frames - release.frames) < 1)
            break;
    }
    if (!(fitted ? FitSine<4>(samples, 0, frames, envelope, 1, fit) : FitGrowing<4>(samples, 0, frames, envelope, fit)))
        return false;
    item.frequency = fit.omega * rate / kTwoPi;
    item.attack = std::lround(envelope.attack.frames);
    item.release = std::lround(envelope.release.frames);
    // The note's first sample is at phase ω, as if it began from 0 one frame
    // before: the fitted phase places that frame to a fraction of a sample,
    // and the attack's zero (a coarser estimate) picks which period it is.
    double beginning = 0;
    if (envelope.attack.frames > 0) {
        const double phase = std::atan2(fit.c1, fit.c2);  // at the fit's middle
        beginning = fit.middle - phase / fit.omega;
        beginning -= std::round((beginning - envelope.attack.zeroAt) * fit.omega / kTwoPi) * kTwoPi / fit.omega;
        item.onset = item.start + std::llround(beginning) + 1;
    }
    if (static_cast<double>(frames) >= kShortestMeasuredTone * rate) {
        // What the fitted tone leaves, summed sample by sample (strided as
        // the fit): the fit's own figure is a difference of two near-equal sums.
        double residual = 0, tone = 0;
        samples.ForEach(0, frames, Stride(frames), [&](int64_t n, double y) {
            const double m = static_cast<double>(n) - fit.middle;
            const double modelled =
                envelope(static_cast<double>(n)) * (fit.c1 * std::cos(fit.Phase(m)) + fit.c2 * std::sin(fit.Phase(m)));
            residual += (y - modelled) * (y - modelled);
            tone += modelled * modelled;
        });
        if (residual > 0 && tone > 0) item.thdn = 10 * std::log10(residual / tone);
    }
    // The note runs from where its attack starts to where its release ends.
    const double ends = envelope.release.frames > 0 ? std::max(envelope.release.zeroAt, static_cast<double>(frames))
                                                    : static_cast<double>(frames);
    item.cycles = item.frequency * (ends - std::min(beginning, 0.0)) / rate;
    return true;
}

bool MeasureItem(SampleSource& file, const Span& span, double fullScale, bool integers, Item& item) {
    const double rate = file.rate;
    item.start = item.onset = span.first;
    item.frames = span.last - span.first + 1;
    item.peak = span.peak;
    item.attenuation = span.peak > 0 ? 20 * std::log10(fullScale / span.peak) : 0;
    item.peakDb = item.attenuation;
    item.hasSum = integers;
    if (integers) item.sum = span.sum;
    // Too few crossings to tell: a click or a fragment, reported as it is.
    if (!span.crossings.Fitted()) return true;
    // Half a period a crossing.
    const double frequency = rate / (2 * span.crossings.Slope());
    const Envelope envelope{span.attack, span.release};
    // A tone's half-cycles keep their frequency; a sweep's move it along a line.
    const double moved = span.trend.Fitted() ? std::fabs(span.trend.Slope()) * static_cast<double>(item.frames) : 0;
    if (moved <= std::max(0.002 * frequency, 0.5)) {
        ItemSamples samples(file, item.channel, span);
        return MeasureTone(samples, rate, frequency, envelope, item) || (item.frequency = frequency, true);
    }

    item.kind = ItemKind::Sweep;
    item.fade = std::lround(envelope.release.frames);
    // The half-cycles' line starts a fit of the sweep's phase over its frames
    // before the fade (whose own frequency holds).
    const int64_t fadeStart =
        std::clamp<int64_t>(std::llround(static_cast<double>(item.frames) - envelope.release.frames), 2, item.frames);
    SineFit fit;
    fit.middle = static_cast<double>(fadeStart) / 2;
    fit.omega = kTwoPi * span.trend.At(fit.middle) / rate;
    fit.alpha = kTwoPi * span.trend.Slope() / rate;
    ItemSamples samples(file, item.channel, span);
    if (!FitGrowing<6>(samples, 0, fadeStart, Envelope{}, fit)) {
        item.from = span.trend.At(0);
        item.to = span.trend.At(static_cast<double>(item.frames));
        return true;
    }
    const auto frequencyAt = [&](double frame) { return (fit.omega + fit.alpha * (frame - fit.middle)) * rate / kTwoPi; };
    item.from = frequencyAt(0);
    item.to = frequencyAt(static_cast<double>(item.frames));
    return true;
}

}  // namespace

HeldSamples::HeldSamples(const std::vector<int32_t>* channelSamples, int channelCount, int sampleRate, int sampleBits)
    : channels_(channelSamples) {
    channels = channelCount;
    rate = sampleRate;
    bits = sampleBits;
}

int64_t HeldSamples::Read(double* samples, int64_t frames) {
    const int64_t held = channels > 0 ? static_cast<int64_t>(channels_[0].size()) : 0;
    const int64_t got = std::clamp<int64_t>(held - next_, 0, frames);
    for (int64_t i = 0; i < got; ++i)
        for (int c = 0; c < channels; ++c)
            samples[i * channels + c] = channels_[c][static_cast<size_t>(next_ + i)];
    next_ += got;
    return got;
}

bool HeldSamples::Seek(int64_t frame) {
    if (frame < 0 || (channels > 0 && frame > static_cast<int64_t>(channels_[0].size()))) return false;
    next_ = frame;
    return true;
}

const char* KindName(ItemKind kind) {
    return kind == ItemKind::Tone ? "tone" : kind == ItemKind::Sweep ? "sweep" : "other";
}

double FullScale(const Capture& capture) {
    return capture.floating ? 1.0 : std::ldexp(1.0, capture.bits - 1) - 1.0;
}

bool AnalyseSamples(SampleSource& file, const AnalysisOptions& options, Capture& capture, std::string& why) {
    capture = Capture{};
    capture.rate = file.rate;
    capture.channels = file.channels;
    capture.bits = file.bits;
    capture.floating = file.floating;
    const int channels = std::min(capture.channels, 2);
    const double fullScale = FullScale(capture);
    const double rate = capture.rate;
    const double threshold = fullScale * std::pow(10.0, options.thresholdDb / 20);

    // First pass: the figures of the whole, and the items by both readings
    // until the first long silence tells which one the capture wants: exact
    // zeros in the second half of a run of frames below the threshold (the
    // first half may hold the quiet end of a ramp) say bit-exact.
    std::vector<Segmenter> exact, recorded;
    for (int c = 0; c < channels; ++c) {
        exact.emplace_back(0.0, std::max<int64_t>(kExactGapFrames, std::llround(kExactGapSeconds * rate)), rate);
        recorded.emplace_back(threshold, std::llround(kRecordedGapSeconds * rate), rate);
    }
    enum class Reading { Undecided, Exact, Recorded };
    Reading reading = options.recorded || capture.floating ? Reading::Recorded : Reading::Undecided;
    const int64_t quietNeeded = 2 * std::llround(kRecordedGapSeconds * rate);
    int64_t quietRun = 0;
    bool quietHoldsSound = false;
    double sums[2] = {0, 0};
    const double lowest = capture.floating ? -1.0 : -fullScale - 1;
    if (!file.Seek(0)) {
        why = "cannot read the capture from its start";
        return false;
    }
    std::vector<double> block(static_cast<size_t>(kBlockFrames * capture.channels));
    int64_t frame = 0;
    for (int64_t got; (got = file.Read(block.data(), kBlockFrames)) > 0; frame += got) {
        // The block goes to both readings while undecided (the decision in
        // the block below takes effect from the next block on).
        for (int c = 0; c < channels; ++c) {
            if (reading != Reading::Recorded) exact[c].Feed(block.data() + c, capture.channels, frame, got);
            if (reading != Reading::Exact) recorded[c].Feed(block.data() + c, capture.channels, frame, got);
        }
        for (int64_t i = 0; i < got; ++i) {
            const double* samples = &block[static_cast<size_t>(i * capture.channels)];
            for (int c = 0; c < channels; ++c) {
                const double x = samples[c];
                sums[c] += x;
                capture.clipped += x >= fullScale || x <= lowest;
            }
            if (reading != Reading::Undecided) continue;
            bool quiet = true, zero = true;
            for (int c = 0; c < channels; ++c) {
                quiet = quiet && std::fabs(samples[c]) <= threshold;
                zero = zero && samples[c] == 0;
            }
            quietRun = quiet ? quietRun + 1 : 0;
            if (quietRun == 1) quietHoldsSound = false;
            if (quietRun > quietNeeded / 2) quietHoldsSound = quietHoldsSound || !zero;
            if (quietRun == quietNeeded) reading = quietHoldsSound ? Reading::Recorded : Reading::Exact;
        }
    }
    capture.frames = frame;

    // Without a long silence to tell: digital silence when the exact zeros
    // between the items make up most of what the threshold calls silence.
    std::vector<Span> spans[2], loud[2];
    int64_t exactSilence = 0, loudSilence = 0;
    for (int c = 0; c < channels; ++c) {
        spans[c] = exact[c].Finish(1);
        exactSilence += Silence(spans[c], frame);
        loud[c] = recorded[c].Finish(std::llround(kShortestRecordedItem * rate));
        loudSilence += Silence(loud[c], frame);
        capture.dc[c] = frame > 0 ? sums[c] / static_cast<double>(frame) / fullScale : 0;
    }
    capture.bitExact = reading == Reading::Exact ||
                       (reading == Reading::Undecided && exactSilence > 0 && 2 * exactSilence >= loudSilence);
    if (!capture.bitExact)
        for (int c = 0; c < channels; ++c) spans[c] = loud[c];

    // Second pass: each item on its own.
    for (int c = 0; c < channels; ++c) {
        for (const Span& span : spans[c]) {
            Item item;
            item.channel = c;
            if (!MeasureItem(file, span, fullScale, !capture.floating, item)) {
                why = "cannot read the capture again";
                return false;
            }
            capture.items.push_back(item);
        }
    }
    std::stable_sort(capture.items.begin(), capture.items.end(), [](const Item& a, const Item& b) {
        return a.onset != b.onset ? a.onset < b.onset : a.channel < b.channel;
    });
    return true;
}

}  // namespace tonegate_capture
