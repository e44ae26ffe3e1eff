// Child program of the platform tests: runs one platform call sequence in a
// fresh process, with whatever standard input the test gives it, and prints
// the results on standard output. Thread: its only thread.
//
//   platform_probe cmdline [words...]   prints GetCommandLineA()
//   platform_probe load <name>          prints the path LoadLibraryA(name) loaded, or "none"
//   platform_probe keys <script>        runs the script's steps and prints each result:
//                                       h = _kbhit(), g = _getch(), m = MessageBoxA(...),
//                                       s = Sleep(200), for the test to type meanwhile,
//                                       i = catch SIGINT from here on (and do nothing)
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/win32.h"

namespace {

int PrintLoadedPath(const char* name) {
    HMODULE module = LoadLibraryA(name);
    if (module == nullptr) {
        std::puts("none");
        return 0;
    }
    // Through void (*)(), the one function type every other converts to without a warning.
    auto modulePath = reinterpret_cast<const char* (*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "ProbeModulePath")));
    std::puts(modulePath != nullptr ? modulePath() : "no ProbeModulePath");
    return FreeLibrary(module) ? 0 : 1;
}

int RunKeyScript(const char* script) {
    for (const char* step = script; *step != '\0'; ++step) {
        int result;
        switch (*step) {
        case 'h': result = _kbhit(); break;
        case 'g': result = _getch(); break;
        case 'm':
            result = MessageBoxA(GetDesktopWindow(), "Can't find the card", "Quillet", MB_OK | MB_ICONEXCLAMATION);
            break;
        case 's':
            Sleep(200);
            continue;
        case 'i':
            std::signal(SIGINT, [](int) {});
            continue;
        default: std::fprintf(stderr, "unknown step '%c'\n", *step); return 2;
        }
        std::printf("%d ", result);
        std::fflush(stdout);
    }
    std::puts("end");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "cmdline") == 0) {
        std::puts(GetCommandLineA());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) return PrintLoadedPath(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "keys") == 0) return RunKeyScript(argv[2]);
    std::fprintf(stderr, "usage: platform_probe cmdline|load <name>|keys <script>\n");
    return 2;
}
