// Test support: waiting on another thread's progress, and whether the
// session's generators are still playing. Thread: the test's own, polling
// what the card's thread changes.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "host/library_state.h"
#include "synth/sine_generator.h"

namespace tonegate_test {

// True once `done` holds; false when `timeout` passed first.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::steady_clock::duration timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A generator that plays a note or a sweep (a missing one plays nothing).
inline bool Busy(const SineGenerator* generator) {
    return generator != nullptr && (generator->bSineActive.load() || generator->bSweepActive.load());
}

inline bool BothIdle() { return !Busy(pSineGeneratorA) && !Busy(pSineGeneratorB); }

}  // namespace tonegate_test
