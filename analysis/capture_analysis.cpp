// The capture analysis: one pass over the whole capture takes its figures,
// finds the items by the bit-exact reading and decides which reading the
// capture wants; a recording is read once more for its items above the
// threshold; then each item is read again and measured on its own.
// Thread: the caller's one thread.
#include "analysis/capture_analysis.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "analysis/analysis_limits.h"
#include "analysis/item_finder.h"
#include "analysis/item_measure.h"

namespace tonegate_capture {

namespace {

// The peak levels of a capture's short windows, in half-dB steps from
// -200 dBFS (digital silence counts there), for its noise floor.
class LevelHistogram {
public:
    void Add(double peak, double fullScale) {
        const double db = peak > 0 ? 20 * std::log10(peak / fullScale) : kLowest;
        const auto bin = static_cast<size_t>(std::clamp((db - kLowest) * 2, 0.0, static_cast<double>(kBins - 1)));
        ++bins_[bin];
        ++count_;
    }
    // The level below which `share` of the windows lie, dBFS.
    double Below(double share) const {
        int64_t seen = 0;
        for (size_t bin = 0; bin < kBins; ++bin)
            if ((seen += bins_[bin]) > static_cast<int64_t>(share * static_cast<double>(count_)))
                return kLowest + static_cast<double>(bin) / 2;
        return 0;
    }

private:
    static constexpr double kLowest = -200;
    static constexpr size_t kBins = 421;
    std::array<int64_t, kBins> bins_{};
    int64_t count_ = 0;
};

// What the first pass learns besides the items.
struct Survey {
    double sums[2] = {0, 0};
    int64_t clipped = 0;
    LevelHistogram levels;
    int64_t quiet = 0;  // samples at or below the threshold, over the channels
    int64_t large = 0, largeWithLowByteZero = 0;  // 32-bit samples above 2^25
    enum class Decision { Undecided, Exact, Recorded } decision = Decision::Undecided;
};

// The file's channels read as A and B.
struct ChannelMap {
    int file[2] = {0, 1};
    int count = 0;
};

bool MapChannels(const SampleSource& source, const AnalysisOptions& options, ChannelMap& map, std::string& why) {
    const int requested[2] = {options.channelA, options.channelB};
    map.count = source.channels == 1 && options.channelB == 1 ? 1 : 2;
    for (int c = 0; c < map.count; ++c) {
        if (requested[c] < 0 || requested[c] >= source.channels) {
            why = "the capture has " + std::to_string(source.channels) + " channel(s): there is no channel " +
                  std::to_string(requested[c] + 1);
            return false;
        }
        map.file[c] = requested[c];
    }
    return true;
}

// Decides the reading at the first long silence: a run of exact zeros on
// every channel half as long as it says bit-exact; a run below the
// threshold that long without one says recorded. (A quiet note's ramp may
// sit below the threshold beside the silence, so the run of zeros, not the
// quiet run, tells.)
class ReadingDecider {
public:
    ReadingDecider(double threshold, double rate)
        : threshold_(threshold), needed_(2 * std::llround(kRecordedGapSeconds * rate)) {}
    void Frame(const double* samples, const ChannelMap& map, Survey& survey) {
        bool quiet = true, zero = true;
        for (int c = 0; c < map.count; ++c) {
            const double x = samples[map.file[c]];
            quiet = quiet && std::fabs(x) <= threshold_;
            zero = zero && x == 0;
        }
        quietRun_ = quiet ? quietRun_ + 1 : 0;
        zeroRun_ = zero ? zeroRun_ + 1 : 0;
        if (quietRun_ == 1) longestZeroRun_ = 0;
        longestZeroRun_ = std::max(longestZeroRun_, zeroRun_);
        if (2 * zeroRun_ >= needed_) survey.decision = Survey::Decision::Exact;
        else if (quietRun_ >= needed_ && 2 * longestZeroRun_ < needed_) survey.decision = Survey::Decision::Recorded;
    }

private:
    double threshold_;
    int64_t needed_;
    int64_t quietRun_ = 0, zeroRun_ = 0, longestZeroRun_ = 0;
};

// The first pass: the capture's figures, the noise floor, the items by the
// bit-exact reading and the reading's decision.
bool SurveyCapture(SampleSource& source, const ChannelMap& map, double fullScale, double threshold,
            std::vector<ItemFinder>& finders, Survey& survey, int64_t& frames, std::string& why) {
    if (!source.Seek(0)) {
        why = "cannot read the capture from its start";
        return false;
    }
    const double lowest = source.floating ? -1.0 : -fullScale - 1;
    const bool thirtyTwo = !source.floating && source.bits == 32;
    const int64_t window = std::max<int64_t>(std::llround(kNoiseFloorSeconds * source.rate), 1);
    ReadingDecider decider(threshold, source.rate);
    double windowPeak = 0;
    int64_t untilWindowEnd = window;
    std::vector<double> block(static_cast<size_t>(kBlockFrames * source.channels));
    frames = 0;
    for (int64_t got; (got = source.Read(block.data(), kBlockFrames)) > 0; frames += got) {
        for (int c = 0; c < map.count; ++c) finders[static_cast<size_t>(c)].Feed(block.data() + map.file[c], source.channels, frames, got);
        // Channel by channel over each stretch up to the next window's end:
        // the loops keep their sums in registers.
        for (int64_t from = 0; from < got;) {
            const int64_t to = std::min(got, from + untilWindowEnd);
            for (int c = 0; c < map.count; ++c) {
                double sum = 0, peak = windowPeak;
                int64_t clipped = 0, quiet = 0, large = 0, lowByteZero = 0;
                for (int64_t i = from; i < to; ++i) {
                    const double x = block[static_cast<size_t>(i * source.channels + map.file[c])];
                    const double magnitude = std::fabs(x);
                    sum += x;
                    clipped += x >= fullScale || x <= lowest;
                    peak = std::max(peak, magnitude);
                    quiet += magnitude <= threshold;
                    if (thirtyTwo && magnitude >= 33554432.0) {
                        ++large;
                        lowByteZero += (static_cast<int64_t>(x) & 0xFF) == 0;  // x is a whole number
                    }
                }
                survey.sums[c] += sum;
                survey.clipped += clipped, survey.quiet += quiet;
                survey.large += large, survey.largeWithLowByteZero += lowByteZero;
                windowPeak = peak;
            }
            for (int64_t i = from; i < to && survey.decision == Survey::Decision::Undecided; ++i)
                decider.Frame(&block[static_cast<size_t>(i * source.channels)], map, survey);
            untilWindowEnd -= to - from;
            if (untilWindowEnd == 0) survey.levels.Add(windowPeak, fullScale), windowPeak = 0, untilWindowEnd = window;
            from = to;
        }
    }
    return true;
}

// A later pass: the items above the recorded reading's threshold.
bool FindRecordedItems(SampleSource& source, const ChannelMap& map, double threshold, std::vector<Span>* spans,
                       std::string& why) {
    std::vector<ItemFinder> finders;
    for (int c = 0; c < map.count; ++c)
        finders.emplace_back(threshold, std::llround(kRecordedGapSeconds * source.rate), source.rate);
    if (!source.Seek(0)) {
        why = "cannot read the capture again";
        return false;
    }
    std::vector<double> block(static_cast<size_t>(kBlockFrames * source.channels));
    int64_t frames = 0;
    for (int64_t got; (got = source.Read(block.data(), kBlockFrames)) > 0; frames += got)
        for (int c = 0; c < map.count; ++c) finders[static_cast<size_t>(c)].Feed(block.data() + map.file[c], source.channels, frames, got);
    for (int c = 0; c < map.count; ++c)
        spans[c] = finders[static_cast<size_t>(c)].Finish(std::llround(kShortestRecordedItem * source.rate));
    return true;
}

// A bit-exact capture's crumbs: a sample or two of one unit, apart from
// the sound they belong to (a note's last correction step after its quiet
// release, or one inside the long zeros of a quiet attack). Each is folded
// into the nearest item, where it counts in the sum (and, after the item,
// in its frames), and is no item of its own.
constexpr int64_t kCrumbFrames = 4;
constexpr double kCrumbSeconds = 0.05;

std::vector<Span> FoldCrumbs(std::vector<Span> spans, double rate) {
    const auto crumb = [](const Span& span) { return span.last - span.first < kCrumbFrames && span.peak <= 1; };
    const auto near = [rate](const Span& before, const Span& after) {
        return static_cast<double>(after.first - before.last) <= kCrumbSeconds * rate;
    };
    std::vector<Span> kept;
    for (size_t i = 0; i < spans.size(); ++i) {
        if (!crumb(spans[i])) {
            kept.push_back(spans[i]);
            continue;
        }
        if (!kept.empty() && !crumb(kept.back()) && near(kept.back(), spans[i])) {
            // After its sound it ends the item (positions count from the
            // item's first frame, which stays).
            kept.back().sum += spans[i].sum;
            kept.back().last = spans[i].last;
        } else if (i + 1 < spans.size() && !crumb(spans[i + 1]) && near(spans[i], spans[i + 1])) {
            spans[i + 1].sum += spans[i].sum;
        } else {
            kept.push_back(spans[i]);
        }
    }
    return kept;
}

int64_t Silence(const std::vector<Span>& spans, int64_t frames) {
    int64_t sound = 0;
    for (const Span& span : spans) sound += span.last - span.first + 1;
    return frames - sound;
}

bool MeasureItems(SampleSource& source, const ChannelMap& map, const std::vector<Span>* spans, const Reading& reading,
                  std::vector<Item>& items, std::string& why) {
    items.clear();
    for (int c = 0; c < map.count; ++c) {
        for (const Span& span : spans[c]) {
            Item item;
            if (!MeasureItem(source, map.file[c], span, reading, item)) {
                why = "cannot read the capture again";
                return false;
            }
            item.channel = c;
            items.push_back(std::move(item));
        }
    }
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.onset != b.onset ? a.onset < b.onset : a.channel < b.channel;
    });
    return true;
}

