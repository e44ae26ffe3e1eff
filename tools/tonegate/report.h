// What the tonegate command says about a programme it plays: one line per
// step on standard output, or one JSON document at the end; the progress
// line on standard error (a terminal only); refusals on standard error.
// Thread: the command's one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tonegate/steps.h"

namespace tonegate_tool {

struct StepRecord {
    Step step;
    PlayedLength played;
    uint32_t setupMicros = 0;   // tone: channel A's (or the only one's) set-up time
    uint32_t setupMicrosB = 0;  // tone on AB: channel B's
    bool uncorrected = false;   // a note over 10 s: played without zero-sum correction
};

struct CardFacts {
    int driverNumber = -1;
    std::string driverName;
    uint32_t rate = 0;
    std::string format;  // "int16" or "int32"
    uint32_t bufferFrames = 0;
    uint32_t latencyFrames = 0;
};

class Report {
public:
    explicit Report(bool json);

    void SetLog(const std::string& path) { logPath_ = path; }
    void SetCapture(const std::string& path) { capturePath_ = path; }
    void SetCard(const CardFacts& card) { card_ = card; }
    void Played(const StepRecord& record);
    // A refusal: said on standard error at once, kept for the JSON document.
    void Refused(const std::string& why);
    void Interrupted();
    // Writes the JSON document (with --json) and returns the exit status.
    int Finish();

    // The progress line, when standard error is a terminal: `done` of `total`
    // seconds of the programme, and what plays now.
    void Progress(double done, double total, const std::string& now);
    void ClearProgress();

private:
    bool json_;
    bool progressShown_ = false;
    std::string logPath_;
    std::string capturePath_;
    CardFacts card_;
    std::vector<StepRecord> records_;
    std::string error_;
    bool interrupted_ = false;
};

// `value` with `decimals` digits after the point.
std::string Fixed(double value, int decimals);

// One step as a line: "tone A 1000 Hz 0.5 s (500 cycles) 20 dB, set-up 85 us".
std::string StepLine(const StepRecord& record);

}  // namespace tonegate_tool
