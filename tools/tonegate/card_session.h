// A programme played through the library: the working folder the library
// runs in, the driver choice, the card's settings from the environment, the
// ten exports called one at a time, each refusal read back from the log, and
// the waits that let every sound play out on the card before the next.
// Thread: the command's one thread; Ctrl+C only raises a flag it polls.
#pragma once

#include <string>
#include <vector>

#include "tools/tonegate/report.h"
#include "tools/tonegate/steps.h"

namespace tonegate_tool {

struct PlayOptions {
    std::string driver;  // a number or a name; empty: as "ASIOConfig.txt" in the current folder says
    uint32_t rate = 0;   // 0: the card's own
    std::string wav;     // play on the WAV sink, capturing to this file
    std::string format;  // the WAV sink's sample format: "", "int16" or "int32"
    std::string logDir;  // the library's working folder, where its log goes
    bool json = false;
};

// Plays the steps (already checked against the library's ranges) and returns
// the exit status: 0 played, 1 refused, 130 interrupted.
int PlayProgramme(const PlayOptions& options, const std::vector<Step>& steps);

// Makes Ctrl+C stop a programme at once, the driver closed cleanly.
void CatchInterrupt();

}  // namespace tonegate_tool
