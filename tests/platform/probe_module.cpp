// A tiny loadable module for the module-loading tests: it tells the loader
// test where it was loaded from. Thread: the test's own.
#include <dlfcn.h>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

PROBE_EXPORT int ProbeAnswer() { return 42; }

// The file this copy of the module was loaded from, so a test can tell
// which of several copies the search found.
PROBE_EXPORT const char* ProbeModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ProbeModulePath), &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}
