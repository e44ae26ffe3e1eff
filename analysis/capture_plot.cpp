// The picture of `tonegate check --plot`, drawn with cairo. The capture is
// read through the analysis's own reader: each column of pixels gets its
// level from every frame it covers and its spectrum from a few windows
// (each inside one item or one silence, seeking to each) transformed with
// kissfft, so the memory used depends on the picture and the window, never
// on the capture's length.
// Thread: the caller's one thread.
#include "analysis/capture_plot.h"

#include <cairo.h>
#include <kissfft/kiss_fftr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

namespace tonegate_capture {
namespace {

// ---- Layout, in pixels ----
constexpr int kLeftMargin = 84;   // tick labels and the axis titles
constexpr int kRightMargin = 96;  // the colour scale
constexpr int kColumns = kPlotWidth - kLeftMargin - kRightMargin;  // one measured column per pixel
constexpr int kTitleHeight = 48;
constexpr int kBottomMargin = 30;
constexpr int kPanelHeight = (kPlotHeight - kTitleHeight - kBottomMargin) / 2;  // one channel
constexpr int kSpectrumHeight = 330;
constexpr int kLevelGap = 8;
constexpr int kLevelHeight = 80;
constexpr double kLevelHeadroom = 4;  // keeps a full-scale peak off the strip's frame
constexpr int kTimeLabelsHeight = 18;
static_assert(kSpectrumHeight + kLevelGap + kLevelHeight + kTimeLabelsHeight < kPanelHeight);
constexpr double kBandHalfHeight = 5;  // half the height of a tone's outline
constexpr double kTickFont = 11, kLabelFont = 12, kSmallLabelFont = 10, kTitleFont = 17, kBadgeFont = 14;
constexpr double kBadgeHeight = 24;

// ---- Scales ----
constexpr double kLowestHz = 10;
constexpr double kFloorDb = -120;  // bottom of the colour scale and of the level strip
constexpr int kPlottedChannels = 2;
constexpr int kMaxWindowsPerColumn = 4;  // enough to see short items in a long capture's wide columns

struct Colour {
    double red, green, blue;
};
constexpr Colour kToneColour{0.3, 0.95, 1.0};
constexpr Colour kSweepColour{0.55, 1.0, 0.45};
constexpr Colour kOtherColour{0.85, 0.85, 0.85};
// An item a mismatch with the script concerns: red, and drawn thicker.
constexpr Colour kFailedColour{1.0, 0.2, 0.2};
constexpr double kFailedLineWidth = 3;

// A dark-to-bright map that stays readable in grey: black, purple, red, orange, pale yellow.
struct ColourStop {
    double at, red, green, blue;
};
constexpr ColourStop kColourMap[] = {
    {0.000, 0.000, 0.000, 0.016}, {0.125, 0.122, 0.047, 0.282}, {0.250, 0.333, 0.059, 0.427},
    {0.375, 0.533, 0.133, 0.416}, {0.500, 0.729, 0.212, 0.333}, {0.625, 0.890, 0.349, 0.200},
    {0.750, 0.976, 0.549, 0.039}, {0.875, 0.976, 0.788, 0.196}, {1.000, 0.988, 1.000, 0.643},
};

uint32_t ColourPixel(double db) {
    const double t = std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
    size_t upper = 1;
    while (upper + 1 < std::size(kColourMap) && kColourMap[upper].at < t) ++upper;
    const ColourStop& a = kColourMap[upper - 1];
    const ColourStop& b = kColourMap[upper];
    const double f = (t - a.at) / (b.at - a.at);
    auto channel = [f](double from, double to) { return static_cast<uint32_t>(std::lround(255 * (from + f * (to - from)))); };
    return 0xFF000000u | channel(a.red, b.red) << 16 | channel(a.green, b.green) << 8 | channel(a.blue, b.blue);
}

double Decibels(double powerOrAmplitudeSquared) {
    return powerOrAmplitudeSquared > 0 ? 10 * std::log10(powerOrAmplitudeSquared) : -HUGE_VAL;
}

// Windows of at most 8 Hz per bin, so that the decade above 10 Hz still shows lines.
int WindowFrames(int rate) {
    int frames = 4096;
    while (frames < 32768 && frames < rate / 8) frames *= 2;
    return frames;
}

// The plotted frequency range as pixel rows of a spectrogram (row 0 at the top).
class FrequencyAxis {
public:
    explicit FrequencyAxis(double nyquist) : logLow_(std::log(kLowestHz)), logHigh_(std::log(nyquist)) {}
    double Row(double hz) const {
        const double logHz = std::log(std::clamp(hz, kLowestHz, std::exp(logHigh_)));
        return (logHigh_ - logHz) / (logHigh_ - logLow_) * kSpectrumHeight;
    }
    double Hz(double row) const { return std::exp(logHigh_ - row / kSpectrumHeight * (logHigh_ - logLow_)); }
    double Highest() const { return std::exp(logHigh_); }

private:
    double logLow_, logHigh_;
};

// Which bins each pixel row shows: the loudest of those it covers, or, where
// a row is narrower than a bin (low frequencies), its centre between two bins.
struct RowBins {
    int first, last;  // first > last: interpolate at `centre`
    double centre;
};

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;
struct FftFree {
    void operator()(kiss_fftr_state* state) const { kiss_fftr_free(state); }
};

// What one channel shows: its spectrogram image and its level per column.
struct ChannelPicture {
    Surface spectrum{nullptr, cairo_surface_destroy};
    std::vector<double> peakDb = std::vector<double>(kColumns, -HUGE_VAL);
    std::vector<double> rmsDb = std::vector<double>(kColumns, -HUGE_VAL);
};

// The frames [first, end) of one item or of one silence between items, and
// the longest window its spectrum is measured with.
struct Span {
    int64_t first, end;
    int64_t window;
};

// A sweep's window: 2/√k seconds for a sweep of k Hz a second, where what it
// crosses inside the window (kT = 2√k Hz) is as wide as the window's main
// lobe (4/T), so that its track is drawn as thin as a window can draw it;
// a tone's and a silence's: the longest.
int64_t SweepWindow(const Item& item, int rate, int longest) {
    constexpr int kShortest = 64;  // bins of 1/64 of the rate: still a line in the top octaves
    const double hzPerSecond = std::fabs(item.to - item.from) * rate / std::max<double>(static_cast<double>(item.frames), 1);
    if (!(hzPerSecond > 0)) return longest;
    return std::clamp<int64_t>(std::llround(2 * rate / std::sqrt(hzPerSecond)), kShortest, longest);
}

// One channel cut into its items and the silences between them. A window of
// the spectrogram lies inside one of these, so that an item's edge, which
// is broadband, is never inside a window and never drawn as a click.
class ChannelSpans {
public:
    ChannelSpans(const Capture& capture, int channel, int longestWindow)
        : frames_(capture.frames), longest_(longestWindow) {
        for (const Item& item : capture.items)
            if (item.channel == channel)
                items_.push_back({item.start, item.start + item.frames,
                                  item.kind == ItemKind::Sweep ? SweepWindow(item, capture.rate, longestWindow) : longestWindow});
        std::sort(items_.begin(), items_.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    }

    // The item or the silence that holds `frame`.
    Span Around(int64_t frame) const {
        const auto after = std::upper_bound(items_.begin(), items_.end(), frame,
                                            [](int64_t at, const Span& item) { return at < item.end; });
        if (after != items_.end() && after->first <= frame) return *after;
        return {after == items_.begin() ? 0 : std::prev(after)->end, after == items_.end() ? frames_ : after->first,
                longest_};
    }

private:
    int64_t frames_;
    int longest_;
    std::vector<Span> items_;  // in order, apart
};

// Measures every column of the picture from the capture, one column at a
// time: its level from every frame it covers, its spectrum from a few
// windows round its centre, each inside one item or one silence.
class ColumnMeter {
public:
    ColumnMeter(SampleSource& source, const Capture& capture, const FrequencyAxis& axis)
        : source_(source), frames_(capture.frames), fileChannels_(source.channels),
          plotted_(std::min(capture.analysedChannels, kPlottedChannels)), unit_(1 / FullScale(capture)),
          windowFrames_(WindowFrames(capture.rate)), fft_(kiss_fftr_alloc(windowFrames_, 0, nullptr, nullptr)),
          hann_(Hann(windowFrames_)), frame_(static_cast<size_t>(windowFrames_) * fileChannels_),
          input_(windowFrames_), output_(windowFrames_ / 2 + 1), power_(output_.size()), rows_(kSpectrumHeight) {
        for (int channel = 0; channel < plotted_; ++channel) {
            fileChannel_[channel] = channel == 0 ? capture.channelA : capture.channelB;
            spans_.emplace_back(capture, channel, windowFrames_);
        }
        const double binHz = static_cast<double>(capture.rate) / windowFrames_;
        const int lastBin = windowFrames_ / 2;
        for (int row = 0; row < kSpectrumHeight; ++row) {
            const double top = axis.Hz(row), bottom = axis.Hz(row + 1);
            RowBins& bins = rows_[row];
            bins.first = static_cast<int>(std::ceil(bottom / binHz));
            bins.last = std::min(static_cast<int>(std::floor(top / binHz)), lastBin);
            bins.centre = std::min(std::sqrt(top * bottom) / binHz, lastBin - 1.0);
        }
    }

