// The scriptable test card, as seen by both sides: the driver module and the
// tests that script it. A test loads the card's module, takes its control
// block from TonegateTestCardControl(), writes each card's answers into a
// slot before the host instantiates that card's class, and afterwards reads
// back the calls the card recorded. The block is plain fixed-size data, so it
// crosses module boundaries as it is. Thread: the test's; the card's
// operations run on whichever thread the host calls them (outputReady on the
// thread that pumps the buffer switch, or on the card's own thread when the
// script asks for one).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host/asio_interface.h"

namespace tonegate_test_card {

constexpr int kMaxCards = 8;
constexpr int kMaxChannels = 16;
constexpr int kMaxCalls = 512;
constexpr int kMaxRateAnswers = 8;
constexpr int kNameBytes = 128;
constexpr int kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xA5;
// A fresh buffer half is filled with this, so a test can tell whether the
// host wrote into it.
constexpr uint8_t kFreshBufferByte = 0x5A;
// The most frames a half gets when the script accepts any buffer size.
constexpr int32_t kMaxHandedFrames = 8192;

enum class Operation : int32_t {
    Init = 1,
    GetDriverName,
    GetDriverVersion,
    GetErrorMessage,
    Start,
    Stop,
    GetChannels,
    GetLatencies,
    GetBufferSize,
    CanSampleRate,
    GetSampleRate,
    SetSampleRate,
    GetClockSources,
    SetClockSource,
    GetSamplePosition,
    GetChannelInfo,
    CreateBuffers,
    DisposeBuffers,
    ControlPanel,
    Future,
    OutputReady,
};

// One operation as it was called: integers[] holds its integer arguments in
// order (getChannelInfo: channel, isInput; createBuffers: channel count,
// buffer size), real its rate argument.
struct Call {
    Operation operation;
    int32_t integers[2];
    double real;
};

struct ChannelScript {
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
    ASIOBool isActive;
    ASIOError result;  // of getChannelInfo for this channel
};

// canSampleRate's answer for one rate, overriding the card's general answer.
struct RateAnswer {
    double rate;
    ASIOError result;
};

// A ring of bytes owned by the test, filled by the card's own thread: every
// buffer switch appends one record, the halves the host has just filled of
// every handed-out channel, in channel order. The card waits while the ring
// has no room for a record and gives up only when it is stopped (counting the
// record as dropped), so a test that keeps draining the ring sees every
// switch. The byte counters only grow; both sides go through atomic_ref.
struct CaptureRing {
    uint8_t* storage;
    int64_t capacity;  // bytes
    int64_t written;   // bytes ever appended, by the card's thread
    int64_t taken;     // bytes ever taken out, by the test
    int64_t dropped;   // records lost to a stop while the card waited for room
};

struct Script {
    ASIOBool initResult;
    char errorMessage[kNameBytes];  // copied raw, all 128 bytes
    char driverName[kNameBytes];    // copied raw, all 128 bytes: a test may leave out the terminator
    int32_t driverVersion;
    int32_t inputChannels, outputChannels;
    ASIOError channelsResult;
    int32_t inputLatency, outputLatency;
    ASIOError latenciesResult;
    int32_t minSize, maxSize, preferredSize, granularity;
    ASIOError bufferSizeResult;
    ASIOSampleRate sampleRate;  // what getSampleRate reports
    ASIOError getSampleRateResult;
    ASIOError canSampleRateResult;
    int32_t rateAnswerCount;
    RateAnswer rateAnswers[kMaxRateAnswers];
    ASIOError setSampleRateResult;
    // After a successful setSampleRate the card reports this rate, or the
    // rate asked for when it is 0.
    ASIOSampleRate rateAfterSet;
    ChannelScript outputs[kMaxChannels];
    ASIOError createBuffersResult;
    ASIOBool fillsBufferPointers;
    ASIOError disposeBuffersResult;
    ASIOError outputReadyResult;
    ASIOError startResult, stopResult;
    // A successful start runs a thread of the card's own that calls the host's
    // bufferSwitch with halves 0, 1, 0, 1... until stop, one switch every
    // threadPeriodMicroseconds, or as fast as it can when that is 0. Read by
    // start; the test pumps nothing meanwhile.
    ASIOBool ownThread;
    int32_t threadPeriodMicroseconds;
    CaptureRing* capture;  // where the thread copies every switch; null: nowhere
    // Hostile habits, all off by default.
    // createBuffers answers ASE_OK to any buffer size, handing out halves of
    // that many frames kept between 0 and kMaxHandedFrames.
    ASIOBool acceptsAnyBufferSize;
    // createBuffers calls the host's bufferSwitch for both halves before it
    // returns, as a card switching before it was started would.
    ASIOBool switchesInCreateBuffers;
    // disposeBuffers leaves the halves in place, refilled with
    // kFreshBufferByte, until the card is destroyed, as a card whose thread
    // still runs into them would; the record keeps listing them.
    ASIOBool keepsBuffersAfterDispose;
    // The card's own thread sends kAsioResetRequest after this many switches
    // (0: never), so the host stops the card from inside its own callback.
    int32_t resetRequestAfterSwitches;
    // stop sends kAsioResetRequest before it returns, as a card reporting
    // every stop would; outputReady calls the host's bufferSwitch for half 0.
    ASIOBool stopPostsResetRequest;
    ASIOBool outputReadySwitches;
};

// One channel's double buffer as the card handed it out: each half has
// `bytes` bytes of samples with kGuardBytes guard bytes before and after.
struct HandedBuffer {
    ASIOBool isInput;
    int32_t channelNum;
    void* halves[2];
    int32_t bytes;
};

struct Record {
    int32_t callCount;  // may pass kMaxCalls; only the first kMaxCalls are kept
    Call calls[kMaxCalls];
    int32_t addRefs, releases, liveObjects;
    int32_t createBuffersChannels, createBuffersSize;
    ASIOCallbacks callbacks;
    int32_t bufferCount;
    HandedBuffer buffers[kMaxChannels];
    ASIOBool buffersExist;
    ASIOBool running;
    int64_t threadSwitches;  // switches the card's own thread has completed, captured ones included (atomic_ref)
    int32_t brokenGuardsAtDispose;  // halves found with a damaged guard when they were freed
};

struct Card {
    ASIOBool inUse;
    CLSID clsid;
    Script script;
    Record record;
};

struct Control {
    Card cards[kMaxCards];
};

// The module's one control block, shared by every card class it serves,
// comes from this export.
typedef Control* (*ControlFunction)();
constexpr const char* kControlFunctionName = "TonegateTestCardControl";

// The control block of the card module at `modulePath`. The module stays
// loaded for the rest of the process, so the block outlives every card.
inline Control* OpenControl(const char* modulePath) {
    HMODULE module = LoadLibraryA(modulePath);
    if (module == nullptr) return nullptr;
    // Through void (*)(), the one function type every other converts to without a warning.
    auto control = reinterpret_cast<ControlFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, kControlFunctionName)));
    return control != nullptr ? control() : nullptr;
}

