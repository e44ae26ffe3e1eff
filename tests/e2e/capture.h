// End-to-end test support: the sink's WAV file read back with libsndfile
// (never with our own writer's code), cut into the items it holds, and the
// measurements taken on it. Thread: the test's own.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace tonegate_e2e {

struct Capture {
    int rate = 0;
    int bits = 0;
    int64_t frames = 0;
    std::vector<int32_t> channel[2];  // A, B; 16-bit samples widened, not scaled
};

// False with the reason when the file is not a two-channel 16- or 32-bit PCM WAV.
inline bool ReadCapture(const std::string& path, Capture& capture, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = sf_strerror(nullptr);
        return false;
    }
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAV || info.channels != 2 ||
        (subtype != SF_FORMAT_PCM_16 && subtype != SF_FORMAT_PCM_32)) {
        error = "not a two-channel 16- or 32-bit PCM WAV";
        sf_close(file);
        return false;
    }
    capture.rate = info.samplerate;
    capture.bits = subtype == SF_FORMAT_PCM_16 ? 16 : 32;
    const size_t frames = static_cast<size_t>(info.frames);
    std::vector<int32_t> interleaved(2 * frames);
    sf_count_t read = 0;
    if (capture.bits == 16) {
        // Read as short: reading 16-bit data as int would scale it up.
        std::vector<short> shorts(2 * frames);
        read = sf_readf_short(file, shorts.data(), info.frames);
        interleaved.assign(shorts.begin(), shorts.end());
    } else {
        read = sf_readf_int(file, interleaved.data(), info.frames);
    }
    sf_close(file);
    if (read != info.frames) {
        error = "short read";
        return false;
    }
    capture.frames = info.frames;
    for (int c = 0; c < 2; ++c) {
        capture.channel[c].resize(frames);
        for (size_t i = 0; i < frames; ++i) capture.channel[c][i] = interleaved[2 * i + static_cast<size_t>(c)];
    }
    return true;
}

// Frames from the first to the last non-zero sample of one item.
struct Segment {
    int64_t first = 0;
    int64_t last = 0;
};

// Items are runs of sound separated by at least `minGap` zero samples; the
// zeros inside a quiet note's ramps and crossings are far shorter.
inline std::vector<Segment> FindSegments(const std::vector<int32_t>& samples, int64_t minGap) {
    std::vector<Segment> segments;
    for (int64_t i = 0; i < static_cast<int64_t>(samples.size()); ++i) {
        if (samples[static_cast<size_t>(i)] == 0) continue;
        if (segments.empty() || i - segments.back().last > minGap)
            segments.push_back({i, i});
        else
            segments.back().last = i;
    }
    return segments;
}

// Interpolated positions, in frames, where the signal changes sign within
// [from, to); zero samples count as neither sign. `level` scales a sample by
// its position (a note's envelope, so that a ramp does not bias the
// interpolation).
template <typename Level>
std::vector<double> ZeroCrossings(const std::vector<int32_t>& samples, int64_t from, int64_t to, Level level) {
    std::vector<double> crossings;
    int64_t previous = -1;
    for (int64_t i = from; i < to; ++i) {
        if (samples[static_cast<size_t>(i)] == 0) continue;
        if (previous >= 0 && (samples[static_cast<size_t>(i)] > 0) != (samples[static_cast<size_t>(previous)] > 0)) {
            const double a = samples[static_cast<size_t>(previous)] / level(previous);
            const double b = samples[static_cast<size_t>(i)] / level(i);
            crossings.push_back(static_cast<double>(previous) + static_cast<double>(i - previous) * a / (a - b));
        }
        previous = i;
    }
    return crossings;
}

inline std::vector<double> ZeroCrossings(const std::vector<int32_t>& samples, int64_t from, int64_t to) {
    return ZeroCrossings(samples, from, to, [](int64_t) { return 1.0; });
}

// Frequency of a steady tone from the slope of its crossings against their
// half-cycle numbers, each number taken from the nominal spacing so that a
// half-cycle lost in silence does not shift the rest. 0 with fewer than two.
inline double FittedFrequency(const std::vector<double>& crossings, double rate, double nominalFrequency) {
    if (crossings.size() < 2) return 0.0;
    const double nominalHalf = rate / nominalFrequency / 2.0;
    double n = 0, sumM = 0, sumX = 0, sumMM = 0, sumMX = 0;
    for (double x : crossings) {
        const double m = std::round((x - crossings.front()) / nominalHalf);
        n += 1;
        sumM += m;
        sumX += x;
        sumMM += m * m;
        sumMX += m * x;
    }
    const double halfPeriod = (n * sumMX - sumM * sumX) / (n * sumMM - sumM * sumM);
    return rate / (2.0 * halfPeriod);
}

// Mean frequency over the crossings within [from, to), and the middle of
// the span they cover; 0 with fewer than three.
struct WindowFrequency {
    double frequency = 0;
    double middle = 0;
};

inline WindowFrequency FrequencyOver(const std::vector<double>& crossings, double from, double to, double rate) {
    const auto first = std::lower_bound(crossings.begin(), crossings.end(), from);
    const auto end = std::lower_bound(first, crossings.end(), to);
    if (end - first < 3) return {};
    const double span = *(end - 1) - *first;
    return {static_cast<double>(end - first - 1) / 2.0 * rate / span, (*first + *(end - 1)) / 2};
}

// The card's level for an attenuation: two steps below full scale at 0 dB.
inline double AmplitudeFor(uint32_t attenuation, int bits) {
    const double fullScale = bits == 16 ? 32767.0 : 2147483647.0;
    return attenuation == 0 ? fullScale - 2.0 : fullScale * std::pow(10.0, -static_cast<double>(attenuation) / 20.0);
}

}  // namespace tonegate_e2e