    bool Ready() const { return fft_ != nullptr; }
    int Plotted() const { return plotted_; }

    // Measures column `column` into its pixel column of each picture's
    // spectrum and its levels. False when the capture cannot be read there.
    bool Measure(int column, ChannelPicture* pictures, std::string& why) {
        const double columnStart = static_cast<double>(frames_) * column / kColumns;
        const double columnFrames = static_cast<double>(frames_) / kColumns;
        const int64_t first = static_cast<int64_t>(std::floor(columnStart));
        const int64_t end = std::min(frames_, std::max(first + 1, static_cast<int64_t>(std::ceil(columnStart + columnFrames))));
        if (!MeasureLevels(first, end, column, pictures, why)) return false;
        // Short columns take one window round their centre; wide ones a few inside them.
        const int windows = std::clamp(static_cast<int>(columnFrames / windowFrames_), 1, kMaxWindowsPerColumn);
        for (int channel = 0; channel < plotted_; ++channel) {
            std::fill(power_.begin(), power_.end(), 0.0);
            for (int window = 0; window < windows; ++window)
                if (!AddWindow(channel, columnStart + (window + 0.5) * columnFrames / windows, why)) return false;
            PaintColumn(1.0 / windows, column, pictures[channel].spectrum.get());
        }
        return true;
    }

private:
    static std::vector<float> Hann(int frames) {
        std::vector<float> taper(static_cast<size_t>(frames));
        for (int i = 0; i < frames; ++i) taper[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / frames));
        return taper;
    }

