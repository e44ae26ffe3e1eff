// A console-input harness for Windows: starts a program on a console of its
// own and types keys into that console at given times, as someone at the
// keyboard would, then waits for the program to end.
//   console_keys <seconds>:<key> [<seconds>:<key> ...] -- <program> [arguments...]
// Each key goes in at its time in seconds from the program's start; the
// harness ends with the program's exit code, or 124 when the program has not
// ended 120 s after the last key. Thread: the program's own.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct TimedKey {
    double seconds;
    char key;
};

// Both halves of a key-press, as the keyboard produces them.
bool TypeKey(HANDLE input, char key) {
    INPUT_RECORD records[2] = {};
    for (int i = 0; i < 2; ++i) {
        KEY_EVENT_RECORD& event = records[i].Event.KeyEvent;
        records[i].EventType = KEY_EVENT;
        event.bKeyDown = i == 0;
        event.wRepeatCount = 1;
        event.wVirtualKeyCode = static_cast<WORD>(VkKeyScanA(key) & 0xFF);
        event.uChar.AsciiChar = key;
    }
    DWORD written = 0;
    return WriteConsoleInputA(input, records, 2, &written) && written == 2;
}

// The command line of the program, each argument quoted.
std::string CommandLine(int argc, char** argv, int first) {
    std::string line;
    for (int i = first; i < argc; ++i) line += std::string(i > first ? " " : "") + "\"" + argv[i] + "\"";
    return line;
}

int Fail(const char* what) {
    std::fprintf(stderr, "console_keys: %s (error %lu)\n", what, GetLastError());
    return 125;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<TimedKey> keys;
    int program = 1;
    for (; program < argc && std::string(argv[program]) != "--"; ++program) {
        char* end = nullptr;
        const double seconds = std::strtod(argv[program], &end);
        if (end == argv[program] || end[0] != ':' || end[1] == '\0' || end[2] != '\0' || seconds < 0) {
            std::fprintf(stderr, "console_keys: not <seconds>:<key>: %s\n", argv[program]);
            return 125;
        }
        keys.push_back({seconds, end[1]});
    }
    if (++program >= argc) {
        std::fprintf(stderr, "usage: console_keys <seconds>:<key> ... -- <program> [arguments...]\n");
        return 125;
    }

    std::string commandLine = CommandLine(argc, argv, program);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                        &startup, &process))
        return Fail("cannot start the program");
    const ULONGLONG started = GetTickCount64();

    // The program's console is reached by joining it; it takes a moment
    // to exist after the program starts.
    FreeConsole();
    bool attached = false;
    for (int attempt = 0; attempt < 100 && !attached; ++attempt) {
        attached = AttachConsole(process.dwProcessId) != 0;
        if (!attached) Sleep(20);
    }
    if (!attached) return Fail("cannot join the program's console");
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return Fail("cannot open the program's console input");

    for (const TimedKey& key : keys) {
        const ULONGLONG due = started + static_cast<ULONGLONG>(key.seconds * 1000.0);
        const ULONGLONG now = GetTickCount64();
        if (due > now && WaitForSingleObject(process.hProcess, static_cast<DWORD>(due - now)) == WAIT_OBJECT_0) break;
        if (!TypeKey(input, key.key)) return Fail("cannot type into the program's console");
    }
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 124);
        return 124;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    return static_cast<int>(exitCode);
}
