// Support for the tests of the real-output cards on a dummy JACK server: an
// observer client that records what reaches its inputs and counts the
// server's xruns, and a host that drives a card directly through COM and
// IASIO writing a known ramp. Thread: the test's own; the callbacks run on
// the card's or JACK's thread.
#pragma once

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/asio_interface.h"
#include "platform/win32.h"
#include "support/jack_server.h"
#include "support/scoped_registry.h"

namespace tonegate_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A JACK client with two inputs that records what they receive once asked
// (up to its capacity) and counts every xrun the server tells of.
class JackObserver {
public:
    explicit JackObserver(size_t capacity) {
        for (auto& channel : received_) channel.assign(capacity, 0.0f);
        client_ = jack_client_open("tonegate-observer", JackNoStartServer, nullptr);
        if (client_ == nullptr) return;
        for (int i = 0; i < 2; ++i)
            ports_[i] = jack_port_register(client_, i == 0 ? "in_1" : "in_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, Process, this);
        jack_set_xrun_callback(client_, Xrun, this);
        jack_activate(client_);
    }
    ~JackObserver() {
        if (client_ != nullptr) jack_client_close(client_);
    }
    JackObserver(const JackObserver&) = delete;
    JackObserver& operator=(const JackObserver&) = delete;

    bool ready() const { return client_ != nullptr && ports_[0] != nullptr && ports_[1] != nullptr; }
    // Connects the card's outputs to the inputs and starts recording.
    bool Listen(const char* outputPrefix) {
        for (int i = 0; i < 2; ++i) {
            const std::string from = std::string(outputPrefix) + std::to_string(i + 1);
            if (jack_connect(client_, from.c_str(), jack_port_name(ports_[i])) != 0) return false;
        }
        recording_.store(true, std::memory_order_release);
        return true;
    }
    int xruns() const { return xruns_.load(); }
    size_t frames() const { return frames_.load(std::memory_order_acquire); }
    const std::vector<float>& received(int channel) const { return received_[channel]; }

private:
    static int Process(jack_nframes_t frames, void* self) {
        auto* observer = static_cast<JackObserver*>(self);
        if (!observer->recording_.load(std::memory_order_acquire)) return 0;
        const size_t at = observer->frames_.load(std::memory_order_relaxed);
        const size_t count = std::min<size_t>(frames, observer->received_[0].size() - at);
        for (int i = 0; i < 2; ++i) {
            const auto* in = static_cast<const float*>(jack_port_get_buffer(observer->ports_[i], frames));
            std::copy(in, in + count, observer->received_[i].begin() + static_cast<std::ptrdiff_t>(at));
        }
        observer->frames_.store(at + count, std::memory_order_release);
        return 0;
    }
    static int Xrun(void* self) {
        static_cast<JackObserver*>(self)->xruns_.fetch_add(1);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[2]{};
    std::vector<float> received_[2];
    std::atomic<bool> recording_{false};
    std::atomic<size_t> frames_{0};
    std::atomic<int> xruns_{0};
};

// Sample `k` of channel 0 (channel 1 is its negation): 15 significant bits,
// so the float a card makes of it is exact, and k modulo 32768 can be read
// back from it.
inline int32_t Ramp(uint64_t k, int channel) {
    const auto value = static_cast<int32_t>((k % 32768 + 1) << 16);
    return channel == 0 ? value : -value;
}

// What the host's callbacks see and do; plain function pointers reach it
// through Current().
struct RampHost {
    IASIO* card = nullptr;
    ASIOBufferInfo buffers[2]{};
    int32_t frames = 0;
    int sampleBytes = 4;
    std::atomic<int> switches{0};
    std::atomic<int> wrongIndex{0};
    std::atomic<int> resetRequests{0};
    Clock::time_point first, last;

    static RampHost*& Current() {
        static RampHost* host = nullptr;
        return host;
    }
    static void BufferSwitch(int32_t index, ASIOBool /*directProcess*/) {
        RampHost& host = *Current();
        const int n = host.switches.load(std::memory_order_relaxed);
        if (index != n % 2) host.wrongIndex.fetch_add(1);
        host.last = Clock::now();
        if (n == 0) host.first = host.last;
        for (int channel = 0; channel < 2; ++channel) {
            auto* half = static_cast<unsigned char*>(host.buffers[channel].buffers[index]);
            for (int32_t frame = 0; frame < host.frames; ++frame) {
                int32_t value = Ramp(static_cast<uint64_t>(n) * static_cast<uint64_t>(host.frames) +
                                         static_cast<uint64_t>(frame), channel);
                if (host.sampleBytes == 2) value >>= 16;
                std::memcpy(half + frame * host.sampleBytes, &value, static_cast<size_t>(host.sampleBytes));
            }
        }
        host.card->outputReady();
        host.switches.store(n + 1, std::memory_order_release);
    }
    static void SampleRateDidChange(ASIOSampleRate /*rate*/) {}
    // A card that loses its device asks for a reset: counted.
    static int32_t AsioMessage(int32_t selector, int32_t /*value*/, void* /*message*/, double* /*opt*/) {
        if (selector == kAsioResetRequest) Current()->resetRequests.fetch_add(1);
        return 0;
    }
};

// A test driving one of the build's cards, found by its registration key,
// through COM, on the test's own JACK server, with the card's report asked
// for.
class CardTest : public JackServerTest {
protected:
    CardTest(const char* registration, const char* key) : registration_(registration), key_(key) {}
    void SetUp() override {
        setenv("TONEGATE_REGISTRY", registration_, 1);
        setenv("TONEGATE_DRIVER_REPORT", "1", 1);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        RampHost::Current() = &host_;
        JackServerTest::SetUp();
    }
    // The card leaves the server before it stops.
    void TearDown() override {
        if (card_ != nullptr) card_->Release();
        card_ = nullptr;
        JackServerTest::TearDown();
        CoUninitialize();
        RampHost::Current() = nullptr;
        unsetenv("TONEGATE_DRIVER_REPORT");
        unsetenv("TONEGATE_REGISTRY");
    }
    void Create() {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, (std::string("SOFTWARE\\ASIO\\") + key_).c_str(), &key),
                  ERROR_SUCCESS);
        char text[64] = "";
        DWORD size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, "CLSID", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size), ERROR_SUCCESS);
        RegCloseKey(key);
        const CLSID clsid = ClsidOf(text);
        void* object = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object), S_OK);
        card_ = static_cast<IASIO*>(object);
        host_.card = card_;
    }
    // Created, initialised, both outputs' buffers made at the preferred size.
    void Open() {
        ASSERT_NO_FATAL_FAILURE(Create());
        ASSERT_EQ(card_->init(nullptr), ASIOTrue) << ErrorMessage();
        int32_t least = 0, most = 0, granularity = 0;
        ASSERT_EQ(card_->getBufferSize(&least, &most, &host_.frames, &granularity), ASE_OK);
        ASIOChannelInfo info{};
        ASSERT_EQ(card_->getChannelInfo(&info), ASE_OK);
        host_.sampleBytes = info.type == ASIOSTInt16LSB ? 2 : 4;
        for (int32_t i = 0; i < 2; ++i) host_.buffers[i] = ASIOBufferInfo{ASIOFalse, i, {nullptr, nullptr}};
        ASSERT_EQ(card_->createBuffers(host_.buffers, 2, host_.frames, &callbacks_), ASE_OK) << ErrorMessage();
    }
    // The server's rate is the one the card has, offers and takes.
    void ExpectOnlyTheServersRate() {
        ASIOSampleRate rate = 0;
        ASSERT_EQ(card_->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, kRate);
        EXPECT_EQ(card_->canSampleRate(kRate), ASE_OK);
        EXPECT_EQ(card_->canSampleRate(44100), ASE_NoClock);
        EXPECT_EQ(card_->setSampleRate(96000), ASE_NoClock);
    }
    std::string ErrorMessage() {
        char text[128] = "";
        card_->getErrorMessage(text);
        return text;
    }
    // Starts the card and stops it once the host has made `switches` switches
    // (false if they do not come within `timeout`), capturing its report.
    bool PlaySwitches(int switches, Clock::duration timeout, std::string& report) {
        testing::internal::CaptureStderr();
        bool done = card_->start() == ASE_OK;
        for (const Clock::time_point until = Clock::now() + timeout; done && host_.switches.load() < switches;
             std::this_thread::sleep_for(1ms))
            done = Clock::now() < until;
        card_->stop();
        report = testing::internal::GetCapturedStderr();
        return done;
    }

    const char* registration_;
    const char* key_;
    RampHost host_;
    IASIO* card_ = nullptr;
    ASIOCallbacks callbacks_{RampHost::BufferSwitch, RampHost::SampleRateDidChange, RampHost::AsioMessage, nullptr};
};

}  // namespace tonegate_test
