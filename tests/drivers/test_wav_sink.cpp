// The WAV sink driven as a host drives it, without the library: found
// through its registration, made by COM, called through IASIO, with the
// test's own callbacks writing a known ramp. Thread: the test's thread plays
// the host's; the callbacks run on the sink's thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "host/asio_interface.h"
#include "platform/win32.h"
#include "support/capture.h"
#include "support/scoped_registry.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using tonegate_e2e::Capture;

const char* const kSettings[] = {"TONEGATE_WAVSINK_FILE",   "TONEGATE_WAVSINK_FORMAT", "TONEGATE_WAVSINK_BUFFER",
                                 "TONEGATE_WAVSINK_RATE",   "TONEGATE_WAVSINK_PACE",   "TONEGATE_WAVSINK_REPORT"};

// What the callbacks see; plain function pointers reach it through `host`.
struct Host {
    IASIO* driver = nullptr;
    ASIOBufferInfo buffers[2]{};
    int32_t frames = 0;
    int sampleBytes = 4;
    int runStart = 0;      // the switch the current run began with
    int stopAtSwitch = -1;  // the callback calls the driver's stop there
    int sleepAtSwitch = -1;
    Clock::duration sleepFor{};
    std::atomic<int> switches{0};
    std::atomic<int> wrongIndex{0};
    std::atomic<bool> stopReturned{false};
    std::vector<Clock::time_point> began;
    std::vector<std::pair<int32_t, int32_t>> messages;
};
Host* host = nullptr;

// Sample `k` of channel `channel`: every byte changes from one to the next.
uint32_t Ramp(uint32_t k, int channel) { return k * 2654435761u + static_cast<uint32_t>(channel) * 0x9E3779B9u; }

void BufferSwitch(int32_t index, ASIOBool /*directProcess*/) {
    const int n = host->switches.load(std::memory_order_relaxed);
    if (index != (n - host->runStart) % 2) host->wrongIndex.fetch_add(1);
    host->began.push_back(Clock::now());
    for (int channel = 0; channel < 2; ++channel) {
        auto* half = static_cast<unsigned char*>(host->buffers[channel].buffers[index]);
        for (int32_t frame = 0; frame < host->frames; ++frame) {
            const uint32_t value = Ramp(static_cast<uint32_t>(n * host->frames + frame), channel);
            std::memcpy(half + frame * host->sampleBytes, &value, static_cast<size_t>(host->sampleBytes));
        }
    }
    host->driver->outputReady();
    if (n == host->sleepAtSwitch) std::this_thread::sleep_for(host->sleepFor);
    host->switches.store(n + 1, std::memory_order_release);
    if (n == host->stopAtSwitch) {
        host->driver->stop();
        host->stopReturned = true;
    }
}

void SampleRateDidChange(ASIOSampleRate /*rate*/) {}

// A reset request is answered as the library does: the driver is stopped
// from inside the callback.
int32_t AsioMessage(int32_t selector, int32_t value, void* /*message*/, double* /*opt*/) {
    host->messages.emplace_back(selector, value);
    if (selector == kAsioResetRequest) {
        host->driver->stop();
        host->stopReturned = true;
        return 1;
    }
    if (selector == kAsioSelectorSupported) return value == kAsioEngineVersion ? 1 : 0;
    return selector == kAsioEngineVersion ? 2 : 0;
}

// The samples of `channel` the file should hold after `halves` switches:
// the low `sampleBytes` bytes of each ramp value, as the reader widens them.
std::vector<int32_t> ExpectedRamp(int halves, int32_t frames, int sampleBytes, int channel) {
    std::vector<int32_t> samples;
    for (uint32_t k = 0; k < static_cast<uint32_t>(halves * frames); ++k) {
        const uint32_t value = Ramp(k, channel);
        samples.push_back(sampleBytes == 2 ? int32_t{static_cast<int16_t>(value)} : static_cast<int32_t>(value));
    }
    return samples;
}