    double Sample(int64_t frame, int channel) const {
        return frame_[static_cast<size_t>(frame) * fileChannels_ + fileChannel_[channel]] * unit_;
    }

    // The peak and RMS of every frame in [first, end), read a window at a time.
    bool MeasureLevels(int64_t first, int64_t end, int column, ChannelPicture* pictures, std::string& why) {
        double peak[kPlottedChannels] = {}, sumSquares[kPlottedChannels] = {};
        for (int64_t from = first; from < end; from += windowFrames_) {
            const int64_t frames = std::min<int64_t>(windowFrames_, end - from);
            if (!Read(from, frames, why)) return false;
            for (int channel = 0; channel < plotted_; ++channel)
                for (int64_t i = 0; i < frames; ++i) {
                    const double sample = Sample(i, channel);
                    peak[channel] = std::max(peak[channel], std::fabs(sample));
                    sumSquares[channel] += sample * sample;
                }
        }
        for (int channel = 0; channel < plotted_; ++channel) {
            pictures[channel].peakDb[column] = Decibels(peak[channel] * peak[channel]);
            pictures[channel].rmsDb[column] = end > first ? Decibels(sumSquares[channel] / static_cast<double>(end - first)) : -HUGE_VAL;
        }
        return true;
    }

    // Adds the power of the window round `centre` on `channel`, inside the
    // item or silence there and at most its window's length, scaled so that a
    // full-scale sine's bin shows at 0 dB.
    bool AddWindow(int channel, double centre, std::string& why) {
        const Span span = spans_[channel].Around(std::clamp<int64_t>(std::llround(centre), 0, std::max<int64_t>(frames_ - 1, 0)));
        const int64_t frames = std::min(span.window, span.end - span.first);
        if (frames < 2) return true;
        const int64_t first = std::clamp<int64_t>(std::llround(centre) - frames / 2, span.first, span.end - frames);
        if (!Read(first, frames, why)) return false;
        const std::vector<float> shorter = frames < windowFrames_ ? Hann(static_cast<int>(frames)) : std::vector<float>();
        const std::vector<float>& taper = shorter.empty() ? hann_ : shorter;
        std::fill(input_.begin(), input_.end(), 0.0f);
        for (int64_t i = 0; i < frames; ++i) input_[i] = static_cast<float>(Sample(i, channel) * taper[i]);
        kiss_fftr(fft_.get(), input_.data(), output_.data());
        // A sine's bin through a Hann window of N frames has N/4 times its amplitude.
        const double scale = 16.0 / (static_cast<double>(frames) * frames);
        for (size_t bin = 0; bin < output_.size(); ++bin)
            power_[bin] += scale * (static_cast<double>(output_[bin].r) * output_[bin].r + static_cast<double>(output_[bin].i) * output_[bin].i);
        return true;
    }

    // Reads `frames` frames from `first` into frame_ (the last window read is kept).
    bool Read(int64_t first, int64_t frames, std::string& why) {
        if (first == readFirst_ && frames == readFrames_) return true;
        int64_t got = 0;
        if (source_.Seek(first))
            for (int64_t more; got < frames && (more = source_.Read(frame_.data() + got * fileChannels_, frames - got)) > 0;) got += more;
        if (got != frames) {
            readFrames_ = 0;
            why = "cannot read the capture at frame " + std::to_string(first + got);
            return false;
        }
        readFirst_ = first, readFrames_ = frames;
        return true;
    }

    void PaintColumn(double scale, int column, cairo_surface_t* image) const {
        unsigned char* pixels = cairo_image_surface_get_data(image);
        const int stride = cairo_image_surface_get_stride(image);
        for (int row = 0; row < kSpectrumHeight; ++row) {
            const RowBins& bins = rows_[row];
            double db;
            if (bins.first <= bins.last) {
                const double loudest = *std::max_element(power_.begin() + bins.first, power_.begin() + bins.last + 1);
                db = Decibels(loudest * scale);
            } else {
                const int below = static_cast<int>(bins.centre);
                const double fraction = bins.centre - below;
                db = (1 - fraction) * Decibels(power_[below] * scale) + fraction * Decibels(power_[below + 1] * scale);
            }
            const uint32_t pixel = ColourPixel(std::isfinite(db) ? db : kFloorDb);
            std::memcpy(pixels + static_cast<size_t>(row) * stride + static_cast<size_t>(column) * 4, &pixel, 4);
        }
    }

