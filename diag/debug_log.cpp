// The rotating debug log "Dbg.Log", held by its run while it writes it, and
// its line writers.
// Thread: both. The writers run on the caller's thread and on the driver's
// callback thread and serialise on the log's mutex; LogStart and LogStop run
// on the caller's thread while no other thread writes.
#include "diag/debug_log.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/held_file.h"
#include "diag/log_format.h"
#include "diag/stopwatch.h"
#include "platform/win32.h"

using tonegate_diag::LineComposer;

namespace {

constexpr const char* kLogName = "Dbg.Log";
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

// Whether another run holds `name` now; the check holds it only for a moment.
bool HeldByAnotherRun(const char* name) {
    tonegate_platform::HeldFile probe;
    return probe.Open(name, /*create=*/false) == tonegate_platform::HoldResult::HeldElsewhere;
}

// `name` emptied and held as this run's log; null, and `result` says why,
// when it cannot be (a link or a FIFO at its path is refused, not written
// through).
FILE* HoldEmpty(const char* name, tonegate_platform::HoldResult& result) {
    tonegate_platform::HeldFile file;
    result = file.Open(name, /*create=*/true);
    if (result != tonegate_platform::HoldResult::Held || !file.Truncate()) return nullptr;
    return file.ToTextStream();
}

// This run's log. The generations shift only while no live run holds
// Dbg.Log: its lines would otherwise move away under it or be emptied. A run
// that finds Dbg.Log held writes its own log instead of none, since its lines
// (a refused driver and the reason) are what its user needs, under the first
// of Dbg-2.Log ... Dbg-9.Log that no live run holds: a few names that later
// runs reuse, so the folder does not fill up, kept out of the generations,
// which belong to the runs of Dbg.Log. It says so once on standard error,
// where its user looks when the log is not where it always is.
FILE* OpenLog() {
    using tonegate_platform::HoldResult;
    HoldResult result = HoldResult::HeldElsewhere;
    if (!HeldByAnotherRun(kLogName)) {
        // Each step may fail; the generations then shift only as far as they can.
        std::remove("Dbg2.Log");
        RenameUnlessTargetExists("Dbg1.Log", "Dbg2.Log");
        RenameUnlessTargetExists(kLogName, "Dbg1.Log");
        FILE* stream = HoldEmpty(kLogName, result);
        // Otherwise a run that started meanwhile took it first.
        if (result != HoldResult::HeldElsewhere) return stream;
    }
    char name[] = "Dbg-2.Log";
    for (char digit = '2'; digit <= '9'; ++digit) {
        name[4] = digit;
        FILE* stream = HoldEmpty(name, result);
        if (result == HoldResult::HeldElsewhere) continue;
        if (stream != nullptr)
            std::fprintf(stderr, "Tonegate: %s is being written by another run in this folder; this run logs to %s\n",
                         kLogName, name);
        return stream;
    }
    return nullptr;
}

}  // namespace

void LogStart() {
    logStream = OpenLog();
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
