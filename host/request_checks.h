// Range checks of the note and sweep requests. Each runs its bounds in a fixed
// order and logs only the first that fails. Thread: caller's thread.
#pragma once

#include <cstdint>

// The request ranges, also used by front ends that check a request before it
// reaches the library. The frequency bound of 22050 Hz holds whatever the rate.
inline constexpr uint32_t kMaxAttenuation = 60;
inline constexpr double kMinFrequency = 10.0;
inline constexpr double kMaxFrequency = 22050.0;
inline constexpr double kMinSineSeconds = 0.01;
inline constexpr double kMaxSineSeconds = 60.0;
inline constexpr double kMinSweepSeconds = 0.1;
inline constexpr double kMaxSweepSeconds = 10.0;

// True when the sine note may go on; otherwise its refusal has been logged.
bool SineRequestAccepted(double frequency, double seconds, uint32_t attenuation);
// True when the sweep may go on; otherwise its refusal has been logged.
bool SweepRequestAccepted(double freqStart, double freqEnd, double seconds, uint32_t attenuation);
