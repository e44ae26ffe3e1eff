// `tonegate check`: a capture measured, reported as text or JSON, compared
// with the script that should have made it, and drawn on request.
// Thread: the command's one thread.
#pragma once

#include <optional>
#include <string>

namespace tonegate_tool {

struct CheckOptions {
    std::string capture;
    std::string expect;  // a script; empty: nothing to compare with
    std::string plot;    // a PNG to draw; empty: none
    std::optional<double> thresholdDb;  // silence in a recording, dBFS; none: found from its noise floor
    bool recorded = false;
    bool json = false;
    int channelA = 0, channelB = 1;  // the file's channels read as A and B (from 0)
};

// 0 when the capture was read whole (and matches the script, when one is
// given), 1 otherwise, with each reason on standard error.
int CheckCapture(const CheckOptions& options);

}  // namespace tonegate_tool
