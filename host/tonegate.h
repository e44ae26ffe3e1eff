/* The ten functions that Tonegate exports, for C and C++ callers.
 * Thread: call them all from one thread of the caller, one at a time. */
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

TONEGATE_API bool ASIOOpenDriver(void);
TONEGATE_API bool ASIOSystemInit(TonegateWindow window);
TONEGATE_API int32_t ASIOCloseDriver(void);
TONEGATE_API bool ASIOEnableWav(bool enable);
TONEGATE_API bool ASIOSetSampleRate(uint32_t sampleRate);
TONEGATE_API int32_t ASIOGetSampleRate(void);
TONEGATE_API uint32_t ASIOGenerateSineWavA(double frequency, double seconds, uint32_t attenuation);
TONEGATE_API uint32_t ASIOGenerateSineWavB(double frequency, double seconds, uint32_t attenuation);
TONEGATE_API void ASIOGenerateSweepWavA(double freqStart, double freqEnd, double seconds, uint32_t attenuation);
TONEGATE_API void ASIOGenerateSweepWavB(double freqStart, double freqEnd, double seconds, uint32_t attenuation);

#ifdef __cplusplus
}
static_assert(sizeof(bool) == 1, "the exports pass bool as one byte");
#endif

#endif /* TONEGATE_H */
