// The shared card logic: answers, buffer pairs, channel records, and the
// card thread's start and stop. Thread: the host's caller thread, except
// InterleaveHalf and the thread body (the card's real-time thread).
#include "drivers/common/card_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

namespace tonegate_driver {

int32_t SampleBytes(ASIOSampleType type) { return type == ASIOSTInt16LSB || type == ASIOSTInt16MSB ? 2 : 4; }

ASIOError CardCore::GetChannels(int32_t* inputs, int32_t* outputs) const {
    if (inputs == nullptr || outputs == nullptr) return ASE_InvalidParameter;
    *inputs = 0;
    *outputs = layout_.outputChannels;
    return ASE_OK;
}

ASIOError CardCore::GetBufferSize(int32_t* minFrames, int32_t* maxFrames, int32_t* preferredFrames,
                                  int32_t* granularity) const {
    if (minFrames == nullptr || maxFrames == nullptr || preferredFrames == nullptr || granularity == nullptr)
        return ASE_InvalidParameter;
    *minFrames = layout_.minFrames;
    *maxFrames = layout_.maxFrames;
    *preferredFrames = layout_.preferredFrames;
    *granularity = layout_.granularity;
    return ASE_OK;
}

bool CardCore::AcceptsBufferFrames(int32_t frames) const {
    if (frames < layout_.minFrames || frames > layout_.maxFrames) return false;
    if (layout_.granularity == -1) return (frames & (frames - 1)) == 0;
    return (frames - layout_.minFrames) % layout_.granularity == 0;
}

bool CardCore::SupportsRate(double rate) const {
    return std::find(layout_.sampleRates.begin(), layout_.sampleRates.end(), rate) != layout_.sampleRates.end();
}

ASIOError CardCore::GetChannelInfo(ASIOChannelInfo* info) const {
    if (info == nullptr || info->isInput != ASIOFalse || info->channel < 0 || info->channel >= layout_.outputChannels)
        return ASE_InvalidParameter;
    const auto channel = static_cast<size_t>(info->channel);
    info->isActive = channel < halves_.size() && !halves_[channel].empty() ? ASIOTrue : ASIOFalse;
    info->channelGroup = 0;
    info->type = layout_.sampleType;
    std::snprintf(info->name, sizeof info->name, "Out %d", static_cast<int>(info->channel) + 1);
    return ASE_OK;
}

ASIOError CardCore::CreateBuffers(ASIOBufferInfo* infos, int32_t count, int32_t frames,
                                  const ASIOCallbacks* callbacks) {
    if (infos == nullptr || callbacks == nullptr || callbacks->bufferSwitch == nullptr) return ASE_InvalidParameter;
    if (count < 1 || count > layout_.outputChannels || !AcceptsBufferFrames(frames)) return ASE_InvalidParameter;
    std::vector<bool> asked(static_cast<size_t>(layout_.outputChannels), false);
    for (int32_t i = 0; i < count; ++i) {
        const int32_t channel = infos[i].channelNum;
        if (infos[i].isInput != ASIOFalse || channel < 0 || channel >= layout_.outputChannels ||
            asked[static_cast<size_t>(channel)])
            return ASE_InvalidParameter;
        asked[static_cast<size_t>(channel)] = true;
    }

    DisposeBuffers();
    const size_t halfBytes = static_cast<size_t>(frames) * static_cast<size_t>(SampleBytes(layout_.sampleType));
    const size_t wordsPerChannel = (2 * halfBytes + sizeof(uint64_t) - 1) / sizeof(uint64_t);
    try {
        halves_.resize(static_cast<size_t>(layout_.outputChannels));
        for (int32_t i = 0; i < count; ++i) halves_[static_cast<size_t>(infos[i].channelNum)].assign(wordsPerChannel, 0);
    } catch (const std::bad_alloc&) {
        DisposeBuffers();
        return kNoMemory;
    }
    for (int32_t i = 0; i < count; ++i) {
        auto* first = reinterpret_cast<std::byte*>(halves_[static_cast<size_t>(infos[i].channelNum)].data());
        infos[i].buffers[0] = first;
        infos[i].buffers[1] = first + halfBytes;
    }
    bufferFrames_ = frames;
    callbacks_ = *callbacks;
    return ASE_OK;
}

void CardCore::DisposeBuffers() {
    halves_.clear();
    bufferFrames_ = 0;
    callbacks_ = ASIOCallbacks{};
}

ASIOError CardCore::CreateInterleavedBuffers(ASIOBufferInfo* infos, int32_t count, int32_t frames,
                                             const ASIOCallbacks* callbacks, std::vector<std::byte>& interleaved) {
    const ASIOError result = CreateBuffers(infos, count, frames, callbacks);
    if (result != ASE_OK) return result;
    try {
        interleaved.assign(InterleavedHalfBytes(), std::byte{0});
    } catch (const std::bad_alloc&) {
        DisposeBuffers();
        return kNoMemory;
    }
    return ASE_OK;
}

size_t CardCore::InterleavedHalfBytes() const {
    return static_cast<size_t>(bufferFrames_) * static_cast<size_t>(layout_.outputChannels) *
           static_cast<size_t>(SampleBytes(layout_.sampleType));
}

void CardCore::InterleaveHalf(int32_t index, std::byte* frames) const {
    const size_t sampleBytes = static_cast<size_t>(SampleBytes(layout_.sampleType));
    const size_t halfBytes = static_cast<size_t>(bufferFrames_) * sampleBytes;
    const size_t frameBytes = halves_.size() * sampleBytes;
    for (size_t channel = 0; channel < halves_.size(); ++channel) {
        std::byte* to = frames + channel * sampleBytes;
        if (halves_[channel].empty()) {
            for (int32_t frame = 0; frame < bufferFrames_; ++frame, to += frameBytes) std::memset(to, 0, sampleBytes);
            continue;
        }
        const std::byte* from = reinterpret_cast<const std::byte*>(halves_[channel].data()) + (index & 1) * halfBytes;
        for (int32_t frame = 0; frame < bufferFrames_; ++frame, to += frameBytes, from += sampleBytes)
            std::memcpy(to, from, sampleBytes);
    }
}

thread_local const CardThread* CardThread::current_ = nullptr;

bool CardThread::Start(std::function<void()> body) {
    Reap();
    if (thread_.joinable()) return false;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this, run = std::move(body)] {
            current_ = this;
            run();
            current_ = nullptr;
        });
    } catch (const std::system_error&) {
        running_.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

void CardThread::Stop() {
    {
        // Under the lock, so a body about to sleep cannot miss the wake-up.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        running_.store(false, std::memory_order_release);
    }
    wake_.notify_all();
    if (!OnThisThread() && thread_.joinable()) thread_.join();
}

void CardThread::Reap() {
    if (!Running() && !OnThisThread() && thread_.joinable()) thread_.join();
}

bool CardThread::Idle() {
    if (Running() || OnThisThread()) return false;
    Reap();
    return true;
}

bool CardThread::SleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    return !wake_.wait_until(lock, deadline, [this] { return !Running(); });
}

ASIOError StopThenDisposeBuffers(CardThread& thread, CardCore& card) {
    if (thread.OnThisThread()) return kInvalidMode;
    thread.Stop();
    if (!card.buffersExist()) return kInvalidMode;
    card.DisposeBuffers();
    return ASE_OK;
}

}  // namespace tonegate_driver
