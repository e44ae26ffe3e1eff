// TONEGATE_NONBLOCKING marks the entry points of the real-time path (the buffer
// switch and the block renderers). Compilers that know clang's nonblocking
// attribute check what a marked function calls, and the realtime sanitizer
// reports any allocation, lock or system call made inside one at run time;
// other compilers see nothing, so no unknown-attribute warning can arise.
// Also the one heap operation the real-time path is allowed.
// Thread: real-time thread (the functions it marks).
#pragma once

#if defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::nonblocking)
#define TONEGATE_NONBLOCKING [[clang::nonblocking]]
#endif
#endif
#ifndef TONEGATE_NONBLOCKING
#define TONEGATE_NONBLOCKING
#endif

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#define TONEGATE_REALTIME_SANITIZER
#endif
#endif

namespace tonegate_synth {

// Frees a finished sweep's fade table on the real-time thread: the only heap
// operation the real-time path makes. The realtime sanitizer is told to pass
// over exactly this delete, so it still reports every other one.
inline void FreeFadeTableOnRealtimeThread(double* table) {
#ifdef TONEGATE_REALTIME_SANITIZER
    __rtsan::ScopedDisabler allowedFree;
#endif
    delete[] table;
}

}  // namespace tonegate_synth
