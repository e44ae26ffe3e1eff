// Definitions of the library-wide globals. Thread: see library_state.h.
#include "host/library_state.h"

AsioDriverList* asioDrvrLst = nullptr;
int32_t nDrvOpenResult = 0;
HostSession* pASIOBuffers = nullptr;
IASIO* ptrASIO = nullptr;
DriverInfo asioDriverInfo;
SineGenerator* pSineGeneratorA = nullptr;
SineGenerator* pSineGeneratorB = nullptr;
bool b16BitCard = false;
uint32_t nBufferBytes = 0;
uint32_t noteCount = 0;
std::atomic<bool> bWavEnabled{false};