    SampleSource& source_;
    int64_t frames_;
    int fileChannels_;
    int plotted_;
    int fileChannel_[kPlottedChannels] = {0, 0};  // the file's channel shown as A, B
    double unit_;                                  // one sample unit in full-scale units
    int windowFrames_;
    std::unique_ptr<kiss_fftr_state, FftFree> fft_;
    std::vector<float> hann_;
    std::vector<double> frame_;  // the frames last read, interleaved as in the file
    int64_t readFirst_ = -1, readFrames_ = 0;
    std::vector<float> input_;
    std::vector<kiss_fft_cpx> output_;
    std::vector<double> power_;  // one channel's, summed over the column's windows
    std::vector<ChannelSpans> spans_;
    std::vector<RowBins> rows_;
};

// ---- Drawing helpers ----

struct Box {
    double left, top, right, bottom;
    bool Overlaps(const Box& other) const {
        return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
    }
};

void SetFont(cairo_t* cr, double size, bool bold = false) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double TextWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

// Text on a baseline at `y`, its left (align 0), centre (0.5) or right (1) at `x`.
void ShowText(cairo_t* cr, double x, double y, const std::string& text, double align = 0) {
    cairo_move_to(cr, x - align * TextWidth(cr, text), y);
    cairo_show_text(cr, text.c_str());
}

// Text read bottom to top, centred on (x, y).
void ShowVerticalText(cairo_t* cr, double x, double y, const std::string& text) {
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_rotate(cr, -std::numbers::pi / 2);
    ShowText(cr, 0, 0, text, 0.5);
    cairo_restore(cr);
}

template <typename... Numbers>
std::string Format(const char* format, Numbers... numbers) {
    char text[96];
    std::snprintf(text, sizeof text, format, numbers...);
    return text;
}

std::string FrequencyTick(double hz) {
    return hz >= 1000 ? Format("%gk", hz / 1000) : Format("%g", hz);
}

// A step of 1, 2 or 5 times a power of ten giving at most `most` steps over `range`.
double TickStep(double range, int most) {
    const double rough = range / most;
    const double decade = std::pow(10, std::floor(std::log10(rough)));
    for (double multiple : {1.0, 2.0, 5.0})
        if (multiple * decade >= rough) return multiple * decade;
    return 10 * decade;
}

// Where a channel's parts sit on the page.
struct PanelLayout {
    double left = kLeftMargin, right = kLeftMargin + kColumns;
    double spectrumTop, spectrumBottom, levelTop, levelBottom;
    explicit PanelLayout(int channel)
        : spectrumTop(kTitleHeight + channel * kPanelHeight), spectrumBottom(spectrumTop + kSpectrumHeight),
          levelTop(spectrumBottom + kLevelGap), levelBottom(levelTop + kLevelHeight) {}
    double LevelY(double db) const {
        const double clamped = std::isfinite(db) ? std::clamp(db, kFloorDb, 0.0) : kFloorDb;
        return levelTop + kLevelHeadroom + clamped / kFloorDb * (kLevelHeight - kLevelHeadroom);
    }
};

// Draws on the page: the title line, then each channel's panel over its measured picture.
class Page {
public:
    Page(cairo_t* cr, const Capture& capture, const std::vector<Mismatch>& mismatches)
        : cr_(cr), capture_(capture), failed_(FailedItems(capture, mismatches)), axis_(capture.rate / 2.0) {}

    void Title(const std::vector<Mismatch>& mismatches) {
        const Capture& capture = capture_;
        const size_t slash = capture.path.find_last_of("/\\");
        std::string title = slash == std::string::npos ? capture.path : capture.path.substr(slash + 1);
        title += "  —  " + std::to_string(capture.rate) + " Hz, " + capture.format + ", " +
                 Format("%.3f s", Seconds(capture.frames)) + ", " + (capture.bitExact ? "bit-exact" : "recorded") +
                 ", " + std::to_string(capture.items.size()) + (capture.items.size() == 1 ? " item" : " items");
        if (capture.clipped) title += ", " + std::to_string(capture.clipped) + " clipped samples";
        if (!mismatches.empty())
            title += ", " + std::to_string(mismatches.size()) + (mismatches.size() == 1 ? " mismatch" : " mismatches");
        cairo_set_source_rgb(cr_, 0, 0, 0);
        SetFont(cr_, kTitleFont, true);
        ShowText(cr_, kLeftMargin, 30, title);
    }

    void Channel(int channel, const ChannelPicture& picture, const Capture& capture) {
        const PanelLayout panel(channel);
        cairo_set_source_surface(cr_, picture.spectrum.get(), panel.left, panel.spectrumTop);
        cairo_paint(cr_);
        FrequencyGrid(panel);
        ColourScale(panel);
        const int hidden = Items(channel, panel, capture);
        Badge(channel, panel, capture, hidden);
        Levels(panel, picture);
        TimeAxis(panel);
    }

    // A channel the capture does not have.
    void Missing(int channel) {
        const PanelLayout panel(channel);
        cairo_set_source_rgb(cr_, 0.93, 0.93, 0.93);
        cairo_rectangle(cr_, panel.left, panel.spectrumTop, kColumns, panel.levelBottom - panel.spectrumTop);
        cairo_fill(cr_);
        cairo_set_source_rgb(cr_, 0.3, 0.3, 0.3);
        SetFont(cr_, kLabelFont + 2, true);
        ShowText(cr_, (panel.left + panel.right) / 2, (panel.spectrumTop + panel.levelBottom) / 2,
                 std::string("no channel ") + ChannelName(channel) + " in this capture", 0.5);
    }

private:
    static char ChannelName(int channel) { return static_cast<char>('A' + channel); }
    double Seconds(int64_t frames) const { return static_cast<double>(frames) / capture_.rate; }
    double X(double frame) const {
        return kLeftMargin + frame / std::max<double>(static_cast<double>(capture_.frames), 1) * kColumns;
    }

