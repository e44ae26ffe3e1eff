// The host session: the opened driver initialised and surveyed, its two output
// buffers, the generators that feed them, sample-rate control and the note
// and sweep requests (the library-wide globals are in library_state.h).
// Thread: caller's thread, except the three driver callbacks declared at the
// end, which run on the driver's real-time thread.
#pragma once

#include <cstdint>

#include "host/asio_interface.h"
#include "host/library_state.h"
#include "platform/win32.h"

class HostSession {
public:
    // Initialises and surveys the driver; bInitSuccess tells whether it worked.
    HostSession(IASIO* driver, HWND window);
    // Stops the driver, disposes of its buffers, deletes the generators.
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    bool CreatePrimaryBuffer();
    bool SetSampleRate(uint32_t rate);
    int32_t GetSampleRate();

    // The note requests return the microseconds spent handing the note over.
    uint32_t GenerateSineWavA(double frequency, double seconds, uint32_t attenuation);
    uint32_t GenerateSineWavB(double frequency, double seconds, uint32_t attenuation);
    void GenerateSweepWavA(double freqStart, double freqEnd, double seconds, uint32_t attenuation);
    void GenerateSweepWavB(double freqStart, double freqEnd, double seconds, uint32_t attenuation);

    bool bInitSuccess = false;
    bool bStarted = false;
    char errorMessage[128] = {};
    char driverName[128] = {};
    HWND sysHandle = nullptr;
    ASIOSampleType outputSampleType = 0;
    int32_t lnDrvrVer = 0;
    ASIOCallbacks asioCallbacks = {};
    bool bBuffersCreated = false;

private:
    bool Initialise();
    // Starts the driver on the first request of the session.
    bool StartOnce();
    uint32_t GenerateSineWav(SineGenerator* generator, const char* failureLine, double frequency, double seconds,
                             uint32_t attenuation);
    void GenerateSweepWav(SineGenerator* generator, double freqStart, double freqEnd, double seconds,
                          uint32_t attenuation);
};

// The work behind ASIOSystemInit: builds the session over the opened driver.
bool SystemInit(HWND window);
// Writes "ASIO sample type: " and the type's name as one line.
void LogSampleType(ASIOSampleType type);
// A driver's double as a whole number for the log and the exports: NaN gives
// 0 and values beyond the int32 range stop at its ends, so no conversion is
// undefined whatever the driver reports.
int32_t SaturatingInt32(double value);

// Driver callbacks. Real-time thread; bufferSwitch allocates nothing, takes
// no lock and logs nothing.
void bufferSwitch(int32_t index, ASIOBool directProcess);
void sampleRateDidChange(ASIOSampleRate rate);
int32_t asioMessages(int32_t selector, int32_t value, void* message, double* opt);

// Caller's thread. A buffer switch writes and calls nothing unless the switch
// is open: from the end of a successful CreatePrimaryBuffer to the teardown.
// A driver message is answered (with 0) and calls nothing unless the messages
// are open: from when the driver is given the callbacks to the teardown.
// Closing waits for a call still under way, so none touches the buffers, the
// generators or the driver once it has returned.
void OpenBufferSwitch();
void CloseBufferSwitch();
void OpenDriverMessages();
void CloseDriverMessages();
