// The run-time binding of the Tonegate library: the library handle and its
// ten exports, looked up by name, with the shut-down (close the driver,
// release the library). The players and the tonegate command share it; the
// player's start-up (Create) lives in library_startup.cpp.
// Thread: the caller's one thread (the exports are not to be called from two).
#pragma once

#include "host/tonegate.h"
#include "platform/win32.h"

class LibraryBinding {
public:
    // Loads the library (Tonegate.dll; libTonegate.so.2 on Linux, found
    // beside the program, in its ../lib, then where the loader looks) and
    // binds its exports.
    LibraryBinding();

    // Loads the library and looks up every export, keeping a missing one as
    // null; false only when the library itself cannot be loaded.
    bool Load(LPCSTR fileName);
    bool IsLoaded() const { return bLoaded; }
    // All ten exports were found.
    bool BindsEveryExport() const;
    // Closes the driver (when bound) and releases the library; false when
    // nothing is loaded. The object itself stays for the caller to delete.
    bool Unload();

    // Creates the binding in `binding` and makes it ready to play. On any
    // failure shows the one message box, owned by `window`, and returns
    // false; `binding` then holds whatever was created, possibly null.
    static bool Create(LibraryBinding*& binding, HWND window, LPCSTR caption);

    decltype(&::ASIOOpenDriver) pASIOOpenDriver = nullptr;
    decltype(&::ASIOSystemInit) pASIOSystemInit = nullptr;
    decltype(&::ASIOCloseDriver) pASIOCloseDriver = nullptr;
    decltype(&::ASIOEnableWav) pASIOEnableWav = nullptr;
    decltype(&::ASIOSetSampleRate) pASIOSetSampleRate = nullptr;
    decltype(&::ASIOGetSampleRate) pASIOGetSampleRate = nullptr;
    decltype(&::ASIOGenerateSineWavA) pASIOGenerateSineWavA = nullptr;
    decltype(&::ASIOGenerateSineWavB) pASIOGenerateSineWavB = nullptr;
    decltype(&::ASIOGenerateSweepWavA) pASIOGenerateSweepWavA = nullptr;
    decltype(&::ASIOGenerateSweepWavB) pASIOGenerateSweepWavB = nullptr;
    HMODULE hLibrary = nullptr;
    bool bLoaded;

private:
    // Every entry the player calls is bound (it never calls ASIOGetSampleRate).
    bool BindsEveryEntryThePlayerCalls() const;
};

extern LibraryBinding* pLibrary;
extern HWND hwndDesktop;
