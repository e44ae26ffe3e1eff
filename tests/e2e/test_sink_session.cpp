// The WAV sink as the library's card: rates it refuses, through the library's
// log, and the capture it leaves when the library closes it. Thread: the
// test's own; the sink's thread renders meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/capture.h"
#include "e2e/tone_checks.h"
#include "e2e/tonegate_exports.h"

namespace tonegate_e2e {
namespace {

constexpr uint32_t kBufferFrames = 512;
constexpr Note kProbe{1000, 0.1, 0};

class SinkSession : public SinkSessionTest {
protected:
    // The probe note, played to its end, is the capture's one item and has
    // its frequency at the capture's rate.
    static void ExpectProbeAtRate(int rate) {
        Capture capture;
        std::string error;
        ASSERT_TRUE(ReadCapture(kCaptureFile, capture, error)) << error;
        EXPECT_EQ(capture.rate, rate);
        const std::vector<tonegate_capture::Item> items = ItemsOn(capture, 0);
        ASSERT_EQ(items.size(), 1u);
        CheckNote(capture, items[0], kProbe, kBufferFrames);
    }
};

TEST_F(SinkSession, ARateTheCardLacksIsRefusedAndNotesKeepTheCardsRate) {
    OpenSession({}, 48000);
    EXPECT_FALSE(Tonegate().pASIOSetSampleRate(22050));
    EXPECT_EQ(Tonegate().pASIOGetSampleRate(), 48000);
    PlayNote(Channel::A, kProbe.frequency, kProbe.seconds, kProbe.attenuation);
    SleepFor(kProbe.seconds + 0.1);
    CloseSession();

    const std::string log = Log();
    EXPECT_NE(log.find("Failed: SetSampleRate\n"
                       "Ensure you don't have 'Rate Locked' set in the sound card's control panel,\n"
                       "...or perhaps requested sample rate is not supported: 22050\n"),
              std::string::npos)
        << log;
    ExpectNoteCountLogged(log);
    ExpectProbeAtRate(48000);
}

// The capture's rate is fixed once it holds frames: a change while the card
// runs is refused by the card itself, after the library found the rate supported.
TEST_F(SinkSession, ARateChangeOnceTheCaptureHoldsFramesIsRefused) {
    OpenSession({}, 96000);
    PlayNote(Channel::A, kProbe.frequency, kProbe.seconds, kProbe.attenuation);
    SleepFor(kProbe.seconds + 0.1);
    EXPECT_FALSE(Tonegate().pASIOSetSampleRate(44100));
    EXPECT_EQ(Tonegate().pASIOGetSampleRate(), 96000);
    CloseSession();

    const std::string log = Log();
    EXPECT_NE(log.find("Couldn't set sound card to requested sample rate: 44100\n"
                       "Ensure you don't have 'Rate Locked' set in the sound card's control panel.\n"),
              std::string::npos)
        << log;
    ExpectProbeAtRate(96000);
}

// Closed in the middle of a note: every buffer handed out is in the file,
// and its header accounts for all of them.
TEST_F(SinkSession, TheCaptureIsCompleteWhenCloseReturns) {
    OpenSession({.format = "int16"}, 44100);
    const Clock::time_point started = Clock::now();
    PlayNote(Channel::B, 440, 2.0, 0);
    SleepFor(0.3);
    CloseSession();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture(kCaptureFile, capture, error)) << error;
    EXPECT_EQ(capture.frames % kBufferFrames, 0);
    EXPECT_GE(static_cast<double>(capture.frames), 0.3 * 44100);
    EXPECT_LE(static_cast<double>(capture.frames), seconds * 44100 + kBufferFrames);
    // Frames of two 16-bit channels plus a header, nothing missing or beyond.
    const uintmax_t bytes = std::filesystem::file_size(kCaptureFile);
    const uintmax_t dataBytes = static_cast<uintmax_t>(capture.frames) * 4;
    EXPECT_GE(bytes, dataBytes + 44);
    EXPECT_LE(bytes, dataBytes + 128);
    // The note was still sounding in the last buffer.
    const std::vector<tonegate_capture::Item> items = ItemsOn(capture, 1);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_GE(LastFrame(items[0]), capture.frames - kBufferFrames);
}

}  // namespace
}  // namespace tonegate_e2e
