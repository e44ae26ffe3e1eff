// The ALSA output card: two outputs played on an ALSA playback device
// (TONEGATE_ALSA_DEVICE, default "default"), interleaved S32_LE or S16_LE as
// the device allows, one buffer half being one ALSA period. A thread of the
// card's own, real-time when the system permits, calls the host's
// bufferSwitch and writes each half to the device; xruns are recovered and
// counted, a lost device ends the stream and is reported. Behind a device
// there is often a sound server (PipeWire, PulseAudio, JACK): the card finds
// it when it opens the device, names it in its report, and waits out its
// stalls for as long as it lives.
// Thread: the host's caller thread for the IASIO operations; the card's own
// real-time thread for RunStream (bufferSwitch, the writes, the report) and
// for outputReady, which the host calls from inside bufferSwitch.
#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver_clsid.h"
#include "drivers/common/card_core.h"
#include "drivers/common/com_server.h"
#include "drivers/common/output_card.h"
#include "drivers/common/settings.h"
#include "drivers/common/sound_server.h"
#include "drivers/common/stream_stats.h"

namespace tonegate_alsa {
namespace {

using tonegate_driver::kInvalidMode;
using tonegate_driver::Setting;
using tonegate_driver::StreamClock;

constexpr char kDriverName[] = "Tonegate ALSA Output";
constexpr unsigned kChannels = 2;
constexpr unsigned kDefaultRate = 48000;
constexpr snd_pcm_uframes_t kDefaultPeriod = 256;
// Behind a desktop server the period is the server's usual quantum: on a
// busy machine PipeWire drops whole quanta of a client that asks for 256.
constexpr snd_pcm_uframes_t kDesktopPeriod = 1024;
constexpr snd_pcm_uframes_t kPeriodsPerRing = 3;
// Behind a desktop server the ring holds at least this much: its mixing
// timer is late by more than a few short periods on a busy machine, and
// each underrun restarts the server's stream, which may then wait seconds.
constexpr unsigned kDesktopRingMs = 100;
// Period sizes offered: the powers of two in this span the device takes.
constexpr snd_pcm_uframes_t kLeastPeriod = 16;
constexpr snd_pcm_uframes_t kGreatestPeriod = 8192;
constexpr int kRealtimePriority = 40;
// A device that takes no frame for this long (or eight rings, if longer) is
// taken for lost rather than waited on for ever, unless a server behind it
// still lives: a server may stall for seconds (PulseAudio's null sink sleeps
// in blocks of two seconds when idle, and every new stream waits for it).
constexpr std::chrono::milliseconds kLeastStallTimeout{1000};
// How long start waits for the device to take its first frames.
constexpr std::chrono::milliseconds kStartTimeout{5000};
// Errors in a row without a frame written after which the device is lost
// even if each one claimed to recover.
constexpr int kMostFailedRecoveries = 8;

struct HwParamsDeleter {
    void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};
using HwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsDeleter>;

HwParams NewHwParams() {
    snd_pcm_hw_params_t* params = nullptr;
    if (snd_pcm_hw_params_malloc(&params) < 0) return nullptr;
    return HwParams(params);
}

double FramesToMs(uint64_t frames, unsigned rate) { return static_cast<double>(frames) * 1000.0 / rate; }

class AlsaOutput final : public tonegate_driver::OutputCard {
public:
    AlsaOutput() : OutputCard(tonegate_driver::kDriverClassId, kDriverName) {}
    ~AlsaOutput() override {
        thread_.Stop();
        ClosePcm();
    }

