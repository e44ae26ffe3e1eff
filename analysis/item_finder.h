// The first pass's item finder: one channel split into items (runs of sound
// between silences) while it surveys each: its peak, exact sum and energy,
// its crossings, how its frequency moves, and a first estimate of its ramps
// from the peaks of the half-cycles at its two ends.
// Thread: the caller's one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tonegate_capture {

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

// Least-squares parabola y = a + b·x + c·x², fed point by point; x is
// taken in units of 2^20 so that its fourth powers stay well inside a
// double's range over hours of frames.
struct Parabola {
    static constexpr double kUnit = 1048576.0;
    int64_t points = 0;
    double s[5] = {0, 0, 0, 0, 0};  // Σ x^i
    double t[3] = {0, 0, 0};        // Σ y·x^i
    void Add(double px, double py) {
        const double x = px / kUnit;
        ++points;
        double power = 1;
        for (int i = 0; i < 5; ++i, power *= x) {
            s[i] += power;
            if (i < 3) t[i] += py * power;
        }
    }
    // The coefficients for x in frames; false when fewer than 3 points or singular.
    bool Solve(double& a, double& b, double& c) const;
};

// A linear ramp: the frame (from the item's first) where its gain is 0, and
// the frames it takes to reach 1. No frames: no ramp found. The first
// pass also says whether the item starts (or ends) at full level, and where
// its first half-cycle near full level lies (the ramp ends before it).
struct Ramp {
    double zeroAt = 0;
    double frames = 0;
    bool abrupt = false;
    double edge = -1;  // frame of that half-cycle's middle; -1: none seen
};

// One item as the first pass finds it. Positions are frames from the item's
// first frame; small, so that a long capture's many items cost little memory.
struct Span {
    int64_t first = 0, last = 0;
    double peak = 0;
    int64_t sum = 0;
    double energy = 0;   // sum of squares
    int64_t crossingCount = 0;
    Line crossings;      // crossing position against its count
    Parabola phase;      // crossing count against its position: the phase in half-cycles
    Ramp attack, release;
};

// Splits one channel into items: runs of samples louder than `level`, parted
// by at least `gap` quieter frames. Crossings are told apart with
// hysteresis: a rise counts once the signal has gone above the level after
// being below minus the level, at the last place it passed zero
// (interpolated between the two samples round it).
class ItemFinder {
public:
    ItemFinder(double level, int64_t gap, double rate);

    // Frames [first, first + count) of one channel, every `step`-th value of `samples`.
    void Feed(const double* samples, int step, int64_t first, int64_t count);

    // The items found; `shortest` drops shorter ones.
    std::vector<Span> Finish(int64_t shortest);

private:
    struct HalfCycle {
        double middle;  // frame of the half-cycle's middle
        double length;  // frames between its two crossings
        double peak;
    };
    void Open(int64_t n);
    void Close();
    void Cross(double at);
    static Ramp FitRamp(const std::vector<HalfCycle>& halves, double peak, bool rising);

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
    double previous_ = 0, lastRise_ = 0, lastFall_ = 0, lastCrossing_ = -1, halfPeak_ = 0;
};

}  // namespace tonegate_capture
