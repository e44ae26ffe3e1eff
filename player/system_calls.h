// The system calls the player paces itself with, reads keys with and shows
// its one message box with, reached through replaceable pointers. The
// program leaves them at the real calls; tests point them at recorders so a
// whole run, sleeps and key checks included, is exact and instant.
// Thread: the player's only thread.
#pragma once

#include "platform/win32.h"
#include "player/interruption.h"

struct PlayerSystemCalls {
    decltype(&Sleep) sleep;
    decltype(&_kbhit) keyWaiting;  // a key-press is waiting; it is not read
    decltype(&_getch) readKey;     // waits for one key-press, without echo
    decltype(&MessageBoxA) messageBox;
};

extern PlayerSystemCalls playerSystem;

// Ctrl+C ends whatever a key would end.
inline bool KeyWaiting() { return Interrupted() || playerSystem.keyWaiting() != 0; }
