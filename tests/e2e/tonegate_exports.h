// End-to-end test support: the built library loaded at run time and its ten
// exports bound by name, as a user's program binds them, with the WAV sink
// configured through its environment settings. Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/tonegate.h"
#include "platform/win32.h"
#include "support/log_reader.h"
#include "support/temp_dir.h"

namespace tonegate_e2e {

using Clock = std::chrono::steady_clock;

// The exports, each taken from the loaded module by its undecorated name.
struct TonegateExports {
    decltype(&ASIOOpenDriver) openDriver = nullptr;
    decltype(&ASIOSystemInit) systemInit = nullptr;
    decltype(&ASIOCloseDriver) closeDriver = nullptr;
    decltype(&ASIOEnableWav) enableWav = nullptr;
    decltype(&ASIOSetSampleRate) setSampleRate = nullptr;
    decltype(&ASIOGetSampleRate) getSampleRate = nullptr;
    decltype(&ASIOGenerateSineWavA) sineA = nullptr;
    decltype(&ASIOGenerateSineWavB) sineB = nullptr;
    decltype(&ASIOGenerateSweepWavA) sweepA = nullptr;
    decltype(&ASIOGenerateSweepWavB) sweepB = nullptr;

    bool complete() const {
        return openDriver && systemInit && closeDriver && enableWav && setSampleRate && getSampleRate && sineA &&
               sineB && sweepA && sweepB;
    }
};

template <typename Function>
void Bind(HMODULE module, const char* name, Function& slot) {
    // Through void (*)(), the one function type every other converts to without a warning.
    slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loaded once per process and kept: the library counts notes for as long as
// it stays loaded, so the process's own count below matches its log.
inline const TonegateExports& Tonegate() {
    static const TonegateExports exports = [] {
        TonegateExports bound;
        HMODULE module = LoadLibraryA("Tonegate.dll");
        if (module == nullptr) return bound;
        Bind(module, "ASIOOpenDriver", bound.openDriver);
        Bind(module, "ASIOSystemInit", bound.systemInit);
        Bind(module, "ASIOCloseDriver", bound.closeDriver);
        Bind(module, "ASIOEnableWav", bound.enableWav);
        Bind(module, "ASIOSetSampleRate", bound.setSampleRate);
        Bind(module, "ASIOGetSampleRate", bound.getSampleRate);
        Bind(module, "ASIOGenerateSineWavA", bound.sineA);
        Bind(module, "ASIOGenerateSineWavB", bound.sineB);
        Bind(module, "ASIOGenerateSweepWavA", bound.sweepA);
        Bind(module, "ASIOGenerateSweepWavB", bound.sweepB);
        return bound;
    }();
    return exports;
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
    return channel == Channel::A ? Tonegate().sineA(frequency, seconds, attenuation)
                                 : Tonegate().sineB(frequency, seconds, attenuation);
}

inline void PlaySweep(Channel channel, double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    if (channel == Channel::A)
        Tonegate().sweepA(freqStart, freqEnd, seconds, attenuation);
    else
        Tonegate().sweepB(freqStart, freqEnd, seconds, attenuation);
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
        ASSERT_TRUE(Tonegate().complete()) << "Tonegate.dll or one of its exports was not found";
        ASSERT_TRUE(Tonegate().openDriver());
        ASSERT_TRUE(Tonegate().systemInit(GetDesktopWindow()));
        open_ = true;
        ASSERT_TRUE(Tonegate().setSampleRate(rate));
        ASSERT_EQ(Tonegate().getSampleRate(), static_cast<int32_t>(rate));
    }
    void CloseSession() {
        if (!open_) return;
        open_ = false;
        EXPECT_EQ(Tonegate().closeDriver(), 0);
    }
    void TearDown() override { CloseSession(); }

    // The log is written in text mode: its lines end as the platform's text
    // files do, and come back here ending in "\n" alone.
    static std::string Log() {
        const std::string text = tonegate_test::ReadFile("Dbg.Log");
        const std::string lineEnd = tonegate_test::kLogLineEnd;
        std::string log;
        size_t otherLineEnds = 0;
        for (size_t at = 0; at < text.size();) {
            if (text.compare(at, lineEnd.size(), lineEnd) == 0) {
                log += '\n';
                at += lineEnd.size();
            } else {
                if (text[at] == '\n') ++otherLineEnds;
                log += text[at++];
            }
        }
        EXPECT_EQ(otherLineEnds, 0u) << "line ends in the log that are not the platform's text line end";
        return log;
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
