// C runtime pieces of the POSIX layer that Windows has and POSIX lacks: the
// millisecond clock. Thread: any.
#include <time.h>

#include "platform/win32.h"

void _ftime(struct _timeb* now) {
    timespec clock;
    clock_gettime(CLOCK_REALTIME, &clock);
    now->time = clock.tv_sec;
    now->millitm = static_cast<unsigned short>(clock.tv_nsec / 1000000L);
    now->timezone = 0;
    now->dstflag = 0;
}
