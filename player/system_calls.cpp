// The real system calls behind the player's replaceable pointers.
// Thread: the player's only thread.
#include "player/system_calls.h"

PlayerSystemCalls playerSystem{Sleep, _kbhit, _getch, MessageBoxA};
