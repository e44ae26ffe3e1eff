// What differs between the two player builds: each build links exactly one
// tune file, which defines these. Thread: the player's only thread.
#pragma once

#include <cstdint>

// The time aimed for between the end of one note and the start of the next.
extern const uint32_t GAP_TARGET_MICROS;
// Whether the player pauses before its farewell sweeps.
extern const bool kPauseBeforeFarewell;

// Plays the build's tune once; true when a key check found a key-press
// waiting, which stops the tune there.
bool PlayTune();
