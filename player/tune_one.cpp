// QuilletOne's tune: a waltz-like piece in F major for two voices in 33
// two-bar phrases, a melody on one channel over a walking bass on the other,
// the roles changing hands from phrase to phrase, every note at 6 dB. Also
// this build's gap target and its pause before the farewell.
// Thread: the player's only thread.
#include "player/tune.h"
#include "player/tune_steps.h"

const uint32_t GAP_TARGET_MICROS = 40000;
const bool kPauseBeforeFarewell = true;

namespace {

constexpr uint32_t kLevel = 6;
constexpr double kEighth = 0.08;
constexpr double kQuarter = 0.16;
constexpr double kHalf = 0.32;

constexpr Note A(int number, double seconds) { return OnA(number, seconds, kLevel); }
constexpr Note B(int number, double seconds) { return OnB(number, seconds, kLevel); }

// 1: Section one, in F: the theme's opening call, alone on A.
constexpr TuneStep kPhrase01[] = {
    RestFor(kQuarter), Waited(A(29, kQuarter)), Waited(A(33, kQuarter)), Waited(A(29, kQuarter)),
    Waited(A(36, kQuarter)), Waited(A(29, kQuarter)),
};
// 2: the theme: eighths falling over a bass in quarters.
constexpr TuneStep kPhrase02[] = {
    Waited(A(41, kQuarter)),
    Together(B(17, kQuarter), A(40, kEighth)), Waited(A(38, kEighth)),
    Together(B(21, kQuarter), A(36, kEighth)), Waited(A(38, kEighth)),
    Together(B(17, kQuarter), A(36, kEighth)), Waited(A(34, kEighth)),
    Together(B(24, kQuarter), A(33, kEighth)), Waited(A(34, kEighth)),
    Together(B(17, kQuarter), A(33, kEighth)), Waited(A(31, kEighth)),
};
// 3: its answer, the voices turned round: quarters on A over running eighths on B.
constexpr TuneStep kPhrase03[] = {
    Together(A(29, kQuarter), B(29, kQuarter)),
    Together(A(33, kQuarter), B(28, kEighth)), Waited(B(26, kEighth)),
    Together(A(36, kQuarter), B(24, kEighth)), Waited(B(26, kEighth)),
    Together(A(34, kQuarter), B(28, kEighth)), Waited(B(26, kEighth)),
    Together(A(33, kQuarter), B(29, kEighth)), Waited(B(24, kEighth)),
    Together(A(31, kQuarter), B(22, kEighth)), Waited(B(24, kEighth)),
};
// 4: the theme climbs to A and turns towards C.
constexpr TuneStep kPhrase04[] = {
    Together(B(17, kQuarter), A(41, kEighth)), Waited(A(43, kEighth)),
    Together(B(21, kQuarter), A(45, kEighth)), Waited(A(43, kEighth)),
    Together(B(22, kQuarter), A(41, kEighth)), Waited(A(38, kEighth)),
    Together(B(19, kQuarter), A(34, kEighth)), Waited(A(38, kEighth)),
    Together(B(12, kQuarter), A(36, kEighth)), Waited(A(40, kEighth)),
    Together(B(12, kQuarter), A(43, kEighth)), Waited(A(40, kEighth)),
};
// 5: falling tenths, then a cadence onto F.
constexpr TuneStep kPhrase05[] = {
    Together(A(45, kEighth), B(17, kEighth)), Together(A(43, kEighth), B(16, kEighth)),
    Together(A(41, kEighth), B(14, kEighth)), Together(A(40, kEighth), B(12, kEighth)),
    Together(A(38, kEighth), B(10, kEighth)), Together(A(36, kEighth), B(9, kEighth)),
    Together(A(34, kEighth), B(7, kEighth)), Together(A(33, kEighth), B(5, kEighth)),
    Together(A(31, kQuarter), B(12, kEighth)), Waited(B(16, kEighth)),
    Together(A(33, kQuarter), B(17, kEighth)), Waited(B(12, kEighth)),
};
// 6: quarters rising to G over a bass in eighths.
constexpr TuneStep kPhrase06[] = {
    Together(A(36, kQuarter), B(5, kEighth)), Waited(B(9, kEighth)),
    Together(A(38, kQuarter), B(10, kEighth)), Waited(B(14, kEighth)),
    Together(A(40, kQuarter), B(12, kEighth)), Waited(B(16, kEighth)),
    Together(A(41, kQuarter), B(14, kEighth)), Waited(B(17, kEighth)),
    Together(A(43, kQuarter), B(10, kEighth)), Waited(B(14, kEighth)),
    Together(A(40, kQuarter), B(12, kEighth)), Waited(B(7, kEighth)),
};
// 7: eighths falling back over a walking bass.
constexpr TuneStep kPhrase07[] = {
    Together(B(9, kQuarter), A(41, kEighth)), Waited(A(40, kEighth)),
    Together(B(10, kQuarter), A(38, kEighth)), Waited(A(41, kEighth)),
    Together(B(12, kQuarter), A(40, kEighth)), Waited(A(36, kEighth)),
    Together(B(5, kQuarter), A(36, kEighth)), Waited(A(33, kEighth)),
    Together(B(7, kQuarter), A(34, kEighth)), Waited(A(31, kEighth)),
    Together(B(12, kQuarter), A(31, kEighth)), Waited(A(28, kEighth)),
};
// 8: rising tenths and the first full close on F.
constexpr TuneStep kPhrase08[] = {
    Together(A(29, kEighth), B(5, kEighth)), Together(A(31, kEighth), B(7, kEighth)),
    Together(A(33, kEighth), B(9, kEighth)), Together(A(34, kEighth), B(10, kEighth)),
    Together(A(36, kQuarter), B(12, kEighth)), Waited(B(10, kEighth)),
    Together(A(40, kQuarter), B(12, kEighth)), Waited(B(7, kEighth)),
    Together(A(41, kHalf), B(5, kHalf)),
};
// 9: the theme again, an octave's reach higher, from the top C.
constexpr TuneStep kPhrase09[] = {
    Waited(A(48, kQuarter)),
    Together(B(17, kQuarter), A(46, kEighth)), Waited(A(45, kEighth)),
    Together(B(21, kQuarter), A(43, kEighth)), Waited(A(45, kEighth)),
    Together(B(17, kQuarter), A(41, kEighth)), Waited(A(40, kEighth)),
    Together(B(12, kQuarter), A(38, kEighth)), Waited(A(40, kEighth)),
    Together(B(17, kQuarter), A(41, kEighth)), Waited(A(36, kEighth)),
};
// 10: its answer, stepping down over the bass.
constexpr TuneStep kPhrase10[] = {
    Together(A(41, kQuarter), B(17, kEighth)), Waited(B(19, kEighth)),
    Together(A(40, kQuarter), B(21, kEighth)), Waited(B(19, kEighth)),
    Together(A(38, kQuarter), B(22, kEighth)), Waited(B(21, kEighth)),
    Together(A(36, kQuarter), B(21, kEighth)), Waited(B(17, kEighth)),
    Together(A(34, kQuarter), B(19, kEighth)), Waited(B(16, kEighth)),
    Together(A(33, kQuarter), B(17, kEighth)), Waited(B(21, kEighth)),
};
// 11: tenths rising into the dominant.
constexpr TuneStep kPhrase11[] = {
    Together(A(33, kEighth), B(17, kEighth)), Together(A(34, kEighth), B(19, kEighth)),
    Together(A(36, kEighth), B(21, kEighth)), Together(A(38, kEighth), B(22, kEighth)),
    Together(B(12, kQuarter), A(40, kEighth)), Waited(A(43, kEighth)),
    Together(B(12, kQuarter), A(41, kEighth)), Waited(A(40, kEighth)),
    Together(A(38, kEighth), B(7, kEighth)), Together(A(40, kEighth), B(12, kEighth)),
    Together(A(41, kEighth), B(5, kEighth)), Together(A(36, kEighth), B(9, kEighth)),
};
// 12: Section two, in C: the held C over the bass alone, the tune's one unwaited note.
constexpr TuneStep kPhrase12[] = {
    Unwaited(A(36, kHalf)), RestFor(kQuarter), Waited(B(12, kQuarter)), Waited(B(16, kQuarter)),
    Waited(B(12, kQuarter)), Waited(B(19, kQuarter)), Waited(B(12, kQuarter)),
};
// 13: the theme in C.
constexpr TuneStep kPhrase13[] = {
    Waited(A(36, kQuarter)),
    Together(B(12, kQuarter), A(35, kEighth)), Waited(A(33, kEighth)),
    Together(B(16, kQuarter), A(31, kEighth)), Waited(A(33, kEighth)),
    Together(B(12, kQuarter), A(31, kEighth)), Waited(A(29, kEighth)),
    Together(B(19, kQuarter), A(28, kEighth)), Waited(A(29, kEighth)),
    Together(B(12, kQuarter), A(28, kEighth)), Waited(A(26, kEighth)),
};
// 14: its answer in C.
constexpr TuneStep kPhrase14[] = {
    Together(A(24, kQuarter), B(24, kQuarter)),
    Together(A(28, kQuarter), B(23, kEighth)), Waited(B(21, kEighth)),
    Together(A(31, kQuarter), B(19, kEighth)), Waited(B(21, kEighth)),
    Together(A(29, kQuarter), B(23, kEighth)), Waited(B(21, kEighth)),
    Together(A(28, kQuarter), B(24, kEighth)), Waited(B(19, kEighth)),
    Together(A(26, kQuarter), B(17, kEighth)), Waited(B(19, kEighth)),
};
// 15: tenths falling through C major.
constexpr TuneStep kPhrase15[] = {
    Together(A(40, kEighth), B(12, kEighth)), Together(A(38, kEighth), B(11, kEighth)),
    Together(A(36, kEighth), B(9, kEighth)), Together(A(35, kEighth), B(7, kEighth)),
    Together(A(33, kEighth), B(5, kEighth)), Together(A(31, kEighth), B(4, kEighth)),
    Together(A(29, kEighth), B(2, kEighth)), Together(A(28, kEighth), B(0, kEighth)),
    Together(A(26, kQuarter), B(7, kEighth)), Waited(B(11, kEighth)),
    Together(A(28, kQuarter), B(12, kEighth)), Waited(B(7, kEighth)),
};
// 16: the theme's eighths reach the top C.
constexpr TuneStep kPhrase16[] = {
    Together(B(12, kQuarter), A(40, kEighth)), Waited(A(43, kEighth)),
    Together(B(16, kQuarter), A(48, kEighth)), Waited(A(43, kEighth)),
    Together(B(17, kQuarter), A(45, kEighth)), Waited(A(41, kEighth)),
    Together(B(19, kQuarter), A(38, kEighth)), Waited(A(41, kEighth)),
    Together(B(7, kQuarter), A(43, kEighth)), Waited(A(38, kEighth)),
    Together(B(12, kQuarter), A(36, kEighth)), Waited(A(36, kEighth)),
};
// 17: A minor: quarters over the bass, to a half close on E.
constexpr TuneStep kPhrase17[] = {
    Together(A(33, kQuarter), B(9, kEighth)), Waited(B(12, kEighth)),
    Together(A(36, kQuarter), B(16, kEighth)), Waited(B(12, kEighth)),
    Together(A(35, kQuarter), B(4, kEighth)), Waited(B(8, kEighth)),
    Together(A(36, kQuarter), B(9, kEighth)), Waited(B(12, kEighth)),
    Together(A(38, kQuarter), B(5, kEighth)), Waited(B(9, kEighth)),
    Together(A(40, kQuarter), B(4, kEighth)), Waited(B(8, kEighth)),
};
// 18: D minor, eighths over the bass, to the A major chord.
constexpr TuneStep kPhrase18[] = {
    Together(B(14, kQuarter), A(38, kEighth)), Waited(A(41, kEighth)),
    Together(B(17, kQuarter), A(45, kEighth)), Waited(A(41, kEighth)),
    Together(B(10, kQuarter), A(43, kEighth)), Waited(A(38, kEighth)),
    Together(B(7, kQuarter), A(34, kEighth)), Waited(A(38, kEighth)),
    Together(B(9, kQuarter), A(37, kEighth)), Waited(A(40, kEighth)),
    Together(B(9, kQuarter), A(43, kEighth)), Waited(A(40, kEighth)),
};
// 19: tenths and quarters back through G minor.
constexpr TuneStep kPhrase19[] = {
    Together(A(41, kEighth), B(14, kEighth)), Together(A(40, kEighth), B(16, kEighth)),
    Together(A(38, kEighth), B(17, kEighth)), Together(A(37, kEighth), B(19, kEighth)),
    Together(A(38, kQuarter), B(14, kEighth)), Waited(B(17, kEighth)),
    Together(A(34, kQuarter), B(19, kEighth)), Waited(B(22, kEighth)),
    Together(A(33, kEighth), B(21, kEighth)), Together(A(34, kEighth), B(19, kEighth)),
    Together(A(37, kEighth), B(9, kEighth)), Together(A(38, kEighth), B(2, kEighth)),
};
// 20: quarters over the bass in G minor and C.
constexpr TuneStep kPhrase20[] = {
    Together(A(38, kQuarter), B(10, kEighth)), Waited(B(14, kEighth)),
    Together(A(41, kQuarter), B(17, kEighth)), Waited(B(14, kEighth)),
    Together(A(43, kQuarter), B(7, kEighth)), Waited(B(10, kEighth)),
    Together(A(40, kQuarter), B(12, kEighth)), Waited(B(16, kEighth)),
    Together(A(36, kQuarter), B(9, kEighth)), Waited(B(12, kEighth)),
    Together(A(41, kQuarter), B(14, kEighth)), Waited(B(17, kEighth)),
};
// 21: eighths over the bass, then tenths, towards home.
constexpr TuneStep kPhrase21[] = {
    Together(B(7, kQuarter), A(43, kEighth)), Waited(A(41, kEighth)),
    Together(B(10, kQuarter), A(38, kEighth)), Waited(A(34, kEighth)),
    Together(B(12, kQuarter), A(36, kEighth)), Waited(A(40, kEighth)),
    Together(A(43, kEighth), B(12, kEighth)), Together(A(46, kEighth), B(10, kEighth)),
    Together(A(45, kEighth), B(5, kEighth)), Together(A(43, kEighth), B(7, kEighth)),
    Together(A(41, kEighth), B(9, kEighth)), Together(A(40, kEighth), B(12, kEighth)),
};
// 22: the dominant seventh, ready for F.
constexpr TuneStep kPhrase22[] = {
    Together(A(38, kEighth), B(10, kEighth)), Together(A(36, kEighth), B(12, kEighth)),
    Together(A(34, kEighth), B(14, kEighth)), Together(A(33, kEighth), B(16, kEighth)),
    Together(A(31, kQuarter), B(12, kEighth)), Waited(B(16, kEighth)),
    Together(A(34, kQuarter), B(19, kEighth)), Waited(B(22, kEighth)),
    Together(A(36, kEighth), B(24, kEighth)), Together(A(40, kEighth), B(22, kEighth)),
    Together(A(34, kEighth), B(19, kEighth)), Together(A(36, kEighth), B(12, kEighth)),
};
// 23: Section three, in F: the theme comes home, varied.
constexpr TuneStep kPhrase23[] = {
    Waited(A(41, kQuarter)),
    Together(B(17, kQuarter), A(40, kEighth)), Waited(A(41, kEighth)),
    Together(B(21, kQuarter), A(43, kEighth)), Waited(A(41, kEighth)),
    Together(B(22, kQuarter), A(38, kEighth)), Waited(A(34, kEighth)),
    Together(B(24, kQuarter), A(36, kEighth)), Waited(A(34, kEighth)),
    Together(B(17, kQuarter), A(33, kEighth)), Waited(A(36, kEighth)),
};
// 24: its answer.
constexpr TuneStep kPhrase24[] = {
    Together(A(29, kEighth), B(17, kEighth)), Together(A(31, kEighth), B(19, kEighth)),
    Together(A(33, kQuarter), B(16, kEighth)), Waited(B(14, kEighth)),
    Together(A(36, kQuarter), B(12, kEighth)), Waited(B(14, kEighth)),
    Together(A(38, kQuarter), B(10, kEighth)), Waited(B(9, kEighth)),
    Together(A(34, kQuarter), B(7, kEighth)), Waited(B(10, kEighth)),
    Together(A(33, kQuarter), B(12, kEighth)), Waited(B(16, kEighth)),
};
// 25: falling tenths down to the low F.
constexpr TuneStep kPhrase25[] = {
    Together(A(41, kEighth), B(14, kEighth)), Together(A(40, kEighth), B(12, kEighth)),
    Together(A(38, kEighth), B(10, kEighth)), Together(A(36, kEighth), B(9, kEighth)),
    Together(A(34, kEighth), B(7, kEighth)), Together(A(33, kEighth), B(5, kEighth)),
    Together(A(31, kEighth), B(4, kEighth)), Together(A(29, kEighth), B(5, kEighth)),
    Together(B(12, kQuarter), A(31, kEighth)), Waited(A(33, kEighth)),
    Together(B(12, kQuarter), A(34, kEighth)), Waited(A(31, kEighth)),
};
// 26: quarters rising over the bass.
constexpr TuneStep kPhrase26[] = {
    Together(A(33, kQuarter), B(5, kEighth)), Waited(B(9, kEighth)),
    Together(A(36, kQuarter), B(12, kEighth)), Waited(B(9, kEighth)),
    Together(A(41, kQuarter), B(14, kEighth)), Waited(B(10, kEighth)),
    Together(A(38, kQuarter), B(7, kEighth)), Waited(B(10, kEighth)),
    Together(A(40, kQuarter), B(12, kEighth)), Waited(B(16, kEighth)),
    Together(A(43, kQuarter), B(19, kEighth)), Waited(B(16, kEighth)),
};
// 27: eighths at the peak, round the top C.
constexpr TuneStep kPhrase27[] = {
    Together(B(17, kQuarter), A(45, kEighth)), Waited(A(46, kEighth)),
    Together(B(21, kQuarter), A(48, kEighth)), Waited(A(46, kEighth)),
    Together(B(22, kQuarter), A(45, kEighth)), Waited(A(43, kEighth)),
    Together(B(19, kQuarter), A(41, kEighth)), Waited(A(43, kEighth)),
    Together(B(12, kQuarter), A(45, kEighth)), Waited(A(43, kEighth)),
    Together(B(12, kQuarter), A(41, kEighth)), Waited(A(40, kEighth)),
};
// 28: tenths climbing to the top C and back.
constexpr TuneStep kPhrase28[] = {
    Together(A(41, kEighth), B(14, kEighth)), Together(A(43, kEighth), B(12, kEighth)),
    Together(A(45, kEighth), B(10, kEighth)), Together(A(46, kEighth), B(9, kEighth)),
    Together(A(48, kEighth), B(5, kEighth)), Together(A(46, kEighth), B(7, kEighth)),
    Together(A(45, kEighth), B(9, kEighth)), Together(A(43, kEighth), B(10, kEighth)),
    Together(A(41, kQuarter), B(12, kEighth)), Waited(B(10, kEighth)),
    Together(A(40, kQuarter), B(12, kEighth)), Waited(B(7, kEighth)),
};
// 29: quarters from the top C down over the bass.
constexpr TuneStep kPhrase29[] = {
    Together(A(41, kQuarter), B(5, kEighth)), Waited(B(9, kEighth)),
    Together(A(45, kQuarter), B(10, kEighth)), Waited(B(14, kEighth)),
    Together(A(48, kQuarter), B(12, kEighth)), Waited(B(16, kEighth)),
    Together(A(46, kQuarter), B(7, kEighth)), Waited(B(10, kEighth)),
    Together(A(45, kQuarter), B(12, kEighth)), Waited(B(9, kEighth)),
    Together(A(43, kQuarter), B(12, kEighth)), Waited(B(10, kEighth)),
};
// 30: eighths falling, as in the first section.
constexpr TuneStep kPhrase30[] = {
    Together(B(9, kQuarter), A(41, kEighth)), Waited(A(40, kEighth)),
    Together(B(10, kQuarter), A(38, kEighth)), Waited(A(41, kEighth)),
    Together(B(12, kQuarter), A(40, kEighth)), Waited(A(43, kEighth)),
    Together(B(14, kQuarter), A(45, kEighth)), Waited(A(41, kEighth)),
    Together(A(38, kEighth), B(10, kEighth)), Together(A(36, kEighth), B(9, kEighth)),
    Together(B(12, kQuarter), A(34, kEighth)), Waited(A(33, kEighth)),
};
// 31: tenths rising from A to A.
constexpr TuneStep kPhrase31[] = {
    Together(A(33, kEighth), B(5, kEighth)), Together(A(34, kEighth), B(7, kEighth)),
    Together(A(36, kEighth), B(9, kEighth)), Together(A(38, kEighth), B(10, kEighth)),
    Together(A(40, kEighth), B(12, kEighth)), Together(A(41, kEighth), B(14, kEighth)),
    Together(A(43, kEighth), B(16, kEighth)), Together(A(45, kEighth), B(17, kEighth)),
    Together(A(43, kQuarter), B(12, kEighth)), Waited(B(10, kEighth)),
    Together(A(40, kQuarter), B(12, kEighth)), Waited(B(7, kEighth)),
};
// 32: the last turn before the close.
constexpr TuneStep kPhrase32[] = {
    Together(A(41, kQuarter), B(5, kEighth)), Waited(B(9, kEighth)),
    Together(A(36, kQuarter), B(12, kEighth)), Waited(B(9, kEighth)),
    Together(A(38, kQuarter), B(10, kEighth)), Waited(B(14, kEighth)),
    Together(A(34, kQuarter), B(7, kEighth)), Waited(B(10, kEighth)),
    Together(A(33, kEighth), B(5, kEighth)), Together(A(36, kEighth), B(9, kEighth)),
    Together(A(34, kEighth), B(10, kEighth)), Together(A(31, kEighth), B(12, kEighth)),
};
// 33: the close: G minor, the dominant, and F.
constexpr TuneStep kPhrase33[] = {
    Together(A(22, kQuarter), B(7, kEighth)), Waited(B(9, kEighth)),
    Together(A(29, kQuarter), B(7, kEighth)), Waited(B(5, kEighth)),
    Together(A(21, kQuarter), B(12, kEighth)), Waited(B(10, kEighth)),
    Together(A(29, kQuarter), B(9, kEighth)), Waited(B(10, kEighth)),
    Together(A(19, kQuarter), B(12, kQuarter)),
    Together(A(28, kQuarter), B(0, kQuarter)),
    Together(A(29, kHalf), B(5, kHalf)),
};

constexpr Phrase kTune[] = {
    kPhrase01, kPhrase02, kPhrase03, kPhrase04, kPhrase05, kPhrase06, kPhrase07, kPhrase08, kPhrase09,
    kPhrase10, kPhrase11, kPhrase12, kPhrase13, kPhrase14, kPhrase15, kPhrase16, kPhrase17, kPhrase18,
    kPhrase19, kPhrase20, kPhrase21, kPhrase22, kPhrase23, kPhrase24, kPhrase25, kPhrase26, kPhrase27,
    kPhrase28, kPhrase29, kPhrase30, kPhrase31, kPhrase32, kPhrase33,
};

}  // namespace

bool PlayTune() { return PlayPhrasesUntilKey(kTune); }
