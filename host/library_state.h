// Library-wide state shared by the exports, the driver access and the host
// session: plain globals, one instance per loaded library, zero when loaded.
// Thread: written on the caller's thread; `bWavEnabled` is also read by the
// driver's real-time thread, hence atomic.
#pragma once

#include <atomic>
#include <cstdint>

class AsioDriverList;

// The installed drivers; null before ASIOOpenDriver and after ASIOCloseDriver.
extern AsioDriverList* asioDrvrLst;
// 0 once a driver has been opened; any other value means none is open.
extern int32_t nDrvOpenResult;
// Sine-note requests that passed their checks and found a generator, since
// the library was loaded. Counted in unsigned arithmetic so that it wraps
// instead of overflowing; it is logged as a signed 32-bit number.
extern uint32_t noteCount;
// Output enable: while false every buffer switch writes silence.
extern std::atomic<bool> bWavEnabled;
