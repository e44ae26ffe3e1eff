// The registry functions of the POSIX layer: RegOpenKeyA, RegOpenKeyExA,
// RegEnumKeyA, RegQueryValueExA and RegCloseKey over the registry store, and
// the handles they give out. Thread: any (one mutex guards the open handles);
// the caller's thread in practice, never the real-time thread, since opening
// a root key reads files.
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "platform/posix/registry_files.h"
#include "platform/posix/registry_store.h"
#include "platform/win32.h"

using tonegate_posix::RegistryKey;
using tonegate_posix::RegistryRoot;
using tonegate_posix::RegistryTree;

namespace {

// What an opened HKEY points to: a key together with the tree it was read
// from, which it keeps alive until RegCloseKey.
struct OpenKey {
    std::shared_ptr<const RegistryTree> tree;
    const RegistryKey* key = nullptr;
};

std::mutex gHandlesLock;

// Every handle given out and not yet closed, so a stale or foreign handle is
// refused rather than followed. Never destroyed: a handle may be closed
// during exit, after static objects have gone.
std::unordered_set<const OpenKey*>& LiveHandles() {
    static auto* handles = new std::unordered_set<const OpenKey*>;
    return *handles;
}

std::optional<RegistryRoot> AsRoot(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return RegistryRoot::LocalMachine;
    if (key == HKEY_CLASSES_ROOT) return RegistryRoot::ClassesRoot;
    return std::nullopt;
}

// The open key behind a handle, or null for a handle that is not open. A
// root key is the registry as the files hold it at this call, kept in
// `rootKey` for the call; an open handle is not copied, since enumerating a
// key calls this once a subkey. Call with gHandlesLock held.
const OpenKey* Resolve(HKEY key, OpenKey& rootKey) {
    if (std::optional<RegistryRoot> root = AsRoot(key)) {
        rootKey.tree = tonegate_posix::CurrentRegistry();
        rootKey.key = &rootKey.tree->Root(*root);
        return &rootKey;
    }
    const auto* open = reinterpret_cast<const OpenKey*>(key);
    return LiveHandles().count(open) != 0 ? open : nullptr;
}

}  // namespace

// As on Windows: a subkey may end in separators but not start with one, and
// no subkey under a root key gives back the root key itself.
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM /*desired*/, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    const std::string_view path = subKey == nullptr ? "" : subKey;
    if (!path.empty() && path.front() == '\\') return ERROR_BAD_PATHNAME;
    if (path.empty() && AsRoot(key)) {
        *result = key;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(gHandlesLock);
    OpenKey rootKey;
    const OpenKey* from = Resolve(key, rootKey);
    if (from == nullptr) return ERROR_INVALID_HANDLE;
    const RegistryKey* found = RegistryTree::Find(*from->key, path);
    if (found == nullptr) return ERROR_FILE_NOT_FOUND;
    auto* opened = new OpenKey{from->tree, found};
    LiveHandles().insert(opened);
    *result = reinterpret_cast<HKEY>(opened);
    return ERROR_SUCCESS;
}

// Unlike RegOpenKeyExA, no subkey gives back the very handle passed in, as
// on Windows, so closing either closes both.
LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    if (result == nullptr || (subKey != nullptr && *subKey != '\0'))
        return RegOpenKeyExA(key, subKey, 0, KEY_READ, result);
    std::lock_guard<std::mutex> lock(gHandlesLock);
    const bool open = AsRoot(key) || LiveHandles().count(reinterpret_cast<const OpenKey*>(key)) != 0;
    *result = open ? key : nullptr;
    return open ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    std::lock_guard<std::mutex> lock(gHandlesLock);
    OpenKey rootKey;
    const OpenKey* from = Resolve(key, rootKey);
    if (from == nullptr) return ERROR_INVALID_HANDLE;
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    const RegistryKey* subkey = from->key->SubkeyAt(index);
    if (subkey == nullptr) return ERROR_NO_MORE_ITEMS;
    if (subkey->name.size() >= nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, subkey->name.c_str(), subkey->name.size() + 1);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(gHandlesLock);
    OpenKey rootKey;
    const OpenKey* from = Resolve(key, rootKey);
    if (from == nullptr) return ERROR_INVALID_HANDLE;
    const tonegate_posix::RegistryValue* value = from->key->Value(valueName == nullptr ? "" : valueName);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = REG_SZ;
    const DWORD needed = static_cast<DWORD>(value->text.size() + 1);
    if (data == nullptr) {
        if (dataSize != nullptr) *dataSize = needed;
        return ERROR_SUCCESS;
    }
    const DWORD available = *dataSize;
    *dataSize = needed;
    if (available < needed) return ERROR_MORE_DATA;
    std::memcpy(data, value->text.c_str(), needed);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (AsRoot(key)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(gHandlesLock);
    const auto* open = reinterpret_cast<const OpenKey*>(key);
    if (LiveHandles().erase(open) == 0) return ERROR_INVALID_HANDLE;
    delete open;
    return ERROR_SUCCESS;
}