    void FrequencyGrid(const PanelLayout& panel) {
        SetFont(cr_, kTickFont);
        cairo_set_line_width(cr_, 1);
        for (double decade = kLowestHz; decade <= axis_.Highest(); decade *= 10) {
            for (int multiple = 1; multiple < 10 && multiple * decade <= axis_.Highest(); ++multiple) {
                const double y = std::round(panel.spectrumTop + axis_.Row(multiple * decade)) + 0.5;
                const bool major = multiple == 1;
                cairo_set_source_rgb(cr_, 0, 0, 0);
                cairo_move_to(cr_, panel.left - (major ? 7 : 4), y);
                cairo_line_to(cr_, panel.left, y);
                cairo_stroke(cr_);
                if (major) {
                    ShowText(cr_, panel.left - 10, y + 4, FrequencyTick(decade), 1);
                    cairo_set_source_rgba(cr_, 1, 1, 1, 0.18);
                    cairo_move_to(cr_, panel.left, y);
                    cairo_line_to(cr_, panel.right, y);
                    cairo_stroke(cr_);
                }
            }
        }
        cairo_set_source_rgb(cr_, 0, 0, 0);
        // The top of the axis, half the rate, where the highest decade's label leaves room.
        const double highestDecade = std::pow(10, std::floor(std::log10(axis_.Highest())));
        if (axis_.Row(highestDecade) > 2 * kTickFont) ShowText(cr_, panel.left - 10, panel.spectrumTop + 4, FrequencyTick(axis_.Highest()), 1);
        ShowVerticalText(cr_, 20, (panel.spectrumTop + panel.spectrumBottom) / 2, "frequency (Hz)");
        cairo_rectangle(cr_, panel.left - 0.5, panel.spectrumTop - 0.5, kColumns + 1, kSpectrumHeight + 1);
        cairo_stroke(cr_);
    }

    void ColourScale(const PanelLayout& panel) {
        const double left = panel.right + 12, width = 14;
        cairo_pattern_t* gradient = cairo_pattern_create_linear(0, panel.spectrumBottom, 0, panel.spectrumTop);
        for (const ColourStop& stop : kColourMap) cairo_pattern_add_color_stop_rgb(gradient, stop.at, stop.red, stop.green, stop.blue);
        cairo_set_source(cr_, gradient);
        cairo_rectangle(cr_, left, panel.spectrumTop, width, kSpectrumHeight);
        cairo_fill(cr_);
        cairo_pattern_destroy(gradient);
        cairo_set_source_rgb(cr_, 0, 0, 0);
        SetFont(cr_, kTickFont);
        for (double db = 0; db >= kFloorDb; db -= 20) {
            const double y = panel.spectrumTop + db / kFloorDb * kSpectrumHeight;
            cairo_move_to(cr_, left + width, y);
            cairo_line_to(cr_, left + width + 4, y);
            cairo_stroke(cr_);
            ShowText(cr_, left + width + 7, y + 4, Format("%g", db));
        }
        ShowText(cr_, left, panel.spectrumTop - 6, "dBFS");
    }

    // Outlines and labels the channel's items; returns how many labels had no room.
    int Items(int channel, const PanelLayout& panel, const Capture& capture) {
        cairo_save(cr_);
        cairo_rectangle(cr_, panel.left, panel.spectrumTop, kColumns, kSpectrumHeight);
        cairo_clip(cr_);
        cairo_set_line_width(cr_, 1.5);
        // Labels go where they cover no other label, no tone's outline and not the badge.
        std::vector<Box> taken{BadgeBox(channel, panel, capture)};
        std::vector<LabelPlan> labels;
        for (size_t i = 0; i < capture.items.size(); ++i)
            if (capture.items[i].channel == channel) labels.push_back(Outline(panel, capture.items[i], failed_[i], taken));
        int hidden = 0;
        for (const LabelPlan& label : labels) {
            cairo_set_source_rgb(cr_, label.colour.red, label.colour.green, label.colour.blue);
            if (!PlaceLabel(panel, label, taken)) ++hidden;
        }
        cairo_restore(cr_);
        return hidden;
    }

    // Where a label may go: beside (x, y), above or below it, starting or ending at x.
    struct Anchor {
        double x, y;
        bool above, endsAtX;
    };
    struct LabelPlan {
        std::string text;
        Colour colour;
        std::vector<Anchor> anchors;  // in order of preference
    };

    // The item's measured figures, marked when a mismatch with the script concerns it.
    static std::string ItemLabel(const Item& item, bool failed) {
        const std::string mark = failed ? "✗ " : "";
        const std::string level = Format("%.1f dBFS", -item.attenuation);
        if (item.kind == ItemKind::Tone)
            return mark + Format("%.3f Hz, ", item.frequency) + level + Format(", %lld cycles", static_cast<long long>(item.wholeCycles));
        if (item.kind == ItemKind::Sweep) return mark + Format("%.0f → %.0f Hz, ", item.from, item.to) + level;
        return mark + item.what + ", " + level;
    }

