// The JACK output card: a JACK client with two output ports, connected to
// the system's playback ports when there are any, whose buffer half is the
// JACK period. Each process cycle calls the host's bufferSwitch on the next
// half and converts its integer samples to the ports' floats. Xruns are
// counted from JACK's own notification; when the server goes away the card
// stops, says so, and calls the host no more.
// Thread: the host's caller thread for the IASIO operations; JACK's process
// thread for Process (bufferSwitch, and outputReady from inside it); JACK's
// notification thread for the xrun and shutdown callbacks; the card's
// messenger thread, from join to close, for the reset request that tells
// the host of the server's end.
#include <jack/jack.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "driver_clsid.h"
#include "drivers/common/card_core.h"
#include "drivers/common/com_server.h"
#include "drivers/common/output_card.h"
#include "drivers/common/settings.h"
#include "drivers/common/sound_server.h"
#include "drivers/common/stream_stats.h"

namespace tonegate_jack {
namespace {

using tonegate_driver::kInvalidMode;
using tonegate_driver::StreamClock;

constexpr char kDriverName[] = "Tonegate JACK Output";
constexpr char kClientName[] = "Tonegate";
constexpr int kOutputs = 2;
constexpr float kInt32Scale = 1.0f / 2147483648.0f;

class JackOutput;
// The card whose process cycle this thread is running, so that a stop from
// inside the host's callback is told from one on another thread.
thread_local const JackOutput* cycleOwner = nullptr;

class JackOutput final : public tonegate_driver::OutputCard {
public:
    JackOutput() : OutputCard(tonegate_driver::kDriverClassId, kDriverName) { sem_init(&serverEnded_, 0, 0); }
    ~JackOutput() override {
        CloseClient();
        sem_destroy(&serverEnded_);
    }

    // A second init while buffers exist keeps the card as it is; otherwise
    // the card joins the server afresh.
    ASIOBool init(void* /*sysHandle*/) override {
        if (card_.buffersExist()) return ASIOTrue;
        CloseClient();
        error_[0] = '\0';
        const char* stalls = tonegate_driver::Setting("TONEGATE_JACK_STALL_EVERY");
        if (stalls != nullptr && !stalls_.Parse(stalls)) {
            SetText(error_, "TONEGATE_JACK_STALL_EVERY=%s: use N,MICROSECONDS", stalls);
            return ASIOFalse;
        }
        report_ = tonegate_driver::ReportRequested();
        return OpenClient() ? ASIOTrue : ASIOFalse;
    }
    ASIOError start() override {
        if (client_ == nullptr || !card_.buffersExist() || serverGone_.load(std::memory_order_acquire))
            return ASE_NotPresent;
        if (streaming_.load(std::memory_order_acquire)) return ASE_OK;
        // A stop from inside the callback left the client active.
        if (active_ && cycleOwner == this) return kInvalidMode;
        Deactivate();
        stats_.Reset();
        nextHalf_ = 0;
        outputReadyCalls_.store(0, std::memory_order_relaxed);
        streaming_.store(true, std::memory_order_release);
        if (jack_activate(client_) != 0) {
            streaming_.store(false, std::memory_order_release);
            SetText(error_, "the JACK server refused to activate the client");
            return ASE_NotPresent;
        }
        active_ = true;
        ConnectToPlayback();
        return ASE_OK;
    }
    // From the process thread it only ends the host's callbacks: deactivating
    // there would wait for the very cycle that asks.
    ASIOError stop() override {
        const bool wasStreaming = streaming_.exchange(false, std::memory_order_acq_rel);
        if (cycleOwner != this) Deactivate();
        if (wasStreaming && (report_ || serverGone_.load(std::memory_order_acquire))) Report();
        return ASE_OK;
    }
    // Output: the half being played plus the playback ports' own latency.
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
        if (client_ == nullptr) return ASE_NotPresent;
        if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
        jack_nframes_t portLatency = 0;
        if (!serverGone_.load(std::memory_order_acquire)) {
            if (const char** playback = PlaybackPorts()) {
                for (int i = 0; i < kOutputs && playback[i] != nullptr; ++i) {
                    jack_latency_range_t range{};
                    jack_port_get_latency_range(jack_port_by_name(client_, playback[i]), JackPlaybackLatency, &range);
                    portLatency = std::max(portLatency, range.max);
                }
                jack_free(playback);
            }
        }
        *inputLatency = 0;
        *outputLatency = card_.layout().preferredFrames + static_cast<int32_t>(portLatency);
        return ASE_OK;
    }
    // The server's rate is the only one.
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
        if (client_ == nullptr) return ASE_NotPresent;
        return sampleRate == rate_ ? ASE_OK : ASE_NoClock;
    }
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
        if (client_ == nullptr) return ASE_NotPresent;
        if (sampleRate == nullptr) return ASE_InvalidParameter;
        *sampleRate = rate_;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override { return canSampleRate(sampleRate); }
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override {
        if (client_ == nullptr) return ASE_NotPresent;
        if (active_) return kInvalidMode;
        const ASIOError result = card_.CreateBuffers(bufferInfos, numChannels, bufferSize, callbacks);
        if (result != ASE_OK) return result;
        for (int32_t i = 0; i < kOutputs; ++i) halves_[i][0] = halves_[i][1] = nullptr;
        for (int32_t i = 0; i < numChannels; ++i) {
            halves_[bufferInfos[i].channelNum][0] = static_cast<const int32_t*>(bufferInfos[i].buffers[0]);
            halves_[bufferInfos[i].channelNum][1] = static_cast<const int32_t*>(bufferInfos[i].buffers[1]);
        }
        return ASE_OK;
    }
    ASIOError disposeBuffers() override {
        if (cycleOwner == this) return kInvalidMode;
        stop();
        if (!card_.buffersExist()) return kInvalidMode;
        card_.DisposeBuffers();
        return ASE_OK;
    }

private:
    bool Ready() const override { return client_ != nullptr; }
    // The latest failure: the server's departure first, as it ends all else.
    const char* LatestFailure() const override {
        return serverGone_.load(std::memory_order_acquire) ? goneReason_ : error_;
    }

