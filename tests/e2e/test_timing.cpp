// Timing of the whole chain in real time: the frames the sink writes against
// the steady clock, and the delay from a note request's return to the buffer
// that holds the note's first sample. Thread: the test's own; the sink's
// thread renders meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/capture.h"
#include "e2e/tone_checks.h"
#include "e2e/tonegate_exports.h"

namespace tonegate_e2e {
namespace {

constexpr uint32_t kRate = 48000;
// Loud enough that the first sample is never truncated to 0, so a note's
// first non-zero frame is its first frame.
constexpr Note kMarker{1000, 0.02, 0};

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

class RealtimeTiming : public SinkSessionTest {
protected:
    // A marker note on channel A; the steady-clock time at which its request returned.
    static Clock::time_point Mark() {
        PlayNote(Channel::A, kMarker.frequency, kMarker.seconds, kMarker.attenuation);
        return Clock::now();
    }
    // The first frames of the markers on channel A, in order.
    static std::vector<int64_t> MarkerFrames(uint32_t bufferFrames) {
        Capture capture;
        std::string error;
        EXPECT_TRUE(ReadCapture(kCaptureFile, capture, error)) << error;
        std::vector<int64_t> frames;
        for (const tonegate_capture::Item& item : ItemsOn(capture, 0)) {
            EXPECT_EQ(item.onset % bufferFrames, 0) << "a note begins with a buffer half";
            frames.push_back(item.onset);
        }
        return frames;
    }
};

// Ten seconds between two markers, and from the start to the close: the
// frames written over them match the steady clock within 0.1%.
TEST_F(RealtimeTiming, TenSecondsOfOutputKeepTheWallClock) {
    constexpr uint32_t kBufferFrames = 64;  // 1.3 ms: the buffer quantises both ends
    constexpr double kSeconds = 10.0;
    OpenSession({.bufferFrames = kBufferFrames, .report = true}, kRate);
    const Clock::time_point started = Clock::now();
    const Clock::time_point first = Mark();  // starts the card
    std::this_thread::sleep_until(first +
                                  std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSeconds)));
    const Clock::time_point last = Mark();
    SleepFor(0.1);
    const Clock::time_point closing = Clock::now();
    CloseSession();

    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture(kCaptureFile, capture, error)) << error;
    const std::vector<int64_t> markers = MarkerFrames(kBufferFrames);
    ASSERT_EQ(markers.size(), 2u);
    const double markerPpm =
        (static_cast<double>(markers[1] - markers[0]) / kRate / SecondsBetween(first, last) - 1.0) * 1e6;
    const double filePpm = (static_cast<double>(capture.frames) / kRate / SecondsBetween(started, closing) - 1.0) * 1e6;
    EXPECT_LE(std::abs(markerPpm), 1000.0);
    EXPECT_LE(std::abs(filePpm), 1000.0);
    std::printf("figures clock: %.1f ppm between markers %.3f s apart, %.1f ppm over the whole file of %lld frames\n",
                markerPpm, SecondsBetween(first, last), filePpm, static_cast<long long>(capture.frames));
}

// Markers requested at uneven moments: each sounds in a buffer that begins
// no later than one period plus the card's output latency after the request
// returned. Frame positions become times from the card's start, which lies
// inside the first request, so the delays measured are never overstated.
TEST_F(RealtimeTiming, ANoteSoundsWithinAPeriodAndTheOutputLatency) {
    constexpr uint32_t kBufferFrames = 256;
    constexpr int kRequests = 30;
    OpenSession({.bufferFrames = kBufferFrames}, kRate);
    const Clock::time_point origin = Clock::now();
    std::vector<Clock::time_point> returned{Mark()};
    for (int i = 1; i <= kRequests; ++i) {
        // Steps of 60 to 99 ms fall at every offset within the 5.3 ms period.
        std::this_thread::sleep_for(std::chrono::milliseconds(60 + (i * 13) % 40));
        returned.push_back(Mark());
    }
    SleepFor(0.1);
    CloseSession();

    const std::vector<int64_t> markers = MarkerFrames(kBufferFrames);
    ASSERT_EQ(markers.size(), returned.size());
    // The sink reports an output latency of one buffer.
    const double bound = 2.0 * kBufferFrames / kRate;
    double worst = -INFINITY, best = INFINITY;
    for (size_t i = 1; i < markers.size(); ++i) {
        const double delay = static_cast<double>(markers[i]) / kRate - SecondsBetween(origin, returned[i]);
        EXPECT_LE(delay, bound) << "request " << i;
        worst = std::max(worst, delay);
        best = std::min(best, delay);
    }
    std::printf("figures latency: delay from request to its buffer %.3f to %.3f ms over %d requests, bound %.3f ms\n",
                best * 1e3, worst * 1e3, kRequests, bound * 1e3);
}

}  // namespace
}  // namespace tonegate_e2e
