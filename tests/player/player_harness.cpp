// Test support for the player: recorders, key script and notation.
// Thread: the test's own.
#include "player_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "player/quillet.h"
#include "player/system_calls.h"

namespace player_test {

namespace {

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A frequency as the note number whose equal-tempered pitch it is (A = 110
// Hz at note 9), or as the bare frequency when it is none of them.
std::string NoteNumber(double frequency) {
    for (int note = 0; note < 60; ++note)
        if (std::fabs(frequency / (110.0 * std::pow(2.0, (note - 9) / 12.0)) - 1.0) < 1e-12)
            return std::to_string(note);
    return "?" + Number(frequency);
}

std::string Joined(const double* values, int count, const char* separator) {
    std::string text;
    for (int i = 0; i < count; ++i) text += (i > 0 ? separator : "") + Number(values[i]);
    return text;
}

void WINAPI RecordSleep(DWORD milliseconds) { RecordedLog().push_back("Sleep " + std::to_string(milliseconds)); }

int RecordKeyCheck() {
    RecordedLog().push_back("KeyWaiting");
    KeyScript& keys = Keys();
    return keys.firstCheckFindingKey >= 0 && keys.checksSoFar++ >= keys.firstCheckFindingKey;
}

int RecordKeyRead() {
    RecordedLog().push_back("ReadKey");
    KeyScript& keys = Keys();
    if (keys.presses.empty()) {
        ADD_FAILURE() << "the player read more keys than the test scripted";
        return 'q';
    }
    const int key = keys.presses.front();
    keys.presses.pop_front();
    return key;
}

int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    RecordedLog().push_back(std::string("MessageBox ") + (owner == GetDesktopWindow() ? "desktop" : "other") + " " +
                            caption + ": " + text + " " + std::to_string(style));
    return IDOK;
}

double Seconds(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// "A29/0.16/6" as the stand-in's record of its note request.
std::string NoteRequest(const std::string& note) {
    const std::vector<std::string> parts = Split(note.substr(1), '/');
    return std::string("ASIOGenerateSineWav") + note[0] + " " + parts[0] + "/" + Number(Seconds(parts[1])) + "/" +
           parts[2];
}

std::string SleepFor(double seconds, uint32_t gapMicros) {
    return "Sleep " + std::to_string(static_cast<int>(std::trunc((seconds + gapMicros * 0.000001) * 1000)));
}

}  // namespace

Log& RecordedLog() {
    static Log* log = new Log;  // outlives the stand-in's release at exit
    return *log;
}

StandinScript& Script() {
    static StandinScript* script = new StandinScript;
    return *script;
}

KeyScript& Keys() {
    static KeyScript keys;
    return keys;
}

void StartRecording() {
    playerSystem = {RecordSleep, RecordKeyCheck, RecordKeyRead, RecordMessageBox};
    RecordedLog().clear();
    Script() = StandinScript{};
    Keys() = KeyScript{};
}

std::string RunPlayer(const std::vector<int>& presses, int* exitCode) {
    Keys().presses.assign(presses.begin(), presses.end());
    testing::internal::CaptureStdout();
    const int result = QuilletMain();
    if (exitCode != nullptr) *exitCode = result;
    return testing::internal::GetCapturedStdout();
}

Log FirstTune(const Log& log) {
    size_t start = 0;
    while (start < log.size() && log[start] != "ReadKey") ++start;
    size_t end = ++start;
    while (end < log.size() && log[end] != "ReadKey") ++end;
    size_t lastCheck = end;
    while (lastCheck > start && log[lastCheck - 1] != "KeyWaiting") --lastCheck;
    // Before another read, the last check is the key loop's own, no part of
    // the tune.
    if (end < log.size() && lastCheck > start) --lastCheck;
    return Log(log.begin() + static_cast<long>(start), log.begin() + static_cast<long>(lastCheck));
}

std::vector<Log> Phrases(const Log& tune) {
    std::vector<Log> phrases(1);
    for (const std::string& entry : tune) {
        phrases.back().push_back(entry);
        if (entry == "KeyWaiting") phrases.emplace_back();
    }
    if (phrases.back().empty()) phrases.pop_back();
    return phrases;
}

std::vector<int> Sleeps(const Log& log) {
    std::vector<int> sleeps;
    for (const std::string& entry : log)
        if (entry.rfind("Sleep ", 0) == 0) sleeps.push_back(std::atoi(entry.c_str() + 6));
    return sleeps;
}

Log Expand(const std::string& notation, uint32_t setupMicros, uint32_t targetMicros, uint32_t& pendingMicros) {
    Log log;
    auto rest = [&](double seconds) {
        uint32_t gap = pendingMicros >= targetMicros ? 0 : targetMicros - pendingMicros;
        pendingMicros = 0;
        log.push_back(SleepFor(seconds, gap < 1000 ? 1000 : gap));
    };
    for (const std::string& rawStep : Split(notation, ';')) {
        const std::string step = Trimmed(rawStep);
        if (step.rfind("rest ", 0) == 0) {
            rest(Seconds(step.substr(5)));
        } else if (step[0] == '[') {
            const std::vector<std::string> halves = Split(step.substr(1, step.size() - 2), '|');
            const std::vector<std::string> notes = Split(halves[0], '+');
            log.push_back("ASIOEnableWav 0");
            for (const std::string& note : notes) log.push_back(NoteRequest(Trimmed(note)));
            log.push_back("ASIOEnableWav 1");
            pendingMicros += 2 * setupMicros;
            rest(Seconds(halves[1]));
        } else if (step.find(" unwaited") != std::string::npos) {
            log.push_back(NoteRequest(step.substr(0, step.find(' '))));
            pendingMicros += setupMicros;
        } else {
            log.push_back(NoteRequest(step));
            const uint32_t gap = setupMicros >= targetMicros ? 1000 : targetMicros - setupMicros;
            log.push_back(SleepFor(Seconds(Split(step, '/')[1]), gap < 1000 ? 1000 : gap));
        }
    }
    return log;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

}  // namespace player_test

// The hooks the stand-in library reports to and takes its answers from.
extern "C" {

StandinScript* PlayerTestScript() { return &player_test::Script(); }

void PlayerTestRecord(const char* call, int argumentCount, const double* arguments) {
    std::string entry = call;
    const std::string name = call;
    if (name.rfind("ASIOGenerateSineWav", 0) == 0)
        entry += " " + player_test::NoteNumber(arguments[0]) + "/" + player_test::Joined(arguments + 1, 2, "/");
    else if (name == "ASIOSystemInit")
        entry += arguments[0] == static_cast<double>(reinterpret_cast<uintptr_t>(GetDesktopWindow())) ? " desktop"
                                                                                                      : " other";
    else if (argumentCount > 0)
        entry += " " + player_test::Joined(arguments, argumentCount, "/");
    player_test::RecordedLog().push_back(entry);
}

}  // extern "C"
