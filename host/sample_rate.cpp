// Sample-rate control: setting and reading the driver's rate, with the log
// lines that point the user at a rate lock or a missing clock.
// Thread: caller's thread (the driver may be running).
#include <cmath>

#include "diag/debug_log.h"
#include "host/host_session.h"

namespace {

int32_t WholeHertz(double rate) { return SaturatingInt32(std::floor(rate)); }

}  // namespace

bool HostSession::SetSampleRate(uint32_t rate) {
    const double requested = rate;
    const ASIOError canResult = ptrASIO->canSampleRate(requested);
    // Only these two answers refuse; any other lets setSampleRate decide.
    if (canResult == ASE_NoClock) {
        LogLine("Failed: SetSampleRate");
        LogLine("Ensure you don't have 'Rate Locked' set in the sound card's control panel,");
        LogInt("...or perhaps requested sample rate is not supported", static_cast<int32_t>(rate));
        return false;
    }
    if (canResult == ASE_NotPresent) {
        LogLine("Can't set requested sample rate: No external clock I/O");
        return false;
    }
    if (ptrASIO->setSampleRate(requested) != ASE_OK) {
        LogInt("Couldn't set sound card to requested sample rate", static_cast<int32_t>(rate));
        LogLine("Ensure you don't have 'Rate Locked' set in the sound card's control panel.");
        return false;
    }
    // Notes are computed for the rate the driver reports, not the one asked for.
    ptrASIO->getSampleRate(&asioDriverInfo.sampleRate);
    LogInt("Set sample rate", WholeHertz(asioDriverInfo.sampleRate));
    return true;
}

int32_t HostSession::GetSampleRate() {
    const ASIOError result = ptrASIO->getSampleRate(&asioDriverInfo.sampleRate);
    if (result == ASE_OK) {
        const int32_t rate = WholeHertz(asioDriverInfo.sampleRate);
        LogInt("Sample rate", rate);
        return rate;
    }
    LogLine(result == ASE_NotPresent ? "Failed: GetSampleRate - No external clock I/O"
                                     : "Failed: function GetSampleRate - Reason unknown");
    LogInt("Last known sample rate", WholeHertz(asioDriverInfo.sampleRate));
    return 0;
}
