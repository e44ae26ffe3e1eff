// The player's main sequence: bind the library, ask for a high sample rate,
// greet with two sweeps, play the tune on each P, and say farewell with the
// sweeps reversed. Thread: the player's only thread.
#include "player/quillet.h"

#include <cstdio>
#include <initializer_list>

#include "player/interruption.h"
#include "player/library_binding.h"
#include "player/note_timing.h"
#include "player/system_calls.h"
#include "player/tune.h"

namespace {

constexpr double kSweepLowHz = 100.0;
constexpr double kSweepHighHz = 10000.0;
constexpr double kSweepEndLowHz = 10.0;
constexpr double kSweepSeconds = 0.5;
constexpr uint32_t kSweepAttenuation = 24;
constexpr DWORD kAfterSweepsMs = 550;
constexpr DWORD kBeforeFarewellMs = 500;

void ReleaseLibrary() {
    pLibrary->Unload();
    delete pLibrary;
    pLibrary = nullptr;
}

// Goes on at whatever rate the driver keeps when it takes neither.
void AskForHighSampleRate() {
    for (uint32_t rate : {96000u, 48000u}) {
        if (pLibrary->pASIOSetSampleRate(rate)) return;
        std::printf("\nCouldn't set sample rate to %ld!\n", static_cast<long>(rate));
    }
}

void Greet() {
    pLibrary->pASIOGenerateSweepWavA(kSweepLowHz, kSweepHighHz, kSweepSeconds, kSweepAttenuation);
    pLibrary->pASIOGenerateSweepWavB(kSweepHighHz, kSweepEndLowHz, kSweepSeconds, kSweepAttenuation);
    playerSystem.sleep(kAfterSweepsMs);
}

// A key that is already waiting ends the player unread; P or p plays the
// tune, any other key ends it.
void PlayWhileAsked() {
    for (;;) {
        if (KeyWaiting()) return;
        const int key = playerSystem.readKey();
        if (key != 'P' && key != 'p') return;
        if (PlayTune()) return;
    }
}

void SayFarewell() {
    if (Interrupted()) {  // Ctrl+C: no farewell, the driver closed at once
        if (pLibrary != nullptr) ReleaseLibrary();
        return;
    }
    if (kPauseBeforeFarewell) playerSystem.sleep(kBeforeFarewellMs);
    if (pLibrary == nullptr) return;
    pLibrary->pASIOGenerateSweepWavB(kSweepLowHz, kSweepHighHz, kSweepSeconds, kSweepAttenuation);
    pLibrary->pASIOGenerateSweepWavA(kSweepHighHz, kSweepEndLowHz, kSweepSeconds, kSweepAttenuation);
    playerSystem.sleep(kAfterSweepsMs);
    ReleaseLibrary();
}

void Run() {
    CatchInterrupt();  // before the first key call, so that the console leaves SIGINT to the player
    hwndDesktop = GetDesktopWindow();
    pLibrary = nullptr;
    std::printf("A simple DOS Tonegate application\n");
    if (!CreateNoteArray()) {
        std::printf("Anykey exits...\n");
        // Read, not polled for: from a pipe or file only a read meets the end of input.
        playerSystem.readKey();
        SayFarewell();
        return;
    }
    if (!LibraryBinding::Create(pLibrary, hwndDesktop, "Quillet")) {
        if (pLibrary != nullptr) ReleaseLibrary();
        return;
    }
    AskForHighSampleRate();
    Greet();
    std::printf("\n\n\tHit 'P' to play a tune, or any other key to exit...\n");
    std::fflush(stdout);
    PlayWhileAsked();
    SayFarewell();
}

}  // namespace

int QuilletMain() {
    Run();
    ReleaseNoteArray();
    return Interrupted() ? kInterruptedExitCode : 0;
}
