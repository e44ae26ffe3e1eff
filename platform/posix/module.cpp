// Module subset of the POSIX layer: LoadLibraryA, GetProcAddress and
// FreeLibrary over the dynamic loader. Thread: any (the loader serialises
// itself); the player and COM call these from the caller's thread.
#include <dlfcn.h>
#include <strings.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/own_path.h"
#include "platform/win32.h"

namespace {

// The folder of the running program, without a trailing '/' (so empty for
// the root folder); none when the kernel cannot tell, which leaves only the
// loader's own search.
std::optional<std::string> ExecutableFolder() {
    const std::optional<std::string> executable = tonegate_posix::ExecutablePath();
    if (!executable) return std::nullopt;
    const size_t slash = executable->rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    return executable->substr(0, slash);
}

// "X.dll" (any case of the suffix) is "libX.so" here; other names have no
// second spelling, so the result is empty.
std::string PlatformName(const std::string& name) {
    constexpr size_t kSuffixLength = 4;
    if (name.size() <= kSuffixLength || strcasecmp(name.c_str() + name.size() - kSuffixLength, ".dll") != 0)
        return {};
    return "lib" + name.substr(0, name.size() - kSuffixLength) + ".so";
}

// Where Windows would look for a bare module name, in order: beside the
// program first (its own folder, then the sibling lib folder of an installed
// or built tree), then the loader's default search.
std::vector<std::string> Candidates(const std::string& name) {
    const std::string platformName = PlatformName(name);
    std::vector<std::string> candidates;
    if (const std::optional<std::string> folder = ExecutableFolder()) {
        for (const std::string& near : {*folder, *folder + "/../lib"}) {
            candidates.push_back(near + "/" + name);
            if (!platformName.empty()) candidates.push_back(near + "/" + platformName);
        }
    }
    if (!platformName.empty()) candidates.push_back(platformName);
    candidates.push_back(name);
    return candidates;
}

HMODULE Open(const std::string& path) {
    return static_cast<HMODULE>(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (fileName == nullptr || *fileName == '\0') return nullptr;
    const std::string name(fileName);
    if (name.find('/') != std::string::npos) return Open(name);
    for (const std::string& candidate : Candidates(name))
        if (HMODULE module = Open(candidate)) return module;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (module == nullptr || procName == nullptr) return nullptr;
    return reinterpret_cast<FARPROC>(dlsym(module, procName));
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr) return FALSE;
    return dlclose(module) == 0 ? TRUE : FALSE;
}