inline void SetText(char (&field)[kNameBytes], const char* text) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text, sizeof field - 1);
}

// A plain working card: no inputs, two 32-bit outputs in one group, sizes
// 32 to 4096 frames (preferred 256), 48000 Hz, every operation succeeding.
inline Script DefaultScript() {
    Script script{};
    script.initResult = ASIOTrue;
    SetText(script.driverName, "Tonegate Test Card");
    script.driverVersion = 1;
    script.outputChannels = 2;
    script.inputLatency = 0;
    script.outputLatency = 256;
    script.minSize = 32;
    script.maxSize = 4096;
    script.preferredSize = 256;
    script.granularity = -1;
    script.sampleRate = 48000.0;
    for (int i = 0; i < kMaxChannels; ++i) {
        ChannelScript& channel = script.outputs[i];
        channel.type = ASIOSTInt32LSB;
        std::snprintf(channel.name, sizeof channel.name, "Out %d", i + 1);
        channel.isActive = ASIOTrue;
    }
    script.fillsBufferPointers = ASIOTrue;
    return script;
}

inline Card* FindCard(Control* control, REFCLSID clsid) {
    for (Card& card : control->cards)
        if (card.inUse && card.clsid == clsid) return &card;
    return nullptr;
}

// The card of this class, set up with the default script when it is new;
// null when every slot is taken.
inline Card* ClaimCard(Control* control, REFCLSID clsid) {
    if (Card* card = FindCard(control, clsid)) return card;
    for (Card& card : control->cards) {
        if (!card.inUse) {
            card = Card{};
            card.inUse = ASIOTrue;
            card.clsid = clsid;
            card.script = DefaultScript();
            return &card;
        }
    }
    return nullptr;
}

