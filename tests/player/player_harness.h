// Test support for the player: one ordered log of everything a run does
// (the stand-in library's calls, sleeps, key checks, key reads, the message
// box), scripted keys, and the tune notation of the tables expanded into
// the log a run must write. Thread: the test's own.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "standin/standin_protocol.h"

namespace player_test {

using Log = std::vector<std::string>;

Log& RecordedLog();
StandinScript& Script();

struct KeyScript {
    std::deque<int> presses;        // what the key reads return, in turn
    int firstCheckFindingKey = -1;  // 0-based count of key checks; -1: never
    int checksSoFar = 0;
};
KeyScript& Keys();

// Points the player's system calls at the recorders and clears log, script
// and keys.
void StartRecording();

// Runs the player's whole main sequence with `presses` and returns what it
// printed; `exitCode` receives its result.
std::string RunPlayer(const std::vector<int>& presses, int* exitCode = nullptr);

// The first tune of a run as played, from after the first key read up to
// its last key check (included).
Log FirstTune(const Log& log);
// Splits a tune's log after each key check.
std::vector<Log> Phrases(const Log& tune);
// The milliseconds of every sleep in `log`.
std::vector<int> Sleeps(const Log& log);

// The log of one phrase written in the tables' notation ("rest 0.16";
// "A29/0.16/6"; "A36/0.32/6 unwaited"; "[B17/0.16/6 + A40/0.08/6 | 0.08]"),
// when every note start takes `setupMicros` against the gap `targetMicros`.
// `pendingMicros` carries unrested set-up time from phrase to phrase.
Log Expand(const std::string& notation, uint32_t setupMicros, uint32_t targetMicros, uint32_t& pendingMicros);

std::vector<std::string> Split(const std::string& text, char separator);

}  // namespace player_test
