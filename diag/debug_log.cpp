// The rotating debug log "Dbg.Log" and its line writers.
// Thread: both. The writers run on the caller's thread and on the driver's
// callback thread and serialise on the log's mutex; LogStart and LogStop run
// on the caller's thread while no other thread writes.
#include "diag/debug_log.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "diag/log_format.h"
#include "diag/stopwatch.h"
#include "platform/win32.h"

using tonegate_diag::LineComposer;

namespace {

constexpr const char* kLineEnd = "\n";
constexpr const char* kContinuation = " - ";

// Set and cleared only by LogStart and LogStop, before the other threads start
// writing and after they have finished, so plain globals suffice.
FILE* logStream = nullptr;
HANDLE logMutex = nullptr;

// Holds the log's mutex, when there is one, for the life of one writer.
class WriterFrame {
public:
    WriterFrame() : mutex_(logMutex) {
        if (mutex_ != nullptr) WaitForSingleObject(mutex_, INFINITE);
    }
    ~WriterFrame() {
        if (mutex_ != nullptr) ReleaseMutex(mutex_);
    }
    WriterFrame(const WriterFrame&) = delete;
    WriterFrame& operator=(const WriterFrame&) = delete;

private:
    HANDLE mutex_;
};

void WriteAndFlush(const char* output) {
    std::fputs(output, logStream);
    std::fflush(logStream);
}

// The stamps are written only by LogStart and LogStop while the stream is
// open, so they skip the open check; the line they belong to is flushed later.
std::tm LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    return local != nullptr ? *local : std::tm{};
}

void LogDate() {
    WriterFrame frame;
    char stamp[64];
    std::fputs(tonegate_diag::FormatDateStamp(stamp, sizeof stamp, LocalTimeNow()), logStream);
}

void LogTime() {
    WriterFrame frame;
    char stamp[128];
    const std::tm local = LocalTimeNow();
    _timeb clock;
    _ftime(&clock);
    std::fputs(tonegate_diag::FormatTimeStamp(stamp, sizeof stamp, local, clock.millitm), logStream);
}

// Windows' rename refuses an existing target and the C library on POSIX
// replaces it; checking first keeps an older generation in place on both when
// the one before it could not be moved away.
void RenameUnlessTargetExists(const char* from, const char* to) {
    std::error_code error;
    if (std::filesystem::symlink_status(to, error).type() != std::filesystem::file_type::not_found) return;
    std::rename(from, to);
}

}  // namespace

void LogStart() {
    // Each step may fail; the generations then shift only as far as they can.
    std::remove("Dbg2.Log");
    RenameUnlessTargetExists("Dbg1.Log", "Dbg2.Log");
    RenameUnlessTargetExists("Dbg.Log", "Dbg1.Log");
    logStream = std::fopen("Dbg.Log", "wt");
    if (logStream != nullptr) {
        // Still single-threaded: the header goes out before the mutex exists.
        LogText("Debug log\n\n");
        LogText("Date: ");
        LogDate();
        LogText("- Time started: ");
        LogTime();
        LogText("\n");
        logMutex = CreateMutexA(nullptr, FALSE, nullptr);
    }
    TimerReset();
    TimerReadFrequency();
}

int LogStop() {
    if (logStream == nullptr) return 0;
    if (logMutex != nullptr) {
        // Taking it waits out a writer still inside its frame; it is let go
        // before the handle is closed so no held lock is destroyed.
        WaitForSingleObject(logMutex, INFINITE);
        ReleaseMutex(logMutex);
        CloseHandle(logMutex);
        logMutex = nullptr;
    }
    LogText("\n\nShutting down debug logging system...\n");
    LogText("Date: ");
    LogDate();
    LogText("- Time: ");
    LogTime();
    LogText("Goodbye, and may all your code compile!\n");
    std::fflush(logStream);
    const int closeResult = std::fclose(logStream);
    logStream = nullptr;
    return closeResult == 0 ? 0 : -1;
}

void LogLine(const char* text) {
    WriterFrame frame;
    if (logStream == nullptr) return;
    char line[1024];
    WriteAndFlush(LineComposer(line, kLineEnd).Text(text).Finish());
}

void LogText(const char* text) {
    WriterFrame frame;
    if (logStream == nullptr) return;
    std::fputs(text, logStream);
}

void LogInt(const char* name, int32_t value) {
    WriterFrame frame;
    if (logStream == nullptr) return;
    char line[160];
    WriteAndFlush(LineComposer(line, kLineEnd).Text(name).Text(": ").Int(value).Finish());
}

void LogIntDash(const char* name, int32_t value) {
    WriterFrame frame;
    if (logStream == nullptr) return;
    char line[160];
    WriteAndFlush(LineComposer(line, kContinuation).Text(name).Text(": ").Int(value).Finish());
}

void LogIntPair(const char* name1, const char* name2, int32_t value1, int32_t value2) {
    WriterFrame frame;
    if (logStream == nullptr) return;
    char line[256];
    WriteAndFlush(LineComposer(line, kLineEnd)
                      .Text(name1).Text(": ").Int(value1).Text(", ")
                      .Text(name2).Text(": ").Int(value2)
                      .Finish());
}

void LogReal(const char* name, double value, int32_t decimals) {
    WriterFrame frame;
    if (logStream == nullptr) return;
    char number[tonegate_diag::kRealTextSize];
    char line[256];
    WriteAndFlush(LineComposer(line, kLineEnd)
                      .Text(name).Text(": ")
                      .Text(tonegate_diag::FormatReal(number, sizeof number, value, decimals))
                      .Finish());
}