// The calls recorded so far that match `operation`.
inline int CountCalls(const Card& card, Operation operation) {
    int count = 0;
    const int kept = card.record.callCount < kMaxCalls ? card.record.callCount : kMaxCalls;
    for (int i = 0; i < kept; ++i)
        if (card.record.calls[i].operation == operation) ++count;
    return count;
}

inline bool GuardIntact(const uint8_t* guard) {
    for (int i = 0; i < kGuardBytes; ++i)
        if (guard[i] != kGuardByte) return false;
    return true;
}

// Whether nobody wrote outside the halves the card handed out (while the
// buffers exist; disposeBuffers checks them once more before freeing them).
inline bool BuffersIntact(const Card& card) {
    for (int i = 0; i < card.record.bufferCount; ++i) {
        const HandedBuffer& buffer = card.record.buffers[i];
        for (void* half : buffer.halves) {
            const uint8_t* samples = static_cast<const uint8_t*>(half);
            if (!GuardIntact(samples - kGuardBytes) || !GuardIntact(samples + buffer.bytes)) return false;
        }
    }
    return true;
}

// Whether the card is started: written by start and stop on the host's
// thread, read by whichever thread pumps.
inline bool IsRunning(Card& card) { return std::atomic_ref<ASIOBool>(card.record.running).load() != ASIOFalse; }

// Plays the card's real-time thread: one buffer switch into the host, as a
// running card would make it. False (and no call) unless the card is running
// with buffers created.
inline bool PumpBufferSwitch(Card& card, int32_t index, ASIOBool directProcess = ASIOTrue) {
    if (!IsRunning(card) || !card.record.buffersExist || card.record.callbacks.bufferSwitch == nullptr) return false;
    card.record.callbacks.bufferSwitch(index, directProcess);
    return true;
}

// Sends a driver message to the host; -1 when the card has no callbacks.
inline int32_t SendAsioMessage(const Card& card, int32_t selector, int32_t value, void* message = nullptr,
                               double* opt = nullptr) {
    if (!card.record.buffersExist || card.record.callbacks.asioMessage == nullptr) return -1;
    return card.record.callbacks.asioMessage(selector, value, message, opt);
}

// Buffer switches the card's own thread has completed so far.
inline int64_t ThreadSwitches(Card& card) {
    return std::atomic_ref<int64_t>(card.record.threadSwitches).load(std::memory_order_acquire);
}

// Copies `bytes` bytes into the ring at the ever-growing position `at`, or
// out of it, in one run or two when the ring's end lies in between.
inline void CopyIntoRing(CaptureRing& ring, int64_t at, const void* from, int64_t bytes) {
    const int64_t offset = at % ring.capacity;
    const int64_t first = bytes < ring.capacity - offset ? bytes : ring.capacity - offset;
    std::memcpy(ring.storage + offset, from, static_cast<size_t>(first));
    std::memcpy(ring.storage, static_cast<const uint8_t*>(from) + first, static_cast<size_t>(bytes - first));
}
inline void CopyOutOfRing(const CaptureRing& ring, int64_t at, void* to, int64_t bytes) {
    const int64_t offset = at % ring.capacity;
    const int64_t first = bytes < ring.capacity - offset ? bytes : ring.capacity - offset;
    std::memcpy(to, ring.storage + offset, static_cast<size_t>(first));
    std::memcpy(static_cast<uint8_t*>(to) + first, ring.storage, static_cast<size_t>(bytes - first));
}

// Takes the next `bytes` bytes out of the ring into `to`; false, taking
// nothing, while fewer have been written.
inline bool TakeFromRing(CaptureRing& ring, void* to, int64_t bytes) {
    const int64_t taken = std::atomic_ref<int64_t>(ring.taken).load(std::memory_order_relaxed);
    if (std::atomic_ref<int64_t>(ring.written).load(std::memory_order_acquire) - taken < bytes) return false;
    CopyOutOfRing(ring, taken, to, bytes);
    std::atomic_ref<int64_t>(ring.taken).store(taken + bytes, std::memory_order_release);
    return true;
}

inline bool SendSampleRateDidChange(const Card& card, ASIOSampleRate rate) {
    if (!card.record.buffersExist || card.record.callbacks.sampleRateDidChange == nullptr) return false;
    card.record.callbacks.sampleRateDidChange(rate);
    return true;
}

}  // namespace tonegate_test_card