    // A second init while buffers exist keeps the card as it is; otherwise
    // the device is opened afresh and asked what it takes.
    ASIOBool init(void* /*sysHandle*/) override {
        if (card_.buffersExist()) return ASIOTrue;
        initialised_ = false;
        error_[0] = '\0';
        ClosePcm();
        if (!ReadSettings() || !OpenPcm()) return ASIOFalse;
        initialised_ = true;
        return ASIOTrue;
    }
    ASIOError start() override {
        if (!initialised_ || !card_.buffersExist()) return ASE_NotPresent;
        if (thread_.Running()) return ASE_OK;
        if (!thread_.Idle()) return kInvalidMode;
        // After a stop the device still holds the frames it was given.
        snd_pcm_drop(pcm_);
        const int prepared = snd_pcm_prepare(pcm_);
        if (prepared < 0) {
            SetText(error_, "%s cannot restart: %s", settings_.device.c_str(), snd_strerror(prepared));
            return ASE_NotPresent;
        }
        error_[0] = '\0';
        if (!PrimeWithSilence()) return ASE_NotPresent;
        lostReason_[0] = '\0';
        lost_.store(false, std::memory_order_relaxed);
        scheduled_.store(false, std::memory_order_relaxed);
        stats_.Reset();
        recovered_ = 0;
        framesPlayed_ = 0;
        longestWait_ = {};
        outputReadyCalls_.store(0, std::memory_order_relaxed);
        if (!thread_.Start([this] { RunStream(); })) {
            SetText(error_, "cannot start the card's thread");
            return ASE_NotPresent;
        }
        return ASE_OK;
    }
    ASIOError stop() override {
        thread_.Stop();
        return ASE_OK;
    }
    // Output: the device's whole ring, which each switch refills by one half.
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
        if (!initialised_) return ASE_NotPresent;
        if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
        snd_pcm_uframes_t ring = ringFrames_;
        if (!card_.buffersExist()) {
            HwParams params = NewHwParams();
            if (params == nullptr ||
                Negotiate(params.get(), rate_, static_cast<snd_pcm_uframes_t>(card_.layout().preferredFrames), ring) < 0)
                return ASE_NotPresent;
        }
        *inputLatency = 0;
        *outputLatency = static_cast<int32_t>(ring);
        return ASE_OK;
    }
    // Whether the device plays the card's period at `sampleRate`.
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
        if (!initialised_) return ASE_NotPresent;
        return DeviceTakesRate(sampleRate) ? ASE_OK : ASE_NoClock;
    }
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
        if (!initialised_) return ASE_NotPresent;
        if (sampleRate == nullptr) return ASE_InvalidParameter;
        *sampleRate = rate_;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override {
        if (!initialised_) return ASE_NotPresent;
        if (!DeviceTakesRate(sampleRate)) return ASE_NoClock;
        const auto rate = static_cast<unsigned>(sampleRate);
        if (rate == rate_) return ASE_OK;
        if (!thread_.Idle()) {
            SetText(error_, "the rate cannot change while the card runs");
            return kInvalidMode;
        }
        const unsigned previous = rate_;
        rate_ = rate;
        if (card_.buffersExist() && !Install()) {
            rate_ = previous;
            Install();
            return ASE_NoClock;
        }
        return ASE_OK;
    }
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override {
        if (!initialised_) return ASE_NotPresent;
        if (!thread_.Idle()) return kInvalidMode;
        const ASIOError result =
            card_.CreateInterleavedBuffers(bufferInfos, numChannels, bufferSize, callbacks, interleaved_);
        if (result != ASE_OK) return result;
        if (!Install()) {
            card_.DisposeBuffers();
            return ASE_InvalidParameter;
        }
        return ASE_OK;
    }
    ASIOError disposeBuffers() override { return tonegate_driver::StopThenDisposeBuffers(thread_, card_); }

private:
    bool Ready() const override { return initialised_; }
    // The lost device's reason, else the latest failure, else (once a stream
    // has begun) how its thread was scheduled.
    const char* LatestFailure() const override {
        return lost_.load(std::memory_order_acquire)        ? lostReason_
               : error_[0] != '\0'                           ? error_
               : scheduled_.load(std::memory_order_acquire) ? schedule_
                                                            : "";
    }

    struct Settings {
        std::string device = "default";
        snd_pcm_uframes_t period = kDefaultPeriod;
        bool periodAsked = false;
        tonegate_driver::StallInjection stalls;
        bool report = false;
    };

    bool ReadSettings() {
        Settings settings;
        if (const char* device = Setting("TONEGATE_ALSA_DEVICE")) settings.device = device;
        if (const char* period = Setting("TONEGATE_ALSA_PERIOD")) {
            const char* end = period + std::strlen(period);
            unsigned long frames = 0;
            const auto parsed = std::from_chars(period, end, frames);
            if (parsed.ec != std::errc{} || parsed.ptr != end || frames < kLeastPeriod || frames > kGreatestPeriod ||
                (frames & (frames - 1)) != 0) {
                SetText(error_, "TONEGATE_ALSA_PERIOD=%s: use a power of two from %lu to %lu frames", period,
                         static_cast<unsigned long>(kLeastPeriod), static_cast<unsigned long>(kGreatestPeriod));
                return false;
            }
            settings.period = frames;
            settings.periodAsked = true;
        }
        if (const char* stalls = Setting("TONEGATE_ALSA_STALL_EVERY")) {
            if (!settings.stalls.Parse(stalls)) {
                SetText(error_, "TONEGATE_ALSA_STALL_EVERY=%s: use N,MICROSECONDS", stalls);
                return false;
            }
        }
        settings.report = tonegate_driver::ReportRequested();
        settings_ = settings;
        return true;
    }