// The sink's file read back. Unless it is looked at mid-run, its sizes
// (after the 44-byte header) cover every frame in it.
Capture ReadSinkFile(const std::filesystem::path& path, bool midRun = false) {
    Capture capture;
    std::string error;
    EXPECT_TRUE(tonegate_e2e::ReadCapture(path.string(), capture, error)) << path << ": " << error;
    const uintmax_t claimedBytes = 44u + static_cast<uintmax_t>(capture.frames * 2 * (capture.bits / 8));
    std::error_code ignored;
    if (!midRun) {
        EXPECT_EQ(std::filesystem::file_size(path, ignored), claimedBytes) << path << " holds more than its sizes say";
    }
    return capture;
}

bool WaitFor(const std::function<bool()>& done, Clock::duration timeout = 5s) {
    const auto until = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class WavSinkTest : public tonegate_test::FreshDirectoryTest {
protected:
    void SetUp() override {
        setenv("TONEGATE_REGISTRY", TONEGATE_WAVSINK_REGISTRATION, 1);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        host = &host_;
    }
    void TearDown() override {
        if (sink_ != nullptr) sink_->Release();
        CoUninitialize();
        host = nullptr;
        for (const char* name : kSettings) unsetenv(name);
        unsetenv("TONEGATE_REGISTRY");
    }

    // The sink as a host finds it: the registration's class id, then COM.
    void Create() {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate 1 WAV Sink", &key), ERROR_SUCCESS);
        char text[64] = "";
        DWORD size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, "CLSID", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size), ERROR_SUCCESS);
        RegCloseKey(key);
        const CLSID clsid = tonegate_test::ClsidOf(text);
        void* object = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object), S_OK);
        sink_ = static_cast<IASIO*>(object);
        host_.driver = sink_;
    }
    // Created, initialised, both outputs' buffers made at `frames` (0: the
    // preferred size).
    void Open(int32_t frames = 0) {
        ASSERT_NO_FATAL_FAILURE(Create());
        ASSERT_EQ(sink_->init(nullptr), ASIOTrue) << ErrorMessage();
        int32_t least = 0, most = 0, preferred = 0, granularity = 0;
        ASSERT_EQ(sink_->getBufferSize(&least, &most, &preferred, &granularity), ASE_OK);
        host_.frames = frames != 0 ? frames : preferred;
        host_.sampleBytes = ChannelInfo(0).type == ASIOSTInt16LSB ? 2 : 4;
        host_.began.reserve(4096);
        ASSERT_EQ(CreateBuffers(), ASE_OK);
    }
    ASIOError CreateBuffers() {
        for (int32_t i = 0; i < 2; ++i) host_.buffers[i] = ASIOBufferInfo{ASIOFalse, i, {nullptr, nullptr}};
        return sink_->createBuffers(host_.buffers, 2, host_.frames, &callbacks_);
    }
    ASIOChannelInfo ChannelInfo(int32_t channel) {
        ASIOChannelInfo info{};
        info.channel = channel;
        EXPECT_EQ(sink_->getChannelInfo(&info), ASE_OK);
        return info;
    }
    std::string ErrorMessage() {
        char text[128] = "";
        sink_->getErrorMessage(text);
        return text;
    }
    // A new sink's init fails with `reason`; the sink is released again.
    void ExpectInitRefused(const std::string& reason) {
        ASSERT_NO_FATAL_FAILURE(Create());
        ASSERT_EQ(sink_->init(nullptr), ASIOFalse);
        ASSERT_EQ(ErrorMessage(), reason);
        sink_->Release();
        sink_ = nullptr;
    }
    // Runs until the callback has made at least `switches` switches in all.
    void RunUntil(int switches) {
        host_.runStart = host_.switches.load();
        ASSERT_EQ(sink_->start(), ASE_OK);
        ASSERT_TRUE(WaitFor([&] { return host_.switches.load() >= switches; }));
        ASSERT_EQ(sink_->stop(), ASE_OK);
    }
    void ExpectFileHoldsRamp(const std::filesystem::path& path = "Tonegate.wav") {
        const Capture capture = ReadSinkFile(path);
        EXPECT_EQ(capture.bits, 8 * host_.sampleBytes);
        EXPECT_EQ(capture.frames, static_cast<int64_t>(host_.switches.load()) * host_.frames);
        for (int channel = 0; channel < 2; ++channel)
            EXPECT_TRUE(capture.channel[channel] ==
                        ExpectedRamp(host_.switches.load(), host_.frames, host_.sampleBytes, channel))
                << "samples of channel " << channel << " differ from what the callback wrote";
        EXPECT_EQ(host_.wrongIndex.load(), 0);
    }

    Host host_;
    IASIO* sink_ = nullptr;
    ASIOCallbacks callbacks_{BufferSwitch, SampleRateDidChange, AsioMessage, nullptr};
};

