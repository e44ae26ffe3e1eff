// The picture of `tonegate check --plot`: for each of the capture's first two
// channels (A above, B below) a spectrogram over the whole capture on a
// logarithmic frequency axis, with the analysed items outlined and labelled,
// and the level over time beneath it; a title line with the capture's facts.
// The capture is read in windows, so memory does not grow with its length.
// Thread: the caller's one thread.
#pragma once

#include <string>

#include "analysis/capture_analysis.h"

namespace tonegate_capture {

// The picture's size in pixels, whatever the capture.
constexpr int kPlotWidth = 1600;
constexpr int kPlotHeight = 1000;

// Draws `capture` (already analysed; its items are outlined) from the file at
// capture.path into a PNG at `pngPath`. False with the reason in `why` when
// the capture cannot be read or the picture cannot be written.
bool DrawCapturePlot(const Capture& capture, const std::string& pngPath, std::string& why);

}  // namespace tonegate_capture
