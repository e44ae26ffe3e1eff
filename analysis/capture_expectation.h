// A measured capture compared with the sounds a script asked for: the sounds
// paired with the capture's items in order on each channel, and every
// difference beyond its bound as a record (the sound's script line and step,
// the field, what was asked, what was measured, the bound) with a sentence.
// It knows nothing of a script's syntax: the caller says what was asked.
// Thread: the caller's one thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/capture_analysis.h"

namespace tonegate_capture {

// One sound a script asks for.
struct ExpectedSound {
    int line = 0;            // the script line that asks for it
    int step = 0;            // the script's step it belongs to, from 1 (a step's two voices share it)
    int channel = 0;         // 0: A, 1: B
    ItemKind kind = ItemKind::Tone;  // a tone or a sweep
    double frequency = 0;    // Hz: a tone's, or a sweep's start
    double to = 0;           // Hz: a sweep's end
    double seconds = 0;      // the length asked for
    double attenuation = 0;  // dB below full scale
    bool together = false;   // one of two voices that start on one frame
    std::string label;       // how the sentences name it: "script.txt:3: tone A 1000 Hz"
};

enum class MismatchField {
    Rate,        // the capture's rate is not the script's
    Missing,     // no item is the sound
    Extra,       // an item that is no sound of the script
    Frequency,   // a tone's fitted frequency
    Level,       // the fitted level
    Sum,         // a note's exact sample sum
    Onset,       // the two voices of one step not on one frame
    Order,       // a sound before the one the script plays before it
    Thdn,        // a recorded note broken by a gap or a glitch
    Dropout,     // a stretch where the sound breaks off or jumps
    Unmeasured,  // a figure of the sound's item that could not be measured
};

// "rate", "missing", "extra", "frequency", "level", "sum", "onset", "order",
// "thdn", "dropout", "unmeasured": the names the reports use.
const char* FieldName(MismatchField field);

struct Mismatch {
    int line = 0;      // the sound's script line; 0: the capture as a whole, or an extra item
    int step = 0;      // the sound's step, from 1; 0: none
    int channel = -1;  // 0: A, 1: B; -1: the capture as a whole
    int item = -1;     // the item's index in Capture::items; -1: none (a missing sound, the rate)
    MismatchField field = MismatchField::Missing;
    // In `unit`; absent where the field has no such figure (a missing sound
    // has nothing measured) or the figure is not a number.
    std::optional<double> expected, measured, bound;
    std::string unit;  // "Hz", "dB", "frames", "sample units"; empty when there is no figure
    std::string text;  // the whole mismatch in words, from the sound's label on
};

// Everything in `capture` that differs from `sounds` (in the script's order)
// beyond its bound; `askedRate` is the rate the script asks for (0: none).
// Empty when the capture holds exactly the sounds.
std::vector<Mismatch> CompareWithScript(const Capture& capture, const std::vector<ExpectedSound>& sounds,
                                        int askedRate);

// For each of capture.items, whether a mismatch concerns it.
std::vector<bool> FailedItems(const Capture& capture, const std::vector<Mismatch>& mismatches);

}  // namespace tonegate_capture
