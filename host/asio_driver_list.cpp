// The driver catalogue: registry walk, numbering, the catalogue lines of the
// log, instantiation through COM and release. Thread: caller's thread.
#include "host/asio_driver_list.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "diag/debug_log.h"

namespace {

constexpr DWORD kKeyNameBytes = 128;
constexpr DWORD kValueBytes = 256;
constexpr DWORD kClassNameBytes = 512;
constexpr int kClsidWideChars = 100;

// Copies text into a fixed field, cut to fit with a terminator.
template <size_t N>
void CopyCut(char (&field)[N], const char* text) {
    const size_t length = std::min(std::strlen(text), N - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
}

bool ReadStringValue(HKEY key, const char* valueName, char* buffer, DWORD bufferBytes) {
    DWORD type = REG_NONE;
    DWORD size = bufferBytes;
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS)
        return false;
    buffer[bufferBytes - 1] = '\0';
    return true;
}

}  // namespace

AsioDriverList::AsioDriverList() {
    HKEY asioKey = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", &asioKey) == ERROR_SUCCESS) {
        char keyName[kKeyNameBytes];
        // Enumeration stops at the end of the subkeys, and also at a name
        // too long for the buffer: later subkeys are then not read.
        for (DWORD index = 0; RegEnumKeyA(asioKey, index, keyName, kKeyNameBytes) == ERROR_SUCCESS; ++index)
            ReadDriverRecord(asioKey, keyName);
        RegCloseKey(asioKey);
    }
    for (DriverRecord* record = lpdrvlist; record != nullptr; record = record->next) ++driverCount;
    LogCatalogue();
    if (driverCount != 0) CoInitialize(nullptr);
}

AsioDriverList::~AsioDriverList() {
    if (driverCount == 0) return;  // COM was not initialised
    FreeDriverRecords();
    CoUninitialize();
}

void AsioDriverList::LogCatalogue() const {
    char* text = new (std::nothrow) char[kValueBytes];
    if (text == nullptr) return;
    LogLine("Enumerating ASIO Drivers...\n");
    for (int n = 0; n < driverCount; ++n) {
        LogInt("numDev", n);
        std::memset(text, 0, kValueBytes);
        GetDriverName(n, text, kValueBytes - 1);
        LogLine(text);
        std::memset(text, 0, kValueBytes);
        GetDriverPath(n, text, kValueBytes - 1);
        LogLine(text);
        LogLine("");
    }
    delete[] text;
}

void AsioDriverList::ReadDriverRecord(HKEY key, const char* keyName) {
    int32_t number = 0;
    DriverRecord** tail = &lpdrvlist;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
        ++number;
    }

    HKEY driverKey = nullptr;
    if (RegOpenKeyExA(key, keyName, 0, KEY_READ, &driverKey) != ERROR_SUCCESS) return;

    char value[kValueBytes];
    char path[sizeof(DriverRecord::serverPath)];
    DriverRecord* record = nullptr;
    if (ReadStringValue(driverKey, "clsid", value, kValueBytes) &&
        FindServerPath(value, path, sizeof(path)) == 0 && (record = new (std::nothrow) DriverRecord()) != nullptr) {
        record->number = number;
        WCHAR wide[kClsidWideChars];
        if (MultiByteToWideChar(CP_ACP, 0, value, -1, wide, kClsidWideChars) > 0) {
            CLSID clsid;
            if (CLSIDFromString(wide, &clsid) == S_OK) record->clsid = clsid;
        }
        CopyCut(record->serverPath, path);
        // A description longer than the name field is cut to fit it.
        CopyCut(record->name, ReadStringValue(driverKey, "description", value, kValueBytes) ? value : keyName);
        *tail = record;
    }
    RegCloseKey(driverKey);
}