    // Draws the item's outline (a tone's box joins `taken`) and says where its label may go.
    LabelPlan Outline(const PanelLayout& panel, const Item& item, bool failed, std::vector<Box>& taken) {
        const double left = X(static_cast<double>(item.start));
        const double right = std::max(left + 2, X(static_cast<double>(item.start + item.frames)));
        const Colour colour = failed                          ? kFailedColour
                              : item.kind == ItemKind::Tone  ? kToneColour
                              : item.kind == ItemKind::Sweep ? kSweepColour
                                                             : kOtherColour;
        cairo_save(cr_);
        cairo_set_source_rgb(cr_, colour.red, colour.green, colour.blue);
        if (failed) cairo_set_line_width(cr_, kFailedLineWidth);
        LabelPlan plan{ItemLabel(item, failed), colour, {}};
        if (item.kind == ItemKind::Tone) {
            const double y = panel.spectrumTop + axis_.Row(item.frequency);
            const Box box{left, y - kBandHalfHeight, right, y + kBandHalfHeight};
            cairo_rectangle(cr_, box.left, box.top, box.right - box.left, box.bottom - box.top);
            cairo_stroke(cr_);
            taken.push_back(box);
            plan.anchors = {{left, box.top, true, false}, {left, box.bottom, false, false}};
        } else if (item.kind == ItemKind::Sweep) {
            SweepOutline(panel, item, left, right);
            const double startY = panel.spectrumTop + axis_.Row(item.from);
            const double endY = panel.spectrumTop + axis_.Row(item.to);
            // The sides the track leaves free first: below its start and above its end when it rises.
            const bool rises = item.to >= item.from;
            const double away = rises ? kBandHalfHeight : -kBandHalfHeight;
            plan.anchors = {{left, startY + away, !rises, false}, {right, endY - away, rises, true},
                            {left, startY - away, rises, false}, {right, endY + away, !rises, true}};
        } else {
            // Neither tone nor sweep has one frequency to mark: its time span, over the whole axis.
            const double dashes[] = {4, 3};
            cairo_set_dash(cr_, dashes, 2, 0);
            cairo_rectangle(cr_, left, panel.spectrumTop + 1, right - left, kSpectrumHeight - 2);
            cairo_stroke(cr_);
            plan.anchors = {{left, panel.spectrumBottom - 2, true, false}, {right, panel.spectrumBottom - 2, true, true}};
        }
        cairo_restore(cr_);
        return plan;
    }

    // A band round the sweep's linear track, of the same width as a tone's
    // across the track wherever it runs.
    void SweepOutline(const PanelLayout& panel, const Item& item, double left, double right) {
        // Points evenly spaced in time and in log frequency, so the steep low end is as smooth as the rest.
        constexpr int kSteps = 400;
        std::vector<double> fractions;
        for (int step = 0; step <= kSteps; ++step) fractions.push_back(static_cast<double>(step) / kSteps);
        const double from = std::max(item.from, kLowestHz), to = std::max(item.to, kLowestHz);
        if (std::fabs(to - from) > 1e-9)
            for (int step = 1; step < kSteps; ++step)
                fractions.push_back((from * std::pow(to / from, static_cast<double>(step) / kSteps) - from) / (to - from));
        std::sort(fractions.begin(), fractions.end());
        struct Point {
            double x, y;
        };
        std::vector<Point> track;
        for (double fraction : fractions)
            track.push_back({left + fraction * (right - left), panel.spectrumTop + axis_.Row(from + fraction * (to - from))});
        std::vector<Point> upper, lower;
        for (size_t i = 0; i < track.size(); ++i) {
            const Point& before = track[i == 0 ? 0 : i - 1];
            const Point& after = track[i + 1 == track.size() ? i : i + 1];
            const double dx = after.x - before.x, dy = after.y - before.y, length = std::hypot(dx, dy);
            if (length == 0) continue;
            const double nx = -dy / length * kBandHalfHeight, ny = dx / length * kBandHalfHeight;
            upper.push_back({track[i].x - nx, track[i].y - ny});
            lower.push_back({track[i].x + nx, track[i].y + ny});
        }
        if (upper.empty()) return;
        cairo_move_to(cr_, upper.front().x, upper.front().y);
        for (const Point& point : upper) cairo_line_to(cr_, point.x, point.y);
        for (auto point = lower.rbegin(); point != lower.rend(); ++point) cairo_line_to(cr_, point->x, point->y);
        cairo_close_path(cr_);
        cairo_stroke(cr_);
    }

