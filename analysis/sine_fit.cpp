// The fits that measure an item, each one pass over every frame it covers.
// Thread: the caller's one thread.
#include "analysis/sine_fit.h"

#include <array>
#include <limits>
#include <utility>

#include "analysis/analysis_limits.h"

namespace tonegate_capture {

namespace {

// Reads `count` frames of one channel from `first` in blocks and calls
// `visit(n, sample)`, n counted from 0. False when the source cannot give them.
template <typename Visit>
bool ForEachSample(SampleSource& source, int channel, int64_t first, int64_t count, Visit visit) {
    if (!source.Seek(first)) return false;
    std::vector<double> block(static_cast<size_t>(kBlockFrames * source.channels));
    for (int64_t done = 0; done < count;) {
        const int64_t got = source.Read(block.data(), std::min(count - done, kBlockFrames));
        if (got <= 0) return false;
        for (int64_t i = 0; i < got; ++i)
            visit(done + i, block[static_cast<size_t>(i * source.channels + channel)]);
        done += got;
    }
    return true;
}

constexpr long double kTwoPiLong = 6.283185307179586476925286766559L;

// cos θ and sin θ frame after frame from a given frame on: computed afresh
// every kPhaseResyncFrames and rotated in between (a chirp's step itself
// turns by α each frame). From `holdFrom` on the wave keeps the frequency
// it has reached there.
class PhaseStepper {
public:
    PhaseStepper(const SineFit& fit, double holdFrom, int64_t first)
        : fit_(fit), holdFrom_(holdFrom), hold_(static_cast<int64_t>(std::ceil(holdFrom))) {
        Resync(first);
    }
    double Cos() const { return c_; }
    double Sin() const { return s_; }
    void Advance() {
        ++n_;
        if (--untilResync_ == 0 || n_ == hold_) {
            Resync(n_);
            return;
        }
        const double c = c_ * stepCos_ - s_ * stepSin_;
        s_ = s_ * stepCos_ + c_ * stepSin_;
        c_ = c;
        const double stepCos = stepCos_ * turnCos_ - stepSin_ * turnSin_;
        stepSin_ = stepSin_ * turnCos_ + stepCos_ * turnSin_;
        stepCos_ = stepCos;
    }

private:
    long double PhaseAt(int64_t n) const {
        const double m = static_cast<double>(n) - fit_.middle;
        if (static_cast<double>(n) < holdFrom_) return fit_.Phase(m);
        const double held = holdFrom_ - fit_.middle;
        return fit_.Phase(held) + (fit_.omega + fit_.alpha * held) * (static_cast<double>(n) - holdFrom_);
    }
    void Resync(int64_t n) {
        n_ = n;
        untilResync_ = kPhaseResyncFrames;
        const long double phase = PhaseAt(n), step = PhaseAt(n + 1) - phase;
        // Reduced to a turn in long double, the rest is a double's work (the
        // long-double sine of millions of radians costs ten times as much).
        const auto reduced = static_cast<double>(phase - kTwoPiLong * std::roundl(phase / kTwoPiLong));
        c_ = std::cos(reduced), s_ = std::sin(reduced);
        stepCos_ = std::cos(static_cast<double>(step)), stepSin_ = std::sin(static_cast<double>(step));
        const double turn = static_cast<double>(n) + 1 < holdFrom_ ? static_cast<double>(fit_.alpha) : 0.0;
        turnCos_ = std::cos(turn), turnSin_ = std::sin(turn);
    }

