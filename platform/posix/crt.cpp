// C runtime pieces of the POSIX layer that Windows has and POSIX lacks: the
// millisecond clock, the environment setter and the terminal check.
// Thread: any, except _putenv_s (the environment is the process's: set it
// while no other thread reads it).
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "platform/win32.h"

void _ftime(struct _timeb* now) {
    timespec clock;
    clock_gettime(CLOCK_REALTIME, &clock);
    now->time = clock.tv_sec;
    now->millitm = static_cast<unsigned short>(clock.tv_nsec / 1000000L);
    now->timezone = 0;
    now->dstflag = 0;
}

int _putenv_s(const char* name, const char* value) {
    // As on Windows, an empty value removes the variable.
    const int result = value[0] == '\0' ? unsetenv(name) : setenv(name, value, 1);
    return result == 0 ? 0 : -1;
}

int _isatty(int descriptor) { return isatty(descriptor); }
