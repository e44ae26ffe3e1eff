// One item measured on its own, after the first pass found it: what kind of
// sound it is, and its figures. Thread: the caller's one thread.
#pragma once

#include "analysis/capture_analysis.h"
#include "analysis/item_finder.h"

namespace tonegate_capture {

// How the capture's samples are to be read.
struct Reading {
    double rate = 0;
    double fullScale = 0;
    bool integers = false;   // integer samples: sums exist, truncation is fitted
    bool recorded = false;   // the tolerant reading: gaps and glitches are looked for
};

// Measures the item `span` on `channel` (item.start, frames, peak, sum and
// every figure of its kind). False when the source cannot be read again.
bool MeasureItem(SampleSource& source, int channel, const Span& span, const Reading& reading, Item& item);

}  // namespace tonegate_capture
