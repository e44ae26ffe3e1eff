// What every one of our sound cards shares: the fixed facts it answers
// (channels, buffer sizes, sample rates), the output buffer pairs and channel
// records made by createBuffers, and the card's own real-time thread.
// Thread: the host's caller thread for everything except InterleaveHalf and
// the body given to CardThread, which the card's real-time thread runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "host/asio_interface.h"

namespace tonegate_driver {

// Results of the standard that the host's header does not name: the call
// does not fit the card's current state, or memory ran out.
constexpr ASIOError kInvalidMode = -997;
constexpr ASIOError kNoMemory = -994;

// Bytes of one sample of the integer types our cards offer (16 or 32 bits).
int32_t SampleBytes(ASIOSampleType type);

struct CardLayout {
    int32_t outputChannels = 2;
    ASIOSampleType sampleType = ASIOSTInt32LSB;
    int32_t minFrames = 32;
    int32_t maxFrames = 4096;
    int32_t preferredFrames = 512;
    // -1: every power of two from minFrames to maxFrames; otherwise the step
    // between accepted sizes, from minFrames on.
    int32_t granularity = -1;
    std::span<const double> sampleRates;
};

// A card without inputs whose outputs are named "Out 1", "Out 2", ... and all
// belong to channel group 0.
class CardCore {
public:
    // Only while no buffers exist.
    void Configure(const CardLayout& layout) { layout_ = layout; }
    const CardLayout& layout() const { return layout_; }

    ASIOError GetChannels(int32_t* inputs, int32_t* outputs) const;
    ASIOError GetBufferSize(int32_t* minFrames, int32_t* maxFrames, int32_t* preferredFrames,
                            int32_t* granularity) const;
    bool AcceptsBufferFrames(int32_t frames) const;
    bool SupportsRate(double rate) const;
    ASIOError CanSampleRate(double rate) const { return SupportsRate(rate) ? ASE_OK : ASE_NoClock; }
    ASIOError GetChannelInfo(ASIOChannelInfo* info) const;

    // Gives each requested output its two halves of `frames` samples (zeroed)
    // and keeps the callbacks; any earlier buffers are freed first.
    ASIOError CreateBuffers(ASIOBufferInfo* infos, int32_t count, int32_t frames, const ASIOCallbacks* callbacks);
    void DisposeBuffers();
    bool buffersExist() const { return bufferFrames_ != 0; }
    // 0 while no buffers exist.
    int32_t bufferFrames() const { return bufferFrames_; }
    const ASIOCallbacks& callbacks() const { return callbacks_; }
    // Bytes of one half of every output, interleaved.
    size_t InterleavedHalfBytes() const;
    // CreateBuffers for a card that writes interleaved frames: `interleaved`
    // is also given room for one half of every output. Without that room
    // the buffers are freed again and the answer is kNoMemory.
    ASIOError CreateInterleavedBuffers(ASIOBufferInfo* infos, int32_t count, int32_t frames,
                                       const ASIOCallbacks* callbacks, std::vector<std::byte>& interleaved);

    // Copies half `index` of every output into `frames`, one frame after the
    // other; outputs the host did not ask for give zeros. Real-time thread.
    void InterleaveHalf(int32_t index, std::byte* frames) const;

private:
    CardLayout layout_;
    int32_t bufferFrames_ = 0;
    ASIOCallbacks callbacks_{};
    // Per output: both halves back to back, empty for an inactive output.
    // 64-bit elements keep every half aligned for any sample type.
    std::vector<std::vector<uint64_t>> halves_;
};

// The card's real-time thread. Stop may be called from the thread itself
// (from inside a host callback): it then only asks the body to end, and the
// thread is joined later from another thread, by the next Start, by Reap,
// by Stop or by the destructor.
class CardThread {
public:
    CardThread() = default;
    ~CardThread() { Stop(); }
    CardThread(const CardThread&) = delete;
    CardThread& operator=(const CardThread&) = delete;

    // Runs `body` on a new thread, after joining an ended one. The body loops
    // while Running() and paces itself with SleepUntil. False when no thread
    // could be made.
    bool Start(std::function<void()> body);
    // From another thread, returns once the body has returned; from the
    // thread itself, returns at once.
    void Stop();
    // Joins a thread that was asked to stop; does nothing while it runs.
    void Reap();
    // No body runs, so the stream's settings and buffers may change: false
    // while one runs or on the thread itself; a body that ended (stopped
    // from inside a callback) is joined first.
    bool Idle();
    // Started and not yet asked to stop.
    bool Running() const { return running_.load(std::memory_order_acquire); }
    bool OnThisThread() const { return current_ == this; }
    // Waits until `deadline`; false, as soon as it is asked, when the thread
    // is to stop.
    bool SleepUntil(std::chrono::steady_clock::time_point deadline);

private:
    static thread_local const CardThread* current_;
    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::atomic<bool> running_{false};
};

// disposeBuffers of a card that runs its own thread: the thread is stopped
// first, and never from inside it, which is still using the buffers.
ASIOError StopThenDisposeBuffers(CardThread& thread, CardCore& card);

}  // namespace tonegate_driver
