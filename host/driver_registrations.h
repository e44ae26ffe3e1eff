// The registry walk behind the driver catalogue: every subkey of
// HKLM\SOFTWARE\ASIO in enumeration order, each with what was read of it and
// whether it names a usable driver. The library numbers the usable ones from
// 0 in this order; `tonegate drivers` lists them from the same walk, with the
// registrations passed over and why. Thread: caller's thread only.
#pragma once

#include <cstdint>

#include "platform/win32.h"

enum class RegistrationStatus : uint8_t {
    Usable,              // the class is registered and its module file exists
    Unreadable,          // the subkey could not be opened
    NoClassId,           // no CLSID value
    ClassNotRegistered,  // no HKCR\CLSID key of that name
    NoServerPath,        // the class has no InprocServer32 default value
    RelativeServerPath,  // the module path is relative: the loader would search for it
    ModuleMissing,       // the registered module file does not exist
};

struct Registration {
    char keyName[128];
    char clsidText[256];   // lower-cased, as the class lookup compares it
    char serverPath[512];  // empty unless the class names one
    char description[256];
    bool hasDescription;
    RegistrationStatus status;
};

// A short English reason for a status other than Usable ("module missing").
const char* RegistrationStatusText(RegistrationStatus status);

// Calls `visit` for every subkey in enumeration order. Enumeration stops at
// the end of the subkeys, and also at a name too long for the key-name
// field: later subkeys are then not read.
void ForEachRegistration(void (*visit)(const Registration& registration, void* context), void* context);

// Looks up the in-process server path registered for a CLSID text (which is
// lower-cased in place). Usable when found, absolute, and the file exists.
RegistrationStatus LookUpServerPath(char* clsidText, char* path, DWORD pathSize);
