// The analysis's thresholds, each with where its number comes from.
// Thread: any (constants only).
#pragma once

#include <cstdint>

namespace tonegate_capture {

// Frames read at a time: large enough that a block's overhead vanishes,
// small enough that two channels' worth stays in the cache.
constexpr int64_t kBlockFrames = 16384;

// ---- Finding items ----
// Silence that parts two items in a bit-exact capture: a run of exact zeros
// this long. A quiet note's crossings hold shorter runs: at 60 dB below
// 16-bit full scale (amplitude 32.8) a 10 Hz sine is 0 for 1/(32.8·π·10) s,
// about 1 ms, round each crossing.
constexpr double kExactGapSeconds = 0.002;
constexpr int64_t kExactGapFrames = 64;
// In a recorded capture: a run below the threshold this long (a few periods
// of the lowest tone a test plays sit above it between its crossings).
constexpr double kRecordedGapSeconds = 0.005;
// A recorded item shorter than this is a click, not a sound.
constexpr double kShortestRecordedItem = 0.001;
// The recorded reading's threshold, when none is given: the default, or
// this far above the capture's noise floor where that is louder (the peak
// of its quietest tenth of 10 ms windows: Gaussian noise peaks at about 3σ
// in such a window, and rarely beyond 5σ, 4.4 dB more, in a whole silence).
constexpr double kDefaultThresholdDb = -70;
constexpr double kThresholdAboveFloorDb = 10;
constexpr double kNoiseFloorSeconds = 0.01;
constexpr double kFloorBelowTypicalDb = 20;
constexpr double kNoiseFloorShare = 0.1;

// ---- Telling a bit-exact capture from a recording ----
// A 32-bit capture that went through 32-bit floats has its low byte zero in
// every sample above 2^25 (a float holds 24 bits of mantissa); a genuine
// integer one has it zero in one sample of 256.
constexpr double kFloatPathShare = 0.99;
// Fewer such samples tell nothing: a click of round values (a half, a
// quarter of full scale) has its low bytes zero in any format. A float
// path's tone gives thousands.
constexpr int64_t kFloatPathFewestSamples = 64;
// A tone whose first sample comes this many frames before its attack
// begins rings ahead of itself: it went through a resampler or a filter.
constexpr int64_t kRingingFrames = 2;

// ---- Measuring an item ----
// A ramp's half-cycles are those below this share of the item's peak
// (a first estimate, refined on the samples).
constexpr double kRampShare = 0.9;
// Half-cycles kept at each end of an item for that estimate.
constexpr int kEdgeHalfCycles = 256;
// A ramp is refined on its frames up to this share short of its estimated
// end, so that no steady frame is taken for a ramp's.
constexpr double kRampMargin = 0.03;
// The fits' phase is computed afresh every this many frames and rotated in
// between: the rotation's rounding stays below 1e-13 of the amplitude.
constexpr int kPhaseResyncFrames = 256;
// A fit starts on this many periods round the item's middle and grows,
// so that the first estimate (from the crossings, right to a part in
// several hundred) never slips a cycle over the stretch it is refined on.
constexpr double kFirstFitPeriods = 64;
// What the fit of a kind may leave for the item to be of that kind: a clean
// tone leaves -60 dB or better; a tone with a gap cut from it about -14 dB.
constexpr double kKindResidualDb = -8;
// A tone's half-cycles keep their frequency: a sweep moves it further than
// this share over the item (a tone's interpolated crossings wander by less).
constexpr double kSweepMovesShare = 0.002;
// Fewer crossings than this tell no frequency: a click, DC or a fragment
// (the shortest note, two cycles, crosses three times between its ends).
constexpr int64_t kFewestCrossings = 3;
// A sound below this many frames a period is at the top of the band.
constexpr double kFewestFramesPerPeriod = 2.02;
// Within a recorded item, windows of this length whose residual exceeds
// this share of the tone's own power are a gap or a glitch; from 0.5 ms on
// a break is then found wherever it falls.
constexpr double kGapWindowSeconds = 0.00025;
constexpr double kGapResidualShare = 0.1;

// THD+N is taken over the steady part less its ends where windows of a
// period leave more than this many times the median window's residual: a
// fade that is not linear ends later than the line fitted to it, and its
// last part would count as distortion. (Noise over 16 samples or more
// passes twice its mean in fewer than one window in a hundred; the trim
// stops at the first such window.)
constexpr double kSteadyEndExcess = 2;
constexpr int64_t kSteadyEndFewestWindows = 8;
constexpr int64_t kSteadyEndShortestWindow = 16;

}  // namespace tonegate_capture
