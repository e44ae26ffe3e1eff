// End-to-end test support: the sink's WAV file read back (never with our own
// writer's code), cut into the items it holds, and the measurements taken on
// it. The capture is read with libsndfile where the build has it
// (TONEGATE_E2E_SNDFILE), and otherwise with the small RIFF/WAVE reader here.
// Thread: the test's own.
#pragma once

#ifdef TONEGATE_E2E_SNDFILE
#include <sndfile.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace tonegate_e2e {

struct Capture {
    int rate = 0;
    int bits = 0;
    int64_t frames = 0;
    std::vector<int32_t> channel[2];  // A, B; 16-bit samples widened, not scaled
};

// An unsigned little-endian field of `bytes` bytes.
inline uint32_t LittleEndian(const unsigned char* at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

// The tests' own reader. The chunks inside the RIFF chunk are walked from the
// "WAVE" tag on, unknown ones skipped and an odd-sized one followed by its
// pad byte; the first "fmt " and the first "data" chunk count. False with the
// reason when the file is not a two-channel 16- or 32-bit PCM WAV, or is
// shorter than its sizes say.
inline bool ReadRiffCapture(const std::string& path, Capture& capture, std::string& error) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<unsigned char> file(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()))) {
        error = "cannot read " + path;
        return false;
    }
    const uint64_t fileBytes = file.size();
    if (fileBytes < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
        error = "not a RIFF/WAVE file";
        return false;
    }
    const uint64_t riffEnd = 8 + uint64_t{LittleEndian(file.data() + 4, 4)};
    if (riffEnd > fileBytes) {
        error = "short file: the RIFF chunk ends at byte " + std::to_string(riffEnd) + ", the file has " +
                std::to_string(fileBytes);
        return false;
    }

    const unsigned char* fmt = nullptr;
    uint64_t fmtBytes = 0;
    const unsigned char* data = nullptr;
    uint64_t dataBytes = 0;
    for (uint64_t at = 12; at + 8 <= riffEnd && (fmt == nullptr || data == nullptr);) {
        const std::string id(reinterpret_cast<const char*>(file.data() + at), 4);
        const uint64_t bytes = LittleEndian(file.data() + at + 4, 4);
        const uint64_t body = at + 8;
        if (body + bytes > riffEnd) {
            error = "short file: chunk \"" + id + "\" holds " + std::to_string(bytes) + " bytes, " +
                    std::to_string(riffEnd - body) + " are left";
            return false;
        }
        if (id == "fmt " && fmt == nullptr) {
            fmt = file.data() + body;
            fmtBytes = bytes;
        } else if (id == "data" && data == nullptr) {
            data = file.data() + body;
            dataBytes = bytes;
        }
        at = body + bytes + (bytes & 1u);
    }
    if (fmt == nullptr || data == nullptr) {
        error = fmt == nullptr ? "no \"fmt \" chunk" : "no \"data\" chunk";
        return false;
    }
    if (fmtBytes < 16) {
        error = "a \"fmt \" chunk of " + std::to_string(fmtBytes) + " bytes";
        return false;
    }
    const uint32_t formatTag = LittleEndian(fmt, 2);
    const uint32_t channels = LittleEndian(fmt + 2, 2);
    const uint32_t rate = LittleEndian(fmt + 4, 4);
    const uint32_t byteRate = LittleEndian(fmt + 8, 4);
    const uint32_t blockAlign = LittleEndian(fmt + 12, 2);
    const uint32_t bits = LittleEndian(fmt + 14, 2);
    if (formatTag != 1 || channels != 2 || (bits != 16 && bits != 32)) {
        char tag[8];
        std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(formatTag));
        error = "not a two-channel 16- or 32-bit PCM WAV: format " + std::string(tag) + ", " +
                std::to_string(channels) + " channels, " + std::to_string(bits) + " bits";
        return false;
    }
    const uint32_t frameBytes = channels * bits / 8;
    if (rate == 0 || blockAlign != frameBytes || byteRate != rate * frameBytes) {
        error = "inconsistent \"fmt \" chunk: rate " + std::to_string(rate) + ", byte rate " +
                std::to_string(byteRate) + ", block align " + std::to_string(blockAlign);
        return false;
    }
    if (dataBytes % frameBytes != 0) {
        error = "a \"data\" chunk of " + std::to_string(dataBytes) + " bytes is no whole number of " +
                std::to_string(frameBytes) + "-byte frames";
        return false;
    }

    const size_t frames = static_cast<size_t>(dataBytes / frameBytes);
    capture.rate = static_cast<int>(rate);
    capture.bits = static_cast<int>(bits);
    capture.frames = static_cast<int64_t>(frames);
    const int sampleBytes = static_cast<int>(bits / 8);
    for (int c = 0; c < 2; ++c) {
        std::vector<int32_t>& samples = capture.channel[c];
        samples.resize(frames);
        const unsigned char* at = data + c * sampleBytes;
        for (size_t i = 0; i < frames; ++i, at += frameBytes) {
            const uint32_t raw = LittleEndian(at, sampleBytes);
            samples[i] = bits == 16 ? int32_t{static_cast<int16_t>(raw)} : static_cast<int32_t>(raw);
        }
    }
    return true;
}

#ifdef TONEGATE_E2E_SNDFILE
// False with the reason when the file is not a two-channel 16- or 32-bit PCM WAV.
inline bool ReadSndfileCapture(const std::string& path, Capture& capture, std::string& error) {
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
#endif

// The capture at `path`, read with libsndfile where the build has it.
inline bool ReadCapture(const std::string& path, Capture& capture, std::string& error) {
#ifdef TONEGATE_E2E_SNDFILE
    return ReadSndfileCapture(path, capture, error);
#else
    return ReadRiffCapture(path, capture, error);
#endif
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
