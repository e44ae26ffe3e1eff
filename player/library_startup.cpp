// The player's start-up over the library binding: the binding made ready to
// play, or the one message box that says it cannot be.
// Thread: the player's only thread.
#include <new>

#include "player/library_binding.h"
#include "player/system_calls.h"

LibraryBinding* pLibrary = nullptr;
HWND hwndDesktop = nullptr;

bool LibraryBinding::Create(LibraryBinding*& binding, HWND window, LPCSTR caption) {
    binding = new (std::nothrow) LibraryBinding;
    // An older or foreign library that lacks an entry fails here, before any
    // null entry could be called.
    if (binding != nullptr && binding->IsLoaded() && binding->BindsEveryEntryThePlayerCalls() &&
        binding->pASIOOpenDriver() && binding->pASIOSystemInit(window))
        return true;
    playerSystem.messageBox(window, "Can't interface with an ASIO driver, or can't find Tonegate.dll - Exiting!!",
                            caption, MB_OK | MB_ICONEXCLAMATION);
    return false;
}
