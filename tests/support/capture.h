// Test support: a capture read whole, every sample as written, and measured
// with the same analysis `tonegate check` runs. Captures are read with the
// analysis's libsndfile reader where the build has libsndfile
// (TONEGATE_WITH_SNDFILE), and otherwise (the MinGW cross build, which has no
// libsndfile) with the small RIFF/WAVE reader here.
// Thread: the test's own.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "analysis/capture_analysis.h"

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

// The capture at `path`, read with libsndfile where the build has it.
inline bool ReadCapture(const std::string& path, Capture& capture, std::string& error) {
#ifdef TONEGATE_WITH_SNDFILE
    const std::unique_ptr<tonegate_capture::SampleSource> file = tonegate_capture::OpenCaptureFile(path, error);
    if (file == nullptr) return false;
    if (file->channels != 2 || file->floating || (file->bits != 16 && file->bits != 32)) {
        error = "not a two-channel 16- or 32-bit PCM capture";
        return false;
    }
    capture = Capture{};
    capture.rate = file->rate;
    capture.bits = file->bits;
    std::vector<double> block(2 * 4096);
    for (int64_t got; (got = file->Read(block.data(), 4096)) > 0; capture.frames += got)
        for (int64_t i = 0; i < got; ++i)
            for (int c = 0; c < 2; ++c)
                capture.channel[c].push_back(static_cast<int32_t>(block[static_cast<size_t>(2 * i + c)]));
    return true;
#else
    return ReadRiffCapture(path, capture, error);
#endif
}

// The items on one channel, found and measured by the capture analysis.
inline std::vector<tonegate_capture::Item> ItemsOn(const Capture& capture, int channel) {
    tonegate_capture::HeldSamples samples(capture.channel, 2, capture.rate, capture.bits);
    tonegate_capture::Capture analysed;
    std::string error;
    std::vector<tonegate_capture::Item> items;
    // Samples in memory always read; what they hold may be no item at all.
    tonegate_capture::AnalyseSamples(samples, {}, analysed, error);
    for (const tonegate_capture::Item& item : analysed.items)
        if (item.channel == channel) items.push_back(item);
    return items;
}

// The last frame of an item.
inline int64_t LastFrame(const tonegate_capture::Item& item) { return item.start + item.frames - 1; }

// The card's level for an attenuation: two steps below full scale at 0 dB.
inline double AmplitudeFor(uint32_t attenuation, int bits) {
    const double fullScale = bits == 16 ? 32767.0 : 2147483647.0;
    return attenuation == 0 ? fullScale - 2.0 : fullScale * std::pow(10.0, -static_cast<double>(attenuation) / 20.0);
}

}  // namespace tonegate_e2e
