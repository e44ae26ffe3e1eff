/* Plays two notes and a sweep on the driver ASIOConfig.txt selects (driver 0
 * without it), and exits 1 as soon as the library refuses a call: its reason
 * is in Dbg.Log. The library returns at once from each request, so the
 * program itself waits for each sound to be played. */
#include <stdio.h>
#include <threads.h>

#include <tonegate/tonegate.h>

/* Past a sound's length, time for it to reach the first buffer switch and
 * for the card to play its last buffer, with room for a busy machine. */
#define MARGIN_SECONDS 0.15

static void wait_for(double seconds) {
    seconds += MARGIN_SECONDS;
    struct timespec left = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    while (thrd_sleep(&left, &left) == -1) {
    }
}

static int refused(const char* call) {
    fprintf(stderr, "play: %s refused (see Dbg.Log)\n", call);
    ASIOCloseDriver();
    return 1;
}

int main(void) {
    if (!ASIOOpenDriver()) return refused("ASIOOpenDriver");
    if (!ASIOSystemInit(NULL)) return refused("ASIOSystemInit");
    printf("playing at %d Hz\n", (int)ASIOGetSampleRate());

    if (ASIOGenerateSineWavA(440.0, 0.25, 20) == 0) return refused("ASIOGenerateSineWavA");
    wait_for(0.25);
    if (ASIOGenerateSineWavB(660.0, 0.25, 20) == 0) return refused("ASIOGenerateSineWavB");
    wait_for(0.25);
    /* A sweep returns nothing: a refusal shows only in the log. */
    ASIOGenerateSweepWavA(200.0, 2000.0, 0.5, 20);
    wait_for(0.5);

    return ASIOCloseDriver() == 0 ? 0 : refused("ASIOCloseDriver");
}