// A capture with digital silence is still a recording when its tones ring
// ahead of their attacks (a resampler's or a filter's doing), when most of
// its items are neither tones nor sweeps (a resampler's ringing, read up to
// its exact zeros, spoils them), or when its 32-bit samples went through floats.
bool LooksExact(const std::vector<Item>& items, const Survey& survey) {
    if (survey.large >= kFloatPathFewestSamples &&
        static_cast<double>(survey.largeWithLowByteZero) > kFloatPathShare * static_cast<double>(survey.large))
        return false;
    int64_t tones = 0, ringing = 0, others = 0;
    for (const Item& item : items) {
        others += item.kind == ItemKind::Other && item.what == "noise";
        if (item.kind != ItemKind::Tone || item.attack == 0) continue;
        ++tones;
        ringing += item.onset - item.start > kRingingFrames;
    }
    return 2 * ringing <= tones && 2 * others <= static_cast<int64_t>(items.size());
}

// The given threshold; else the default, or above the noise floor where
// that is louder. The quietest windows tell the floor only where they are
// well below the capture's typical level (else they are its sounds' own).
double Threshold(const AnalysisOptions& options, const Survey& survey) {
    if (options.thresholdGiven) return options.thresholdDb;
    const double floor = survey.levels.Below(kNoiseFloorShare);
    if (floor > survey.levels.Below(0.5) - kFloorBelowTypicalDb) return kDefaultThresholdDb;
    return std::max(kDefaultThresholdDb, floor + kThresholdAboveFloorDb);
}

}  // namespace

