// QuilletTwo's tune: two sections, each played twice, joined by four linking
// phrases, with the loudness shaped note by note. Also this build's gap
// target; this build starts its farewell sweeps without a pause.
// Thread: the player's only thread.
#include "player/tune.h"
#include "player/tune_steps.h"

const uint32_t GAP_TARGET_MICROS = 45000;
const bool kPauseBeforeFarewell = false;

namespace {

constexpr double kBeat = 0.16;
constexpr double kTwoBeats = 0.32;
constexpr double kThreeBeats = 0.48;

constexpr Note A(int number, double seconds, uint32_t attenuation) { return OnA(number, seconds, attenuation); }
constexpr Note B(int number, double seconds, uint32_t attenuation) { return OnB(number, seconds, attenuation); }

constexpr TuneStep kUpbeat[] = {
    Waited(A(40, kBeat, 20)), Waited(A(39, kBeat, 16)),
};
constexpr TuneStep kSwellAndFall[] = {
    Waited(A(40, kBeat, 12)), Waited(A(39, kBeat, 8)), Waited(A(40, kBeat, 4)),
    Waited(A(35, kBeat, 0)), Waited(A(38, kBeat, 8)), Waited(A(36, kBeat, 12)),
};
constexpr TuneStep kRiseOnA[] = {
    Together(A(33, kTwoBeats, 16), B(9, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(21, kBeat, 18)),
    Waited(A(24, kBeat, 20)), Waited(A(28, kBeat, 20)), Waited(A(33, kBeat, 20)),
};
constexpr TuneStep kRiseOnE[] = {
    Together(A(35, kTwoBeats, 18), B(4, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(20, kBeat, 18)),
    Waited(A(28, kBeat, 20)), Waited(A(32, kBeat, 20)), Waited(A(35, kBeat, 20)),
};
constexpr TuneStep kRiseBackToTheTop[] = {
    Together(A(36, kTwoBeats, 18), B(9, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(21, kBeat, 18)),
    Waited(A(28, kBeat, 20)), Waited(A(40, kBeat, 20)), Waited(A(39, kBeat, 20)),
};
constexpr TuneStep kHalfClose[] = {
    Together(A(35, kTwoBeats, 18), B(4, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(20, kBeat, 18)),
    Waited(A(28, kBeat, 20)), Waited(A(36, kBeat, 20)), Waited(A(35, kBeat, 20)),
};

constexpr TuneStep kOnC[] = {
    Together(A(40, kThreeBeats, 20), B(12, kBeat, 18)), Waited(B(19, kBeat, 16)), Waited(B(24, kBeat, 14)),
    Waited(A(31, kBeat, 12)), Waited(A(41, kBeat, 10)), Waited(A(40, kBeat, 8)),
};
constexpr TuneStep kOnG[] = {
    Together(A(38, kThreeBeats, 6), B(7, kBeat, 4)), Waited(B(19, kBeat, 2)), Waited(B(23, kBeat, 0)),
    Waited(A(29, kBeat, 2)), Waited(A(40, kBeat, 4)), Waited(A(38, kBeat, 6)),
};
constexpr TuneStep kOnA[] = {
    Together(A(36, kThreeBeats, 8), B(9, kBeat, 10)), Waited(B(16, kBeat, 12)), Waited(B(21, kBeat, 14)),
    Waited(A(28, kBeat, 16)), Waited(A(38, kBeat, 18)), Waited(A(36, kBeat, 20)),
};
constexpr TuneStep kEchoesOnE[] = {
    Together(A(35, kTwoBeats, 18), B(4, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(28, kBeat, 18)),
    Waited(A(28, kBeat, 20)), Waited(A(40, kBeat, 20)), Waited(B(28, kBeat, 20)),
    Waited(B(40, kBeat, 18)), Waited(A(40, kBeat, 18)), Waited(A(52, kBeat, 18)),
    Waited(B(39, kBeat, 20)), Waited(B(40, kBeat, 20)), Waited(A(39, kBeat, 20)),
};
constexpr TuneStep kTrill[] = {
    Waited(A(40, kBeat, 18)), Waited(B(39, kBeat, 18)), Waited(B(40, kBeat, 18)),
    Waited(A(39, kBeat, 20)), Waited(A(40, kBeat, 20)), Waited(A(39, kBeat, 20)),
};

constexpr TuneStep kLinkOne[] = {
    Together(A(33, kThreeBeats, 18), B(9, kBeat, 20)), Waited(B(16, kBeat, 20)), Waited(B(21, kBeat, 20)),
    RestFor(kBeat),
};
constexpr TuneStep kLinkTwo[] = {
    Together(A(33, kTwoBeats, 18), B(9, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(21, kBeat, 18)),
    Waited(A(35, kBeat, 20)), Waited(A(36, kBeat, 20)), Waited(A(38, kBeat, 20)),
};
constexpr TuneStep kLinkThree[] = {
    Together(A(33, kTwoBeats, 18), B(4, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(21, kBeat, 18)),
    Waited(A(35, kBeat, 20)), Waited(A(36, kBeat, 20)), Waited(A(38, kBeat, 20)),
};
constexpr TuneStep kLinkFour[] = {
    Together(A(33, kTwoBeats, 18), B(4, kBeat, 18)), Waited(B(16, kBeat, 18)), Waited(B(21, kBeat, 18)),
};

constexpr Phrase kFirstSection[] = {
    kUpbeat, kSwellAndFall, kRiseOnA, kRiseOnE, kRiseBackToTheTop, kSwellAndFall, kRiseOnA, kHalfClose,
};
// The second section ends with the first one's phrases after its upbeat.
constexpr Phrase kSecondSection[] = {
    kOnC, kOnG, kOnA, kEchoesOnE, kTrill,
    kSwellAndFall, kRiseOnA, kRiseOnE, kRiseBackToTheTop, kSwellAndFall, kRiseOnA, kHalfClose,
};

bool PlayFirstSection() { return PlayPhrasesUntilKey(kFirstSection); }
bool PlaySecondSection() { return PlayPhrasesUntilKey(kSecondSection); }

}  // namespace

// The links carry no key check of their own; the last one leaves it to the
// key loop.
bool PlayTune() {
    if (PlayFirstSection()) return true;
    PlayPhrase(kLinkOne);
    if (PlayFirstSection()) return true;
    PlayPhrase(kLinkTwo);
    if (PlaySecondSection()) return true;
    PlayPhrase(kLinkThree);
    if (PlaySecondSection()) return true;
    PlayPhrase(kLinkFour);
    return false;
}
