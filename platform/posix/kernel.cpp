// Kernel subset of the POSIX layer: mutexes, the performance counter, Sleep
// and the command line. Thread: any; each function is safe on any thread,
// but none belongs on the real-time path (they may block or allocate).
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/win32.h"

namespace {

// Every object behind a HANDLE starts with this tag, so that a stray pointer
// is told from a live object before anything else of it is used.
constexpr uint32_t kMutexTag = 0x544E474Du;  // "TNGM"

// A Win32 mutex: recursive and owned by the thread that acquired it, so a
// thread that does not own it cannot release it.
struct Mutex {
    Mutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&lock, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~Mutex() {
        tag = 0;
        pthread_mutex_destroy(&lock);
    }

    uint32_t tag = kMutexTag;  // first member: read through the raw handle
    pthread_mutex_t lock;
    // Written only by the thread that holds `lock`; read by any thread that
    // asks whether it owns the mutex, hence atomic.
    std::atomic<pthread_t> owner{};
    std::atomic<uint32_t> depth{0};
};

Mutex* AsMutex(HANDLE handle) {
    if (handle == nullptr) return nullptr;
    uint32_t tag;
    std::memcpy(&tag, handle, sizeof tag);
    return tag == kMutexTag ? static_cast<Mutex*>(handle) : nullptr;
}

bool OwnedByCaller(const Mutex& mutex) {
    return mutex.depth.load(std::memory_order_relaxed) > 0 &&
           pthread_equal(mutex.owner.load(std::memory_order_relaxed), pthread_self());
}

bool AcquireWithin(Mutex& mutex, DWORD milliseconds) {
    if (milliseconds == INFINITE) return pthread_mutex_lock(&mutex.lock) == 0;
    if (milliseconds == 0) return pthread_mutex_trylock(&mutex.lock) == 0;
    timespec deadline;
    // pthread_mutex_timedlock counts on the wall clock. (The monotonic
    // pthread_mutex_clocklock is not seen by ThreadSanitizer, which then
    // takes every later unlock for a fault.)
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_mutex_timedlock(&mutex.lock, &deadline) == 0;
}

constexpr int64_t kCounterFrequency = 10000000;  // 100 ns ticks, as Windows reports

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR) {
    auto* mutex = new (std::nothrow) Mutex();
    if (mutex != nullptr && initialOwner) WaitForSingleObject(mutex, INFINITE);
    return mutex;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Mutex* mutex = AsMutex(handle);
    if (mutex == nullptr) return WAIT_FAILED;
    if (!AcquireWithin(*mutex, milliseconds)) return WAIT_TIMEOUT;
    mutex->owner.store(pthread_self(), std::memory_order_relaxed);
    mutex->depth.fetch_add(1, std::memory_order_relaxed);
    return WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE handle) {
    Mutex* mutex = AsMutex(handle);
    if (mutex == nullptr || !OwnedByCaller(*mutex)) return FALSE;
    mutex->depth.fetch_sub(1, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex->lock);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Mutex* mutex = AsMutex(handle);
    if (mutex == nullptr) return FALSE;
    delete mutex;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) return FALSE;
    frequency->QuadPart = kCounterFrequency;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr) return FALSE;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    count->QuadPart = static_cast<int64_t>(now.tv_sec) * kCounterFrequency + now.tv_nsec / 100;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

LPSTR GetCommandLineA() {
    // Built once and kept for the life of the process, as Windows does.
    static std::string commandLine = [] {
        std::string joined;
        if (FILE* file = std::fopen("/proc/self/cmdline", "rb")) {
            int c;
            while ((c = std::fgetc(file)) != EOF) joined.push_back(c == '\0' ? ' ' : static_cast<char>(c));
            std::fclose(file);
        }
        while (!joined.empty() && joined.back() == ' ') joined.pop_back();
        return joined;
    }();
    return commandLine.data();
}
