// The scriptable test card: a driver module serving any class id, each class
// a card with its own script and record in the shared control block (see
// test_card.h). The test pumps the buffer switches, or, when the script asks
// for it, the card's own thread makes them from start to stop.
// Thread: the host's caller thread for the operations; the pumping thread or
// the card's own thread for the buffer switches and outputReady, so counters
// are updated atomically.
#include "tests/support/test_card/test_card.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "drivers/common/com_server.h"

namespace tonegate_test_card {
namespace {

Control control;

int32_t Increment(int32_t& counter) { return std::atomic_ref<int32_t>(counter).fetch_add(1); }
void Decrement(int32_t& counter) { std::atomic_ref<int32_t>(counter).fetch_sub(1); }

int32_t SampleBytes(ASIOSampleType type) {
    switch (type) {
        case ASIOSTInt16MSB:
        case ASIOSTInt16LSB:
            return 2;
        case ASIOSTInt24MSB:
        case ASIOSTInt24LSB:
            return 3;
        case ASIOSTFloat64MSB:
        case ASIOSTFloat64LSB:
            return 8;
        default:
            return 4;
    }
}

class TestCard final : public tonegate_driver::ComObject<IASIO> {
public:
    TestCard(REFCLSID clsid, Card& card) : ComObject(clsid), card_(card) { Increment(card_.record.liveObjects); }
    ~TestCard() override {
        EndOwnThread();
        FreeBuffers();
        Decrement(card_.record.liveObjects);
    }

    ULONG STDMETHODCALLTYPE AddRef() override {
        Increment(card_.record.addRefs);
        return ComObject::AddRef();
    }
    ULONG STDMETHODCALLTYPE Release() override {
        Increment(card_.record.releases);
        return ComObject::Release();
    }

    ASIOBool init(void* /*sysHandle*/) override {
        Note(Operation::Init);
        return script().initResult;
    }
    void getDriverName(char* name) override {
        Note(Operation::GetDriverName);
        if (name != nullptr) std::memcpy(name, script().driverName, kNameBytes);
    }
    int32_t getDriverVersion() override {
        Note(Operation::GetDriverVersion);
        return script().driverVersion;
    }
    void getErrorMessage(char* text) override {
        Note(Operation::GetErrorMessage);
        if (text != nullptr) std::memcpy(text, script().errorMessage, kNameBytes);
    }
    ASIOError start() override {
        Note(Operation::Start);
        const ASIOError result = script().startResult;
        if (result != ASE_OK) return result;
        std::atomic_ref<ASIOBool>(card_.record.running).store(ASIOTrue);
        if (script().ownThread) StartOwnThread();
        return result;
    }
    // Safe from inside the host's callback: the card's own thread is then left
    // to end after the switch under way and is joined later. From any other
    // thread stop returns only when no switch can follow.
    ASIOError stop() override {
        Note(Operation::Stop);
        std::atomic_ref<ASIOBool>(card_.record.running).store(ASIOFalse);
        EndOwnThread();
        const ASIOCallbacks& callbacks = card_.record.callbacks;
        if (script().stopPostsResetRequest && callbacks.asioMessage != nullptr)
            callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
        return script().stopResult;
    }
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override {
        Note(Operation::GetChannels);
        if (numInputChannels != nullptr) *numInputChannels = script().inputChannels;
        if (numOutputChannels != nullptr) *numOutputChannels = script().outputChannels;
        return script().channelsResult;
    }
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
        Note(Operation::GetLatencies);
        if (inputLatency != nullptr) *inputLatency = script().inputLatency;
        if (outputLatency != nullptr) *outputLatency = script().outputLatency;
        return script().latenciesResult;
    }
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override {
        Note(Operation::GetBufferSize);
        if (minSize != nullptr) *minSize = script().minSize;
        if (maxSize != nullptr) *maxSize = script().maxSize;
        if (preferredSize != nullptr) *preferredSize = script().preferredSize;
        if (granularity != nullptr) *granularity = script().granularity;
        return script().bufferSizeResult;
    }
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
        Note(Operation::CanSampleRate, 0, 0, sampleRate);
        const int answers = script().rateAnswerCount < kMaxRateAnswers ? script().rateAnswerCount : kMaxRateAnswers;
        for (int i = 0; i < answers; ++i)
            if (script().rateAnswers[i].rate == sampleRate) return script().rateAnswers[i].result;
        return script().canSampleRateResult;
    }
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
        Note(Operation::GetSampleRate);
        if (sampleRate != nullptr) *sampleRate = script().sampleRate;
        return script().getSampleRateResult;
    }
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override {
        Note(Operation::SetSampleRate, 0, 0, sampleRate);
        const ASIOError result = script().setSampleRateResult;
        if (result == ASE_OK) script().sampleRate = script().rateAfterSet != 0.0 ? script().rateAfterSet : sampleRate;
        return result;
    }
    ASIOError getClockSources(void* /*clocks*/, int32_t* /*numSources*/) override {
        Note(Operation::GetClockSources);
        return ASE_NotPresent;
    }
    ASIOError setClockSource(int32_t reference) override {
        Note(Operation::SetClockSource, reference);
        return ASE_NotPresent;
    }
    ASIOError getSamplePosition(void* /*samplePosition*/, void* /*timeStamp*/) override {
        Note(Operation::GetSamplePosition);
        return ASE_NotPresent;
    }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        if (info == nullptr) {
            Note(Operation::GetChannelInfo, -1, -1);
            return ASE_InvalidParameter;
        }
        Note(Operation::GetChannelInfo, info->channel, info->isInput);
        if (info->isInput != ASIOFalse || !IsOutputChannel(info->channel)) return ASE_InvalidParameter;
        const ChannelScript& channel = script().outputs[info->channel];
        info->isActive = channel.isActive;
        info->channelGroup = channel.channelGroup;
        info->type = channel.type;
        std::memcpy(info->name, channel.name, sizeof info->name);
        return channel.result;
    }
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override {
        Note(Operation::CreateBuffers, numChannels, bufferSize);
        Record& record = card_.record;
        record.createBuffersChannels = numChannels;
        record.createBuffersSize = bufferSize;
        record.callbacks = callbacks != nullptr ? *callbacks : ASIOCallbacks{};
        const ASIOError result = script().createBuffersResult;
        if (result != ASE_OK) return result;
        const bool anySize = script().acceptsAnyBufferSize != ASIOFalse;
        if (bufferInfos == nullptr || numChannels < 1 || numChannels > kMaxChannels || (bufferSize < 1 && !anySize))
            return ASE_InvalidParameter;
        for (int32_t i = 0; i < numChannels; ++i)
            if (bufferInfos[i].isInput != ASIOFalse || !IsOutputChannel(bufferInfos[i].channelNum))
                return ASE_InvalidParameter;

        FreeBuffers();
        const int32_t handedFrames = anySize ? std::clamp(bufferSize, 0, kMaxHandedFrames) : bufferSize;
        if (script().fillsBufferPointers) AllocateBuffers(bufferInfos, numChannels, handedFrames);
        record.buffersExist = ASIOTrue;
        if (script().switchesInCreateBuffers && callbacks != nullptr && callbacks->bufferSwitch != nullptr) {
            callbacks->bufferSwitch(0, ASIOTrue);
            callbacks->bufferSwitch(1, ASIOTrue);
        }
        return ASE_OK;
    }
    ASIOError disposeBuffers() override {
        Note(Operation::DisposeBuffers);
        EndOwnThread();
        if (script().keepsBuffersAfterDispose)
            KeepBuffersFresh();
        else
            FreeBuffers();
        return script().disposeBuffersResult;
    }
    ASIOError controlPanel() override {
        Note(Operation::ControlPanel);
        return ASE_NotPresent;
    }
    ASIOError future(int32_t selector, void* /*opt*/) override {
        Note(Operation::Future, selector);
        return ASE_InvalidParameter;
    }
    ASIOError outputReady() override {
        Note(Operation::OutputReady);
        const ASIOCallbacks& callbacks = card_.record.callbacks;
        if (script().outputReadySwitches && callbacks.bufferSwitch != nullptr) callbacks.bufferSwitch(0, ASIOTrue);
        return script().outputReadyResult;
    }

