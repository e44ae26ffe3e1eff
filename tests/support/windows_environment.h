// Test support on Windows: setenv and unsetenv, which the tests use to set
// the drivers' settings, over the C runtime's _putenv_s. The runtime DLL is
// shared by the test program and the driver modules it loads, so a driver's
// getenv sees the change. Windows has no empty variables: setting one to ""
// removes it. Thread: the test's own.
#pragma once

#ifdef _WIN32

#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

#endif  // _WIN32
