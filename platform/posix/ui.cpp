// User-interface subset of the POSIX layer: the desktop window, its (empty)
// title and a message box shown on standard error. Thread: caller's thread
// (the player's only thread).
#include <unistd.h>

#include <cstdio>

#include "platform/win32.h"

namespace {

// Any fixed non-null value will do: no window is ever drawn; this is the
// value the desktop usually has on Windows.
const HWND kDesktopWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));

}  // namespace

HWND GetDesktopWindow() { return kDesktopWindow; }

// No window here has a title, the desktop included.
int GetWindowTextA(HWND, LPSTR text, int maxCount) {
    if (text != nullptr && maxCount > 0) text[0] = '\0';
    return 0;
}

// The box has only an OK button: on a terminal any key-press dismisses it;
// without one nobody could press a key, so it is dismissed at once.
int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error", text != nullptr ? text : "");
    std::fflush(stderr);
    if (isatty(STDIN_FILENO)) _getch();
    return IDOK;
}
