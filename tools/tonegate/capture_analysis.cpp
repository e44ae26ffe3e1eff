// The capture analysis: a first pass over the whole file finds the items and
// the capture's figures; then each item is read again from its first frame
// and measured. Thread: the caller's one thread.
#include "tools/tonegate/capture_analysis.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>

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
// Crossings are counted once the signal passes this share of the item's
// peak, so that noise and the quiet ends of ramps add none.
constexpr double kHysteresis = 0.1;
// Half-cycles kept at each end of an item to measure its ramps.
constexpr size_t kEdgeHalfCycles = 2048;
constexpr double kShortestMeasuredTone = 0.1;
// A ramp is refined on its frames up to this share short of its estimated
// end, so that no steady frame is taken for a ramp's.
constexpr double kRampMargin = 0.03;

// The capture file, read in blocks of frames as doubles in sample units:
// integers as they were written, floats in full-scale units.
class SoundFile {
public:
    ~SoundFile() {
        if (file_ != nullptr) sf_close(file_);
    }

    bool Open(const std::string& path, std::string& why) {
        SF_INFO info{};
        file_ = sf_open(path.c_str(), SFM_READ, &info);
        if (file_ == nullptr) {
            why = "cannot read " + path + ": " + sf_strerror(nullptr);
            return false;
        }
        channels_ = info.channels;
        rate_ = info.samplerate;
        frames_ = info.frames;
        switch (info.format & SF_FORMAT_SUBMASK) {
            case SF_FORMAT_PCM_S8:
            case SF_FORMAT_PCM_U8: bits_ = 8; break;
            case SF_FORMAT_PCM_16: bits_ = 16; break;
            case SF_FORMAT_PCM_24: bits_ = 24; break;
            case SF_FORMAT_PCM_32: bits_ = 32; break;
            case SF_FORMAT_DOUBLE: bits_ = 64, floating_ = true; break;
            default: bits_ = 32, floating_ = true; break;
        }
        if (floating_) sf_command(file_, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        if (channels_ < 1 || rate_ < 1) {
            why = path + " holds no channels";
            return false;
        }
        integers_.resize(static_cast<size_t>(kBlockFrames * channels_));
        return true;
    }

    // Frames read into `samples` (kBlockFrames × channels at most); 0 at the end.
    int64_t Read(double* samples, int64_t frames) {
        frames = std::min(frames, kBlockFrames);
        if (floating_) return sf_readf_double(file_, samples, frames);
        const sf_count_t got = sf_readf_int(file_, integers_.data(), frames);
        // libsndfile left-justifies every integer format in 32 bits; the
        // shift gives back the values as written, exactly.
        const int shift = 32 - bits_;
        for (sf_count_t i = 0; i < got * channels_; ++i) samples[i] = integers_[static_cast<size_t>(i)] >> shift;
        return got;
    }

    bool Seek(int64_t frame) { return sf_seek(file_, frame, SEEK_SET) == frame; }

    int channels() const { return channels_; }
    int rate() const { return rate_; }
    int bits() const { return bits_; }
    bool floating() const { return floating_; }
    int64_t frames() const { return frames_; }

private:
    SNDFILE* file_ = nullptr;
    int channels_ = 0, rate_ = 0, bits_ = 0;
    bool floating_ = false;
    int64_t frames_ = 0;
    std::vector<int32_t> integers_;
};

// Calls `visit(n, sample)` for `count` frames of one channel from `first`,
// n counted from 0.
template <typename Visit>
bool ForEachSample(SoundFile& file, int channel, int64_t first, int64_t count, Visit visit) {
    if (!file.Seek(first)) return false;
    std::vector<double> block(static_cast<size_t>(kBlockFrames * file.channels()));
    for (int64_t done = 0; done < count;) {
        const int64_t got = file.Read(block.data(), count - done);
        if (got <= 0) return false;
        for (int64_t i = 0; i < got; ++i) visit(done + i, block[static_cast<size_t>(i * file.channels() + channel)]);
        done += got;
    }
    return true;
}

struct Span {
    int64_t first, last;
    double peak;  // largest magnitude in the span
};

// The samples of one item on one channel, for the passes that measure it:
// kept in memory when the item is short enough (most are, and the passes
// then cost no reading), read again from the file for each pass otherwise,
// so that memory stays bounded whatever the capture's length.
class ItemSamples {
public:
    ItemSamples(SoundFile& file, int channel, const Span& span)
        : file_(file), channel_(channel), first_(span.first), frames_(span.last - span.first + 1) {
        if (frames_ > kCachedFrames) return;
        kept_.reserve(static_cast<size_t>(frames_));
        readable_ = ForEachSample(file_, channel_, first_, frames_, [this](int64_t, double x) { kept_.push_back(x); });
    }

