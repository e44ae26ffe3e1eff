// A measured capture compared with the sounds a script asked for.
// Thread: the caller's one thread.
#include "analysis/capture_expectation.h"

#include <cmath>
#include <cstdio>

namespace tonegate_capture {

namespace {

// What a bit-exact capture must match, and the looser bounds of a recorded one.
struct Tolerances {
    double frequency;        // relative
    double togetherSeconds;  // between the two voices of one step
    bool sums;               // notes sum to exactly 0
};
// Bit-exact: 1 ppm is what the analysis promises for a note of 0.1 s or more
// in a 16-bit capture (0.01 ppm in 32-bit); the two voices of a step leave
// the generator in one buffer, on one frame; its notes are corrected to sum 0.
constexpr Tolerances kBitExact{1e-6, 0, true};
// Recorded: a card's clock may be a few hundred ppm off and a sound server
// resamples once more; a resampler's filter moves an onset by up to about a
// millisecond; a recording's samples are not the generator's, so no sum.
constexpr Tolerances kRecorded{1e-3, 0.001, false};
// The script's attenuations are whole dB: half a step tells them apart.
constexpr double kLevelDb = 0.5;
// A recorded tone this distorted has a gap or a glitch in it (a clean one
// measures -60 dB or better), unless it is so quiet that the recording's own
// noise comes close: a few milliseconds cut out of a note leave its
// frequency, level and length within their bounds.
constexpr double kBrokenNoteThdnDb = -30.0;
constexpr double kQuietestDistortionChecked = 40.0;
// Notes longer than this play without their zero-sum correction.
constexpr double kLongestCorrectedNote = 10.0;
// A captured item is taken for an expected one when it is of its kind and
// channel and this close in frequency; then it is held to the bounds above.
constexpr double kSameSound = 0.03;

const char* ChannelName(int channel) { return channel == 0 ? "A" : "B"; }

std::string Decimals(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Within `bound` of `expected`; a figure that is not a number never is.
bool Within(double measured, double expected, double bound) { return std::fabs(measured - expected) <= bound; }

// An item in a few words, for a mismatch that has no sound to name it.
std::string Summary(const Item& item, int rate) {
    std::string text = std::string(ChannelName(item.channel)) + " " + KindName(item.kind) + " at " +
                       Decimals(static_cast<double>(item.start) / rate, 4) + " s (frame " +
                       std::to_string(item.start) + "), " + std::to_string(item.frames) + " frames";
    if (item.kind == ItemKind::Tone) text += ", " + Decimals(item.frequency, 6) + " Hz";
    if (item.kind == ItemKind::Sweep) text += ", " + Decimals(item.from, 2) + " to " + Decimals(item.to, 2) + " Hz";
    if (item.kind == ItemKind::Other) text += ", " + item.what;
    return text;
}

bool SameSound(const ExpectedSound& sound, const Item& item) {
    if (sound.kind != item.kind) return false;
    const auto near = [](double measured, double asked) { return std::fabs(measured / asked - 1) <= kSameSound; };
    return sound.kind == ItemKind::Tone ? near(item.frequency, sound.frequency)
                                        : near(item.from, sound.frequency) && near(item.to, sound.to);
}

// The records of one comparison, as they are found.
class Findings {
public:
    Findings(const Capture& capture, std::vector<Mismatch>& out) : capture_(capture), out_(out) {}

    // A mismatch of `sound` (null: the capture's or an extra item's) and the
    // item `item` (-1: none), said as `why` after the sound's label.
    Mismatch& Add(const ExpectedSound* sound, int item, MismatchField field, const std::string& why) {
        Mismatch& found = out_.emplace_back();
        found.field = field;
        found.item = item;
        if (sound != nullptr) {
            found.line = sound->line;
            found.step = sound->step;
            found.channel = sound->channel;
            found.text = sound->label + ": " + why;
        } else {
            found.channel = item >= 0 ? ItemAt(item).channel : -1;
            found.text = why;
        }
        return found;
    }

    const Item& ItemAt(int index) const { return capture_.items[static_cast<size_t>(index)]; }

    void Extra(int item) {
        const Item& extra = ItemAt(item);
        Mismatch& found = Add(nullptr, item, MismatchField::Extra, "extra item: " + Summary(extra, capture_.rate));
        if (extra.kind != ItemKind::Other)
            Figures(found, std::nullopt, extra.kind == ItemKind::Tone ? extra.frequency : extra.from, std::nullopt, "Hz");
    }

    // The record's figures; one that is not a number is left out.
    static void Figures(Mismatch& found, std::optional<double> expected, std::optional<double> measured,
                        std::optional<double> bound, const char* unit) {
        const auto number = [](std::optional<double> value) { return value && std::isfinite(*value) ? value : std::nullopt; };
        found.expected = number(expected);
        found.measured = number(measured);
        found.bound = bound;
        found.unit = unit;
    }

private:
    const Capture& capture_;
    std::vector<Mismatch>& out_;
};

// Pairs the script's sounds with the capture's items channel by channel, in
// order: an item that fits no sound is extra, a sound no item fits is
// missing. Returns each sound's item index (-1: missing).
std::vector<int> Pair(const Capture& capture, const std::vector<ExpectedSound>& sounds, Findings& findings) {
    std::vector<int> paired(sounds.size(), -1);
    for (int channel = 0; channel < 2; ++channel) {
        std::vector<int> items;
        for (size_t i = 0; i < capture.items.size(); ++i)
            if (capture.items[i].channel == channel) items.push_back(static_cast<int>(i));
        size_t next = 0;
        for (size_t s = 0; s < sounds.size(); ++s) {
            const ExpectedSound& sound = sounds[s];
            if (sound.channel != channel) continue;
            size_t at = next;
            while (at < items.size() && !SameSound(sound, capture.items[static_cast<size_t>(items[at])])) ++at;
            if (at == items.size()) {
                Findings::Figures(findings.Add(&sound, -1, MismatchField::Missing, "missing from the capture"),
                                  sound.frequency, std::nullopt, std::nullopt, "Hz");
                continue;
            }
            for (; next < at; ++next) findings.Extra(items[next]);
            paired[s] = items[next++];
        }
        for (; next < items.size(); ++next) findings.Extra(items[next]);
    }
    return paired;
}

// A paired tone's own figures.
void CompareTone(const Capture& capture, const ExpectedSound& sound, int index, Findings& findings) {
    const Item& item = findings.ItemAt(index);
    const Tolerances& bounds = capture.bitExact ? kBitExact : kRecorded;
    const double hz = sound.frequency * bounds.frequency;
    if (!Within(item.frequency, sound.frequency, hz)) {
        const double off = item.frequency / sound.frequency - 1;
        Findings::Figures(findings.Add(&sound, index, MismatchField::Frequency,
                                       "frequency " + Decimals(item.frequency, 6) + " Hz is " + Decimals(off * 1e6, 3) +
                                           " ppm off (at most " + Decimals(bounds.frequency * 1e6, 0) + " ppm)"),
                          sound.frequency, item.frequency, hz, "Hz");
    }
    if (bounds.sums && item.hasSum && sound.seconds <= kLongestCorrectedNote && item.sum != 0)
        Findings::Figures(findings.Add(&sound, index, MismatchField::Sum,
                                       "its samples sum to " + std::to_string(item.sum) + ", not 0"),
                          0, static_cast<double>(item.sum), 0.0, "sample units");
    if (!capture.bitExact && item.thdnMeasured && item.thdn > kBrokenNoteThdnDb &&
        sound.attenuation <= kQuietestDistortionChecked)
        Findings::Figures(findings.Add(&sound, index, MismatchField::Thdn,
                                       "THD+N " + Decimals(item.thdn, 1) + " dB: a gap or a glitch in the note"),
                          std::nullopt, item.thdn, kBrokenNoteThdnDb, "dB");
}

// A paired sound's start against the last sound found before it, and its item.
void CompareStart(const ExpectedSound& sound, int index, const ExpectedSound& previous, const Item& before,
                  double togetherFrames, Findings& findings) {
    const Item& item = findings.ItemAt(index);
    const double apart = static_cast<double>(item.onset - before.onset);
    if (previous.step == sound.step && sound.together && !(std::fabs(apart) <= togetherFrames))
        Findings::Figures(findings.Add(&sound, index, MismatchField::Onset,
                                       "starts " + std::to_string(item.onset - before.onset) +
                                           " frames after its other voice"),
                          static_cast<double>(before.onset), static_cast<double>(item.onset), togetherFrames, "frames");
    if (previous.step != sound.step && item.onset < before.onset)
        Findings::Figures(findings.Add(&sound, index, MismatchField::Order, "plays before " + previous.label),
                          static_cast<double>(before.onset), static_cast<double>(item.onset), std::nullopt, "frames");
}

// A paired sound's item: what could not be measured, its dropouts, a tone's
// figures and the level.
void CompareItem(const Capture& capture, const ExpectedSound& sound, int index, Findings& findings) {
    const Item& item = findings.ItemAt(index);
    if (!item.unmeasured.empty())
        findings.Add(&sound, index, MismatchField::Unmeasured, "not measured: " + item.unmeasured);
    for (const Item::Gap& gap : item.gaps)
        Findings::Figures(findings.Add(&sound, index, MismatchField::Dropout,
                                       "breaks off or jumps at " +
                                           Decimals(static_cast<double>(gap.start) / capture.rate, 4) + " s (frame " +
                                           std::to_string(gap.start) + ") for " + std::to_string(gap.frames) +
                                           " frames"),
                          std::nullopt, static_cast<double>(gap.frames), std::nullopt, "frames");
    if (sound.kind == ItemKind::Tone) CompareTone(capture, sound, index, findings);
    if (!Within(item.attenuation, sound.attenuation, kLevelDb))
        Findings::Figures(findings.Add(&sound, index, MismatchField::Level,
                                       "level " + Decimals(item.attenuation, 2) + " dB below full scale, not " +
                                           Decimals(sound.attenuation, 0) + " dB"),
                          sound.attenuation, item.attenuation, kLevelDb, "dB");
}

// Each paired sound's item, and its start against the sound found before it.
void Compare(const Capture& capture, const std::vector<ExpectedSound>& sounds, const std::vector<int>& paired,
             Findings& findings) {
    const Tolerances& bounds = capture.bitExact ? kBitExact : kRecorded;
    const double togetherFrames = bounds.togetherSeconds * capture.rate;
    const ExpectedSound* previous = nullptr;  // the last sound found, and its item
    const Item* before = nullptr;
    for (size_t s = 0; s < sounds.size(); ++s) {
        const int index = paired[s];
        if (index < 0) continue;
        CompareItem(capture, sounds[s], index, findings);
        if (previous != nullptr) CompareStart(sounds[s], index, *previous, *before, togetherFrames, findings);
        previous = &sounds[s];
        before = &findings.ItemAt(index);
    }
}

}  // namespace

const char* FieldName(MismatchField field) {
    switch (field) {
        case MismatchField::Rate: return "rate";
        case MismatchField::Missing: return "missing";
        case MismatchField::Extra: return "extra";
        case MismatchField::Frequency: return "frequency";
        case MismatchField::Level: return "level";
        case MismatchField::Sum: return "sum";
        case MismatchField::Onset: return "onset";
        case MismatchField::Order: return "order";
        case MismatchField::Thdn: return "thdn";
        case MismatchField::Dropout: return "dropout";
        case MismatchField::Unmeasured: return "unmeasured";
    }
    return "?";
}

std::vector<Mismatch> CompareWithScript(const Capture& capture, const std::vector<ExpectedSound>& sounds,
                                        int askedRate) {
    std::vector<Mismatch> mismatches;
    Findings findings(capture, mismatches);
    // A recording may have been resampled on its way; a bit-exact capture is the card's own rate.
    if (capture.bitExact && askedRate != 0 && askedRate != capture.rate)
        Findings::Figures(findings.Add(nullptr, -1, MismatchField::Rate,
                                       "the capture's rate is " + std::to_string(capture.rate) +
                                           " Hz, the script asks for " + std::to_string(askedRate) + " Hz"),
                          askedRate, capture.rate, 0.0, "Hz");
    const std::vector<int> paired = Pair(capture, sounds, findings);
    Compare(capture, sounds, paired, findings);
    return mismatches;
}

std::vector<bool> FailedItems(const Capture& capture, const std::vector<Mismatch>& mismatches) {
    std::vector<bool> failed(capture.items.size(), false);
    for (const Mismatch& mismatch : mismatches)
        if (mismatch.item >= 0 && static_cast<size_t>(mismatch.item) < failed.size())
            failed[static_cast<size_t>(mismatch.item)] = true;
    return failed;
}

}  // namespace tonegate_capture
