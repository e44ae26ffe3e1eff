// The library-wide stopwatch on the performance counter, which times how long
// a note request takes to hand its note to the generator.
// Thread: caller's thread only.
#pragma once

#include <cstdint>

// Clears both counts and writes "Timer initialized" to the log.
void TimerReset();
// Sets the stored counter frequency to 0, then reads it from the counter.
void TimerReadFrequency();
void TimerStart();
void TimerStop();
// Microseconds between the last TimerStart and TimerStop, from the low 32 bits
// of the counts and of the frequency; 0 when the frequency is 0.
uint32_t TimerElapsedMicroseconds();