    int64_t frames() const { return frames_; }

    // Calls `visit(n, sample)` for frames [from, from + count) of the item.
    template <typename Visit>
    bool ForEach(int64_t from, int64_t count, Visit visit) {
        from = std::clamp<int64_t>(from, 0, frames_);
        count = std::clamp<int64_t>(count, 0, frames_ - from);
        if (frames_ > kCachedFrames)
            return ForEachSample(file_, channel_, first_ + from, count,
                                 [&](int64_t n, double x) { visit(from + n, x); });
        if (!readable_) return false;
        for (int64_t n = from; n < from + count; ++n) visit(n, kept_[static_cast<size_t>(n)]);
        return true;
    }

private:
    static constexpr int64_t kCachedFrames = int64_t{1} << 21;
    SoundFile& file_;
    int channel_;
    int64_t first_, frames_;
    std::vector<double> kept_;
    bool readable_ = true;
};
// Splits one channel into items: runs of samples louder than `level`, parted
// by at least `gap` quieter frames.
class Segmenter {
public:
    Segmenter(double level, int64_t gap) : level_(level), gap_(gap) {}

    void Feed(int64_t n, double sample) {
        const double magnitude = std::fabs(sample);
        if (!(magnitude > level_)) return;
        if (first_ >= 0 && n - last_ - 1 >= gap_) Close();
        if (first_ < 0) first_ = n, peak_ = 0;
        last_ = n;
        peak_ = std::max(peak_, magnitude);
    }
    // The spans found; `shortest` drops shorter ones.
    std::vector<Span> Finish(int64_t shortest) {
        if (first_ >= 0) Close();
        std::vector<Span> kept;
        for (const Span& span : spans_)
            if (span.last - span.first + 1 >= shortest) kept.push_back(span);
        return kept;
    }

private:
    void Close() {
        spans_.push_back({first_, last_, peak_});
        first_ = -1;
    }

