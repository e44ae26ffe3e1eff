// What our real-output cards measure while they play (the host's worst
// bufferSwitch time, the cycles run, the xruns met) and the stalls a test can
// make them inject into their own cycle. Thread: the card's real-time thread
// records; the host's caller thread reads, after the stream has stopped or
// while it runs (every field is atomic, so a read never tears).
#pragma once

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace tonegate_driver {

using StreamClock = std::chrono::steady_clock;

class StreamStats {
public:
    // Caller's thread, no stream running.
    void Reset() {
        cycles_.store(0, std::memory_order_relaxed);
        worstCallbackNs_.store(0, std::memory_order_relaxed);
        xruns_.store(0, std::memory_order_relaxed);
    }
    // One cycle whose host callback took `callback`; the one writer is the
    // card's real-time thread.
    void RecordCycle(StreamClock::duration callback) {
        const auto ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(callback).count());
        if (ns > worstCallbackNs_.load(std::memory_order_relaxed)) worstCallbackNs_.store(ns, std::memory_order_relaxed);
        cycles_.store(cycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // Any thread: JACK tells of xruns on a thread of its own.
    void RecordXrun() { xruns_.fetch_add(1, std::memory_order_relaxed); }

    uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
    uint64_t xruns() const { return xruns_.load(std::memory_order_relaxed); }
    double worstCallbackMs() const { return static_cast<double>(worstCallbackNs_.load(std::memory_order_relaxed)) / 1e6; }

private:
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> worstCallbackNs_{0};
    std::atomic<uint64_t> xruns_{0};
};

// A test's request, "N,MICROSECONDS": every Nth cycle sleeps that long after
// the host's callback, so that the card misses its deadline on purpose.
struct StallInjection {
    uint64_t every = 0;  // 0: never
    std::chrono::microseconds length{0};

    // False, leaving the injection off, unless `text` reads N,MICROSECONDS
    // with N at least 1.
    bool Parse(const char* text) {
        *this = StallInjection{};
        const char* end = text + std::strlen(text);
        uint64_t n = 0;
        uint64_t us = 0;
        const auto first = std::from_chars(text, end, n);
        if (first.ec != std::errc{} || first.ptr == end || *first.ptr != ',' || n == 0) return false;
        const auto second = std::from_chars(first.ptr + 1, end, us);
        if (second.ec != std::errc{} || second.ptr != end) return false;
        every = n;
        length = std::chrono::microseconds(us);
        return true;
    }
    // After cycle number `cycle` (from 0) of the run.
    void AfterCycle(uint64_t cycle) const {
        if (every != 0 && (cycle + 1) % every == 0) std::this_thread::sleep_for(length);
    }
};

}  // namespace tonegate_driver
