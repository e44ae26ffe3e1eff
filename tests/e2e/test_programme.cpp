// A fixed programme of notes, two-voice steps and sweeps played through the
// library onto the WAV sink in real time, at three rates and in both sample
// formats, and every item checked in the capture. Thread: the test's own;
// the sink's thread renders while the test sleeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "support/capture.h"
#include "e2e/tone_checks.h"
#include "e2e/tonegate_exports.h"

namespace tonegate_e2e {
namespace {

// What one channel does in a step: nothing, a note or a sweep.
using Item = std::variant<std::monostate, Note, Sweep>;

// One step of the programme, per channel; two notes in one step begin together.
struct Step {
    Item a, b;
};

const std::vector<Step> kProgramme = {
    {Note{440, 0.25, 0}, {}},
    {Note{12000, 0.01, 6}, {}},
    {Note{110, 0.5, 60}, {}},
    {{}, Note{1000, 0.1, 20}},
    {{}, Note{3520, 1.0, 6}},
    {{}, Note{12000, 0.03, 0}},
    {Note{1000, 0.2, 6}, Note{3520, 0.2, 20}},
    {Note{12000, 0.05, 60}, Note{110, 0.3, 0}},
    {Sweep{100, 1000, 0.5, 0}, {}},
    {{}, Sweep{8000, 200, 0.3, 6}},
    {Sweep{8000, 200, 0.3, 20}, {}},
    {{}, Sweep{100, 1000, 0.5, 0}},
};

// Silence after each item, in wall time: far more than the gap that splits
// the capture into items, so a late card thread does not merge them.
constexpr double kSilenceSeconds = 0.08;

double Seconds(const Item& item) {
    if (const Note* note = std::get_if<Note>(&item)) return note->seconds;
    if (const Sweep* sweep = std::get_if<Sweep>(&item)) return sweep->seconds;
    return 0;
}

void Play(Channel channel, const Item& item) {
    if (const Note* note = std::get_if<Note>(&item))
        PlayNote(channel, note->frequency, note->seconds, note->attenuation);
    if (const Sweep* sweep = std::get_if<Sweep>(&item))
        PlaySweep(channel, sweep->freqStart, sweep->freqEnd, sweep->seconds, sweep->attenuation);
}

bool TwoVoices(const Step& step) {
    return std::holds_alternative<Note>(step.a) && std::holds_alternative<Note>(step.b);
}

void Play(const Step& step) {
    // Output off while both are handed over, so they begin in the same buffer.
    const bool together = TwoVoices(step);
    if (together) Tonegate().pASIOEnableWav(false);
    Play(Channel::A, step.a);
    Play(Channel::B, step.b);
    if (together) Tonegate().pASIOEnableWav(true);
}

using ProgrammeParameters = std::tuple<uint32_t, const char*>;

class Programme : public SinkSessionTest, public ::testing::WithParamInterface<ProgrammeParameters> {};

TEST_P(Programme, EveryNoteAndSweepIsWholeInTheCapture) {
    const auto [rate, format] = GetParam();
    // A note must fill more than one buffer half: the 10 ms ones need 256
    // frames below 96000 Hz.
    const uint32_t bufferFrames = rate < 96000 ? 256 : 512;
    OpenSession({.format = format, .bufferFrames = bufferFrames}, rate);
    const double bufferSeconds = static_cast<double>(bufferFrames) / rate;
    for (const Step& step : kProgramme) {
        Play(step);
        SleepFor(std::max(Seconds(step.a), Seconds(step.b)) + 2 * bufferSeconds + kSilenceSeconds);
    }
    CloseSession();

    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture(kCaptureFile, capture, error)) << error;
    EXPECT_EQ(capture.rate, static_cast<int>(rate));
    EXPECT_EQ(capture.bits, std::string(format) == "int16" ? 16 : 32);
    EXPECT_EQ(capture.frames % bufferFrames, 0);

    const std::vector<tonegate_capture::Item> segments[2] = {ItemsOn(capture, 0), ItemsOn(capture, 1)};
    size_t next[2] = {0, 0};
    double worstNotePpm = 0, worstSweepPpm = 0;
    for (size_t s = 0; s < kProgramme.size(); ++s) {
        const Step& step = kProgramme[s];
        SCOPED_TRACE("programme step " + std::to_string(s + 1));
        int64_t starts[2] = {-1, -1};
        for (Channel channel : {Channel::A, Channel::B}) {
            const int c = channel == Channel::A ? 0 : 1;
            const Item& item = c == 0 ? step.a : step.b;
            if (std::holds_alternative<std::monostate>(item)) continue;
            SCOPED_TRACE(c == 0 ? "channel A" : "channel B");
            ASSERT_LT(next[c], segments[c].size()) << "the item is missing from the capture";
            const tonegate_capture::Item& found = segments[c][next[c]++];
            if (const Note* note = std::get_if<Note>(&item)) {
                const ToneFigures figures = CheckNote(capture, found, *note, bufferFrames);
                worstNotePpm = std::max(worstNotePpm, std::abs(figures.frequencyErrorPpm));
                starts[c] = figures.startFrame;
            } else {
                const ToneFigures figures = CheckSweep(capture, found, std::get<Sweep>(item), bufferFrames);
                worstSweepPpm = std::max(worstSweepPpm, std::abs(figures.frequencyErrorPpm));
            }
        }
        if (TwoVoices(step)) {
            EXPECT_EQ(starts[0], starts[1]) << "two voices begin in the same buffer";
        }
    }
    EXPECT_EQ(next[0], segments[0].size()) << "sound on channel A beyond the programme";
    EXPECT_EQ(next[1], segments[1].size()) << "sound on channel B beyond the programme";
    const std::string log = Log();
    EXPECT_EQ(log.find("Failed"), std::string::npos) << log;
    ExpectNoteCountLogged(log);
    std::printf("figures %u Hz %s: worst note frequency error %.2f ppm, worst sweep end frequency error %.1f ppm\n",
                rate, format, worstNotePpm, worstSweepPpm);
}

INSTANTIATE_TEST_SUITE_P(RatesAndFormats, Programme,
                         ::testing::Combine(::testing::Values(44100u, 48000u, 96000u),
                                            ::testing::Values("int32", "int16")),
                         [](const ::testing::TestParamInfo<ProgrammeParameters>& info) {
                             return std::to_string(std::get<0>(info.param)) + "Hz_" + std::get<1>(info.param);
                         });

}  // namespace
}  // namespace tonegate_e2e
