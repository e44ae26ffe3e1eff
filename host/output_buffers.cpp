// The two output buffers and their generators: creation, output enable, and
// the session's teardown. Thread: caller's thread; the teardown stops the
// driver before anything its callback thread uses is freed.
#include <new>

#include "diag/debug_log.h"
#include "host/host_session.h"
#include "host/library_state.h"
#include "synth/sine_generator.h"

namespace {

// Larger halves than this are refused: over two seconds even at 384 kHz, and
// their byte counts stay far below where uint32_t would wrap.
constexpr int32_t kMaxBufferFrames = 1 << 20;

// Whether the driver handed out an address for every half it said it created.
bool EveryHalfHasAnAddress(const DriverInfo& info) {
    for (int32_t i = 0; i < info.outputBuffers; ++i)
        if (info.bufferInfos[i].buffers[0] == nullptr || info.bufferInfos[i].buffers[1] == nullptr) return false;
    return true;
}

}  // namespace

bool HostSession::CreatePrimaryBuffer() {
    DriverInfo& info = asioDriverInfo;
    info.inputBuffers = 0;
    info.outputBuffers = 2 * info.numOutputPairs;
    LogInt("asioDriverInfo.outputBuffers to activate", info.outputBuffers);
    // A size of no frames would give generators that can play nothing, and a
    // huge one byte counts that wrap: neither is asked of the driver.
    if (info.preferredSize < 1 || info.preferredSize > kMaxBufferFrames) {
        LogInt("Failed: CreatePrimaryBuffer - unusable preferredSize", info.preferredSize);
        return false;
    }
    for (int32_t i = 0; i < info.outputBuffers; ++i) {
        info.bufferInfos[i] = ASIOBufferInfo{};
        info.bufferInfos[i].isInput = ASIOFalse;
        info.bufferInfos[i].channelNum = i;
    }
    // The driver may send messages from the moment it has the callbacks.
    OpenDriverMessages();
    if (ptrASIO->createBuffers(info.bufferInfos, info.outputBuffers, info.preferredSize, &asioCallbacks) != ASE_OK) {
        LogLine("ptrASIO->createBuffers failed!");
        return false;
    }

    // Each channel must come back active and in the format the survey found.
    int32_t confirmed = 0;
    for (; confirmed < info.outputBuffers; ++confirmed) {
        ASIOChannelInfo& channel = info.channelInfos[confirmed];
        channel.channel = info.bufferInfos[confirmed].channelNum;
        channel.isInput = info.bufferInfos[confirmed].isInput;
        if (ptrASIO->getChannelInfo(&channel) != ASE_OK || channel.isActive != ASIOTrue) break;
        // From here on the buffers exist and must be disposed of, whatever their type.
        bBuffersCreated = true;
        if (channel.type != outputSampleType) {
            LogLine("Internal format of these buffers didn't turn out to be what we thought!");
            break;
        }
    }
    if (confirmed < info.outputBuffers) {
        LogLine("We failed to create the buffers we asked for, there was some problem.");
        return false;
    }
    // The buffer switch writes through these addresses; the buffers the
    // driver reported are still disposed of at teardown.
    if (!EveryHalfHasAnAddress(info)) {
        LogLine("Failed: CreatePrimaryBuffer - the driver gave no address for a buffer half!");
        return false;
    }

    b16BitCard = outputSampleType == ASIOSTInt16LSB;
    const uint32_t frames = static_cast<uint32_t>(info.preferredSize);
    if (b16BitCard) {
        LogLine("16 Bit Snd Card detected");
        nBufferBytes = frames * 2;
    } else {
        LogLine("32 Bit Snd Card detected");
        nBufferBytes = frames * 4;
    }
    // A generator that cannot be allocated leaves its channel silent.
    pSineGeneratorA = new (std::nothrow) SineGenerator(frames, b16BitCard);
    pSineGeneratorB = new (std::nothrow) SineGenerator(frames, b16BitCard);

    if (ptrASIO->getLatencies(&info.inputLatency, &info.outputLatency) == ASE_OK)
        LogIntPair("asioDriverInfo.inputLatency", "asioDriverInfo.outputLatency", info.inputLatency,
                   info.outputLatency);
    bWavEnabled.store(true, std::memory_order_release);
    // Only now are the buffers, their size and the generators all in place.
    OpenBufferSwitch();
    return true;
}

// The messages are closed first: a reset request from now on, even one the
// driver's stop sends, stops nothing, and none reaches the driver once it is
// released. No buffer switch of a well-behaved driver runs once stop has
// returned; the switch is closed as well, for one that goes on calling,
// before the buffers and the generators go.
HostSession::~HostSession() {
    CloseDriverMessages();
    ptrASIO->stop();
    CloseBufferSwitch();
    if (bBuffersCreated) {
        ptrASIO->disposeBuffers();
        bBuffersCreated = false;
    }
    delete pSineGeneratorA;
    pSineGeneratorA = nullptr;
    delete pSineGeneratorB;
    pSineGeneratorB = nullptr;
    LogInt("\nFinal noteCount", static_cast<int32_t>(noteCount));
}