    // Joins the running server (never starting one) with two output ports;
    // the card's one buffer size and rate are the server's.
    bool OpenClient() {
        jack_status_t status{};
        const std::vector<int> socketsBefore = tonegate_driver::OpenUnixSockets();
        client_ = jack_client_open(kClientName, JackNoStartServer, &status);
        // jackd, or PipeWire behind its own JACK library (pw-jack).
        server_ = tonegate_driver::SoundServer::FoundSince(socketsBefore);
        if (client_ == nullptr) {
            SetText(error_, "no JACK server to join (status 0x%x)", static_cast<unsigned>(status));
            return false;
        }
        serverGone_.store(false, std::memory_order_release);
        messengerEnds_.store(false, std::memory_order_relaxed);
        messenger_ = std::thread(&JackOutput::RunMessenger, this);
        for (int i = 0; i < kOutputs; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "out_%d", i + 1);
            ports_[i] = jack_port_register(client_, name, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
            if (ports_[i] == nullptr) {
                SetText(error_, "JACK refused the port %s", name);
                CloseClient();
                return false;
            }
        }
        jack_set_process_callback(client_, &JackOutput::ProcessEntry, this);
        jack_set_xrun_callback(client_, &JackOutput::XrunEntry, this);
        jack_on_info_shutdown(client_, &JackOutput::ShutdownEntry, this);
        rate_ = jack_get_sample_rate(client_);
        realtime_ = jack_is_realtime(client_) != 0;
        tonegate_driver::CardLayout layout;
        layout.sampleType = ASIOSTInt32LSB;
        const auto period = static_cast<int32_t>(jack_get_buffer_size(client_));
        layout.minFrames = layout.maxFrames = layout.preferredFrames = period;
        layout.granularity = 1;  // with least and greatest equal: that one size
        card_.Configure(layout);
        return true;
    }

    void CloseClient() {
        if (client_ == nullptr) return;
        streaming_.store(false, std::memory_order_release);
        Deactivate();
        jack_client_close(client_);
        client_ = nullptr;
        messengerEnds_.store(true, std::memory_order_release);
        sem_post(&serverEnded_);
        messenger_.join();
        while (sem_trywait(&serverEnded_) == 0) {
        }
        server_ = {};
        card_.DisposeBuffers();
    }

    // Returns once no process cycle runs; a gone server runs none.
    void Deactivate() {
        if (!active_) return;
        active_ = false;
        if (!serverGone_.load(std::memory_order_acquire)) jack_deactivate(client_);
    }

    const char** PlaybackPorts() const {
        return jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
    }

    void ConnectToPlayback() {
        const char** playback = PlaybackPorts();
        if (playback == nullptr) return;
        for (int i = 0; i < kOutputs && playback[i] != nullptr; ++i)
            jack_connect(client_, jack_port_name(ports_[i]), playback[i]);
        jack_free(playback);
    }