    double level_;
    int64_t gap_;
    int64_t first_ = -1, last_ = -1;
    double peak_ = 0;
    std::vector<Span> spans_;
};

int64_t Silence(const std::vector<Span>& spans, int64_t frames) {
    int64_t sound = 0;
    for (const Span& span : spans) sound += span.last - span.first + 1;
    return frames - sound;
}

// Least-squares line y = a + b·x, fed point by point.
struct Line {
    double n = 0, x = 0, y = 0, xx = 0, xy = 0;
    void Add(double px, double py, double weight = 1) {
        n += weight, x += weight * px, y += weight * py, xx += weight * px * px, xy += weight * px * py;
    }
    void Remove(double px, double py) { Add(px, py, -1); }
    bool Fitted() const { return n >= 2 && n * xx - x * x > 0; }
    double Slope() const { return (n * xy - x * y) / (n * xx - x * x); }
    double At(double px) const { return (y - Slope() * x) / n + Slope() * px; }
};

struct HalfCycle {
    double middle;  // frame of the half-cycle's middle, from the item's start
    double length;  // frames between its two crossings
    double peak;
};

// What the first look at an item finds: its sum, its crossings, the shape
// of its ends and how its frequency moves.
struct Survey {
    int64_t sum = 0;
    Line crossings;                    // crossing position against its count: half a period a step
    Line early, late;                  // the same over the first and the last fifth
    Line trend;                        // frequency of each half-cycle against its middle
    std::vector<HalfCycle> head;       // the first half-cycles
    std::deque<HalfCycle> tail;        // the last half-cycles
};

// Crossings are told apart with hysteresis: a rise counts once the signal
// has gone above the level after being below minus the level, at the last
// place it passed zero (interpolated between the two samples round it).
bool SurveyItem(ItemSamples& samples, double peak, double rate, Survey& survey) {
    const double level = kHysteresis * peak;
    const double frames = static_cast<double>(samples.frames());
    int state = 0, count = 0;
    double previous = 0, lastRise = 0, lastFall = 0, lastCrossing = -1, halfPeak = 0;
    const auto cross = [&](double at) {
        if (lastCrossing >= 0) {
            const HalfCycle half{(at + lastCrossing) / 2, at - lastCrossing, halfPeak};
            survey.trend.Add(half.middle, rate / (2 * half.length));
            if (survey.head.size() < kEdgeHalfCycles) survey.head.push_back(half);
            survey.tail.push_back(half);
            if (survey.tail.size() > kEdgeHalfCycles) survey.tail.pop_front();
        }
        survey.crossings.Add(count, at);
        if (at < frames / 5) survey.early.Add(count, at);
        if (at > frames * 4 / 5) survey.late.Add(count, at);
        ++count;
        lastCrossing = at;
        halfPeak = 0;
    };
    return samples.ForEach(0, samples.frames(), [&](int64_t n, double x) {
        survey.sum += static_cast<int64_t>(x);
        const double at = static_cast<double>(n);
        if (previous < 0 && x >= 0) lastRise = at - 1 + previous / (previous - x);
        if (previous > 0 && x <= 0) lastFall = at - 1 + previous / (previous - x);
        if (x > level && state <= 0) {
            if (state < 0) cross(lastRise);
            state = 1;
        } else if (x < -level && state >= 0) {
            if (state > 0) cross(lastFall);
            state = -1;
        }
        halfPeak = std::max(halfPeak, std::fabs(x));
        previous = x;
    });
}

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
        if (half.peak >= 0.9 * peak) return false;
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

// y ≈ g·(c1 cos ωm + c2 sin ωm), m the frame from `middle`, fitted by
// Gauss-Newton on ω over frames [from, from + count): each round solves the
// model linearised in ω (two more terms, m·cos and m·sin) and moves ω. One
// pass over the frames a round, the sine and cosine stepped by rotation.
struct SineFit {
    double omega = 0;
    double middle = 0;
    double c1 = 0, c2 = 0;
};

bool FitSine(ItemSamples& samples, int64_t from, int64_t count, const Envelope& envelope, int rounds, SineFit& fit) {
    fit.middle = static_cast<double>(from) + static_cast<double>(count - 1) / 2;
    const double scale = 2.0 / std::max<double>(static_cast<double>(count), 2.0);
    for (int round = 0; round < rounds; ++round) {
        std::array<std::array<double, 4>, 4> a{};
        std::array<double, 4> b{};
        const double stepCos = std::cos(fit.omega), stepSin = std::sin(fit.omega);
        double c = 0, s = 0;
        const bool read = samples.ForEach(from, count, [&](int64_t n, double y) {
            const double m = static_cast<double>(n) - fit.middle;
            // Exact every 4096 frames, rotated in between.
            if ((n - from) % 4096 == 0) c = std::cos(fit.omega * m), s = std::sin(fit.omega * m);
            const double g = envelope(static_cast<double>(n));
            const double u[4] = {g * c, g * s, g * m * scale * c, g * m * scale * s};
            for (int i = 0; i < 4; ++i) {
                b[i] += u[i] * y;
                for (int j = i; j < 4; ++j) a[i][j] += u[i] * u[j];
            }
            const double nextC = c * stepCos - s * stepSin;
            s = s * stepCos + c * stepSin;
            c = nextC;
        });
        if (!read) return false;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < i; ++j) a[i][j] = a[j][i];
        // Gaussian elimination with partial pivoting.
        std::array<double, 4> x = b;
        for (int col = 0; col < 4; ++col) {
            int pivot = col;
            for (int row = col + 1; row < 4; ++row)
                if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
            std::swap(a[col], a[pivot]);
            std::swap(x[col], x[pivot]);
            if (a[col][col] == 0) return false;
            for (int row = col + 1; row < 4; ++row) {
                const double factor = a[row][col] / a[col][col];
                for (int k = col; k < 4; ++k) a[row][k] -= factor * a[col][k];
                x[row] -= factor * x[col];
            }
        }
        for (int col = 3; col >= 0; --col) {
            for (int k = col + 1; k < 4; ++k) x[col] -= a[col][k] * x[k];
            x[col] /= a[col][col];
        }
        // With ω off by δ: c3 = c2·δ/scale and c4 = -c1·δ/scale.
        const double power = x[0] * x[0] + x[1] * x[1];
        if (power == 0) return false;
        fit.omega += (x[2] * x[1] - x[3] * x[0]) / power * scale;
        fit.c1 = x[0], fit.c2 = x[1];
    }
    return true;
}

