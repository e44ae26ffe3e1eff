// The ALSA card as the library's card, selected by "ASIOConfig.txt": a fixed
// programme played through the built library onto ALSA's file plugin (over
// a null device) leaves the very samples the WAV sink captures for the same
// programme at the same rate, format and buffer size. Thread: the test's
// own; the cards' threads render meanwhile.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/tonegate_exports.h"
#include "support/capture.h"

namespace {

using namespace tonegate_e2e;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kBufferFrames = 256;
constexpr int kSinkDriver = 0;
constexpr int kAlsaDriver = 1;

// Each step's requests are made with output disabled, so every item begins
// on a buffer boundary of its own whichever card paces the run.
struct Request {
    enum Kind { SineA, SineB, SweepA } kind;
    double frequency, frequencyEnd, seconds;
    uint32_t attenuation;
};
const std::vector<std::vector<Request>> kProgramme = {
    {{Request::SineA, 1000, 0, 0.03, 0}, {Request::SineB, 440, 0, 0.05, 6}},
    {{Request::SweepA, 200, 4000, 0.12, 3}},
    {{Request::SineB, 3000, 0, 0.02, 20}, {Request::SineA, 523.25, 0, 0.025, 10}},
};

// One channel of raw interleaved 32-bit stereo frames.
std::vector<int32_t> RawChannel(const std::string& frames, int channel) {
    std::vector<int32_t> samples(frames.size() / 8);
    for (size_t frame = 0; frame < samples.size(); ++frame)
        std::memcpy(&samples[frame], frames.data() + frame * 8 + static_cast<size_t>(channel) * 4, 4);
    return samples;
}

// The runs of sound of one channel, each from its first to its last
// non-zero sample; a gap of 10 ms of zeros parts two.
std::vector<std::vector<int32_t>> Items(const std::vector<int32_t>& samples) {
    constexpr size_t kGap = kRate / 100;
    std::vector<std::vector<int32_t>> items;
    size_t last = 0;
    for (size_t frame = 0; frame < samples.size(); ++frame) {
        const int32_t sample = samples[frame];
        if (sample == 0) continue;
        if (items.empty() || frame - last > kGap)
            items.emplace_back();
        else
            items.back().insert(items.back().end(), frame - last - 1, 0);
        items.back().push_back(sample);
        last = frame;
    }
    return items;
}

class AlsaCaptureTest : public tonegate_test::FreshDirectoryTest {
protected:
    void TearDown() override {
        for (const char* name : {"TONEGATE_REGISTRY", "ALSA_CONFIG_PATH", "TONEGATE_ALSA_DEVICE",
                                 "TONEGATE_ALSA_PERIOD", "TONEGATE_TEST_CAPTURE"})
            unsetenv(name);
    }
    // The programme on `driver`, waiting `stepSeconds` with output enabled
    // after each step's requests.
    void Play(int driver, double stepSeconds) {
        ConfigureSink({.format = "int32", .bufferFrames = kBufferFrames, .pace = "realtime"});
        setenv("TONEGATE_REGISTRY", TONEGATE_WAVSINK_REGISTRATION ":" TONEGATE_ALSA_REGISTRATION, 1);
        setenv("ALSA_CONFIG_PATH", TONEGATE_TEST_ALSA_CONFIG, 1);
        setenv("TONEGATE_ALSA_DEVICE", "tonegate_capture", 1);
        setenv("TONEGATE_ALSA_PERIOD", std::to_string(kBufferFrames).c_str(), 1);
        setenv("TONEGATE_TEST_CAPTURE", std::filesystem::absolute("alsa.raw").c_str(), 1);
        tonegate_test::WriteFile("ASIOConfig.txt", std::to_string(driver));
        ASSERT_TRUE(Tonegate().IsLoaded() && Tonegate().BindsEveryExport())
            << "Tonegate.dll or one of its exports was not found";
        ASSERT_TRUE(Tonegate().pASIOOpenDriver());
        ASSERT_TRUE(Tonegate().pASIOSystemInit(GetDesktopWindow())) << tonegate_test::ReadFile("Dbg.Log");
        EXPECT_TRUE(Tonegate().pASIOSetSampleRate(kRate));
        Tonegate().pASIOEnableWav(false);
        for (const std::vector<Request>& step : kProgramme) {
            for (const Request& request : step) {
                if (request.kind == Request::SweepA)
                    PlaySweep(Channel::A, request.frequency, request.frequencyEnd, request.seconds, request.attenuation);
                else
                    PlayNote(request.kind == Request::SineA ? Channel::A : Channel::B, request.frequency,
                             request.seconds, request.attenuation);
            }
            Tonegate().pASIOEnableWav(true);
            SleepFor(stepSeconds);
            Tonegate().pASIOEnableWav(false);
        }
        EXPECT_EQ(Tonegate().pASIOCloseDriver(), 0);
        log_ += tonegate_test::ReadFile("Dbg.Log");
    }

    std::string log_;
};

TEST_F(AlsaCaptureTest, PlaysTheSamplesTheWavSinkCaptures) {
    // The null device takes frames as fast as they come, so a short wait
    // plays each step to its end.
    ASSERT_NO_FATAL_FAILURE(Play(kAlsaDriver, 0.015));
    EXPECT_NE(log_.find("Tonegate ALSA Output"), std::string::npos) << log_;
    const std::string alsa = tonegate_test::ReadFile("alsa.raw");
    ASSERT_NO_FATAL_FAILURE(Play(kSinkDriver, 0.25));
    Capture sink;
    std::string error;
    ASSERT_TRUE(ReadCapture(kCaptureFile, sink, error)) << error;
    ASSERT_EQ(sink.bits, 32);
    ASSERT_EQ(sink.rate, static_cast<int>(kRate));
    ASSERT_EQ(alsa.size() % (2 * kBufferFrames * 4), 0u) << "the file holds whole periods";

    const size_t expectedItems[2] = {3, 2};
    for (int channel = 0; channel < 2; ++channel) {
        const auto played = Items(RawChannel(alsa, channel));
        const auto captured = Items(sink.channel[channel]);
        ASSERT_EQ(captured.size(), expectedItems[channel]) << "channel " << channel;
        ASSERT_EQ(played.size(), captured.size()) << "channel " << channel;
        for (size_t i = 0; i < played.size(); ++i) {
            EXPECT_EQ(played[i].size(), captured[i].size()) << "channel " << channel << ", item " << i;
            EXPECT_TRUE(played[i] == captured[i]) << "channel " << channel << ", item " << i << " differs";
        }
    }
}

}  // namespace