    // Opens the device and learns its sample format, a rate (48 kHz if it
    // takes it) and the periods it takes at that rate.
    bool OpenPcm() {
        const std::vector<int> socketsBefore = tonegate_driver::OpenUnixSockets();
        const std::vector<pid_t> threadsBefore = tonegate_driver::ProcessThreads();
        const int opened = snd_pcm_open(&pcm_, settings_.device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (opened < 0) {
            pcm_ = nullptr;
            SetText(error_, "cannot open ALSA device %s: %s", settings_.device.c_str(), snd_strerror(opened));
            return false;
        }
        server_ = tonegate_driver::SoundServer::FoundSince(socketsBefore);
        // Our thread waits on the plugin's threads (and their locks): they
        // run just below it.
        libraryThreadsRaised_ = tonegate_driver::RaiseThreadsStartedSince(threadsBefore, kRealtimePriority - 1);
        HwParams params = NewHwParams();
        if (params == nullptr) {
            SetText(error_, "out of memory");
            return false;
        }
        if (!ChooseFormat(params.get()) || !ChooseRate(params.get())) return false;

        tonegate_driver::CardLayout layout;
        layout.sampleType = format_ == SND_PCM_FORMAT_S16_LE ? ASIOSTInt16LSB : ASIOSTInt32LSB;
        layout.granularity = -1;
        layout.minFrames = 0;
        snd_pcm_uframes_t ring = 0;
        for (snd_pcm_uframes_t period = kLeastPeriod; period <= kGreatestPeriod; period *= 2) {
            if (Negotiate(params.get(), rate_, period, ring) < 0) continue;
            if (layout.minFrames == 0) layout.minFrames = static_cast<int32_t>(period);
            layout.maxFrames = static_cast<int32_t>(period);
        }
        if (layout.minFrames == 0) {
            SetText(error_, "%s takes no period from %lu to %lu frames at %u Hz", settings_.device.c_str(),
                     static_cast<unsigned long>(kLeastPeriod), static_cast<unsigned long>(kGreatestPeriod), rate_);
            return false;
        }
        const auto wanted = static_cast<int32_t>(
            settings_.periodAsked || !server_.Desktop() ? settings_.period : kDesktopPeriod);
        if (settings_.periodAsked && (wanted < layout.minFrames || wanted > layout.maxFrames)) {
            SetText(error_, "%s takes periods from %d to %d frames, not %d", settings_.device.c_str(), layout.minFrames,
                     layout.maxFrames, wanted);
            return false;
        }
        layout.preferredFrames = std::clamp(wanted, layout.minFrames, layout.maxFrames);
        card_.Configure(layout);
        return true;
    }

    void ClosePcm() {
        if (pcm_ == nullptr) return;
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
        server_ = {};
        ringFrames_ = 0;
    }

    bool ChooseFormat(snd_pcm_hw_params_t* params) {
        for (const snd_pcm_format_t format : {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S16_LE}) {
            if (snd_pcm_hw_params_any(pcm_, params) >= 0 &&
                snd_pcm_hw_params_set_access(pcm_, params, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
                snd_pcm_hw_params_set_channels(pcm_, params, kChannels) >= 0 &&
                snd_pcm_hw_params_set_format(pcm_, params, format) >= 0) {
                format_ = format;
                return true;
            }
        }
        SetText(error_, "%s plays neither S32_LE nor S16_LE on two interleaved channels", settings_.device.c_str());
        return false;
    }

    // `params` holds the access, channels and format chosen.
    bool ChooseRate(snd_pcm_hw_params_t* params) {
        unsigned rate = kDefaultRate;
        int direction = 0;
        snd_pcm_hw_params_set_rate_resample(pcm_, params, 0);
        if (snd_pcm_hw_params_test_rate(pcm_, params, rate, 0) < 0 &&
            snd_pcm_hw_params_set_rate_near(pcm_, params, &rate, &direction) < 0) {
            SetText(error_, "%s offers no sample rate", settings_.device.c_str());
            return false;
        }
        rate_ = rate;
        return true;
    }

    bool DeviceTakesRate(double sampleRate) {
        if (!(sampleRate >= 1.0 && sampleRate <= 1e6) || sampleRate != std::floor(sampleRate)) return false;
        if (thread_.Running() || thread_.OnThisThread()) return static_cast<unsigned>(sampleRate) == rate_;
        HwParams params = NewHwParams();
        snd_pcm_uframes_t ring = 0;
        const int32_t period = card_.buffersExist() ? card_.bufferFrames() : card_.layout().preferredFrames;
        return params != nullptr && Negotiate(params.get(), static_cast<unsigned>(sampleRate),
                                              static_cast<snd_pcm_uframes_t>(period), ring) >= 0;
    }

    // Narrows `params` to the card's format at `rate` with `period` frames a
    // period and a ring of about PeriodsPerRing periods (at least two), and
    // gives the ring's size. Negative: the device refuses. No resampling: a
    // test tone reaches the device sample for sample, or not at all.
    int Negotiate(snd_pcm_hw_params_t* params, unsigned rate, snd_pcm_uframes_t period,
                  snd_pcm_uframes_t& ring) const {
        int result = 0;
        if ((result = snd_pcm_hw_params_any(pcm_, params)) < 0 ||
            (result = snd_pcm_hw_params_set_access(pcm_, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
            (result = snd_pcm_hw_params_set_channels(pcm_, params, kChannels)) < 0 ||
            (result = snd_pcm_hw_params_set_format(pcm_, params, format_)) < 0 ||
            (result = snd_pcm_hw_params_set_rate_resample(pcm_, params, 0)) < 0 ||
            (result = snd_pcm_hw_params_set_rate(pcm_, params, rate, 0)) < 0 ||
            (result = snd_pcm_hw_params_set_period_size(pcm_, params, period, 0)) < 0)
            return result;
        ring = period * PeriodsPerRing(rate, period);
        if ((result = snd_pcm_hw_params_set_buffer_size_near(pcm_, params, &ring)) < 0) return result;
        return ring < 2 * period ? -EINVAL : 0;
    }

    snd_pcm_uframes_t PeriodsPerRing(unsigned rate, snd_pcm_uframes_t period) const {
        if (!server_.Desktop()) return kPeriodsPerRing;
        const snd_pcm_uframes_t least = (static_cast<snd_pcm_uframes_t>(rate) * kDesktopRingMs / 1000 + period - 1) / period;
        return std::max(kPeriodsPerRing, least);
    }

    // Sets the device up for the buffers' period at the card's rate. The
    // stream starts once the ring holds all the whole periods it can.
    bool Install() {
        HwParams params = NewHwParams();
        snd_pcm_uframes_t ring = 0;
        const auto period = static_cast<snd_pcm_uframes_t>(card_.bufferFrames());
        snd_pcm_drop(pcm_);
        int result = params == nullptr ? -ENOMEM : Negotiate(params.get(), rate_, period, ring);
        if (result >= 0) result = snd_pcm_hw_params(pcm_, params.get());
        if (result < 0) {
            SetText(error_, "%s refuses %lu-frame periods at %u Hz: %s", settings_.device.c_str(),
                     static_cast<unsigned long>(period), rate_, snd_strerror(result));
            return false;
        }
        snd_pcm_sw_params_t* software = nullptr;
        result = snd_pcm_sw_params_malloc(&software);
        if (result >= 0) {
            if ((result = snd_pcm_sw_params_current(pcm_, software)) >= 0 &&
                (result = snd_pcm_sw_params_set_start_threshold(pcm_, software, ring / period * period)) >= 0 &&
                (result = snd_pcm_sw_params_set_avail_min(pcm_, software, period)) >= 0)
                result = snd_pcm_sw_params(pcm_, software);
            snd_pcm_sw_params_free(software);
        }
        if (result < 0) {
            SetText(error_, "%s refuses its start settings: %s", settings_.device.c_str(), snd_strerror(result));
            return false;
        }
        ringFrames_ = ring;
        return true;
    }

    // Fills the ring with silence, which starts the device, and waits until
    // the device takes frames: a server may take seconds to begin a new
    // stream, and if the host's first half waited for it, every sound its
    // caller times by the clock would come that much late. False, with the
    // reason, when the device fails or its server ends meanwhile; a device
    // still silent after kStartTimeout is left to the stream's own waiting.
    bool PrimeWithSilence() {
        std::fill(interleaved_.begin(), interleaved_.end(), std::byte{0});
        const auto period = static_cast<snd_pcm_uframes_t>(card_.bufferFrames());
        const snd_pcm_uframes_t threshold = ringFrames_ / period * period;
        for (snd_pcm_uframes_t primed = 0; primed < threshold;) {
            const snd_pcm_sframes_t written =
                snd_pcm_writei(pcm_, interleaved_.data(), std::min(period, threshold - primed));
            if (written == -EAGAIN) break;
            if (written < 0) return StartFailed(snd_strerror(static_cast<int>(written)));
            primed += static_cast<snd_pcm_uframes_t>(written);
        }
        for (const auto until = StreamClock::now() + kStartTimeout; StreamClock::now() < until;) {
            const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
            // Played through already: the stream recovers at its first write.
            if (room == -EPIPE || room >= static_cast<snd_pcm_sframes_t>(period)) return true;
            if (room < 0) return StartFailed(snd_strerror(static_cast<int>(room)));
            if (server_.Gone()) return StartFailed("its server has ended");
            snd_pcm_wait(pcm_, 100);
        }
        return true;
    }

    bool StartFailed(const char* why) {
        SetText(error_, "%s cannot start: %s", settings_.device.c_str(), why);
        return false;
    }

    // SCHED_FIFO when the system permits it, the thread's plain priority
    // otherwise; either way said in schedule_.
    void RaisePriority() {
        sched_param param{};
        param.sched_priority = kRealtimePriority;
        const int refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (refused == 0)
            SetText(schedule_, "real-time thread: SCHED_FIFO priority %d (and %d of the device's at %d)",
                    kRealtimePriority, libraryThreadsRaised_, kRealtimePriority - 1);
        else
            SetText(schedule_, "real-time thread: plain priority (SCHED_FIFO refused: %s)", std::strerror(refused));
        scheduled_.store(true, std::memory_order_release);
    }

    // The card's thread from start to stop: one bufferSwitch per half, each
    // half then written to the device as one period.
    void RunStream() {
        RaisePriority();
        const ASIOCallbacks callbacks = card_.callbacks();
        int32_t index = 0;
        bool lost = false;
        while (thread_.Running()) {
            const StreamClock::time_point began = StreamClock::now();
            callbacks.bufferSwitch(index, ASIOTrue);
            stats_.RecordCycle(StreamClock::now() - began);
            settings_.stalls.AfterCycle(stats_.cycles() - 1);
            card_.InterleaveHalf(index, interleaved_.data());
            if (!WritePeriod()) {
                lost = thread_.Running();
                break;
            }
            index ^= 1;
        }
        if (settings_.report || lost) Report();
        if (lost) {
            lost_.store(true, std::memory_order_release);
            thread_.Stop();
            // The host logs the request with getErrorMessage's reason, and
            // stops the card from inside it.
            if (callbacks.asioMessage != nullptr) callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
        }
    }

    // Writes the interleaved half, waiting for room and recovering from
    // xruns. False when the card is asked to stop meanwhile or the device is
    // lost (lostReason_ then says why).
    bool WritePeriod() {
        const auto frameBytes = static_cast<size_t>(kChannels) * static_cast<size_t>(snd_pcm_format_width(format_) / 8);
        const std::byte* frames = interleaved_.data();
        auto left = static_cast<snd_pcm_uframes_t>(card_.bufferFrames());
        const auto sliceMs = static_cast<int>(std::ceil(FramesToMs(ringFrames_, rate_)));
        const auto timeout = std::max(kLeastStallTimeout, std::chrono::milliseconds(8 * sliceMs));
        StreamClock::time_point waitingSince{};
        int failures = 0;
        while (left > 0) {
            snd_pcm_sframes_t written = snd_pcm_writei(pcm_, frames, left);
            if (written == -EAGAIN) {
                if (!thread_.Running()) return false;
                const StreamClock::time_point now = StreamClock::now();
                if (waitingSince == StreamClock::time_point{}) waitingSince = now;
                if (now - waitingSince > timeout && (!server_.Known() || server_.Gone())) {
                    char detail[64];
                    std::snprintf(detail, sizeof detail, "no frame taken for %lld ms",
                                  static_cast<long long>(timeout.count()));
                    SetLost(detail);
                    return false;
                }
                written = snd_pcm_wait(pcm_, sliceMs);
                if (written >= 0) continue;
            }
            if (written < 0) {
                if (!Recover(static_cast<int>(written)) || ++failures > kMostFailedRecoveries) {
                    if (failures > kMostFailedRecoveries) {
                        char detail[64];
                        std::snprintf(detail, sizeof detail, "%d xruns in a row", failures);
                        SetLost(detail);
                    }
                    return false;
                }
                continue;
            }
            failures = 0;
            if (waitingSince != StreamClock::time_point{})
                longestWait_ = std::max(longestWait_, StreamClock::now() - waitingSince);
            waitingSince = {};
            frames += static_cast<size_t>(written) * frameBytes;
            left -= static_cast<snd_pcm_uframes_t>(written);
            framesPlayed_ += static_cast<uint64_t>(written);
        }
        return true;
    }

    // An underrun or a suspend is counted and recovered; any other error
    // (the device unplugged, a dead server behind a plugin) loses the device.
    bool Recover(int error) {
        if (error == -EPIPE || error == -ESTRPIPE) {
            stats_.RecordXrun();
            const int recovered = snd_pcm_recover(pcm_, error, 1);
            if (recovered >= 0) {
                ++recovered_;
                return true;
            }
            error = recovered;
        }
        SetLost(snd_strerror(error));
        return false;
    }

    // Why the device is given up, and that its server has ended when it has.
    void SetLost(const char* detail) {
        const bool ended = server_.Gone();
        SetText(lostReason_, "%s lost: %s%s%s%s", settings_.device.c_str(), detail, ended ? ", " : "",
                ended ? server_.name() : "", ended ? " has ended" : "");
    }

    // One line on standard error.
    void Report() const {
        std::fprintf(stderr,
                     "Tonegate ALSA Output: %llu frames played, %llu periods of %d frames at %u Hz, "
                     "worst callback %.3f ms of %.3f ms, %llu xruns, %llu recovered, %u outputReady calls, "
                     "longest wait %.1f ms, %s%s%s%s%s\n",
                     static_cast<unsigned long long>(framesPlayed_), static_cast<unsigned long long>(stats_.cycles()),
                     static_cast<int>(card_.bufferFrames()), rate_, stats_.worstCallbackMs(),
                     FramesToMs(static_cast<uint64_t>(card_.bufferFrames()), rate_),
                     static_cast<unsigned long long>(stats_.xruns()), static_cast<unsigned long long>(recovered_),
                     outputReadyCalls_.load(std::memory_order_relaxed),
                     std::chrono::duration<double, std::milli>(longestWait_).count(), schedule_,
                     server_.Known() ? ", server: " : "", server_.Known() ? server_.name() : "",
                     lostReason_[0] != '\0' ? "; " : "", lostReason_);
    }

    Settings settings_;
    bool initialised_ = false;
    snd_pcm_t* pcm_ = nullptr;
    snd_pcm_format_t format_ = SND_PCM_FORMAT_S32_LE;
    unsigned rate_ = kDefaultRate;
    snd_pcm_uframes_t ringFrames_ = 0;
    // Found at init; the card's thread asks it whether it lives.
    tonegate_driver::SoundServer server_;
    int libraryThreadsRaised_ = 0;
    // Written by the card's thread (lostReason_ before it gives the device
    // up), each published by its flag.
    char lostReason_[kErrorBytes] = "";
    std::atomic<bool> lost_{false};
    char schedule_[kErrorBytes] = "";
    std::atomic<bool> scheduled_{false};
    // The card's thread's alone while it runs.
    uint64_t recovered_ = 0;
    uint64_t framesPlayed_ = 0;
    // The longest the stream waited for the device to take a period.
    StreamClock::duration longestWait_{};
    tonegate_driver::StreamStats stats_;
    std::vector<std::byte> interleaved_;
    // Last, so it ends before the state its body uses is destroyed.
    tonegate_driver::CardThread thread_;
};

}  // namespace
}  // namespace tonegate_alsa

TONEGATE_SINGLE_CLASS_SERVER(tonegate_driver::kDriverClassId, tonegate_alsa::AlsaOutput)
