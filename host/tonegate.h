/* The ten functions that Tonegate exports, for C and C++ callers, with what
 * each returns on success and on refusal.
 * Thread: the caller's, one export at a time (see "Threads" below). */
#ifndef TONEGATE_H
#define TONEGATE_H

#include <stdint.h>

#ifdef __cplusplus
#include <cstdbool>
extern "C" {
#else
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(TONEGATE_BUILDING_LIBRARY)
#define TONEGATE_API __declspec(dllexport)
#else
#define TONEGATE_API __declspec(dllimport)
#endif
#elif defined(TONEGATE_BUILDING_LIBRARY)
#define TONEGATE_API __attribute__((visibility("default")))
#else
#define TONEGATE_API
#endif

/* Window handle as the library receives it (HWND on Windows). */
typedef void* TonegateWindow;

/* Every export writes what it does, and why it refuses, to the debug log
 * "Dbg.Log" in the working directory; a refusal's reason is found only there.
 *
 * Threads: the library is not thread-safe, by design. It takes no lock of
 * its own (its real-time path must not), so every export must be called from
 * one thread at a time: two calls at once corrupt its state. A caller with
 * several threads serialises its calls; a signal or Ctrl+C handler only sets
 * a flag that the calling thread acts on. No export may be called from the
 * driver's callback thread (from inside a buffer switch or a driver message).
 * While the driver's thread runs, from the first note or sweep to
 * ASIOCloseDriver, every export may be called: notes, sweeps and
 * ASIOEnableWav hand over to that thread through atomic flags, the rate
 * functions ask the driver, and ASIOCloseDriver and ASIOOpenDriver stop the
 * driver and wait for its callbacks under way before anything they use is
 * freed. */

/* Starts a fresh log (the last two are kept as Dbg1.Log and Dbg2.Log), reads
 * the installed drivers and opens the one "ASIOConfig.txt" in the working
 * directory names by its first digit (driver 0 without it, or when the
 * number is not installed). A run still open is closed first.
 * @retval true  a driver is open.
 * @retval false no driver is installed, or the chosen one could not be made. */
TONEGATE_API bool ASIOOpenDriver(void);

/* Initialises the open driver, surveys it and creates the two output channels
 * (A: output 0, B: output 1) and their generators; output is enabled.
 * @retval true  the session is ready for notes and sweeps.
 * @retval false no driver is open, a session already exists, the driver's
 *               init failed (its own message is logged), its format is not
 *               16- or 32-bit little-endian integer, or its buffers failed. */
TONEGATE_API bool ASIOSystemInit(TonegateWindow window);

/* Stops the driver, frees the session and the driver, and closes the log.
 * Safe at any time and more than once.
 * @retval 0  the log was closed cleanly, or was not open.
 * @retval -1 closing the log failed. */
TONEGATE_API int32_t ASIOCloseDriver(void);

/* Pauses (false) or resumes (true) output: while paused, silence is written.
 * Notes asked for while paused start together when output resumes.
 * Works with or without a session.
 * @retval enable, always. */
TONEGATE_API bool ASIOEnableWav(bool enable);

/* Asks the driver for a sample rate in Hz; later notes use the rate the
 * driver then reports.
 * @retval true  the driver took the rate.
 * @retval false no session, or the driver refused the rate. */
TONEGATE_API bool ASIOSetSampleRate(uint32_t sampleRate);

/* @retval rate the driver's rate in whole Hz (rounded down).
 * @retval 0    no session, or the driver could not tell. */
TONEGATE_API int32_t ASIOGetSampleRate(void);

/* A sine note of whole cycles with equal linear ramps on channel A (B), its
 * samples summing to exactly zero (notes up to 10 s). frequency 10 to 22050
 * Hz, seconds 0.01 to 60, attenuation 0 to 60 dB below full scale. The first
 * note or sweep of a session starts the driver.
 * @retval 0     a range was refused, or there is no session or generator.
 * @retval micro the microseconds spent handing the note over. The same is
 *               returned when the generator itself declines the note (busy,
 *               shorter than one buffer, or over 10 s, which plays without
 *               its zero-sum correction): that is known only from the log's
 *               "Failed: pSineGeneratorA->PlaySineWav" line. */
TONEGATE_API uint32_t ASIOGenerateSineWavA(double frequency, double seconds, uint32_t attenuation);
TONEGATE_API uint32_t ASIOGenerateSineWavB(double frequency, double seconds, uint32_t attenuation);

/* A linear sweep on channel A (B), in whole buffers with a fade-out buffer:
 * frequencies 10 to 22050 Hz, seconds 0.1 to 10, attenuation 0 to 60 dB.
 * A sweep asked for while one plays restarts it; one asked for while a note
 * plays, or shorter than two buffers, is dropped without a log line.
 * Range refusals are logged. */
TONEGATE_API void ASIOGenerateSweepWavA(double freqStart, double freqEnd, double seconds, uint32_t attenuation);
TONEGATE_API void ASIOGenerateSweepWavB(double freqStart, double freqEnd, double seconds, uint32_t attenuation);

#ifdef __cplusplus
}
static_assert(sizeof(bool) == 1, "the exports pass bool as one byte");
#endif

#endif /* TONEGATE_H */
