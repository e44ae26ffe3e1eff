// What the stand-in Tonegate library and the player's test programs share:
// the script of the stand-in's answers and the hook it records each call
// through. A test program defines both hooks and exports them; in any other
// program (a player run as a child) they are absent and the stand-in uses
// its defaults. Thread: the player's only thread.
#pragma once

#include <cstdint>
#include <deque>

#ifndef STANDIN_HOOK
#define STANDIN_HOOK __attribute__((visibility("default")))
#endif

struct StandinScript {
    bool openDriver = true;
    bool systemInit = true;
    bool accept96000 = true;
    bool accept48000 = true;
    std::deque<uint32_t> setupMicros;  // the note requests' results, in turn
    uint32_t laterSetupMicros = 0;     // once those have run out
};

extern "C" {
STANDIN_HOOK StandinScript* PlayerTestScript();
STANDIN_HOOK void PlayerTestRecord(const char* call, int argumentCount, const double* arguments);
}