TEST_F(WavSinkTest, AnswersWhatTheHostAsks) {
    ASSERT_NO_FATAL_FAILURE(Create());
    int32_t inputs = -1, outputs = -1;
    EXPECT_EQ(sink_->getChannels(&inputs, &outputs), ASE_NotPresent) << "answered before init";
    ASSERT_EQ(sink_->init(nullptr), ASIOTrue);
    char name[128] = "";
    sink_->getDriverName(name);
    EXPECT_STREQ(name, "Tonegate WAV Sink");
    ASSERT_EQ(sink_->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(outputs, 2);
    int32_t least = 0, most = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(sink_->getBufferSize(&least, &most, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(least, 32);
    EXPECT_EQ(most, 4096);
    EXPECT_EQ(preferred, 512);
    EXPECT_EQ(granularity, -1);
    int32_t inputLatency = -1, outputLatency = -1;
    ASSERT_EQ(sink_->getLatencies(&inputLatency, &outputLatency), ASE_OK);
    EXPECT_EQ(inputLatency, 0);
    EXPECT_EQ(outputLatency, 512);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(sink_->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);
    for (int32_t channel = 0; channel < 2; ++channel) {
        const ASIOChannelInfo info = ChannelInfo(channel);
        EXPECT_EQ(info.isActive, ASIOFalse);
        EXPECT_EQ(info.channelGroup, 0);
        EXPECT_EQ(info.type, ASIOSTInt32LSB);
        EXPECT_STREQ(info.name, channel == 0 ? "Out 1" : "Out 2");
    }
    ASIOChannelInfo third{2, ASIOFalse, 0, 0, 0, ""};
    EXPECT_EQ(sink_->getChannelInfo(&third), ASE_InvalidParameter);
    ASIOChannelInfo input{0, ASIOTrue, 0, 0, 0, ""};
    EXPECT_EQ(sink_->getChannelInfo(&input), ASE_InvalidParameter);
    EXPECT_EQ(sink_->outputReady(), ASE_OK);
}

TEST_F(WavSinkTest, ListedRatesAreTakenOthersRefusedWithNoClock) {
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_EQ(sink_->init(nullptr), ASIOTrue);
    ASIOSampleRate rate = 0;
    for (const double listed : {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0}) {
        EXPECT_EQ(sink_->canSampleRate(listed), ASE_OK) << listed;
        EXPECT_EQ(sink_->setSampleRate(listed), ASE_OK) << listed;
        ASSERT_EQ(sink_->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, listed);
    }
    for (const double other : {0.0, 8000.0, 22050.0, 32000.0, 47999.5, 384000.0, -48000.0}) {
        EXPECT_EQ(sink_->canSampleRate(other), ASE_NoClock) << other;
        EXPECT_EQ(sink_->setSampleRate(other), ASE_NoClock) << other;
    }
    ASSERT_EQ(sink_->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 192000.0);
    EXPECT_EQ(ReadSinkFile("Tonegate.wav").rate, 192000);
}

TEST_F(WavSinkTest, CreateBuffersTakesPowersOfTwoFrom32To4096) {
    ASSERT_NO_FATAL_FAILURE(Create());
    ASSERT_EQ(sink_->init(nullptr), ASIOTrue);
    for (const int32_t frames : {32, 64, 1024, 4096}) {
        host_.frames = frames;
        ASSERT_EQ(CreateBuffers(), ASE_OK) << frames;
        EXPECT_NE(host_.buffers[0].buffers[0], nullptr);
        EXPECT_NE(host_.buffers[0].buffers[1], host_.buffers[0].buffers[0]);
        EXPECT_NE(host_.buffers[1].buffers[0], host_.buffers[0].buffers[1]);
        EXPECT_EQ(ChannelInfo(0).isActive, ASIOTrue);
        EXPECT_EQ(ChannelInfo(1).isActive, ASIOTrue);
        int32_t inputLatency = -1, outputLatency = -1;
        ASSERT_EQ(sink_->getLatencies(&inputLatency, &outputLatency), ASE_OK);
        EXPECT_EQ(outputLatency, frames);
        EXPECT_EQ(sink_->disposeBuffers(), ASE_OK);
        EXPECT_EQ(ChannelInfo(0).isActive, ASIOFalse);
    }
    for (const int32_t frames : {0, 16, 31, 48, 500, 8192}) {
        host_.frames = frames;
        EXPECT_EQ(CreateBuffers(), ASE_InvalidParameter) << frames;
    }
    host_.frames = 64;
    ASIOBufferInfo input[1] = {{ASIOTrue, 0, {}}};
    ASIOBufferInfo third[1] = {{ASIOFalse, 2, {}}};
    ASIOBufferInfo twice[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 0, {}}};
    EXPECT_EQ(sink_->createBuffers(input, 1, 64, &callbacks_), ASE_InvalidParameter);
    EXPECT_EQ(sink_->createBuffers(third, 1, 64, &callbacks_), ASE_InvalidParameter);
    EXPECT_EQ(sink_->createBuffers(twice, 2, 64, &callbacks_), ASE_InvalidParameter);
    EXPECT_EQ(sink_->createBuffers(host_.buffers, 2, 64, nullptr), ASE_InvalidParameter);
    ASIOBufferInfo secondOnly[1] = {{ASIOFalse, 1, {}}};
    ASSERT_EQ(sink_->createBuffers(secondOnly, 1, 64, &callbacks_), ASE_OK);
    EXPECT_EQ(ChannelInfo(0).isActive, ASIOFalse);
    EXPECT_EQ(ChannelInfo(1).isActive, ASIOTrue);
}

TEST_F(WavSinkTest, EnvironmentChoosesFileFormatBufferRateAndPace) {
    std::filesystem::create_directory("takes");
    setenv("TONEGATE_WAVSINK_FILE", "takes/out.wav", 1);
    setenv("TONEGATE_WAVSINK_FORMAT", "int16", 1);
    setenv("TONEGATE_WAVSINK_BUFFER", "256", 1);
    setenv("TONEGATE_WAVSINK_RATE", "96000", 1);
    setenv("TONEGATE_WAVSINK_PACE", "freewheel", 1);
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(host_.frames, 256);
    EXPECT_EQ(ChannelInfo(1).type, ASIOSTInt16LSB);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(sink_->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    // Freewheeling, 100 buffers of 256 frames at 96 kHz take far less than their 267 ms.
    const auto begin = Clock::now();
    ASSERT_NO_FATAL_FAILURE(RunUntil(100));
    EXPECT_LT(Clock::now() - begin, 200ms);
    ExpectFileHoldsRamp("takes/out.wav");
    EXPECT_EQ(ReadSinkFile("takes/out.wav").rate, 96000);
    EXPECT_FALSE(std::filesystem::exists("Tonegate.wav"));
}

TEST_F(WavSinkTest, BadSettingsFailInitWithTheirReason) {
    const std::pair<const char*, const char*> bad[] = {
        {"TONEGATE_WAVSINK_BUFFER", "500"},    {"TONEGATE_WAVSINK_BUFFER", "8192"},
        {"TONEGATE_WAVSINK_BUFFER", "16"},     {"TONEGATE_WAVSINK_BUFFER", "256k"},
        {"TONEGATE_WAVSINK_RATE", "22050"},    {"TONEGATE_WAVSINK_RATE", "48000.0"},
        {"TONEGATE_WAVSINK_FORMAT", "float"},  {"TONEGATE_WAVSINK_PACE", "slow"},
    };
    for (const auto& [name, value] : bad) {
        setenv(name, value, 1);
        ASSERT_NO_FATAL_FAILURE(Create());
        EXPECT_EQ(sink_->init(nullptr), ASIOFalse) << name << "=" << value;
        EXPECT_NE(ErrorMessage().find(std::string(name) + "=" + value), std::string::npos) << ErrorMessage();
        sink_->Release();
        sink_ = nullptr;
        unsetenv(name);
    }
    EXPECT_FALSE(std::filesystem::exists("Tonegate.wav"));
}

TEST_F(WavSinkTest, UncreatableFileFailsInitNamingPathAndReason) {
    setenv("TONEGATE_WAVSINK_FILE", "missing/take.wav", 1);
    ASSERT_NO_FATAL_FAILURE(Create());
    EXPECT_EQ(sink_->init(nullptr), ASIOFalse);
    const std::string path = (std::filesystem::current_path() / "missing" / "take.wav").string();
    EXPECT_EQ(ErrorMessage(), "cannot create " + path + ": " + std::strerror(ENOENT));
}

// Two runs in one folder: the second is refused while the first holds the
// capture, which stays whole; once the first is gone the file is free.
TEST_F(WavSinkTest, SecondSinkIsRefusedTheCaptureTheFirstHolds) {
    setenv("TONEGATE_WAVSINK_PACE", "freewheel", 1);
    ASSERT_NO_FATAL_FAILURE(Open(64));
    IASIO* const first = sink_;
    ASSERT_NO_FATAL_FAILURE(RunUntil(10));
    const std::string path = (std::filesystem::current_path() / "Tonegate.wav").string();
    ASSERT_NO_FATAL_FAILURE(ExpectInitRefused(path + " is being written by another run"));
    sink_ = host_.driver = first;
    ASSERT_NO_FATAL_FAILURE(RunUntil(20));
    ExpectFileHoldsRamp();
    sink_->Release();
    sink_ = nullptr;
    ASSERT_NO_FATAL_FAILURE(Create());
    EXPECT_EQ(sink_->init(nullptr), ASIOTrue) << ErrorMessage();
}

class WavSinkFormatTest : public WavSinkTest, public ::testing::WithParamInterface<const char*> {};

// Two runs append to one file; after each stop it is complete and holds
// exactly the halves the callback wrote, in order.
TEST_P(WavSinkFormatTest, FileHoldsExactlyTheHalvesTheCallbackWrote) {
    setenv("TONEGATE_WAVSINK_FORMAT", GetParam(), 1);
    setenv("TONEGATE_WAVSINK_PACE", "freewheel", 1);
    ASSERT_NO_FATAL_FAILURE(Open(64));
    ASSERT_NO_FATAL_FAILURE(RunUntil(51));
    ExpectFileHoldsRamp();
    ASSERT_NO_FATAL_FAILURE(RunUntil(host_.switches.load() + 20));
    ExpectFileHoldsRamp();
}

INSTANTIATE_TEST_SUITE_P(Formats, WavSinkFormatTest, ::testing::Values("int32", "int16"));

TEST_F(WavSinkTest, StopInsideTheCallbackEndsTheStreamThere) {
    ASSERT_NO_FATAL_FAILURE(Open(64));
    host_.stopAtSwitch = 3;
    ASSERT_EQ(sink_->start(), ASE_OK);
    ASSERT_TRUE(WaitFor([&] { return host_.stopReturned.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(host_.switches.load(), 4);
    EXPECT_EQ(sink_->stop(), ASE_OK);
    ExpectFileHoldsRamp();

    // The ended thread is joined at the next start, which runs again.
    host_.stopAtSwitch = -1;
    ASSERT_NO_FATAL_FAILURE(RunUntil(10));
    ExpectFileHoldsRamp();
}

TEST_F(WavSinkTest, StopFromTheHostCutsTheWaitAndNoCallbackFollows) {
    setenv("TONEGATE_WAVSINK_RATE", "44100", 1);
    ASSERT_NO_FATAL_FAILURE(Open(4096));  // 93 ms between switches
    ASSERT_EQ(sink_->start(), ASE_OK);
    ASSERT_TRUE(WaitFor([&] { return host_.switches.load() >= 2; }));
    const auto stopCalled = Clock::now();
    EXPECT_EQ(sink_->stop(), ASE_OK);
    EXPECT_LT(Clock::now() - stopCalled, 50ms);
    const int switches = host_.switches.load();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(host_.switches.load(), switches);
    ExpectFileHoldsRamp();
}

TEST_F(WavSinkTest, StopAndDisposeWorkWithoutStart) {
    ASSERT_NO_FATAL_FAILURE(Create());
    EXPECT_EQ(sink_->stop(), ASE_OK);
    ASSERT_EQ(sink_->init(nullptr), ASIOTrue);
    EXPECT_EQ(sink_->start(), ASE_NotPresent) << "started without buffers";
    EXPECT_EQ(sink_->stop(), ASE_OK);
    host_.frames = 128;
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    EXPECT_EQ(sink_->stop(), ASE_OK);
    EXPECT_EQ(sink_->disposeBuffers(), ASE_OK);
    EXPECT_NE(sink_->disposeBuffers(), ASE_OK);
    EXPECT_EQ(ReadSinkFile("Tonegate.wav").frames, 0);
    EXPECT_EQ(host_.switches.load(), 0);
}

// The file's rate is the card's while it holds frames: the player's order
// (createBuffers, setSampleRate, start) gives a file at the rate it set.
TEST_F(WavSinkTest, RateIsFixedWhileTheFileHoldsFrames) {
    setenv("TONEGATE_WAVSINK_PACE", "freewheel", 1);
    ASSERT_NO_FATAL_FAILURE(Open(64));
    ASSERT_EQ(sink_->setSampleRate(96000), ASE_OK);
    host_.runStart = 0;
    host_.sleepAtSwitch = 0;
    host_.sleepFor = 50ms;
    ASSERT_EQ(sink_->start(), ASE_OK);
    EXPECT_NE(sink_->setSampleRate(88200), ASE_OK) << "rate changed while running";
    ASSERT_TRUE(WaitFor([&] { return host_.switches.load() >= 5; }));
    ASSERT_EQ(sink_->stop(), ASE_OK);
    EXPECT_NE(sink_->setSampleRate(44100), ASE_OK);
    EXPECT_EQ(sink_->setSampleRate(96000), ASE_OK);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(sink_->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(ReadSinkFile("Tonegate.wav").rate, 96000);
    ExpectFileHoldsRamp();

    ASSERT_EQ(sink_->disposeBuffers(), ASE_OK);
    ASSERT_EQ(CreateBuffers(), ASE_OK);
    EXPECT_EQ(sink_->setSampleRate(44100), ASE_OK);
    const Capture capture = ReadSinkFile("Tonegate.wav");
    EXPECT_EQ(capture.frames, 0);
    EXPECT_EQ(capture.rate, 44100);
}

// Freewheeling runs many times faster than the clock, and the sizes written
// after every buffer leave a readable file counting every buffer before the
// one being played while it runs (looked at while the callback holds the
// sink's thread).
TEST_F(WavSinkTest, FreewheelOutrunsTheClockAndCountsAsItGoes) {
    setenv("TONEGATE_WAVSINK_PACE", "freewheel", 1);
    ASSERT_NO_FATAL_FAILURE(Open());  // 512 frames at 48 kHz: 10.7 ms each
    host_.sleepAtSwitch = 150;
    host_.sleepFor = 300ms;
    const auto started = Clock::now();
    ASSERT_EQ(sink_->start(), ASE_OK);
    ASSERT_TRUE(WaitFor([&] { return host_.switches.load() >= 150; }));
    EXPECT_LT(Clock::now() - started, 160ms) << "150 switches took more than a tenth of their 1.6 s";
    const Capture running = ReadSinkFile("Tonegate.wav", /*midRun=*/true);
    EXPECT_GE(running.frames, 149 * 512) << "buffers written are not counted in the header";
    ASSERT_TRUE(WaitFor([&] { return host_.switches.load() >= 200; }));
    ASSERT_EQ(sink_->stop(), ASE_OK);
    ExpectFileHoldsRamp();
}

// Over about a second, the frames handed out before the last switch match
// the wall-clock time from start to it within 2%.
TEST_F(WavSinkTest, RealtimePaceFollowsTheClock) {
    ASSERT_NO_FATAL_FAILURE(Open());  // 512 frames at 48 kHz: 10.7 ms a switch
    const auto started = Clock::now();
    ASSERT_EQ(sink_->start(), ASE_OK);
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(sink_->stop(), ASE_OK);
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    const int switches = host_.switches.load();
    ASSERT_GE(switches, 80);
    const double span = std::chrono::duration<double>(host_.began.back() - started).count();
    const double produced = (switches - 1) * 512.0 / 48000.0;
    std::printf("pacing: %d switches, %.1f ppm against the wall clock\n", switches, (produced / span - 1.0) * 1e6);
    EXPECT_NEAR(produced / span, 1.0, 0.02);
    EXPECT_NEAR(switches * 512.0 / 48000.0, elapsed, 0.02 * elapsed + 512.0 / 48000.0);
    ExpectFileHoldsRamp();
}

// One switch held up 2.5 periods makes the next one late by 1.5 periods; the
// one after is due half a period after it, so only one counts as late.
TEST_F(WavSinkTest, ReportLineSumsUpTheRun) {
    setenv("TONEGATE_WAVSINK_REPORT", "1", 1);
    ASSERT_NO_FATAL_FAILURE(Open(1024));  // 21.3 ms a switch at 48 kHz
    const double periodMs = 1024 * 1000.0 / 48000.0;
    const std::vector<std::pair<int32_t, int32_t>> asked = {{kAsioSelectorSupported, kAsioEngineVersion},
                                                            {kAsioEngineVersion, 0}};
    EXPECT_EQ(host_.messages, asked);
    host_.sleepAtSwitch = 3;
    host_.sleepFor = std::chrono::microseconds(static_cast<int>(2500 * periodMs));
    testing::internal::CaptureStderr();
    ASSERT_NO_FATAL_FAILURE(RunUntil(12));
    const std::string report = testing::internal::GetCapturedStderr();

    unsigned long long frames = 0, buffers = 0, late = 0;
    double worstMs = 0, ppm = 0;
    unsigned outputReadyCalls = 0;
    int engineVersion = 0;
    ASSERT_EQ(std::sscanf(report.c_str(),
                          "Tonegate WAV Sink: %llu frames written, %llu buffers, %llu late, worst lateness %lf ms, "
                          "%lf ppm against the wall clock, %u outputReady calls, host engine version %d",
                          &frames, &buffers, &late, &worstMs, &ppm, &outputReadyCalls, &engineVersion),
              7)
        << report;
    const auto switches = static_cast<unsigned long long>(host_.switches.load());
    EXPECT_EQ(buffers, switches);
    EXPECT_EQ(frames, switches * 1024);
    EXPECT_EQ(late, 1u);
    EXPECT_GT(worstMs, 1.0 * periodMs);
    EXPECT_LT(worstMs, 2.0 * periodMs);
    EXPECT_EQ(outputReadyCalls, switches);
    EXPECT_EQ(engineVersion, 2);
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
}

#ifndef _WIN32
TEST_F(WavSinkTest, LinkAtTheCapturePathIsNotFollowed) {
    tonegate_test::WriteFile("victim.txt", "kept");
    std::filesystem::create_symlink("victim.txt", "Tonegate.wav");
    const std::string path = (std::filesystem::current_path() / "Tonegate.wav").string();
    ASSERT_NO_FATAL_FAILURE(ExpectInitRefused("cannot create " + path + ": it is a symbolic link, which is not followed"));
    EXPECT_EQ(tonegate_test::ReadFile("victim.txt"), "kept");
}

// First with a reader, so that a sink writing into the FIFO shows it instead
// of waiting for one; then without, where opening it would wait for ever.
TEST_F(WavSinkTest, FifoAtTheCapturePathFailsInitAtOnce) {
    ASSERT_EQ(mkfifo("Tonegate.wav", 0600), 0);
    const std::string refused = "cannot create " + (std::filesystem::current_path() / "Tonegate.wav").string() +
                                ": it is not a regular file";
    const int reader = open("Tonegate.wav", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_NO_FATAL_FAILURE(ExpectInitRefused(refused));
    char byte = 0;
    const ssize_t got = read(reader, &byte, 1);
    close(reader);
    ASSERT_LE(got, 0) << "the sink wrote into the FIFO";
    ASSERT_NO_FATAL_FAILURE(ExpectInitRefused(refused));
}

// Killed while it plays, within its first second, a run leaves a capture
// whose header counts every buffer in it but perhaps the last, which may be
// in the file a moment before its count is.
TEST_F(WavSinkTest, KilledRunLeavesACompleteCapture) {
    constexpr int32_t kFrames = 512;
    constexpr uintmax_t kHalfBytes = kFrames * 2 * 4;
    const pid_t run = fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
        Open(kFrames);
        if (sink_ != nullptr && sink_->start() == ASE_OK)
            for (;;) pause();
        _exit(1);
    }
    const bool played = WaitFor([&] {
        std::error_code missing;
        const uintmax_t size = std::filesystem::file_size("Tonegate.wav", missing);
        return !missing && size >= 44 + 8 * kHalfBytes;
    });
    kill(run, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    ASSERT_TRUE(played);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the run ended before it was killed";

    const Capture capture = ReadSinkFile("Tonegate.wav", /*midRun=*/true);
    const uintmax_t counted = static_cast<uintmax_t>(capture.frames) * 8;
    const uintmax_t held = std::filesystem::file_size("Tonegate.wav") - 44;
    EXPECT_GE(counted, 7 * kHalfBytes);
    EXPECT_TRUE(held == counted || held == counted + kHalfBytes) << held << " bytes held, " << counted << " counted";
    const int halves = static_cast<int>(capture.frames / kFrames);
    for (int channel = 0; channel < 2; ++channel)
        EXPECT_TRUE(capture.channel[channel] == ExpectedRamp(halves, kFrames, 4, channel)) << "channel " << channel;
}

// The process's file-size limit, lowered for one case; a write past it fails
// (EFBIG) as on a full disk instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : previousHandler_(signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &before_);
        const rlimit lowered{bytes, before_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &before_);
        signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    void (*previousHandler_)(int);
    rlimit before_{};
};

// A capture that stops mid-run asks the host for a reset from the card's
// thread at once (the host stops the card there), says why in the report
// line even unasked and in getErrorMessage, keeps every whole frame written
// and takes no new start.
TEST_F(WavSinkTest, StoppedCaptureAsksForAResetAndSaysWhy) {
    setenv("TONEGATE_WAVSINK_PACE", "freewheel", 1);
    ASSERT_NO_FATAL_FAILURE(Open(64));  // 512 bytes a half
    const int64_t framesThatFit = 5 * 64 + 32;
    std::string report;
    {
        const FileSizeLimit limit(44 + framesThatFit * 8);
        testing::internal::CaptureStderr();
        ASSERT_EQ(sink_->start(), ASE_OK);
        const bool reset = WaitFor([&] { return host_.stopReturned.load(); });
        EXPECT_EQ(sink_->stop(), ASE_OK);
        report = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(reset) << "no reset request";
    }
    const std::string reason = "cannot write to " + (std::filesystem::current_path() / "Tonegate.wav").string() +
                               ": " + std::strerror(EFBIG);
    EXPECT_EQ(host_.messages.back(), std::make_pair(int32_t{kAsioResetRequest}, int32_t{0}));
    EXPECT_EQ(host_.switches.load(), 6) << "played on after the reset request";
    EXPECT_EQ(ErrorMessage(), reason);
    EXPECT_EQ(report.rfind("Tonegate WAV Sink: ", 0), 0u) << report;
    EXPECT_EQ(report.substr(report.find("; ") + 2), reason + "\n") << report;
    const Capture capture = ReadSinkFile("Tonegate.wav");
    EXPECT_EQ(capture.frames, framesThatFit);
    for (int channel = 0; channel < 2; ++channel) {
        std::vector<int32_t> expected = ExpectedRamp(6, 64, 4, channel);
        expected.resize(static_cast<size_t>(framesThatFit));
        EXPECT_TRUE(capture.channel[channel] == expected) << "channel " << channel;
    }
    EXPECT_EQ(sink_->start(), ASE_NotPresent);
}
#endif

}  // namespace
