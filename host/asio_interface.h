// The sound-card driver interface: records, constants, error codes and the
// IASIO COM interface, laid out as Windows drivers expect (IUnknown first,
// then the operations in declaration order; 32-bit integers as int32_t).
// Thread: the driver's operations are called on the caller's thread; the
// callbacks in ASIOCallbacks run on the driver's real-time thread.
#pragma once

#include <cstdint>

#include "platform/win32.h"

typedef int32_t ASIOBool;
typedef int32_t ASIOError;
typedef double ASIOSampleRate;
typedef int32_t ASIOSampleType;

enum : ASIOBool { ASIOFalse = 0, ASIOTrue = 1 };

// Error codes
enum : ASIOError {
    ASE_OK = 0,
    ASE_NotPresent = -1000,
    ASE_InvalidParameter = -998,
    ASE_NoClock = -995,
};

// Sample types
enum : ASIOSampleType {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,
};

// Selectors of the driver-to-host message callback
enum : int32_t {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion = 2,
    kAsioResetRequest = 3,
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,
    kAsioSupportsTimeCode = 8,
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    int32_t channelNum;
    void* buffers[2];  // the two halves of the channel's double buffer
};

struct ASIOChannelInfo {
    int32_t channel;
    ASIOBool isInput;
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOCallbacks {
    void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sampleRate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    // The time-info variant is never offered by this host; the slot stays null.
    void* (*bufferSwitchTimeInfo)(void* params, int32_t doubleBufferIndex, ASIOBool directProcess);
};

// The driver contract: what the host does with a driver, and what a driver
// must do in return.
//
// Call order (the host's caller thread unless said otherwise):
//   1. CoCreateInstance of the registered class, asking for the class id as
//      the interface id (IUnknown's QueryInterface, AddRef, Release apply).
//   2. init(window); on ASIOFalse, getErrorMessage (at most 128 bytes,
//      terminated or not), and the driver is released without more calls.
//   3. The survey, once: getDriverName, getDriverVersion, getChannels,
//      getLatencies, getBufferSize, getSampleRate, then getChannelInfo for
//      every output channel (at most 1024), then outputReady as a probe.
//   4. createBuffers for output channels 0 and 1 at the preferred size, with
//      the callbacks below; then getChannelInfo of both (each must be active
//      and of the first channel's type, Int32LSB or Int16LSB), getLatencies.
//   5. Any time after: canSampleRate, setSampleRate, getSampleRate.
//   6. start, at the first note or sweep (again after a failed start).
//   7. Teardown: stop, disposeBuffers (only when buffers were created), then
//      Release when the driver list is freed.
// The host never calls getClockSources, setClockSource, getSamplePosition,
// controlPanel or future; nor start before createBuffers has succeeded.
//
// Callbacks (the driver's thread):
//   - bufferSwitch(index, ...) with index 0 or 1 in turn, once per period,
//     from start until stop returns. The host fills both channels' halves of
//     that index before returning, without allocating, locking or logging;
//     any other index is ignored. Switches before the buffers are complete,
//     or after the teardown began, write nothing; so does a switch made while
//     another is under way (from inside outputReady, or from a second thread).
//   - When the probe answered ASE_OK, the host calls outputReady from inside
//     every bufferSwitch (on the driver's thread).
//   - asioMessage, from any of the driver's threads, from createBuffers until
//     the teardown begins (before and after it, every message is answered 0
//     and the driver is not called): the host answers kAsioSelectorSupported,
//     the engine version, and takes a reset request by calling stop (from the
//     thread that sent it) and logging it, followed by getErrorMessage's text
//     when there is one. A reset request sent from inside that stop is
//     answered without another. sampleRateDidChange is ignored: the host
//     asks getSampleRate when it needs the rate.
//
// A driver MUST: give 32-bit integers as int32_t and records in this layout;
// keep the buffer addresses valid from createBuffers to disposeBuffers;
// return from stop only once no bufferSwitch is under way or will start
// (stop may be called from inside its own bufferSwitch, so never join its
// own thread there); accept calls in the order above, and refuse others with
// an ASIOError rather than crash; report its own failures through
// getErrorMessage and, once running, through asioMessage.
//
// Operations that the host never calls take opaque pointers: their records
// are not part of this interface, and a pointer keeps the vtable slot's ABI.
struct IASIO : public IUnknown {
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;
    virtual int32_t getDriverVersion() = 0;
    virtual void getErrorMessage(char* text) = 0;
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(void* clocks, int32_t* numSources) = 0;
    virtual ASIOError setClockSource(int32_t reference) = 0;
    virtual ASIOError getSamplePosition(void* samplePosition, void* timeStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(int32_t selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;
};

static_assert(sizeof(ASIOChannelInfo) == 52, "ASIOChannelInfo layout");
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void*), "ASIOBufferInfo layout");
