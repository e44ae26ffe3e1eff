// The SIGINT flag of the player and its handler.
// Thread: the player's only thread; the handler's.
#include "player/interruption.h"

#include <atomic>
#include <csignal>

namespace {

// Lock-free, so the handler may set it.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int signalNumber) {
    interrupted.store(true);
    // Should the run hang in a driver, the next Ctrl+C still ends it.
    std::signal(signalNumber, SIG_DFL);
}

}  // namespace

void CatchInterrupt() { std::signal(SIGINT, OnInterrupt); }

bool Interrupted() { return interrupted.load(); }
