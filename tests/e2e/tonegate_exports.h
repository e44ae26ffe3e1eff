// End-to-end test support: the built library loaded at run time and its ten
// exports bound through the players' binding, with the WAV sink
// configured through its environment settings. Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/win32.h"
#include "player/library_binding.h"
#include "support/log_reader.h"
#include "support/temp_dir.h"

namespace tonegate_e2e {

using Clock = std::chrono::steady_clock;

// The library bound by the players' own binding, as a user's program binds it:
// loaded once per process and kept, since the library counts notes for as
// long as it stays loaded, so the process's own count below matches its log.
inline LibraryBinding& Tonegate() {
    static LibraryBinding binding;
    return binding;
}

// Note requests this process has made with a session open; every one of
// them passes the checks, so each counts in the library's noteCount.
inline int& NotesRequested() {
    static int count = 0;
    return count;
}

enum class Channel { A, B };

inline uint32_t PlayNote(Channel channel, double frequency, double seconds, uint32_t attenuation) {
    ++NotesRequested();
    return channel == Channel::A ? Tonegate().pASIOGenerateSineWavA(frequency, seconds, attenuation)
                                 : Tonegate().pASIOGenerateSineWavB(frequency, seconds, attenuation);
}

inline void PlaySweep(Channel channel, double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    if (channel == Channel::A)
        Tonegate().pASIOGenerateSweepWavA(freqStart, freqEnd, seconds, attenuation);
    else
        Tonegate().pASIOGenerateSweepWavB(freqStart, freqEnd, seconds, attenuation);
}

struct SinkSettings {
    const char* format = "int32";
    uint32_t bufferFrames = 512;
    const char* pace = "realtime";
    bool report = false;  // the sink's one-line summary on standard error at stop
};

// The capture lands in the working directory under the sink's default name.
constexpr char kCaptureFile[] = "Tonegate.wav";

// Every sink setting from a clean slate, and the build's own registration:
// no TONEGATE_REGISTRY, so the library finds the sink where the build put it.
inline void ConfigureSink(const SinkSettings& settings) {
    for (const char* name :
         {"TONEGATE_REGISTRY", "TONEGATE_WAVSINK_FILE", "TONEGATE_WAVSINK_RATE", "TONEGATE_WAVSINK_REPORT"})
        unsetenv(name);
    setenv("TONEGATE_WAVSINK_FORMAT", settings.format, 1);
    setenv("TONEGATE_WAVSINK_BUFFER", std::to_string(settings.bufferFrames).c_str(), 1);
    setenv("TONEGATE_WAVSINK_PACE", settings.pace, 1);
    if (settings.report) setenv("TONEGATE_WAVSINK_REPORT", "1", 1);
}

// A test in a fresh working directory with the library bound and a session
// on the sink opened at `rate`; the test closes it before reading the capture.
class SinkSessionTest : public tonegate_test::FreshDirectoryTest {
protected:
    void OpenSession(const SinkSettings& settings, uint32_t rate) {
        ConfigureSink(settings);
        ASSERT_TRUE(Tonegate().IsLoaded() && Tonegate().BindsEveryExport()) << "Tonegate.dll or one of its exports was not found";
        ASSERT_TRUE(Tonegate().pASIOOpenDriver());
        ASSERT_TRUE(Tonegate().pASIOSystemInit(GetDesktopWindow()));
        open_ = true;
        ASSERT_TRUE(Tonegate().pASIOSetSampleRate(rate));
        ASSERT_EQ(Tonegate().pASIOGetSampleRate(), static_cast<int32_t>(rate));
    }
    void CloseSession() {
        if (!open_) return;
        open_ = false;
        EXPECT_EQ(Tonegate().pASIOCloseDriver(), 0);
    }
    void TearDown() override { CloseSession(); }

    // The log is written in text mode: its lines end as the platform's text
    // files do, and come back here ending in "\n" alone.
    static std::string Log() {
        const std::string raw = tonegate_test::ReadFile("Dbg.Log");
        const auto count = [&raw](const std::string& text) {
            size_t found = 0;
            for (size_t at = raw.find(text); at != std::string::npos; at = raw.find(text, at + text.size())) ++found;
            return found;
        };
        EXPECT_EQ(count(tonegate_test::kLogLineEnd), count("\n"))
            << "line ends in the log that are not the platform's text line end";
        return tonegate_test::ReadLog();
    }
    static void ExpectNoteCountLogged(const std::string& log) {
        EXPECT_NE(log.find("\n\nFinal noteCount: " + std::to_string(NotesRequested()) + "\n"), std::string::npos)
            << log;
    }

private:
    bool open_ = false;
};

inline void SleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

}  // namespace tonegate_e2e