    // Puts the label at the first anchor where it overlaps nothing taken, at
    // the normal size and then smaller; false when it fits nowhere.
    bool PlaceLabel(const PanelLayout& panel, const LabelPlan& label, std::vector<Box>& taken) {
        for (double size : {kLabelFont, kSmallLabelFont}) {
            SetFont(cr_, size);
            const double width = TextWidth(cr_, label.text) + 6, height = size + 5;
            for (const Anchor& anchor : label.anchors) {
                const double left = std::clamp(anchor.endsAtX ? anchor.x - width : anchor.x, panel.left, panel.right - width);
                const double top = anchor.above ? anchor.y - 2 - height : anchor.y + 2;
                const Box box{left, top, left + width, top + height};
                if (box.top < panel.spectrumTop || box.bottom > panel.spectrumBottom) continue;
                if (std::any_of(taken.begin(), taken.end(), [&](const Box& other) { return box.Overlaps(other); })) continue;
                taken.push_back(box);
                cairo_save(cr_);
                cairo_set_source_rgba(cr_, 0, 0, 0, 0.65);
                cairo_rectangle(cr_, box.left, box.top, width, height);
                cairo_fill(cr_);
                cairo_restore(cr_);  // back to the label's colour
                ShowText(cr_, box.left + 3, box.bottom - 0.3 * size - 1, label.text);
                return true;
            }
        }
        return false;
    }

    static int ItemsOn(int channel, const Capture& capture) {
        return static_cast<int>(std::count_if(capture.items.begin(), capture.items.end(),
                                              [channel](const Item& item) { return item.channel == channel; }));
    }

    std::string BadgeText(int channel, const Capture& capture, int hidden) const {
        const int count = ItemsOn(channel, capture);
        std::string text = std::string("Channel ") + ChannelName(channel) + "  ·  " + std::to_string(count) +
                           (count == 1 ? " item" : " items");
        int failed = 0;
        for (size_t i = 0; i < capture.items.size(); ++i) failed += capture.items[i].channel == channel && failed_[i];
        if (failed) text += ", " + std::to_string(failed) + " not as the script asks";
        if (hidden) text += " (" + std::to_string(hidden) + (hidden == 1 ? " label" : " labels") + " left out for room)";
        return text;
    }

    // The badge's room, kept free of labels: as wide as its text would be with every label left out.
    Box BadgeBox(int channel, const PanelLayout& panel, const Capture& capture) {
        SetFont(cr_, kBadgeFont, true);
        const double width = TextWidth(cr_, BadgeText(channel, capture, ItemsOn(channel, capture))) + 16;
        return {panel.left, panel.spectrumTop, panel.left + width, panel.spectrumTop + kBadgeHeight};
    }

    void Badge(int channel, const PanelLayout& panel, const Capture& capture, int hidden) {
        const std::string text = BadgeText(channel, capture, hidden);
        SetFont(cr_, kBadgeFont, true);
        cairo_set_source_rgba(cr_, 1, 1, 1, 0.85);
        cairo_rectangle(cr_, panel.left, panel.spectrumTop, TextWidth(cr_, text) + 16, kBadgeHeight);
        cairo_fill(cr_);
        cairo_set_source_rgb(cr_, 0, 0, 0);
        ShowText(cr_, panel.left + 8, panel.spectrumTop + kBadgeHeight - 7, text);
    }

    void Levels(const PanelLayout& panel, const ChannelPicture& picture) {
        cairo_set_source_rgb(cr_, 0.97, 0.97, 0.97);
        cairo_rectangle(cr_, panel.left, panel.levelTop, kColumns, kLevelHeight);
        cairo_fill(cr_);
        SetFont(cr_, kTickFont);
        cairo_set_line_width(cr_, 1);
        for (double db = 0; db >= kFloorDb; db -= 30) {
            const double y = std::round(panel.LevelY(db)) + 0.5;
            cairo_set_source_rgb(cr_, 0.82, 0.82, 0.82);
            cairo_move_to(cr_, panel.left, y);
            cairo_line_to(cr_, panel.right, y);
            cairo_stroke(cr_);
            if (static_cast<int>(db) % 60 == 0) {
                cairo_set_source_rgb(cr_, 0, 0, 0);
                ShowText(cr_, panel.left - 10, y + 4, Format("%g", db), 1);
            }
        }
        // RMS filled from the floor, the peak as a line over it.
        cairo_move_to(cr_, panel.left, panel.levelBottom);
        for (int column = 0; column < kColumns; ++column) cairo_line_to(cr_, panel.left + column + 0.5, panel.LevelY(picture.rmsDb[column]));
        cairo_line_to(cr_, panel.right, panel.levelBottom);
        cairo_close_path(cr_);
        cairo_set_source_rgba(cr_, 0.2, 0.45, 0.8, 0.55);
        cairo_fill(cr_);
        for (int column = 0; column < kColumns; ++column) cairo_line_to(cr_, panel.left + column + 0.5, panel.LevelY(picture.peakDb[column]));
        cairo_set_source_rgb(cr_, 0.85, 0.35, 0.05);
        cairo_stroke(cr_);
        cairo_set_source_rgb(cr_, 0, 0, 0);
        cairo_rectangle(cr_, panel.left - 0.5, panel.levelTop - 0.5, kColumns + 1, kLevelHeight + 1);
        cairo_stroke(cr_);
        ShowVerticalText(cr_, 20, (panel.levelTop + panel.levelBottom) / 2, "dBFS");
        ShowText(cr_, panel.right + 8, panel.levelTop + 12, "peak");
        cairo_set_source_rgba(cr_, 0.2, 0.45, 0.8, 1);
        ShowText(cr_, panel.right + 8, panel.levelTop + 26, "RMS");
        cairo_set_source_rgb(cr_, 0.85, 0.35, 0.05);
        cairo_move_to(cr_, panel.right + 40, panel.levelTop + 8.5);
        cairo_line_to(cr_, panel.right + 60, panel.levelTop + 8.5);
        cairo_stroke(cr_);
    }