    const SineFit& fit_;
    double holdFrom_;
    int64_t hold_;
    int64_t n_ = 0;
    int untilResync_ = 0;
    double c_ = 1, s_ = 0, stepCos_ = 1, stepSin_ = 0, turnCos_ = 1, turnSin_ = 0;
};

// A column whose part independent of the others is below this share of
// its own sum of squares is as good as spanned by them: the estimate of
// its coefficient would be noise. (A truncation term beside a sine leaves
// about a fifth: the square wave of its sign is 0.9 a sine.)
constexpr double kSpannedShare = 1e-3;

// Solves the K×K normal equations a·x = b in place (partial pivoting), the
// upper triangle of `a` given. `optionalLast`: the last column may be
// spanned by the others (a truncation term where every sample sits at the
// same magnitude of the wave, as at a quarter of the rate): it is then
// left out, 0, instead of taking a share of the others at random.
template <int K>
bool Solve(std::array<std::array<double, K>, K>& a, std::array<double, K>& x, bool optionalLast) {
    for (int i = 0; i < K; ++i)
        for (int j = 0; j < i; ++j) a[i][j] = a[j][i];
    const double lastDiagonal = a[K - 1][K - 1];
    for (int col = 0; col < K; ++col) {
        int pivot = col;
        for (int row = col + 1; row < K; ++row)
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
        std::swap(a[col], a[pivot]);
        std::swap(x[col], x[pivot]);
        if (col == K - 1 && optionalLast && !(std::fabs(a[col][col]) > kSpannedShare * lastDiagonal)) {
            a[col][col] = 1, x[col] = 0;
            break;
        }
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
    for (double value : x)
        if (!std::isfinite(value)) return false;
    return true;
}

// Adds u·uᵀ (its upper triangle) and u·y to normal equations, each term
// its own statement: written as loops, the vectoriser packs u through the
// stack in pairs that straddle its stores, and every sample stalls on them.
template <int K, size_t... J>
void AddProducts(std::array<double, K>& row, const std::array<double, K>& u, double ui, std::index_sequence<J...>) {
    ((row[K - sizeof...(J) + J] += ui * u[K - sizeof...(J) + J]), ...);
}
template <int K, size_t... I>
void AddOuter(std::array<std::array<double, K>, K>& a, std::array<double, K>& b, const std::array<double, K>& u, double y,
              std::index_sequence<I...>) {
    ((b[I] += u[I] * y, AddProducts<K>(a[I], u, u[I], std::make_index_sequence<K - I>{})), ...);
}
template <int K>
void AddToNormal(std::array<std::array<double, K>, K>& a, std::array<double, K>& b, const std::array<double, K>& u,
                 double y) {
    AddOuter<K>(a, b, u, y, std::make_index_sequence<K>{});
}

// What truncation toward zero takes off a sample of the wave x, in units
// of the fitted γ (-1/2 for truncation): half a unit, on the average of the
// fractions, where |x| is a unit or more, and all of x below half a unit.
double TruncationLoss(double x) { return std::clamp(2 * x, -1.0, 1.0); }

// Gauss-Newton rounds of the model linearised in ω (the terms m·cos, m·sin)
// and, for a chirp, in α (m²·cos, m²·sin), with m scaled to [-1, 1].
template <bool Chirp, bool Truncation>
bool FitRounds(ItemSamples& samples, int64_t from, int64_t count, const Envelope& envelope, int rounds, SineFit& fit) {
    constexpr int K = (Chirp ? 6 : 4) + (Truncation ? 1 : 0);
    const double middle = static_cast<double>(from) + static_cast<double>(count - 1) / 2;
    // Moving the middle keeps the same phase law.
    fit.omega += fit.alpha * (middle - fit.middle);
    fit.middle = middle;
    const double scale = 2.0 / std::max<double>(static_cast<double>(count), 2.0);
    for (int round = 0; round < rounds; ++round) {
        std::array<std::array<double, K>, K> a{};
        std::array<double, K> b{};
        PhaseStepper wave(fit, kNoHold, from);
        const double c1 = fit.c1, c2 = fit.c2;
        const bool read = samples.ForEach(from, count, [&](int64_t n, double y) {
            const double c = wave.Cos(), s = wave.Sin();
            wave.Advance();
            const double g = envelope(static_cast<double>(n));
            const double ms = (static_cast<double>(n) - middle) * scale;
            std::array<double, K> u;
            u[0] = g * c, u[1] = g * s, u[2] = u[0] * ms, u[3] = u[1] * ms;
            if constexpr (Chirp) u[4] = u[2] * ms, u[5] = u[3] * ms;
            if constexpr (Truncation) u[K - 1] = TruncationLoss(g * (c1 * c + c2 * s));
            AddToNormal<K>(a, b, u, y);
        });
        std::array<double, K> x = b;
        if (!read || !Solve<K>(a, x, Truncation)) return false;
        // With the phase off by δω·m + δα·m²/2: x2 = c2·δω/scale,
        // x3 = -c1·δω/scale, x4 = c2·δα/(2·scale²), x5 = -c1·δα/(2·scale²).
        const double power = x[0] * x[0] + x[1] * x[1];
        if (power == 0) return false;
        fit.omega += (x[2] * x[1] - x[3] * x[0]) / power * scale;
        if constexpr (Chirp) fit.alpha += 2 * (x[4] * x[1] - x[5] * x[0]) / power * scale * scale;
        fit.c1 = x[0], fit.c2 = x[1];
        if constexpr (Truncation) fit.gamma = x[K - 1];
    }
    return fit.omega > 0 && fit.omega < kTwoPi / 2;
}

}  // namespace

ItemSamples::ItemSamples(SampleSource& source, int channel, int64_t first, int64_t frames)
    : source_(source), channel_(channel), first_(first), frames_(frames) {
    if (frames_ > kHeldFrames) return;
    held_.reserve(static_cast<size_t>(frames_));
    readable_ = ForEachSample(source_, channel_, first_, frames_, [this](int64_t, double x) { held_.push_back(x); });
}

template <typename Visit>
bool ItemSamples::ForEach(int64_t from, int64_t count, Visit visit) {
    from = std::clamp<int64_t>(from, 0, frames_);
    count = std::clamp<int64_t>(count, 0, frames_ - from);
    if (frames_ > kHeldFrames)
        return ForEachSample(source_, channel_, first_ + from, count, [&](int64_t n, double x) { visit(from + n, x); });
    if (!readable_) return false;
    const double* held = held_.data();
    for (int64_t n = from; n < from + count; ++n) visit(n, held[n]);
    return true;
}

bool FitSine(ItemSamples& samples, int64_t from, int64_t count, const Envelope& envelope, int rounds, bool chirp,
             bool truncation, SineFit& fit) {
    from = std::clamp<int64_t>(from, 0, samples.frames());
    count = std::clamp<int64_t>(count, 0, samples.frames() - from);
    if (count < 4) return false;
    // The truncation term needs a wave to take its sign from.
    truncation = truncation && fit.Amplitude() > 0;
    if (chirp)
        return truncation ? FitRounds<true, true>(samples, from, count, envelope, rounds, fit)
                          : FitRounds<true, false>(samples, from, count, envelope, rounds, fit);
    return truncation ? FitRounds<false, true>(samples, from, count, envelope, rounds, fit)
                      : FitRounds<false, false>(samples, from, count, envelope, rounds, fit);
}

bool FitGrowing(ItemSamples& samples, int64_t from, int64_t to, const Envelope& envelope, bool chirp, SineFit& fit) {
    const double period = kTwoPi / static_cast<double>(fit.omega);
    const int64_t middle = (from + to) / 2;
    for (int64_t half = static_cast<int64_t>(kFirstFitPeriods * period / 2) + 2;; half *= chirp ? 4 : 16) {
        const int64_t first = std::max(from, middle - half), last = std::min(to, middle + half);
        const bool whole = first == from && last == to;
        if (!FitSine(samples, first, last - first, envelope, whole ? 2 : 1, chirp, false, fit)) return false;
        if (whole) return true;
    }
}

namespace {

// The envelope's derivatives by the attack's zero and length and the
// release's, at frame n: nonzero only where that ramp sets the gain.
std::array<double, 4> EnvelopeSlopes(const Envelope& envelope, double n) {
    const Ramp& attack = envelope.attack;
    const Ramp& release = envelope.release;
    const double rising = (n - attack.zeroAt) / attack.frames, falling = (release.zeroAt - n) / release.frames;
    std::array<double, 4> d{};
    if (rising > 0 && rising < 1 && rising <= falling) d[0] = -1 / attack.frames, d[1] = -rising / attack.frames;
    if (falling > 0 && falling < 1 && falling < rising) d[2] = 1 / release.frames, d[3] = -falling / release.frames;
    return d;
}

// What the sine under `envelope` leaves of the item, summed sample by
// sample (a difference of two sums would lose the small residuals of an
// exact capture).
double Misfit(ItemSamples& samples, const SineFit& fit, const Envelope& envelope) {
    double sum = 0;
    PhaseStepper wave(fit, kNoHold, 0);
    const bool read = samples.ForEach(0, samples.frames(), [&](int64_t n, double y) {
        const double r = y - envelope(static_cast<double>(n)) * (fit.c1 * wave.Cos() + fit.c2 * wave.Sin());
        wave.Advance();
        sum += r * r;
    });
    return read ? sum : std::numeric_limits<double>::infinity();
}

// Levenberg-Marquardt over the sine's amplitude, phase and frequency and
// the two ramps' zeros and lengths: the normal equations damped by λ times
// their diagonal, a step kept only where it leaves less, λ eased after a
// kept step and raised after a refused one.
constexpr double kFirstDamping = 1e-3, kEaseDamping = 3, kRaiseDamping = 4, kMostDamping = 1e12;

bool JointRounds(ItemSamples& samples, int rounds, SineFit& fit, Envelope& envelope) {
    constexpr int K = 7;
    const int64_t count = samples.frames();
    const double middle = static_cast<double>(count - 1) / 2;
    fit.omega += fit.alpha * (middle - fit.middle);
    fit.middle = middle;
    const double scale = 2.0 / std::max<double>(static_cast<double>(count), 2.0);
    double misfit = Misfit(samples, fit, envelope);
    double damping = kFirstDamping;
    for (int round = 0; round < rounds && damping < kMostDamping; ++round) {
        std::array<std::array<double, K>, K> a{};
        std::array<double, K> b{};
        PhaseStepper wave(fit, kNoHold, 0);
        const bool read = samples.ForEach(0, count, [&](int64_t n, double y) {
            const double c = wave.Cos(), s = wave.Sin();
            wave.Advance();
            const double frame = static_cast<double>(n);
            const double g = envelope(frame), w = fit.c1 * c + fit.c2 * s;
            const std::array<double, 4> d = EnvelopeSlopes(envelope, frame);
            const double ms = (frame - middle) * scale;
            const std::array<double, K> u = {g * c, g * s, g * ms * (fit.c2 * c - fit.c1 * s),
                                             w * d[0], w * d[1], w * d[2], w * d[3]};
            const double r = y - g * w;
            AddToNormal<K>(a, b, u, r);
        });
        if (!read) return false;
        for (; damping < kMostDamping; damping *= kRaiseDamping) {
            std::array<std::array<double, K>, K> damped = a;
            for (int i = 0; i < K; ++i) damped[i][i] *= 1 + damping;
            std::array<double, K> x = b;
            if (!Solve<K>(damped, x, false)) continue;
            SineFit trialFit = fit;
            Envelope trial = envelope;
            trialFit.c1 += x[0], trialFit.c2 += x[1], trialFit.omega += x[2] * scale;
            trial.attack.zeroAt += x[3], trial.attack.frames += x[4];
            trial.release.zeroAt += x[5], trial.release.frames += x[6];
            if (!(trial.attack.frames > 0 && trial.release.frames > 0)) continue;
            const double trialMisfit = Misfit(samples, trialFit, trial);
            if (trialMisfit < misfit) {
                fit = trialFit, envelope = trial, misfit = trialMisfit;
                damping = std::max(damping / kEaseDamping, 1e-12);
                break;
            }
        }
    }
    return fit.omega > 0 && fit.omega < kTwoPi / 2;
}

}  // namespace

bool FitSineAndRamps(ItemSamples& samples, int rounds, SineFit& fit, Envelope& envelope) {
    return JointRounds(samples, rounds, fit, envelope);
}

double TailMisfit(ItemSamples& samples, const SineFit& fit, int64_t from, const Envelope& envelope, double holdFrom) {
    double sum = 0;
    PhaseStepper wave(fit, holdFrom, from);
    const bool read = samples.ForEach(from, samples.frames() - from, [&](int64_t n, double y) {
        const double r = y - envelope(static_cast<double>(n)) * (fit.c1 * wave.Cos() + fit.c2 * wave.Sin());
        wave.Advance();
        sum += r * r;
    });
    return read ? sum : std::numeric_limits<double>::infinity();
}

std::vector<double> LeadingMisfits(ItemSamples& samples, const SineFit& fit, int64_t from,
                                   const std::vector<int64_t>& bounds) {
    std::vector<double> misfits;
    misfits.reserve(bounds.size());
    double sum = 0;
    PhaseStepper wave(fit, kNoHold, from);
    const int64_t to = bounds.empty() ? from : std::max(bounds.back(), from);
    const bool read = samples.ForEach(from, to - from, [&](int64_t n, double y) {
        while (misfits.size() < bounds.size() && bounds[misfits.size()] <= n) misfits.push_back(sum);
        const double r = y - (fit.c1 * wave.Cos() + fit.c2 * wave.Sin());
        wave.Advance();
        sum += r * r;
    });
    if (!read) return {};
    misfits.resize(bounds.size(), sum);
    return misfits;
}

void SnapRamp(ItemSamples& samples, const SineFit& fit, double holdFrom, bool rising, int reach, Ramp& ramp) {
    if (ramp.frames < 1) return;
    const double zero = std::round(ramp.zeroAt), length = std::round(ramp.frames);
    // The frames any candidate's ramp covers.
    const int64_t from = rising ? 0 : static_cast<int64_t>(zero - length) - reach;
    const int64_t to = rising ? static_cast<int64_t>(zero + length) + reach : samples.frames();
    double least = std::numeric_limits<double>::infinity();
    Ramp best = ramp;
    for (int candidate = 0; candidate < 2 * (2 * reach + 1) * (2 * reach + 1); ++candidate) {
        const bool truncated = candidate % 2 == 0;
        const int dz = candidate / 2 % (2 * reach + 1) - reach, dl = candidate / 2 / (2 * reach + 1) - reach;
        {
            const Ramp trial{zero + dz, length + dl};
            if (trial.frames < 1) continue;
            double misfit = 0;
            PhaseStepper wave(fit, holdFrom, std::max<int64_t>(from, 0));
            samples.ForEach(from, to - from, [&](int64_t n, double y) {
                const double g = rising ? (static_cast<double>(n) - trial.zeroAt) / trial.frames
                                        : (trial.zeroAt - static_cast<double>(n)) / trial.frames;
                const double x = std::clamp(g, 0.0, 1.0) * (fit.c1 * wave.Cos() + fit.c2 * wave.Sin());
                wave.Advance();
                const double r = y - (truncated ? std::trunc(x) : std::round(x));
                misfit += r * r;
            });
            if (misfit < least) least = misfit, best = trial;
        }
    }
    ramp.zeroAt = best.zeroAt, ramp.frames = best.frames;
}

double EnvelopeMisfit(ItemSamples& samples, const SineFit& fit, const Envelope& envelope) {
    std::array<std::array<double, 2>, 2> a{};
    std::array<double, 2> b{};
    double energy = 0;
    PhaseStepper wave(fit, kNoHold, 0);
    const bool read = samples.ForEach(0, samples.frames(), [&](int64_t n, double y) {
        const double g = envelope(static_cast<double>(n));
        const double u[2] = {g * wave.Cos(), g * wave.Sin()};
        wave.Advance();
        energy += y * y;
        for (int i = 0; i < 2; ++i) {
            b[i] += u[i] * y;
            for (int j = i; j < 2; ++j) a[i][j] += u[i] * u[j];
        }
    });
    std::array<double, 2> x = b;
    if (!read || !Solve<2>(a, x, false)) return std::numeric_limits<double>::infinity();
    return energy - x[0] * b[0] - x[1] * b[1];
}

bool RefineRamp(ItemSamples& samples, int64_t from, int64_t count, const SineFit& fit, double holdFrom, bool integers,
                Ramp& ramp) {
    from = std::clamp<int64_t>(from, 0, samples.frames());
    count = std::clamp<int64_t>(count, 0, samples.frames() - from);
    if (count < 3) return false;
    std::array<std::array<double, 3>, 3> a{};
    std::array<double, 3> b{};
    PhaseStepper wave(fit, holdFrom, from);
    const Ramp current = ramp;
    const bool read = samples.ForEach(from, count, [&](int64_t n, double y) {
        const double w = fit.c1 * wave.Cos() + fit.c2 * wave.Sin();
        wave.Advance();
        const double gain = current.frames > 0 ? std::fabs(static_cast<double>(n) - current.zeroAt) / current.frames : 1;
        const double u[3] = {static_cast<double>(n) * w, w, integers ? TruncationLoss(gain * w) : 0};
        for (int i = 0; i < 3; ++i) {
            b[i] += u[i] * y;
            for (int k = i; k < 3; ++k) a[i][k] += u[i] * u[k];
        }
    });
    std::array<double, 3> x = b;
    if (!read || !Solve<3>(a, x, true) || x[0] == 0) return false;
    ramp.zeroAt = -x[1] / x[0];
    ramp.frames = std::fabs(1 / x[0]);
    return true;
}

bool MeasureResidual(ItemSamples& samples, const SineFit& fit, const Envelope& envelope, double holdFrom,
                     int64_t window, double share, Residual& result) {
    result.residual = result.wave = 0;
    result.gaps.clear();
    result.steadyWindows.assign(result.steadyWindow > 0 ? static_cast<size_t>((result.steadyTo - result.steadyFrom +
                                                                                result.steadyWindow - 1) /
                                                                               result.steadyWindow)
                                                        : 0,
                                0.0);
    PhaseStepper wave(fit, holdFrom, 0);
    const double amplitude = fit.Amplitude();
    const double windowLimit = share * amplitude * amplitude / 2 * static_cast<double>(window);
    double windowResidual = 0;
    int64_t windowStart = 0;
    const auto closeWindow = [&](int64_t end) {
        if (windowResidual > windowLimit) {
            Item::Gap* last = result.gaps.empty() ? nullptr : &result.gaps.back();
            // A break's windows round the wave's own zero crossings leave
            // little (the wave is small there): those within a period of
            // each other are one break.
            const double omega = static_cast<double>(fit.omega + fit.alpha * (static_cast<double>(windowStart) - fit.middle));
            const double period = omega > 0 ? kTwoPi / omega : 0;
            if (last != nullptr && static_cast<double>(windowStart - (last->start + last->frames)) <= period)
                last->frames = end - last->start;
            else
                result.gaps.push_back({windowStart, end - windowStart});
        }
        windowResidual = 0;
        windowStart = end;
    };
    const bool read = samples.ForEach(0, samples.frames(), [&](int64_t n, double y) {
        const double modelled = envelope(static_cast<double>(n)) * (fit.c1 * wave.Cos() + fit.c2 * wave.Sin());
        wave.Advance();
        const double r = y - modelled;
        if (n >= result.steadyFrom && n < result.steadyTo) {
            result.residual += r * r;
            result.wave += modelled * modelled;
            if (result.steadyWindow > 0)
                result.steadyWindows[static_cast<size_t>((n - result.steadyFrom) / result.steadyWindow)] += r * r;
        }
        if (window <= 0) return;
        windowResidual += r * r;
        if (n + 1 - windowStart == window) closeWindow(n + 1);
    });
    return read;
}

}  // namespace tonegate_capture
