// The registry walk behind the driver catalogue. Thread: caller's thread.
#include "host/driver_registrations.h"

#include <cstring>
#include <filesystem>

namespace {

bool ReadStringValue(HKEY key, const char* valueName, char* buffer, DWORD bufferBytes) {
    DWORD type = REG_NONE;
    DWORD size = bufferBytes;
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS)
        return false;
    buffer[bufferBytes - 1] = '\0';
    return true;
}

void ReadRegistration(HKEY asioKey, Registration& registration) {
    HKEY driverKey = nullptr;
    if (RegOpenKeyExA(asioKey, registration.keyName, 0, KEY_READ, &driverKey) != ERROR_SUCCESS) {
        registration.status = RegistrationStatus::Unreadable;
        return;
    }
    registration.hasDescription =
        ReadStringValue(driverKey, "description", registration.description, sizeof registration.description);
    if (!registration.hasDescription) registration.description[0] = '\0';
    if (ReadStringValue(driverKey, "clsid", registration.clsidText, sizeof registration.clsidText))
        registration.status =
            LookUpServerPath(registration.clsidText, registration.serverPath, sizeof registration.serverPath);
    else
        registration.status = RegistrationStatus::NoClassId;
    RegCloseKey(driverKey);
}

}  // namespace

const char* RegistrationStatusText(RegistrationStatus status) {
    switch (status) {
        case RegistrationStatus::Usable: return "usable";
        case RegistrationStatus::Unreadable: return "key unreadable";
        case RegistrationStatus::NoClassId: return "no CLSID value";
        case RegistrationStatus::ClassNotRegistered: return "class id not registered";
        case RegistrationStatus::NoServerPath: return "class has no module path";
        case RegistrationStatus::RelativeServerPath: return "module path is relative";
        case RegistrationStatus::ModuleMissing: return "module missing";
    }
    return "unknown";
}

void ForEachRegistration(void (*visit)(const Registration& registration, void* context), void* context) {
    HKEY asioKey = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", &asioKey) != ERROR_SUCCESS) return;
    Registration registration;
    for (DWORD index = 0;; ++index) {
        registration = Registration{};
        if (RegEnumKeyA(asioKey, index, registration.keyName, sizeof registration.keyName) != ERROR_SUCCESS) break;
        ReadRegistration(asioKey, registration);
        visit(registration, context);
    }
    RegCloseKey(asioKey);
}

RegistrationStatus LookUpServerPath(char* clsidText, char* path, DWORD pathSize) {
    CharLowerBuffA(clsidText, static_cast<DWORD>(std::strlen(clsidText)));
    if (pathSize > 0) path[0] = '\0';
    HKEY classes = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", &classes) != ERROR_SUCCESS)
        return RegistrationStatus::ClassNotRegistered;

    // The class key is opened by its name: the registry's key names are
    // unique whatever their case, so this is the first equal name a scan of
    // every class would find, without reading every class for each driver.
    // A name with a separator would open some other key's subkey.
    RegistrationStatus status = RegistrationStatus::ClassNotRegistered;
    HKEY classKey = nullptr;
    if (clsidText[0] != '\0' && std::strchr(clsidText, '\\') == nullptr &&
        RegOpenKeyExA(classes, clsidText, 0, KEY_READ, &classKey) == ERROR_SUCCESS) {
        status = RegistrationStatus::NoServerPath;
        HKEY serverKey = nullptr;
        if (RegOpenKeyExA(classKey, "InprocServer32", 0, KEY_READ, &serverKey) == ERROR_SUCCESS) {
            if (ReadStringValue(serverKey, nullptr, path, pathSize)) {
                OFSTRUCT info;
                // A relative path names a file in the working folder here, and
                // whatever the loader's search finds there. One from the root
                // of the current drive ("/work/...", on Windows) is not.
                const std::filesystem::path module(path);
                if (!module.is_absolute() && !module.has_root_directory())
                    status = RegistrationStatus::RelativeServerPath;
                else
                    status = OpenFile(path, &info, OF_EXIST) != HFILE_ERROR ? RegistrationStatus::Usable
                                                                            : RegistrationStatus::ModuleMissing;
            }
            RegCloseKey(serverKey);
        }
        RegCloseKey(classKey);
    }
    RegCloseKey(classes);
    return status;
}