const char* KindName(ItemKind kind) {
    return kind == ItemKind::Tone ? "tone" : kind == ItemKind::Sweep ? "sweep" : "other";
}

HeldSamples::HeldSamples(const std::vector<int32_t>* channelSamples, int channelCount, int sampleRate, int sampleBits)
    : channels_(channelSamples) {
    channels = channelCount;
    rate = sampleRate;
    bits = sampleBits;
    format = "PCM " + std::to_string(sampleBits) + "-bit";
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

double FullScale(const Capture& capture) {
    return capture.floating ? 1.0 : std::ldexp(1.0, capture.bits - 1) - 1.0;
}

bool AnalyseSamples(SampleSource& source, const AnalysisOptions& options, Capture& capture, std::string& why) {
    capture = Capture{};
    capture.rate = source.rate;
    capture.channels = source.channels;
    capture.bits = source.bits;
    capture.floating = source.floating;
    capture.format = source.format;
    ChannelMap map;
    if (!MapChannels(source, options, map, why)) return false;
    capture.analysedChannels = map.count;
    capture.channelA = map.file[0], capture.channelB = map.count > 1 ? map.file[1] : -1;
    Reading reading;
    reading.rate = source.rate;
    reading.fullScale = FullScale(capture);
    reading.integers = !source.floating;

    std::vector<ItemFinder> exact;
    for (int c = 0; c < map.count; ++c)
        exact.emplace_back(0.0, std::max<int64_t>(kExactGapFrames, std::llround(kExactGapSeconds * source.rate)),
                           source.rate);
    Survey survey;
    if (options.recorded) survey.decision = Survey::Decision::Recorded;
    const double firstThreshold = options.thresholdGiven ? options.thresholdDb : kDefaultThresholdDb;
    if (!SurveyCapture(source, map, reading.fullScale, reading.fullScale * std::pow(10.0, firstThreshold / 20), exact, survey,
                capture.frames, why))
        return false;
    capture.declaredFrames = std::max(source.declaredFrames, capture.frames);
    for (int c = 0; c < map.count; ++c)
        capture.dc[c] = capture.frames > 0 ? survey.sums[c] / static_cast<double>(capture.frames) / reading.fullScale : 0;
    capture.clipped = survey.clipped;
    capture.thresholdDb = Threshold(options, survey);
    const double threshold = reading.fullScale * std::pow(10.0, capture.thresholdDb / 20);

    std::vector<Span> spans[2];
    int64_t exactSilence = 0;
    for (int c = 0; c < map.count; ++c) {
        spans[c] = FoldCrumbs(exact[static_cast<size_t>(c)].Finish(1), source.rate);
        exactSilence += Silence(spans[c], capture.frames);
    }
    // Without a long silence to tell: digital silence when the exact zeros
    // between the items make up most of what the threshold calls silence.
    capture.bitExact = survey.decision == Survey::Decision::Exact ||
                       (survey.decision == Survey::Decision::Undecided && exactSilence > 0 &&
                        2 * exactSilence >= survey.quiet);
    if (capture.bitExact) {
        if (!MeasureItems(source, map, spans, reading, capture.items, why)) return false;
        if (LooksExact(capture.items, survey)) return true;
        capture.bitExact = false;
    }
    reading.recorded = true;
    return FindRecordedItems(source, map, threshold, spans, why) &&
           MeasureItems(source, map, spans, reading, capture.items, why);
}

}  // namespace tonegate_capture