private:
    Script& script() { return card_.script; }

    bool IsOutputChannel(int32_t channel) const {
        return channel >= 0 && channel < card_.script.outputChannels && channel < kMaxChannels;
    }

    void Note(Operation operation, int32_t first = 0, int32_t second = 0, double real = 0.0) {
        const int32_t index = Increment(card_.record.callCount);
        if (index < kMaxCalls) card_.record.calls[index] = Call{operation, {first, second}, real};
    }

    // Every half gets guard bytes on both sides and starts filled with
    // kFreshBufferByte; all halves share one block.
    void AllocateBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize) {
        Record& record = card_.record;
        int32_t stride[kMaxChannels];
        size_t total = 0;
        for (int32_t i = 0; i < numChannels; ++i) {
            stride[i] = bufferSize * SampleBytes(script().outputs[bufferInfos[i].channelNum].type);
            total += 2 * (static_cast<size_t>(stride[i]) + 2 * kGuardBytes);
        }
        storage_.assign(total, kGuardByte);
        uint8_t* next = storage_.data();
        for (int32_t i = 0; i < numChannels; ++i) {
            HandedBuffer& handed = record.buffers[i];
            handed = HandedBuffer{bufferInfos[i].isInput, bufferInfos[i].channelNum, {nullptr, nullptr}, stride[i]};
            for (int half = 0; half < 2; ++half) {
                uint8_t* samples = next + kGuardBytes;
                std::memset(samples, kFreshBufferByte, static_cast<size_t>(stride[i]));
                handed.halves[half] = samples;
                bufferInfos[i].buffers[half] = samples;
                next = samples + stride[i] + kGuardBytes;
            }
        }
        record.bufferCount = numChannels;
    }

    void CountBrokenGuards() {
        Record& record = card_.record;
        for (int32_t i = 0; i < record.bufferCount; ++i) {
            const HandedBuffer& buffer = record.buffers[i];
            for (void* half : buffer.halves) {
                const uint8_t* samples = static_cast<const uint8_t*>(half);
                if (!GuardIntact(samples - kGuardBytes) || !GuardIntact(samples + buffer.bytes))
                    ++record.brokenGuardsAtDispose;
            }
        }
    }

    // The buffers are gone for the host, but their memory stays the card's.
    void KeepBuffersFresh() {
        Record& record = card_.record;
        if (!record.buffersExist) return;
        CountBrokenGuards();
        for (int32_t i = 0; i < record.bufferCount; ++i)
            for (void* half : record.buffers[i].halves)
                std::memset(half, kFreshBufferByte, static_cast<size_t>(record.buffers[i].bytes));
        record.buffersExist = ASIOFalse;
    }

    void FreeBuffers() {
        Record& record = card_.record;
        if (!record.buffersExist) return;
        CountBrokenGuards();
        storage_.clear();
        storage_.shrink_to_fit();
        record.bufferCount = 0;
        record.buffersExist = ASIOFalse;
    }

    // An earlier thread, stopped from inside its own callback, is joined
    // first. What the thread needs is read here, on the caller's thread.
    void StartOwnThread() {
        if (OnOwnThread()) {
            // Started again from inside its own callback: the thread runs on.
            stopRequested_.store(false, std::memory_order_release);
            return;
        }
        EndOwnThread();
        stopRequested_.store(false, std::memory_order_relaxed);
        thread_ = std::thread(&TestCard::RunOwnThread, this,
                              std::chrono::microseconds(script().threadPeriodMicroseconds), script().capture,
                              script().resetRequestAfterSwitches);
    }

    // Asks the card's own thread to end; joins it unless called on it.
    void EndOwnThread() {
        stopRequested_.store(true, std::memory_order_release);
        if (!OnOwnThread() && thread_.joinable()) thread_.join();
    }

    // Told by the thread itself: thread_ is the caller's, written while the new thread may already run.
    bool OnOwnThread() const { return cardOfThisThread == this; }

    // The card's own thread: halves 0, 1, 0, 1... paced by absolute deadlines,
    // or as fast as it can. Allocates nothing.
    void RunOwnThread(std::chrono::microseconds period, CaptureRing* capture, int64_t resetAfter) {
        cardOfThisThread = this;
        Record& record = card_.record;
        if (!record.buffersExist || record.callbacks.bufferSwitch == nullptr) return;
        auto deadline = std::chrono::steady_clock::now();
        for (int32_t index = 0; !stopRequested_.load(std::memory_order_acquire); index ^= 1) {
            record.callbacks.bufferSwitch(index, ASIOTrue);
            if (capture != nullptr) Capture(*capture, index);
            const int64_t switches =
                std::atomic_ref<int64_t>(record.threadSwitches).fetch_add(1, std::memory_order_release) + 1;
            if (switches == resetAfter && record.callbacks.asioMessage != nullptr)
                record.callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
            if (period.count() > 0) {
                deadline += period;
                std::this_thread::sleep_until(deadline);
            }
        }
    }

    // One record of the halves just filled; waits for room unless stopped.
    void Capture(CaptureRing& ring, int32_t index) {
        const Record& record = card_.record;
        int64_t recordBytes = 0;
        for (int32_t i = 0; i < record.bufferCount; ++i) recordBytes += record.buffers[i].bytes;
        const int64_t written = std::atomic_ref<int64_t>(ring.written).load(std::memory_order_relaxed);
        while (ring.capacity - (written - std::atomic_ref<int64_t>(ring.taken).load(std::memory_order_acquire)) <
               recordBytes) {
            if (stopRequested_.load(std::memory_order_acquire)) {
                std::atomic_ref<int64_t>(ring.dropped).fetch_add(1);
                return;
            }
            std::this_thread::yield();
        }
        int64_t at = written;
        for (int32_t i = 0; i < record.bufferCount; ++i) {
            CopyIntoRing(ring, at, record.buffers[i].halves[index], record.buffers[i].bytes);
            at += record.buffers[i].bytes;
        }
        std::atomic_ref<int64_t>(ring.written).store(at, std::memory_order_release);
    }

    Card& card_;
    std::vector<uint8_t> storage_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    static thread_local const TestCard* cardOfThisThread;
};

thread_local const TestCard* TestCard::cardOfThisThread = nullptr;

IUnknown* CreateCard(REFCLSID clsid) {
    Card* card = ClaimCard(&control, clsid);
    if (card == nullptr) return nullptr;
    return new (std::nothrow) TestCard(clsid, *card);
}

}  // namespace
}  // namespace tonegate_test_card

TONEGATE_DRIVER_EXPORT tonegate_test_card::Control* TonegateTestCardControl() { return &tonegate_test_card::control; }

// Any class id is a card, as long as a slot is free for it.
TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (tonegate_test_card::ClaimCard(&tonegate_test_card::control, clsid) == nullptr) {
        if (object != nullptr) *object = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return tonegate_driver::GetClassObject(clsid, tonegate_test_card::CreateCard, riid, object);
}

TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return tonegate_driver::CanUnloadNow(); }
