// The run-time binding of the Tonegate library shared by the players and the
// tonegate command: load, look up the ten exports, release.
// Thread: the caller's one thread.
#include "player/library_binding.h"

namespace {

// Module entries come back as one generic pointer type; going through a
// plain function pointer first makes the cast to each entry's own type an
// intended one.
template <typename Entry>
Entry LookUp(HMODULE library, LPCSTR name) {
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

}  // namespace

LibraryBinding::LibraryBinding() : bLoaded(Load(TONEGATE_LIBRARY_FILE)) {}

bool LibraryBinding::Load(LPCSTR fileName) {
    hLibrary = LoadLibraryA(fileName);
    if (hLibrary == nullptr) return false;
    pASIOOpenDriver = LookUp<decltype(pASIOOpenDriver)>(hLibrary, "ASIOOpenDriver");
    pASIOSystemInit = LookUp<decltype(pASIOSystemInit)>(hLibrary, "ASIOSystemInit");
    pASIOCloseDriver = LookUp<decltype(pASIOCloseDriver)>(hLibrary, "ASIOCloseDriver");
    pASIOEnableWav = LookUp<decltype(pASIOEnableWav)>(hLibrary, "ASIOEnableWav");
    pASIOSetSampleRate = LookUp<decltype(pASIOSetSampleRate)>(hLibrary, "ASIOSetSampleRate");
    pASIOGetSampleRate = LookUp<decltype(pASIOGetSampleRate)>(hLibrary, "ASIOGetSampleRate");
    pASIOGenerateSineWavA = LookUp<decltype(pASIOGenerateSineWavA)>(hLibrary, "ASIOGenerateSineWavA");
    pASIOGenerateSineWavB = LookUp<decltype(pASIOGenerateSineWavB)>(hLibrary, "ASIOGenerateSineWavB");
    pASIOGenerateSweepWavA = LookUp<decltype(pASIOGenerateSweepWavA)>(hLibrary, "ASIOGenerateSweepWavA");
    pASIOGenerateSweepWavB = LookUp<decltype(pASIOGenerateSweepWavB)>(hLibrary, "ASIOGenerateSweepWavB");
    return true;
}

bool LibraryBinding::Unload() {
    if (hLibrary == nullptr) return false;
    if (pASIOCloseDriver != nullptr) pASIOCloseDriver();
    const BOOL released = FreeLibrary(hLibrary);
    hLibrary = nullptr;
    return released != FALSE;
}

bool LibraryBinding::BindsEveryEntryThePlayerCalls() const {
    return pASIOOpenDriver != nullptr && pASIOSystemInit != nullptr && pASIOCloseDriver != nullptr &&
           pASIOEnableWav != nullptr && pASIOSetSampleRate != nullptr && pASIOGenerateSineWavA != nullptr &&
           pASIOGenerateSineWavB != nullptr && pASIOGenerateSweepWavA != nullptr &&
           pASIOGenerateSweepWavB != nullptr;
}

bool LibraryBinding::BindsEveryExport() const {
    return BindsEveryEntryThePlayerCalls() && pASIOGetSampleRate != nullptr;
}
