// The driver catalogue: numbering of the usable registrations, the catalogue lines of the
// log (with those passed over for a relative module path), instantiation through COM and
// release. Thread: caller's thread.
#include "host/asio_driver_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "diag/debug_log.h"

namespace {

constexpr DWORD kValueBytes = 256;
constexpr int kClsidWideChars = 100;

// Copies text into a fixed field, cut to fit with a terminator.
template <size_t N>
void CopyCut(char (&field)[N], const char* text) {
    const size_t length = std::min(std::strlen(text), N - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
}

// A registration the user may think installed, and would not find listed
// without a word: a relative module path.
void LogPassedOver(const Registration& registration) {
    // Room for the key name, the path and the words around them.
    char line[sizeof registration.keyName + sizeof registration.serverPath + 64];
    std::snprintf(line, sizeof line, "Passed over %s: %s (%s)", registration.keyName,
                  RegistrationStatusText(registration.status), registration.serverPath);
    LogLine(line);
}

}  // namespace

AsioDriverList::AsioDriverList() {
    ForEachRegistration(
        [](const Registration& registration, void* list) {
            if (registration.status == RegistrationStatus::Usable)
                static_cast<AsioDriverList*>(list)->AddDriverRecord(registration);
            else if (registration.status == RegistrationStatus::RelativeServerPath)
                LogPassedOver(registration);
        },
        this);
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

void AsioDriverList::AddDriverRecord(const Registration& registration) {
    int32_t number = 0;
    DriverRecord** tail = &lpdrvlist;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
        ++number;
    }
    DriverRecord* record = new (std::nothrow) DriverRecord();
    if (record == nullptr) return;
    record->number = number;
    WCHAR wide[kClsidWideChars];
    if (MultiByteToWideChar(CP_ACP, 0, registration.clsidText, -1, wide, kClsidWideChars) > 0) {
        CLSID clsid;
        if (CLSIDFromString(wide, &clsid) == S_OK) record->clsid = clsid;
    }
    CopyCut(record->serverPath, registration.serverPath);
    // A description longer than the name field is cut to fit it.
    CopyCut(record->name, registration.hasDescription ? registration.description : registration.keyName);
    *tail = record;
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
