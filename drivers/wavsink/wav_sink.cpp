// The WAV sink, the default card of every machine: a virtual card with two
// outputs whose thread calls the host's bufferSwitch with alternating halves,
// paced by absolute deadlines of the monotonic clock (or as fast as it can),
// and appends each half it gets to a WAV file in the card's sample format.
// Settings come from the environment at init.
// Thread: the host's caller thread for the IASIO operations; the card's own
// real-time thread for RunStream (bufferSwitch, the file writes, the report,
// the reset request when writing stops) and for outputReady and stop, which
// the host calls from inside its callbacks.
//
// The file is created empty at init and again at every createBuffers, and
// held from init to the card's end, so a second run in the same folder is
// refused instead of writing into it; each start/stop pair appends to it, and
// it is complete after every buffer. Its rate is fixed while it holds frames,
// so setSampleRate to another rate is refused until the buffers are created
// again. When the file takes no more frames (a full disk, the 4 GiB bound) the
// card asks the host for a reset, says why in its report line and in
// getErrorMessage, and takes no new start until the file is created again.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver_clsid.h"
#include "drivers/common/card_core.h"
#include "drivers/common/com_server.h"
#include "drivers/common/output_card.h"
#include "drivers/common/settings.h"
#include "drivers/wavsink/wav_writer.h"

namespace tonegate_wavsink {
namespace {

using Clock = std::chrono::steady_clock;
using tonegate_driver::kInvalidMode;
using tonegate_driver::Setting;

constexpr double kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
constexpr char kDriverName[] = "Tonegate WAV Sink";

enum class Pace { Realtime, Freewheel };

struct Settings {
    std::string path = "Tonegate.wav";
    ASIOSampleType sampleType = ASIOSTInt32LSB;
    int32_t preferredFrames = 512;
    uint32_t sampleRate = 48000;
    Pace pace = Pace::Realtime;
    bool report = false;
};

// What one run from start to stop did; kept by the card's thread alone.
struct StreamRecord {
    uint64_t buffers = 0;
    uint64_t lateBuffers = 0;
    Clock::duration worstLateness{};
    Clock::time_point start;
    Clock::time_point lastBegan;
};

// Decimal digits only, at most nine of them.
bool ParseWhole(const char* text, uint32_t& value) {
    const size_t length = std::strlen(text);
    if (length == 0 || length > 9) return false;
    value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    return true;
}

// Whole nanoseconds of `frames` at `rate`, split so that no product
// overflows however long the card runs.
Clock::duration FramesToDuration(uint64_t frames, uint32_t rate) {
    constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;
    const uint64_t nanoseconds = frames / rate * kNanosecondsPerSecond + frames % rate * kNanosecondsPerSecond / rate;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(nanoseconds)));
}

