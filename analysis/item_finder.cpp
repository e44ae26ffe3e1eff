// The first pass's item finder. Thread: the caller's one thread.
#include "analysis/item_finder.h"

#include <algorithm>
#include <cmath>

#include "analysis/analysis_limits.h"

namespace tonegate_capture {

bool Parabola::Solve(double& a, double& b, double& c) const {
    if (points < 3) return false;
    // Cramer's rule on the 3×3 normal equations.
    const double m[3][3] = {{s[0], s[1], s[2]}, {s[1], s[2], s[3]}, {s[2], s[3], s[4]}};
    const auto det = [](const double (&x)[3][3]) {
        return x[0][0] * (x[1][1] * x[2][2] - x[1][2] * x[2][1]) - x[0][1] * (x[1][0] * x[2][2] - x[1][2] * x[2][0]) +
               x[0][2] * (x[1][0] * x[2][1] - x[1][1] * x[2][0]);
    };
    const double d = det(m);
    if (!(std::fabs(d) > 0)) return false;
    double coefficient[3];
    for (int k = 0; k < 3; ++k) {
        double replaced[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) replaced[i][j] = j == k ? t[i] : m[i][j];
        coefficient[k] = det(replaced) / d;
    }
    a = coefficient[0];
    b = coefficient[1] / kUnit;
    c = coefficient[2] / (kUnit * kUnit);
    return std::isfinite(a) && std::isfinite(b) && std::isfinite(c);
}

ItemFinder::ItemFinder(double level, int64_t gap, double rate) : level_(level), gap_(gap), rate_(rate) {}

// The state the loop touches on every sample lives in locals (kept in
// registers) and goes back to the members round each event.
void ItemFinder::Feed(const double* samples, int step, int64_t first, int64_t count) {
    int64_t last = span_.last, sum = span_.sum, origin = span_.first;
    double peak = span_.peak, energy = span_.energy, previous = previous_, halfPeak = halfPeak_;
    double lastRise = lastRise_, lastFall = lastFall_;
    int state = state_;
    const auto save = [&] {
        span_.last = last, span_.sum = sum, span_.peak = peak, span_.energy = energy;
        previous_ = previous, halfPeak_ = halfPeak, lastRise_ = lastRise, lastFall_ = lastFall, state_ = state;
    };
    const auto load = [&] {
        last = span_.last, sum = span_.sum, origin = span_.first, peak = span_.peak, energy = span_.energy;
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
        // Samples after the item's last loud one are summed too; Close takes
        // them back off when the item ends there.
        sum += static_cast<int64_t>(x);
        energy += x * x;
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

std::vector<Span> ItemFinder::Finish(int64_t shortest) {
    if (open_) Close();
    std::vector<Span> kept;
    for (Span& span : spans_)
        if (span.last - span.first + 1 >= shortest) kept.push_back(span);
    return kept;
}

void ItemFinder::Open(int64_t n) {
    span_ = Span{};
    head_.clear(), tail_.clear();
    tailNext_ = 0;
    span_.first = n;
    open_ = true;
    state_ = 0;
    previous_ = 0, lastCrossing_ = -1, halfPeak_ = 0;
}

void ItemFinder::Close() {
    span_.attack = FitRamp(head_, span_.peak, true);
    // The ring's oldest half-cycle first.
    std::vector<HalfCycle> tail(tail_.begin() + static_cast<long>(tailNext_), tail_.end());
    tail.insert(tail.end(), tail_.begin(), tail_.begin() + static_cast<long>(tailNext_));
    std::reverse(tail.begin(), tail.end());
    span_.release = FitRamp(tail, span_.peak, false);
    spans_.push_back(span_);
    open_ = false;
}

void ItemFinder::Cross(double at) {
    if (lastCrossing_ >= 0) {
        const HalfCycle half{(at + lastCrossing_) / 2, at - lastCrossing_, halfPeak_};
        // Weighted by the half-cycle's power: the quiet ends of ramps, where
        // rounding moves the crossings most, count least.
        if (head_.size() < static_cast<size_t>(kEdgeHalfCycles)) head_.push_back(half);
        if (tail_.size() < static_cast<size_t>(kEdgeHalfCycles)) {
            tail_.push_back(half);
        } else {
            tail_[tailNext_] = half;
            tailNext_ = (tailNext_ + 1) % static_cast<size_t>(kEdgeHalfCycles);
        }
    }
    span_.crossings.Add(static_cast<double>(span_.crossingCount), at);
    span_.phase.Add(at, static_cast<double>(span_.crossingCount++));
    lastCrossing_ = at;
    halfPeak_ = 0;
}

// The half-cycles from the item's edge inward (`halves` in that order) up
// to the first that reaches nine tenths of the peak, their peaks fitted
// with a line: where it is 0, and how long it takes to reach the peak.
constexpr size_t kFewestHalfCyclesForAbrupt = 6;

Ramp ItemFinder::FitRamp(const std::vector<HalfCycle>& halves, double peak, bool rising) {
    Line line;
    Ramp ramp;
    for (const HalfCycle& half : halves) {
        if (half.peak >= kRampShare * peak) {
            ramp.edge = half.middle;
            // Loud from the first whole half-cycle on: abrupt, unless the
            // item has too few for that to tell (a note of two cycles whose
            // ramps meet at its top).
            ramp.abrupt = line.points == 0 && halves.size() >= kFewestHalfCyclesForAbrupt;
            break;
        }
        line.Add(half.middle, half.peak);
    }
    if (!line.Fitted() || line.Slope() == 0 || (line.Slope() > 0) != rising) return ramp;
    ramp.zeroAt = line.At(0) / -line.Slope();
    ramp.frames = std::fabs(peak / line.Slope());
    return ramp;
}

}  // namespace tonegate_capture
