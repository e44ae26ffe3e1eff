// COM subset of the POSIX layer: per-thread initialisation, CLSID parsing
// and in-process class creation through the registry and the dynamic
// loader. Thread: the caller's; every thread has its own initialisation
// count and its own list of loaded server modules.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

typedef HRESULT (*CanUnloadNowFunction)();

// What one thread has done with COM: how often it initialised it, and the
// server modules it loaded, each held by exactly one loader reference.
struct ThreadApartment {
    unsigned initCount = 0;
    std::vector<void*> modules;
};

thread_local ThreadApartment apartment;

// Only a module whose DllCanUnloadNow says S_OK is unloaded. One that says
// anything else may still have objects in use, and one without
// DllCanUnloadNow cannot say: as on Windows, both stay loaded for the rest
// of the process.
void UnloadUnusedModules() {
    for (void* module : apartment.modules) {
        auto canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(dlsym(module, "DllCanUnloadNow"));
        if (canUnloadNow != nullptr && canUnloadNow() == S_OK) dlclose(module);
    }
    apartment.modules.clear();
}

// Loading the same file twice gives the same handle; the thread keeps one
// reference per module, so a repeated load gives its extra reference back.
void KeepLoaded(void* module) {
    for (void* known : apartment.modules) {
        if (known == module) {
            dlclose(module);
            return;
        }
    }
    apartment.modules.push_back(module);
}

int HexDigit(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[*position], advancing past them; false at
// the first character that is not one (a terminator included).
bool ReadHex(LPCOLESTR text, size_t* position, int digits, uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < digits; ++i) {
        int digit = HexDigit(text[*position]);
        if (digit < 0) return false;
        result = (result << 4) | static_cast<uint32_t>(digit);
        ++*position;
    }
    *value = result;
    return true;
}

bool ReadChar(LPCOLESTR text, size_t* position, OLECHAR expected) {
    if (text[*position] != expected) return false;
    ++*position;
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and nothing after it.
bool ParseGuid(LPCOLESTR text, GUID* guid) {
    size_t position = 0;
    uint32_t data1, data2, data3, byte;
    if (!ReadChar(text, &position, u'{') || !ReadHex(text, &position, 8, &data1) ||
        !ReadChar(text, &position, u'-') || !ReadHex(text, &position, 4, &data2) ||
        !ReadChar(text, &position, u'-') || !ReadHex(text, &position, 4, &data3) ||
        !ReadChar(text, &position, u'-'))
        return false;
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !ReadChar(text, &position, u'-')) return false;
        if (!ReadHex(text, &position, 2, &byte)) return false;
        guid->Data4[i] = static_cast<uint8_t>(byte);
    }
    if (!ReadChar(text, &position, u'}') || text[position] != u'\0') return false;
    guid->Data1 = data1;
    guid->Data2 = static_cast<uint16_t>(data2);
    guid->Data3 = static_cast<uint16_t>(data3);
    return true;
}

// The class's key name as Windows writes it: upper-case hex in braces.
std::string ClsidKeyName(REFCLSID clsid) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0],
                  clsid.Data4[1], clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5],
                  clsid.Data4[6], clsid.Data4[7]);
    return text;
}

// The registered server file of the class, or empty when the class (or its
// InprocServer32 default value) is not registered.
std::string InprocServerPath(REFCLSID clsid) {
    const std::string keyPath = "CLSID\\" + ClsidKeyName(clsid) + "\\InprocServer32";
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    std::string path;
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::vector<char> value(size + 1, '\0');
        if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size) ==
            ERROR_SUCCESS)
            path = value.data();
    }
    RegCloseKey(key);
    return path;
}

}  // namespace

HRESULT CoInitialize(LPVOID /*reserved*/) {
    return apartment.initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (apartment.initCount == 0) return;
    if (--apartment.initCount == 0) UnloadUnusedModules();
}

// As on Windows, a null text is the null class and succeeds; a failed parse
// leaves the null class behind.
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    if (clsid == nullptr) return E_INVALIDARG;
    *clsid = GUID{};
    if (text == nullptr) return S_OK;
    GUID parsed{};
    if (!ParseGuid(text, &parsed)) return CO_E_CLASSSTRING;
    *clsid = parsed;
    return S_OK;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (apartment.initCount == 0) return CO_E_NOTINITIALIZED;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;

    const std::string path = InprocServerPath(clsid);
    if (path.empty()) return REGDB_E_CLASSNOTREG;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return CO_E_DLLNOTFOUND;
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(module, "DllGetClassObject"));
    if (getClassObject == nullptr) {
        dlclose(module);
        return CO_E_ERRORINDLL;
    }
    KeepLoaded(module);

    IClassFactory* factory = nullptr;
    HRESULT result = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(result)) return result;
    if (factory == nullptr) return CO_E_ERRORINDLL;
    result = factory->CreateInstance(outer, riid, object);
    factory->Release();
    if (FAILED(result)) *object = nullptr;
    return result;
}
