// The picture marks the items a mismatch concerns, and those alone: two
// tones far apart in a capture the test writes, each in turn the one a
// mismatch (made by the test) concerns. Thread: the test's one thread.
#include <cairo.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "analysis/capture_analysis.h"
#include "analysis/capture_plot.h"

namespace {

using tonegate_capture::Capture;
using tonegate_capture::Mismatch;

constexpr int kRate = 48000;

// One second, mono 32-bit: 1 kHz from 0.1 s and 3 kHz from 0.6 s, each
// 0.2 s at -20 dBFS with 10 ms linear ramps.
void WriteTwoTonesOrDie(const std::string& path) {
    std::vector<int32_t> samples(kRate, 0);
    for (const auto& [from, hz] : {std::pair{0.1, 1000.0}, std::pair{0.6, 3000.0}}) {
        const int first = static_cast<int>(from * kRate), length = kRate / 5, ramp = kRate / 100;
        for (int k = 1; k < length; ++k) {
            const double gain = std::min({1.0, static_cast<double>(k) / ramp, static_cast<double>(length - k) / ramp});
            samples[static_cast<size_t>(first + k)] = static_cast<int32_t>(
                std::lround(0.1 * 2147483647.0 * gain * std::sin(2 * std::numbers::pi * hz * k / kRate)));
        }
    }
    SF_INFO info{};
    info.samplerate = kRate, info.channels = 1, info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(sf_write_int(file, samples.data(), kRate), kRate);
    sf_close(file);
}

struct Picture {
    int width = 0, height = 0, stride = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y * stride + x)]; }
};

Picture ReadPngOrDie(const std::string& path) {
    Picture picture;
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create_from_png(path.c_str()), cairo_surface_destroy);
    EXPECT_EQ(cairo_surface_status(surface.get()), CAIRO_STATUS_SUCCESS) << path;
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return picture;
    cairo_surface_flush(surface.get());
    picture.width = cairo_image_surface_get_width(surface.get());
    picture.height = cairo_image_surface_get_height(surface.get());
    picture.stride = cairo_image_surface_get_stride(surface.get()) / 4;
    const auto* data = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(surface.get()));
    picture.pixels.assign(data, data + picture.stride * picture.height);
    return picture;
}

// How much redder than green a pixel is.
int Redness(uint32_t argb) { return static_cast<int>(argb >> 16 & 0xFF) - static_cast<int>(argb >> 8 & 0xFF); }

TEST(CapturePlot, OnlyTheItemsAMismatchConcernsAreMarked) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("plot-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string wav = (folder / "two.wav").string();
    WriteTwoTonesOrDie(wav);
    Capture capture;
    std::string why;
    ASSERT_TRUE(tonegate_capture::AnalyseCapture(wav, {}, capture, why)) << why;
    ASSERT_EQ(capture.items.size(), 2u);
    Picture marked[2];
    for (int item = 0; item < 2; ++item) {
        Mismatch mismatch;
        mismatch.item = item, mismatch.channel = 0, mismatch.line = 1, mismatch.step = 1;
        mismatch.field = tonegate_capture::MismatchField::Level;
        mismatch.text = "level off";
        const std::string png = (folder / ("marked-" + std::to_string(item) + ".png")).string();
        ASSERT_TRUE(tonegate_capture::DrawCapturePlot(capture, {mismatch}, png, why)) << why;
        marked[item] = ReadPngOrDie(png);
    }
    std::filesystem::remove_all(folder);
    ASSERT_EQ(marked[0].width, marked[1].width);
    ASSERT_EQ(marked[0].height, marked[1].height);
    // Where the two pictures differ, the redder one marks its own item there.
    int lastOfFirst = -1, firstOfSecond = marked[0].width, count[2] = {0, 0};
    for (int y = 0; y < marked[0].height; ++y)
        for (int x = 0; x < marked[0].width; ++x) {
            const int towardSecond = Redness(marked[1].At(x, y)) - Redness(marked[0].At(x, y));
            if (towardSecond < -64) ++count[0], lastOfFirst = std::max(lastOfFirst, x);
            if (towardSecond > 64) ++count[1], firstOfSecond = std::min(firstOfSecond, x);
        }
    EXPECT_GT(count[0], 0) << "the first tone's mismatch marks nothing";
    EXPECT_GT(count[1], 0) << "the second tone's mismatch marks nothing";
    EXPECT_LT(lastOfFirst, firstOfSecond) << "a mark lies over the other tone (0.1 to 0.3 s against 0.6 to 0.8 s)";
}

}  // namespace