    static int ProcessEntry(jack_nframes_t frames, void* self) {
        static_cast<JackOutput*>(self)->Process(frames);
        return 0;
    }
    static int XrunEntry(void* self) {
        static_cast<JackOutput*>(self)->stats_.RecordXrun();
        return 0;
    }
    // Only what a signal handler may do: the reason is copied, the flag set,
    // the messenger woken.
    static void ShutdownEntry(jack_status_t /*code*/, const char* reason, void* self) {
        auto* output = static_cast<JackOutput*>(self);
        std::strncpy(output->goneReason_, "JACK server gone: ", sizeof output->goneReason_ - 1);
        const size_t used = std::strlen(output->goneReason_);
        std::strncpy(output->goneReason_ + used, reason != nullptr ? reason : "", sizeof output->goneReason_ - 1 - used);
        output->serverGone_.store(true, std::memory_order_release);
        sem_post(&output->serverEnded_);
    }

    // Waits for the server's end (or the client's close) and, if the card
    // was playing, asks the host for a reset: the host logs it with the
    // reason and stops the card from inside the request.
    void RunMessenger() {
        while (sem_wait(&serverEnded_) != 0 && errno == EINTR) {
        }
        if (messengerEnds_.load(std::memory_order_acquire) || !streaming_.load(std::memory_order_acquire)) return;
        const ASIOCallbacks callbacks = card_.callbacks();
        if (callbacks.asioMessage != nullptr) callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    }

    // One cycle: silence unless the card is started and the period is the
    // buffers' own (a server whose period changed gets silence too).
    void Process(jack_nframes_t frames) {
        float* out[kOutputs];
        for (int i = 0; i < kOutputs; ++i) out[i] = static_cast<float*>(jack_port_get_buffer(ports_[i], frames));
        const bool playing = streaming_.load(std::memory_order_acquire) &&
                             !serverGone_.load(std::memory_order_acquire) &&
                             static_cast<int32_t>(frames) == card_.bufferFrames();
        if (!playing) {
            for (float* port : out) std::fill(port, port + frames, 0.0f);
            return;
        }
        const int32_t index = nextHalf_;
        nextHalf_ ^= 1;
        cycleOwner = this;
        const StreamClock::time_point began = StreamClock::now();
        card_.callbacks().bufferSwitch(index, ASIOTrue);
        stats_.RecordCycle(StreamClock::now() - began);
        cycleOwner = nullptr;
        for (int i = 0; i < kOutputs; ++i) {
            const int32_t* half = halves_[i][index];
            if (half == nullptr)
                std::fill(out[i], out[i] + frames, 0.0f);
            else
                for (jack_nframes_t k = 0; k < frames; ++k) out[i][k] = static_cast<float>(half[k]) * kInt32Scale;
        }
        stalls_.AfterCycle(stats_.cycles() - 1);
    }

    // One line on standard error.
    void Report() const {
        const double periodMs = card_.bufferFrames() * 1000.0 / rate_;
        std::fprintf(stderr,
                     "Tonegate JACK Output: %llu cycles of %d frames at %u Hz, worst callback %.3f ms of %.3f ms, "
                     "%llu xruns, %u outputReady calls, %s%s%s%s%s\n",
                     static_cast<unsigned long long>(stats_.cycles()), static_cast<int>(card_.bufferFrames()), rate_,
                     stats_.worstCallbackMs(), periodMs, static_cast<unsigned long long>(stats_.xruns()),
                     outputReadyCalls_.load(std::memory_order_relaxed),
                     realtime_ ? "real-time server" : "server not real-time", server_.Known() ? ", server: " : "",
                     server_.Known() ? server_.name() : "",
                     serverGone_.load(std::memory_order_acquire) ? "; " : "",
                     serverGone_.load(std::memory_order_acquire) ? goneReason_ : "");
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[kOutputs]{};
    // Each output's two halves, read by the process thread; null for an
    // output the host did not ask for.
    const int32_t* halves_[kOutputs][2]{};
    unsigned rate_ = 0;
    bool realtime_ = false;
    tonegate_driver::SoundServer server_;
    bool active_ = false;
    bool report_ = false;
    int32_t nextHalf_ = 0;
    tonegate_driver::StallInjection stalls_;
    tonegate_driver::StreamStats stats_;
    std::atomic<bool> streaming_{false};
    std::atomic<bool> serverGone_{false};
    char goneReason_[kErrorBytes] = "";
    sem_t serverEnded_{};
    std::atomic<bool> messengerEnds_{false};
    std::thread messenger_;
};

}  // namespace
}  // namespace tonegate_jack

TONEGATE_SINGLE_CLASS_SERVER(tonegate_driver::kDriverClassId, tonegate_jack::JackOutput)
