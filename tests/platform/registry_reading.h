// Test support for the registry tests: a key closed at the end of its scope,
// and reads of string values and subkey names as the host makes them.
// Thread: the test's own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace tonegate_test {

// Closes a key at the end of a scope.
class Key {
public:
    Key() = default;
    ~Key() {
        if (handle_ != nullptr) RegCloseKey(handle_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    PHKEY out() { return &handle_; }
    HKEY get() const { return handle_; }

private:
    HKEY handle_ = nullptr;
};

inline std::optional<std::string> QueryString(HKEY key, const char* valueName) {
    char data[512];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data, size - 1);
}

// The value `valueName` of HKLM\<path>, read through a freshly opened key.
inline std::optional<std::string> MachineValue(const char* path, const char* valueName) {
    Key key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key.out()) != ERROR_SUCCESS) return std::nullopt;
    return QueryString(key.get(), valueName);
}

inline std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; ++index) names.push_back(name);
    return names;
}

}  // namespace tonegate_test