// A ramp's line refined on the samples themselves, against the steady part's
// sine: y ≈ (α·n + β)·S(n) over frames [from, from + count).
bool RefineRamp(ItemSamples& samples, int64_t from, int64_t count, const SineFit& sine, Ramp& ramp) {
    double nn = 0, n1 = 0, ones = 0, yn = 0, y1 = 0;
    const bool read = samples.ForEach(from, count, [&](int64_t n, double y) {
        const double m = static_cast<double>(n) - sine.middle;
        const double wave = sine.c1 * std::cos(sine.omega * m) + sine.c2 * std::sin(sine.omega * m);
        const double at = static_cast<double>(n);
        nn += at * at * wave * wave, n1 += at * wave * wave, ones += wave * wave;
        yn += y * at * wave, y1 += y * wave;
    });
    const double determinant = nn * ones - n1 * n1;
    if (!read || determinant == 0) return false;
    const double alpha = (yn * ones - y1 * n1) / determinant;
    const double beta = (nn * y1 - n1 * yn) / determinant;
    if (alpha == 0) return false;
    ramp.zeroAt = -beta / alpha;
    ramp.frames = std::fabs(1 / alpha);
    return true;
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
    // Twice: the ramps' first estimate is coarse, and the steady part and the
    // ramps are each measured where the other surely is not.
    for (int round = 0; round < 2 && envelope.attack.frames > 0 && envelope.release.frames > 0; ++round) {
        const Ramp attack = envelope.attack, release = envelope.release;
        const int64_t steadyFrom = static_cast<int64_t>(std::ceil(attack.zeroAt + attack.frames)) + 1;
        const int64_t steadyTo = static_cast<int64_t>(std::floor(release.zeroAt - release.frames)) - 1;
        if (steadyTo - steadyFrom <= 4 * period) break;
        if (!FitSine(samples, steadyFrom, steadyTo - steadyFrom, Envelope{}, 2 - round, fit)) return false;
        const auto inside = [](double frame) { return static_cast<int64_t>(std::floor(frame)); };
        const int64_t attackTo = inside(attack.zeroAt + (1 - kRampMargin) * attack.frames);
        const int64_t releaseFrom = inside(release.zeroAt - (1 - kRampMargin) * release.frames) + 1;
        RefineRamp(samples, 0, attackTo, fit, envelope.attack);
        RefineRamp(samples, releaseFrom, frames - releaseFrom, fit, envelope.release);
    }
    if (!FitSine(samples, 0, frames, envelope, 2, fit)) return false;
    item.frequency = fit.omega * rate / kTwoPi;
    item.attack = std::lround(envelope.attack.frames);
    // The attack's zero is the frame before the note's first sample.
    if (envelope.attack.frames > 0) item.onset = item.start + std::llround(envelope.attack.zeroAt) + 1;
    item.release = std::lround(envelope.release.frames);
    if (static_cast<double>(frames) >= kShortestMeasuredTone * rate) {
        // What the fitted tone leaves, summed sample by sample: the fit's own
        // figure is a difference of two near-equal sums.
        double residual = 0, tone = 0;
        samples.ForEach(0, frames, [&](int64_t n, double y) {
            const double m = static_cast<double>(n) - fit.middle;
            const double modelled =
                envelope(static_cast<double>(n)) * (fit.c1 * std::cos(fit.omega * m) + fit.c2 * std::sin(fit.omega * m));
            residual += (y - modelled) * (y - modelled);
            tone += modelled * modelled;
        });
        if (residual > 0 && tone > 0) item.thdn = 10 * std::log10(residual / tone);
    }
    // The note runs from where its attack starts to where its release ends.
    const double begins = envelope.attack.frames > 0 ? std::min(envelope.attack.zeroAt, 0.0) : 0.0;
    const double ends = envelope.release.frames > 0 ? std::max(envelope.release.zeroAt, static_cast<double>(frames))
                                                    : static_cast<double>(frames);
    item.cycles = item.frequency * (ends - begins) / rate;
    return true;
}

