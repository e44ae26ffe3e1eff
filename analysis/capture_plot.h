// The picture of `tonegate check --plot`: for channels A and B (A above, B
// below) a spectrogram over the whole capture on a logarithmic frequency
// axis, with the analysed items outlined and labelled with their measured
// figures (those that differ from the script marked), and the level over
// time beneath it; a title line with the capture's facts.
// The capture is read in windows, so memory does not grow with its length.
// Thread: the caller's one thread.
#pragma once

#include <string>

#include <vector>

#include "analysis/capture_analysis.h"
#include "analysis/capture_expectation.h"

namespace tonegate_capture {

// The picture's size in pixels, whatever the capture.
constexpr int kPlotWidth = 1600;
constexpr int kPlotHeight = 1000;

// Draws `capture` (already analysed; its items are outlined, and those that
// `mismatches` concern marked) from the file at capture.path into a PNG at
// `pngPath`. False with the reason in `why` when the capture cannot be read
// or the picture cannot be written.
bool DrawCapturePlot(const Capture& capture, const std::vector<Mismatch>& mismatches, const std::string& pngPath,
                     std::string& why);

}  // namespace tonegate_capture
