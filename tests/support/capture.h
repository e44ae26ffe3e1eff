// Test support: a capture read whole, every sample as written, and measured
// with the same analysis `tonegate check` runs. Captures are read through the
// analysis's own reader of capture files (libsndfile's where the build has
// it, its RIFF/WAVE reader otherwise). Thread: the test's own.
#pragma once

#include <cmath>
#include <cstdint>
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

// The two-channel 16- or 32-bit integer PCM capture at `path`; false with
// the reason for any other file, or one shorter than its header says.
inline bool ReadCapture(const std::string& path, Capture& capture, std::string& error) {
    const std::unique_ptr<tonegate_capture::SampleSource> file = tonegate_capture::OpenCaptureFile(path, error);
    if (file == nullptr) return false;
    if (file->channels != 2 || (file->format != "PCM 16-bit" && file->format != "PCM 32-bit")) {
        error = path + ": not a two-channel 16- or 32-bit PCM capture but " + std::to_string(file->channels) +
                " channels of " + file->format;
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
    if (file->declaredFrames >= 0) {
        error = path + ": short file: " + std::to_string(capture.frames) + " of " +
                std::to_string(file->declaredFrames) + " frames";
        return false;
    }
    return true;
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