bool MeasureItem(SoundFile& file, const Span& span, double fullScale, bool integers, Item& item) {
    const double rate = file.rate();
    item.start = item.onset = span.first;
    item.frames = span.last - span.first + 1;
    item.peak = span.peak;
    item.attenuation = span.peak > 0 ? 20 * std::log10(fullScale / span.peak) : 0;
    ItemSamples samples(file, item.channel, span);
    Survey survey;
    if (!SurveyItem(samples, span.peak, rate, survey)) return false;
    if (integers) item.sum = survey.sum;
    // Too few crossings to tell: a click or a fragment, reported as it is.
    if (!survey.crossings.Fitted()) return true;
    // Half a period a crossing.
    const double frequency = rate / (2 * survey.crossings.Slope());
    const double earlyFrequency = survey.early.Fitted() ? rate / (2 * survey.early.Slope()) : frequency;
    const double lateFrequency = survey.late.Fitted() ? rate / (2 * survey.late.Slope()) : frequency;
    const Envelope envelope{FitRamp(survey.head, span.peak, true), FitRamp(survey.tail, span.peak, false)};
    if (std::fabs(lateFrequency - earlyFrequency) <= std::max(0.002 * frequency, 0.5))
        return MeasureTone(samples, rate, frequency, envelope, item) || (item.frequency = frequency, true);

    item.kind = ItemKind::Sweep;
    item.fade = std::lround(envelope.release.frames);
    // The frequency moves in a straight line; the fade's own half-cycles
    // hold it, so they stay out of the line.
    Line trend = survey.trend;
    const double fadeStart = static_cast<double>(item.frames) - envelope.release.frames;
    for (const HalfCycle& half : survey.tail)
        if (half.middle > fadeStart) trend.Remove(half.middle, rate / (2 * half.length));
    if (!trend.Fitted()) trend = survey.trend;
    item.from = trend.At(0);
    item.to = trend.At(static_cast<double>(item.frames));
    return true;
}

}  // namespace

double FullScale(const Capture& capture) {
    return capture.floating ? 1.0 : std::ldexp(1.0, capture.bits - 1) - 1.0;
}

bool AnalyseCapture(const std::string& path, const AnalysisOptions& options, Capture& capture, std::string& why) {
    SoundFile file;
    if (!file.Open(path, why)) return false;
    capture = Capture{};
    capture.path = path;
    capture.rate = file.rate();
    capture.channels = file.channels();
    capture.bits = file.bits();
    capture.floating = file.floating();
    capture.frames = file.frames();
    const int channels = std::min(capture.channels, 2);
    const double fullScale = FullScale(capture);
    const double rate = capture.rate;
    const double threshold = fullScale * std::pow(10.0, options.thresholdDb / 20);

    // First pass: both readings of every channel, the figures of the whole.
    std::vector<Segmenter> exact, recorded;
    for (int c = 0; c < channels; ++c) {
        exact.emplace_back(0.0, std::max<int64_t>(kExactGapFrames, std::llround(kExactGapSeconds * rate)));
        recorded.emplace_back(threshold, std::llround(kRecordedGapSeconds * rate));
    }
    double sums[2] = {0, 0};
    const double lowest = capture.floating ? -1.0 : -fullScale - 1;
    if (!file.Seek(0)) {
        why = "cannot read " + path;
        return false;
    }
    std::vector<double> block(static_cast<size_t>(kBlockFrames * capture.channels));
    int64_t frame = 0;
    for (int64_t got; (got = file.Read(block.data(), kBlockFrames)) > 0; frame += got) {
        for (int64_t i = 0; i < got; ++i) {
            for (int c = 0; c < channels; ++c) {
                const double x = block[static_cast<size_t>(i * capture.channels + c)];
                exact[c].Feed(frame + i, x);
                recorded[c].Feed(frame + i, x);
                sums[c] += x;
                if (x >= fullScale || x <= lowest) ++capture.clipped;
            }
        }
    }
    capture.frames = frame;

    // Digital silence: the exact zeros between the items make up most of
    // what the threshold calls silence.
    std::vector<Span> spans[2], loud[2];
    int64_t exactSilence = 0, loudSilence = 0;
    for (int c = 0; c < channels; ++c) {
        spans[c] = exact[c].Finish(1);
        exactSilence += Silence(spans[c], frame);
        loud[c] = recorded[c].Finish(std::llround(kShortestRecordedItem * rate));
        loudSilence += Silence(loud[c], frame);
        capture.dc[c] = frame > 0 ? sums[c] / static_cast<double>(frame) / fullScale : 0;
    }
    capture.bitExact = !options.recorded && !capture.floating && exactSilence > 0 && 2 * exactSilence >= loudSilence;
    if (!capture.bitExact)
        for (int c = 0; c < channels; ++c) spans[c] = loud[c];

    // Second pass: each item on its own.
    for (int c = 0; c < channels; ++c) {
        for (const Span& span : spans[c]) {
            Item item;
            item.channel = c;
            if (!MeasureItem(file, span, fullScale, !capture.floating, item)) {
                why = "cannot read " + path + " again";
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