    void TimeAxis(const PanelLayout& panel) {
        const double duration = Seconds(capture_.frames);
        if (duration <= 0) return;
        const double step = TickStep(duration, 16);
        const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
        const std::string format = "%." + std::to_string(decimals) + "f";
        SetFont(cr_, kTickFont);
        cairo_set_source_rgb(cr_, 0, 0, 0);
        cairo_set_line_width(cr_, 1);
        for (int tick = 0; tick * step <= duration * (1 + 1e-9); ++tick) {
            const double seconds = tick * step;
            const double x = std::round(X(seconds * capture_.rate)) + 0.5;
            for (double edge : {panel.spectrumBottom, panel.levelBottom}) {
                cairo_move_to(cr_, x, edge);
                cairo_line_to(cr_, x, edge + 5);
            }
            cairo_stroke(cr_);
            ShowText(cr_, x, panel.levelBottom + kTimeLabelsHeight, Format(format.c_str(), seconds), 0.5);
        }
        ShowText(cr_, panel.right + 26, panel.levelBottom + kTimeLabelsHeight, "time (s)");
    }

    cairo_t* cr_;
    const Capture& capture_;
    std::vector<bool> failed_;  // each item's: a mismatch with the script concerns it
    FrequencyAxis axis_;
};

cairo_status_t WriteToFile(void* file, const unsigned char* data, unsigned int length) {
    return std::fwrite(data, 1, length, static_cast<FILE*>(file)) == length ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

// Writes through a file of our own, so that a failure can say why.
bool WritePng(cairo_surface_t* page, const std::string& pngPath, std::string& why) {
    FILE* file = std::fopen(pngPath.c_str(), "wb");
    if (!file) {
        why = "cannot write the plot " + pngPath + ": " + std::strerror(errno);
        return false;
    }
    const cairo_status_t written = cairo_surface_write_to_png_stream(page, WriteToFile, file);
    const int writeError = written == CAIRO_STATUS_SUCCESS ? 0 : errno;
    if (std::fclose(file) != 0 || written != CAIRO_STATUS_SUCCESS) {
        why = "cannot write the plot " + pngPath + ": " + std::strerror(writeError ? writeError : errno);
        return false;
    }
    return true;
}

// Measures every column of the capture's channels into `pictures`.
bool MeasurePictures(const Capture& capture, ChannelPicture* pictures, int& plotted, std::string& why) {
    const std::unique_ptr<SampleSource> source = OpenCaptureFile(capture.path, why);
    if (source == nullptr) return false;
    if (!source->Seek(0)) {
        why = "cannot plot " + capture.path + ": the file cannot be read in windows (not seekable)";
        return false;
    }
    ColumnMeter meter(*source, capture, FrequencyAxis(capture.rate / 2.0));
    if (!meter.Ready()) {
        why = "cannot set up the transform for the plot";
        return false;
    }
    plotted = meter.Plotted();
    for (int channel = 0; channel < plotted; ++channel) {
        pictures[channel].spectrum.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kColumns, kSpectrumHeight));
        const cairo_status_t status = cairo_surface_status(pictures[channel].spectrum.get());
        if (status != CAIRO_STATUS_SUCCESS) {
            why = std::string("cannot draw the plot: ") + cairo_status_to_string(status);
            return false;
        }
        cairo_surface_flush(pictures[channel].spectrum.get());
    }
    for (int column = 0; column < kColumns; ++column)
        if (!meter.Measure(column, pictures, why)) return false;
    for (int channel = 0; channel < plotted; ++channel) cairo_surface_mark_dirty(pictures[channel].spectrum.get());
    return true;
}

}  // namespace

bool DrawCapturePlot(const Capture& capture, const std::vector<Mismatch>& mismatches, const std::string& pngPath,
                     std::string& why) {
    if (capture.rate / 2.0 <= kLowestHz * 2) {
        why = "cannot plot " + capture.path + ": its rate of " + std::to_string(capture.rate) + " Hz is too low";
        return false;
    }
    ChannelPicture pictures[kPlottedChannels];
    int plotted = 0;
    if (!MeasurePictures(capture, pictures, plotted, why)) return false;

    Surface page(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPlotWidth, kPlotHeight), cairo_surface_destroy);
    Context cr(cairo_create(page.get()), cairo_destroy);
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    Page drawing(cr.get(), capture, mismatches);
    drawing.Title(mismatches);
    for (int channel = 0; channel < kPlottedChannels; ++channel) {
        if (channel < plotted)
            drawing.Channel(channel, pictures[channel], capture);
        else
            drawing.Missing(channel);
    }
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
        why = std::string("cannot draw the plot: ") + cairo_status_to_string(cairo_status(cr.get()));
        return false;
    }
    return WritePng(page.get(), pngPath, why);
}

}  // namespace tonegate_capture