int32_t FindServerPath(char* clsidText, char* path, DWORD pathSize) {
    CharLowerBuffA(clsidText, static_cast<DWORD>(std::strlen(clsidText)));
    HKEY classes = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", &classes) != ERROR_SUCCESS) return -1;

    int32_t result = -1;
    char name[kClassNameBytes];
    for (DWORD index = 0; RegEnumKeyA(classes, index, name, kClassNameBytes) == ERROR_SUCCESS; ++index) {
        CharLowerBuffA(name, static_cast<DWORD>(std::strlen(name)));
        if (std::strcmp(name, clsidText) != 0) continue;
        // The search ends at the first equal name, whatever it holds.
        HKEY classKey = nullptr;
        if (RegOpenKeyExA(classes, name, 0, KEY_READ, &classKey) == ERROR_SUCCESS) {
            HKEY serverKey = nullptr;
            if (RegOpenKeyExA(classKey, "InprocServer32", 0, KEY_READ, &serverKey) == ERROR_SUCCESS) {
                if (ReadStringValue(serverKey, nullptr, path, pathSize)) {
                    OFSTRUCT info;
                    if (OpenFile(path, &info, OF_EXIST) != HFILE_ERROR) result = 0;
                }
                RegCloseKey(serverKey);
            }
            RegCloseKey(classKey);
        }
        break;
    }
    RegCloseKey(classes);
    return result;
}

DriverRecord* AsioDriverList::FindDriver(int n) const {
    for (DriverRecord* record = lpdrvlist; record != nullptr; record = record->next)
        if (record->number == n) return record;
    return nullptr;
}

int32_t AsioDriverList::asioOpenDriver(int n, IASIO** out) {
    if (out == nullptr) return ListErrBadArgument;
    DriverRecord* record = FindDriver(n);
    if (record == nullptr) return ListErrNoSuchDriver;
    if (record->driver != nullptr) return ListErrAlreadyOpen;
    // A driver's interface identifier is its class identifier.
    HRESULT result = CoCreateInstance(record->clsid, nullptr, CLSCTX_INPROC_SERVER, record->clsid,
                                      reinterpret_cast<LPVOID*>(out));
    if (result != S_OK) return result;
    record->driver = *out;
    return 0;
}

int32_t AsioDriverList::GetDriverName(int n, char* buffer, int size) const {
    if (buffer == nullptr) return ListErrBadArgument;
    const DriverRecord* record = FindDriver(n);
    if (record == nullptr) return ListErrNoSuchDriver;
    const size_t length = std::strlen(record->name);
    if (size > 0 && length < static_cast<size_t>(size)) {
        std::memcpy(buffer, record->name, length + 1);
        return 0;
    }
    if (size <= 0) return ListErrBadArgument;
    if (size < 4) {
        // Too small for the "..." mark: what fits of the name.
        std::memcpy(buffer, record->name, static_cast<size_t>(size) - 1);
        buffer[size - 1] = '\0';
        return 0;
    }
    std::memcpy(buffer, record->name, static_cast<size_t>(size) - 4);
    std::memcpy(buffer + size - 4, "...", 4);
    return 0;
}

int32_t AsioDriverList::GetDriverPath(int n, char* buffer, int size) const {
    if (buffer == nullptr) return ListErrBadArgument;
    const DriverRecord* record = FindDriver(n);
    if (record == nullptr) return ListErrNoSuchDriver;
    const size_t length = std::strlen(record->serverPath);
    if (size > 0 && length < static_cast<size_t>(size)) {
        std::memcpy(buffer, record->serverPath, length + 1);
        return 0;
    }
    // A path is never cut.
    if (size > 0) buffer[0] = '\0';
    return ListErrBadArgument;
}

int32_t AsioDriverList::GetDriverClsid(int n, CLSID* out) const {
    if (out == nullptr) return ListErrBadArgument;
    const DriverRecord* record = FindDriver(n);
    if (record == nullptr) return ListErrNoSuchDriver;
    *out = record->clsid;
    return 0;
}

void AsioDriverList::FreeDriverRecords() {
    // Freed from the tail to the head: reverse the list, then walk it.
    DriverRecord* reversed = nullptr;
    while (lpdrvlist != nullptr) {
        DriverRecord* record = lpdrvlist;
        lpdrvlist = record->next;
        record->next = reversed;
        reversed = record;
    }
    // The opened driver may sit in two records (its own and the first, which
    // serves as the library's slot): an interface is released by the last
    // record of the walk that holds it, so exactly once.
    while (reversed != nullptr) {
        DriverRecord* record = reversed;
        reversed = record->next;
        bool heldFurtherOn = false;
        for (const DriverRecord* other = reversed; record->driver != nullptr && other != nullptr; other = other->next)
            heldFurtherOn = heldFurtherOn || other->driver == record->driver;
        if (record->driver != nullptr && !heldFurtherOn) record->driver->Release();
        delete record;
    }
}
