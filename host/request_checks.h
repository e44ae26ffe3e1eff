// Range checks of the note and sweep requests. Each runs its bounds in a fixed
// order and logs only the first that fails. Thread: caller's thread.
#pragma once

#include <cstdint>

// True when the sine note may go on; otherwise its refusal has been logged.
bool SineRequestAccepted(double frequency, double seconds, uint32_t attenuation);
// True when the sweep may go on; otherwise its refusal has been logged.
bool SweepRequestAccepted(double freqStart, double freqEnd, double seconds, uint32_t attenuation);