double Milliseconds(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

class WavSink final : public tonegate_driver::OutputCard {
public:
    WavSink() : OutputCard(tonegate_driver::kDriverClassId, kDriverName) { card_.Configure(Layout(settings_)); }
    ~WavSink() override { thread_.Stop(); }

    // A second init while buffers exist keeps the card as it is; otherwise
    // the settings are read afresh and the file is created anew.
    ASIOBool init(void* /*sysHandle*/) override {
        if (card_.buffersExist()) return ASIOTrue;
        initialised_ = false;
        if (!ReadSettings()) return ASIOFalse;
        card_.Configure(Layout(settings_));
        sampleRate_ = settings_.sampleRate;
        if (!CreateFile()) return ASIOFalse;
        initialised_ = true;
        return ASIOTrue;
    }
    ASIOError start() override {
        if (!initialised_ || !card_.buffersExist()) return ASE_NotPresent;
        if (thread_.Running()) return ASE_OK;
        // A run that stopped itself may still be finishing its file and report.
        if (!thread_.Idle()) return kInvalidMode;
        if (writingStopped_.load(std::memory_order_acquire)) return ASE_NotPresent;
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
    // Output: the one half the card holds after each switch.
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
        if (!initialised_) return ASE_NotPresent;
        if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
        *inputLatency = 0;
        *outputLatency = card_.buffersExist() ? card_.bufferFrames() : card_.layout().preferredFrames;
        return ASE_OK;
    }
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
        if (!initialised_) return ASE_NotPresent;
        return card_.CanSampleRate(sampleRate);
    }
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
        if (!initialised_) return ASE_NotPresent;
        if (sampleRate == nullptr) return ASE_InvalidParameter;
        *sampleRate = sampleRate_;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override {
        if (!initialised_) return ASE_NotPresent;
        if (!card_.SupportsRate(sampleRate)) return ASE_NoClock;
        if (sampleRate == sampleRate_) return ASE_OK;
        if (!thread_.Idle()) {
            SetText(error_, "the rate cannot change while the card runs");
            return kInvalidMode;
        }
        if (writer_.dataBytes() != 0) {
            SetText(error_, "the rate cannot change while %s holds frames", settings_.path.c_str());
            return kInvalidMode;
        }
        sampleRate_ = static_cast<uint32_t>(sampleRate);
        return CreateFile() ? ASE_OK : ASE_NotPresent;
    }
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override {
        if (!initialised_) return ASE_NotPresent;
        if (!thread_.Idle()) return kInvalidMode;
        const ASIOError result =
            card_.CreateInterleavedBuffers(bufferInfos, numChannels, bufferSize, callbacks, interleaved_);
        if (result != ASE_OK) return result;
        if (!CreateFile()) {
            card_.DisposeBuffers();
            return ASE_NotPresent;
        }
        hostEngineVersion_ = AskEngineVersion(*callbacks);
        return ASE_OK;
    }
    ASIOError disposeBuffers() override { return tonegate_driver::StopThenDisposeBuffers(thread_, card_); }

private:
    bool Ready() const override { return initialised_; }
    // The latest reason: a stop of the file's writing, else the host-side one.
    const char* LatestFailure() const override {
        return writingStopped_.load(std::memory_order_acquire) ? writer_.error() : error_;
    }

    static tonegate_driver::CardLayout Layout(const Settings& settings) {
        tonegate_driver::CardLayout layout;
        layout.sampleType = settings.sampleType;
        layout.preferredFrames = settings.preferredFrames;
        layout.sampleRates = kRates;
        return layout;
    }

    // Fills settings_ from the TONEGATE_WAVSINK_* variables; false, with the
    // reason kept, at the first value the card cannot take.
    bool ReadSettings() {
        Settings settings;
        if (const char* file = Setting("TONEGATE_WAVSINK_FILE")) settings.path = file;
        // Absolute, so that the file stays the same if the host changes its
        // working directory before createBuffers makes the file anew.
        std::error_code ignored;
        const std::filesystem::path absolute = std::filesystem::absolute(settings.path, ignored);
        if (!absolute.empty()) settings.path = absolute.string();
        if (const char* format = Setting("TONEGATE_WAVSINK_FORMAT")) {
            if (std::strcmp(format, "int32") == 0) {
                settings.sampleType = ASIOSTInt32LSB;
            } else if (std::strcmp(format, "int16") == 0) {
                settings.sampleType = ASIOSTInt16LSB;
            } else {
                SetText(error_, "TONEGATE_WAVSINK_FORMAT=%s: use int32 or int16", format);
                return false;
            }
        }
        uint32_t number = 0;
        if (const char* buffer = Setting("TONEGATE_WAVSINK_BUFFER")) {
            if (!ParseWhole(buffer, number) || !card_.AcceptsBufferFrames(static_cast<int32_t>(number))) {
                SetText(error_, "TONEGATE_WAVSINK_BUFFER=%s: use a power of two from 32 to 4096 frames", buffer);
                return false;
            }
            settings.preferredFrames = static_cast<int32_t>(number);
        }
        if (const char* rate = Setting("TONEGATE_WAVSINK_RATE")) {
            if (!ParseWhole(rate, number) || !card_.SupportsRate(number)) {
                SetText(error_, "TONEGATE_WAVSINK_RATE=%s: use 44100, 48000, 88200, 96000, 176400 or 192000", rate);
                return false;
            }
            settings.sampleRate = number;
        }
        if (const char* pace = Setting("TONEGATE_WAVSINK_PACE")) {
            if (std::strcmp(pace, "realtime") == 0) {
                settings.pace = Pace::Realtime;
            } else if (std::strcmp(pace, "freewheel") == 0) {
                settings.pace = Pace::Freewheel;
            } else {
                SetText(error_, "TONEGATE_WAVSINK_PACE=%s: use realtime or freewheel", pace);
                return false;
            }
        }
        settings.report = tonegate_driver::ReportRequested("TONEGATE_WAVSINK_REPORT");
        settings_ = settings;
        return true;
    }

    // Creates the file empty, in the card's current format. Host thread, no
    // stream running.
    bool CreateFile() {
        writingStopped_.store(false, std::memory_order_relaxed);
        const WavFormat format{sampleRate_, static_cast<uint16_t>(card_.layout().outputChannels),
                               static_cast<uint16_t>(8 * tonegate_driver::SampleBytes(card_.layout().sampleType))};
        if (writer_.Create(settings_.path, format)) return true;
        SetText(error_, "%s", writer_.error());
        return false;
    }

    // The host's engine version, if it says it can tell; 0 otherwise.
    static int32_t AskEngineVersion(const ASIOCallbacks& callbacks) {
        if (callbacks.asioMessage == nullptr) return 0;
        if (callbacks.asioMessage(kAsioSelectorSupported, kAsioEngineVersion, nullptr, nullptr) == 0) return 0;
        return callbacks.asioMessage(kAsioEngineVersion, 0, nullptr, nullptr);
    }

    // The card's thread from start to stop: one bufferSwitch per half, each
    // followed by the half's frames going to the file. A late buffer is not
    // skipped: the following ones come at once until the deadlines are met.
    void RunStream() {
        const int32_t frames = card_.bufferFrames();
        const uint32_t rate = sampleRate_;
        const Clock::duration period = FramesToDuration(static_cast<uint64_t>(frames), rate);
        const ASIOCallbacks callbacks = card_.callbacks();
        const uint64_t dataBytesBefore = writer_.dataBytes();
        StreamRecord record;
        int32_t index = 0;
        record.start = Clock::now();
        while (thread_.Running()) {
            Clock::time_point began;
            if (settings_.pace == Pace::Realtime) {
                const Clock::time_point deadline =
                    record.start + FramesToDuration(record.buffers * static_cast<uint64_t>(frames), rate);
                if (!thread_.SleepUntil(deadline)) break;
                began = Clock::now();
                const Clock::duration lateness = began - deadline;
                if (lateness > period) ++record.lateBuffers;
                record.worstLateness = std::max(record.worstLateness, lateness);
            } else {
                began = Clock::now();
            }
            record.lastBegan = began;
            callbacks.bufferSwitch(index, ASIOTrue);
            ++record.buffers;
            if (!writingStopped_.load(std::memory_order_relaxed) && !WriteHalf(index)) {
                // The writer keeps the reason; the flag publishes it to
                // getErrorMessage before the host, told at once, asks for it.
                writingStopped_.store(true, std::memory_order_release);
                if (callbacks.asioMessage != nullptr) callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
            }
            index ^= 1;
        }
        // A capture that stopped (start refuses one that stopped before) is
        // told even unasked: nothing else shows it.
        if (settings_.report || writingStopped_.load(std::memory_order_relaxed))
            Report(record, (writer_.dataBytes() - dataBytesBefore) / writer_.format().blockAlign());
    }

    bool WriteHalf(int32_t index) {
        card_.InterleaveHalf(index, interleaved_.data());
        return writer_.Append(interleaved_.data(), interleaved_.size());
    }

    // One line on standard error, ending with the reason when writing
    // stopped. The deviation compares the frames handed out before the last
    // buffer with the wall-clock time from start to it.
    void Report(const StreamRecord& record, uint64_t framesWritten) const {
        const bool writingStopped = writingStopped_.load(std::memory_order_relaxed);
        double deviationPpm = 0.0;
        const double wallSeconds = std::chrono::duration<double>(record.lastBegan - record.start).count();
        if (record.buffers > 1 && wallSeconds > 0.0) {
            const double producedSeconds =
                static_cast<double>((record.buffers - 1) * static_cast<uint64_t>(card_.bufferFrames())) / sampleRate_;
            deviationPpm = (producedSeconds / wallSeconds - 1.0) * 1e6;
        }
        std::fprintf(stderr,
                     "Tonegate WAV Sink: %llu frames written, %llu buffers, %llu late, worst lateness %.3f ms, "
                     "%+.1f ppm against the wall clock, %u outputReady calls, host engine version %d%s%s\n",
                     static_cast<unsigned long long>(framesWritten), static_cast<unsigned long long>(record.buffers),
                     static_cast<unsigned long long>(record.lateBuffers), Milliseconds(record.worstLateness),
                     deviationPpm, outputReadyCalls_.load(std::memory_order_relaxed),
                     static_cast<int>(hostEngineVersion_), writingStopped ? "; " : "",
                     writingStopped ? writer_.error() : "");
    }

    Settings settings_;
    bool initialised_ = false;
    uint32_t sampleRate_ = 48000;
    int32_t hostEngineVersion_ = 0;
    WavWriter writer_;
    // One half of every output, interleaved: the frames of one file write.
    std::vector<std::byte> interleaved_;
    // Set by the card's thread when the file takes no more frames (full, or
    // a failed write), and cleared only when the file is created again; the
    // writer's error then holds the reason.
    std::atomic<bool> writingStopped_{false};
    // Last, so it ends before the state its body uses is destroyed.
    tonegate_driver::CardThread thread_;
};

}  // namespace
}  // namespace tonegate_wavsink

TONEGATE_SINGLE_CLASS_SERVER(tonegate_driver::kDriverClassId, tonegate_wavsink::WavSink)
