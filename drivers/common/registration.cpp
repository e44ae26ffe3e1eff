// DllRegisterServer and DllUnregisterServer of a driver module on Windows,
// for regsvr32: they write and remove the keys a host finds the driver by,
// the same ones the build's .reg files hold on other systems:
//   HKLM\SOFTWARE\ASIO\<name>               CLSID, Description
//   HKCR\CLSID\{clsid}\InprocServer32       default value: this module's path
// Compiled into every driver module, with the module's own generated
// driver_registration.h. Thread: the caller's.
#include <olectl.h>

#include <string>

#include "driver_registration.h"
#include "drivers/common/com_server.h"

namespace {

const std::string kDriverKey = std::string("SOFTWARE\\ASIO\\") + tonegate_driver::kDriverName;
const std::string kClassKey = std::string("CLSID\\") + tonegate_driver::kDriverClassText;

bool SetText(HKEY root, const std::string& path, const char* name, const std::string& text) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG result = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                       static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// The full path of the module this code is linked into, wherever it was
// loaded from; empty when it cannot be told.
std::string OwnModulePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnModulePath), &module))
        return {};
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

// A key that is already gone counts as removed.
bool DeleteTree(HKEY root, const std::string& path) {
    const LONG result = RegDeleteTreeA(root, path.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace

TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllRegisterServer() {
    const std::string modulePath = OwnModulePath();
    if (modulePath.empty()) return SELFREG_E_CLASS;
    const bool registered = SetText(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", nullptr, modulePath) &&
                            SetText(HKEY_LOCAL_MACHINE, kDriverKey, "CLSID", tonegate_driver::kDriverClassText) &&
                            SetText(HKEY_LOCAL_MACHINE, kDriverKey, "Description", tonegate_driver::kDriverDescription);
    return registered ? S_OK : SELFREG_E_CLASS;
}

TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllUnregisterServer() {
    const bool driverRemoved = DeleteTree(HKEY_LOCAL_MACHINE, kDriverKey);
    const bool classRemoved = DeleteTree(HKEY_CLASSES_ROOT, kClassKey);
    return driverRemoved && classRemoved ? S_OK : SELFREG_E_CLASS;
}
