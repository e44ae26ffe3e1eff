// Tests of the kernel subset: mutex ownership and timeouts, the performance
// counter, Sleep and the command line. The mutex, handle, counter and sleep
// cases run against Windows' own kernel as against our POSIX layer; the rest
// is the POSIX layer's alone. Thread: the test's own, plus the helper threads
// each test starts.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/time.h>

#include "child_process.h"
#endif

#include <chrono>
#include <string>
#include <thread>

#include "platform/win32.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Runs `body` on another thread and waits for it, so a test can ask what a
// thread that does not own the mutex sees.
template <typename Body>
auto OnOtherThread(Body body) {
    decltype(body()) result{};
    std::thread([&] { result = body(); }).join();
    return result;
}

class MutexTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mutex_, nullptr); }
    void TearDown() override { EXPECT_TRUE(CloseHandle(mutex_)); }
    HANDLE mutex_ = CreateMutexA(nullptr, FALSE, nullptr);
};

TEST_F(MutexTest, OwnerAcquiresRecursivelyAndMustReleaseAsOften) {
    ASSERT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutex_, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex_));
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(mutex_, 0); }), WAIT_TIMEOUT)
        << "still held once by its owner";
    EXPECT_TRUE(ReleaseMutex(mutex_));
    EXPECT_FALSE(ReleaseMutex(mutex_)) << "released more often than acquired";
    EXPECT_TRUE(OnOtherThread([&] {
        return WaitForSingleObject(mutex_, 0) == WAIT_OBJECT_0 && ReleaseMutex(mutex_);
    }));
}

TEST_F(MutexTest, ReleaseByAThreadThatDoesNotOwnItFails) {
    ASSERT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_OBJECT_0);
    EXPECT_FALSE(OnOtherThread([&] { return ReleaseMutex(mutex_); }));
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(mutex_, 0); }), WAIT_TIMEOUT)
        << "the failed release must leave the owner holding it";
    EXPECT_TRUE(ReleaseMutex(mutex_));
    EXPECT_FALSE(OnOtherThread([&] { return ReleaseMutex(mutex_); })) << "nobody owns it now";
}

TEST_F(MutexTest, WaitOnAMutexHeldElsewhereTimesOutAfterItsTime) {
    ASSERT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(mutex_, 0); }), WAIT_TIMEOUT);
    const auto start = steady_clock::now();
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(mutex_, 60); }), WAIT_TIMEOUT);
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(55));
    EXPECT_LT(waited, milliseconds(1000));
    EXPECT_TRUE(ReleaseMutex(mutex_));
}

TEST_F(MutexTest, TimedWaitSucceedsOnceTheOwnerReleases) {
    ASSERT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_OBJECT_0);
    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(mutex_, 2000), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex_));
    });
    Sleep(20);
    EXPECT_TRUE(ReleaseMutex(mutex_));
    waiter.join();
}

TEST(Mutex, CreatedOwnedIsHeldByItsCreator) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(mutex, 0); }), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(MutexTest, TwoThreadsCountingUnderItLoseNoIncrement) {
    constexpr int kIncrementsEach = 200000;
    long counter = 0;
    auto count = [&] {
        for (int i = 0; i < kIncrementsEach; ++i) {
            ASSERT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_OBJECT_0);
            // A separate read and write, so without the lock increments get lost.
            long seen = counter;
            counter = seen + 1;
            ASSERT_TRUE(ReleaseMutex(mutex_));
        }
    };
    std::thread first(count), second(count);
    first.join();
    second.join();
    EXPECT_EQ(counter, 2L * kIncrementsEach);
}

TEST(Handle, ThingsThatAreNotHandlesAreRefused) {
    alignas(16) unsigned char notAnObject[64] = {};
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(notAnObject));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(notAnObject, 0), WAIT_FAILED);
    EXPECT_FALSE(ReleaseMutex(notAnObject));
}

#ifndef _WIN32
// Windows' counter runs at a rate the machine chooses; ours at a fixed 10 MHz.
TEST(PerformanceCounter, RunsAtTenMegahertz) {
    LARGE_INTEGER frequency{};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
}
#endif

TEST(PerformanceCounter, NeverGoesBack) {
    LARGE_INTEGER previous{}, now{};
    ASSERT_TRUE(QueryPerformanceCounter(&previous));
    for (int i = 0; i < 100000; ++i) {
        ASSERT_TRUE(QueryPerformanceCounter(&now));
        ASSERT_GE(now.QuadPart, previous.QuadPart);
        previous = now;
    }
}

TEST(PerformanceCounter, KeepsStepWithTheSteadyClockOverASleep) {
    LARGE_INTEGER frequency{}, before{}, after{};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    const auto start = steady_clock::now();
    QueryPerformanceCounter(&before);
    Sleep(50);
    QueryPerformanceCounter(&after);
    const auto end = steady_clock::now();
    const double counted =
        static_cast<double>(after.QuadPart - before.QuadPart) / static_cast<double>(frequency.QuadPart);
    const double measured = std::chrono::duration<double>(end - start).count();
    EXPECT_GE(counted, 0.050);
    EXPECT_LE(counted, measured);
    EXPECT_NEAR(counted, measured, 0.002);
}

TEST(SleepCall, LastsAtLeastItsTime) {
    for (DWORD ms : {1u, 15u, 40u}) {
        const auto start = steady_clock::now();
        Sleep(ms);
        EXPECT_GE(steady_clock::now() - start, milliseconds(ms)) << ms << " ms";
    }
    const auto start = steady_clock::now();
    Sleep(0);
    EXPECT_LT(steady_clock::now() - start, milliseconds(50));
}

#ifndef _WIN32
void IgnoreAlarm(int) {}

TEST(SleepCall, IsNotCutShortBySignals) {
    struct sigaction onAlarm {};
    onAlarm.sa_handler = IgnoreAlarm;  // no SA_RESTART: the sleep itself sees EINTR
    sigemptyset(&onAlarm.sa_mask);
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGALRM, &onAlarm, &previous), 0);
    itimerval every5ms{{0, 5000}, {0, 5000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every5ms, nullptr), 0);
    const auto start = steady_clock::now();
    Sleep(60);
    const auto slept = steady_clock::now() - start;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept, milliseconds(60));
}

TEST(CommandLine, StartsWithTheProgramPath) {
    const std::string commandLine = GetCommandLineA();
    const std::string program = program_invocation_name;
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(commandLine.compare(0, program.size(), program), 0) << commandLine;
    EXPECT_EQ(GetCommandLineA(), GetCommandLineA()) << "the same buffer every time";
}

TEST(CommandLine, JoinsTheArgumentsWithBlanks) {
    auto child = tonegate_test::ChildProcess::WithPipes({PLATFORM_PROBE, "cmdline", "two words", "x"});
    ASSERT_TRUE(child.Started());
    child.ReadFor(3000);
    EXPECT_EQ(child.Wait(), 0);
    std::string expected = PLATFORM_PROBE;
    expected += " cmdline two words x\n";
    EXPECT_EQ(child.Printed(), expected);
}

#endif  // !_WIN32

}  // namespace
