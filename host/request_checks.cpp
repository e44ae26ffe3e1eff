// Range checks of the note and sweep requests. Thread: caller's thread.
//
// A lower bound is written as "not at least" so that a NaN fails it; an upper
// bound as "greater than" so that a NaN passes it and meets the next check.
#include "host/request_checks.h"

#include "diag/debug_log.h"

namespace {

bool Refuse(const char* message) {
    LogLine(message);
    return false;
}

}  // namespace

bool SineRequestAccepted(double frequency, double seconds, uint32_t attenuation) {
    if (attenuation > kMaxAttenuation) return Refuse("Failed: PlaySineWav - antenuation dBs greater than 60!");
    if (!(seconds >= kMinSineSeconds)) return Refuse("Failed: PlaySineWav - seconds less than 0.01!");
    if (seconds > kMaxSineSeconds) return Refuse("Failed: PlaySineWav - seconds greater than 60!");
    if (frequency > kMaxFrequency) return Refuse("Failed: PlaySineWav - Frequency greater than half the sample rate!");
    if (!(frequency >= kMinFrequency)) return Refuse("Failed: PlaySineWav - Frequency less than 1 hz!");
    return true;
}

bool SweepRequestAccepted(double freqStart, double freqEnd, double seconds, uint32_t attenuation) {
    if (attenuation > kMaxAttenuation) return Refuse("Failed: PlaySweepWav - antenuation dBs greater than 60!");
    if (!(seconds >= kMinSweepSeconds)) return Refuse("Failed: PlaySweepWav - seconds less than 0.01!");
    if (seconds > kMaxSweepSeconds) return Refuse("Failed: PlaySweepWav - seconds greater than 10!");
    if (freqStart > kMaxFrequency) return Refuse("Failed: PlaySweepWav - freqStart greater 22050 hz!");
    if (!(freqStart >= kMinFrequency)) return Refuse("Failed: PlaySweepWav - Frequency less than 10 hz!");
    if (freqEnd > kMaxFrequency) return Refuse("Failed: PlaySweepWav - Frequency greater than 22050 hz!");
    if (!(freqEnd >= kMinFrequency)) return Refuse("Failed: PlaySweepWav - Frequency less than 10 hz!");
    return true;
}
