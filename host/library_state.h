// Every library-wide global of the tone host, in one place: plain globals,
// one instance per loaded library, zero (or null) when the library is loaded.
// Each says who writes it, how long it lives and which threads touch it.
// "Caller" is the caller's thread (one export at a time); "real-time" is the
// driver's callback thread. Defined in library_state.cpp.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/asio_interface.h"

class AsioDriverList;
class HostSession;
class SineGenerator;

// What the library knows of the driver; cleared each time a driver's init
// has succeeded.
struct DriverInfo {
    int32_t numOutputPairs;
    int32_t numInputChannels, numOutputChannels;
    int32_t minSize, maxSize, preferredSize, granularity;
    double sampleRate;
    bool bOutputReady;
    int32_t inputLatency, outputLatency;
    int32_t inputBuffers, outputBuffers;
    ASIOBufferInfo bufferInfos[2];    // 0: channel A, 1: channel B
    ASIOChannelInfo channelInfos[2];  // read back after createBuffers
};

// ---- Driver access (driver_opening.cpp) ----
// The installed drivers: made by ASIOOpenDriver, deleted by ASIOCloseDriver
// (null outside). Caller only.
extern AsioDriverList* asioDrvrLst;
// 0 once a driver has been opened; any other value means none is open. Set
// by ASIOOpenDriver. Caller only.
extern int32_t nDrvOpenResult;

// ---- Session (session_setup.cpp, output_buffers.cpp) ----
// The session over the opened driver: made by ASIOSystemInit, deleted by
// ASIOCloseDriver (null outside). Caller only.
extern HostSession* pASIOBuffers;
// The opened driver's interface, set when a session is made; owned by the
// driver list, which releases it. Caller; the real-time thread calls
// outputReady through it while the buffer switch is open, and a driver
// message getErrorMessage and stop (a reset request) while the messages are
// open.
extern IASIO* ptrASIO;
// The driver's facts, filled by the session's survey and buffer creation on
// the caller's thread; the real-time thread reads the buffer addresses, the
// rate and bOutputReady while the buffer switch is open.
extern DriverInfo asioDriverInfo;
// The generators of channels A and B: made with the buffers, deleted by the
// session's teardown after the buffer switch has closed. Requests on the
// caller's thread, rendering on the real-time thread (the generators' own
// atomic flags hand them over).
extern SineGenerator* pSineGeneratorA;
extern SineGenerator* pSineGeneratorB;
// The output format is 16-bit (otherwise 32-bit), and the bytes of one half
// of one channel's buffer: set with the buffers before the switch opens,
// read by the real-time thread.
extern bool b16BitCard;
extern uint32_t nBufferBytes;

// ---- Requests (note_requests.cpp, exports.cpp) ----
// Sine-note requests that passed their checks and found a generator, since
// the library was loaded. Counted in unsigned arithmetic so that it wraps
// instead of overflowing; it is logged as a signed 32-bit number. Caller only.
extern uint32_t noteCount;
// Output enable: while false every buffer switch writes silence. Set by
// ASIOEnableWav and the buffer creation (caller), read by the real-time
// thread, hence atomic (release/acquire).
extern std::atomic<bool> bWavEnabled;
