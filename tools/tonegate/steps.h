// The steps the tonegate command plays, from its command line or from a test
// script, and their checks: the library's own ranges before anything is
// opened, and the lengths that depend on the card's rate and buffer before
// anything plays. Thread: the command's one thread.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace tonegate_tool {

enum class StepKind { Rate, Tone, Sweep, Rest };
enum class Channels { A, B, AB };

struct Step {
    StepKind kind = StepKind::Rest;
    Channels channels = Channels::A;
    double frequency = 0;   // tone: channel A's (or the only) frequency; sweep: its start
    double frequencyB = 0;  // tone on AB: channel B's; sweep: its end
    double seconds = 0;
    uint32_t attenuation = 20;
    uint32_t rate = 0;      // rate steps only
    int line = 0;           // script line, 0 for a step from the command line
};

// The card a programme plays on, as far as the lengths of its sounds go.
struct CardTiming {
    double rate;
    uint32_t bufferFrames;
};

// "A", "B" or "AB" in any case.
std::optional<Channels> ParseChannels(const std::string& text);
const char* ChannelsName(Channels channels);

// Why a step is out of the library's ranges, or nothing.
std::optional<std::string> RangeProblem(const Step& step);
// Why a sound cannot play on this card (shorter than the buffers it needs),
// or nothing.
std::optional<std::string> CardProblem(const Step& step, const CardTiming& card);

// Reads a script. On the first bad line returns "NAME:LINE: why".
std::optional<std::string> ParseScript(std::istream& in, const std::string& name, std::vector<Step>& steps);

// What a step plays on the card: whole cycles for a tone, whole buffers for
// a sweep.
struct PlayedLength {
    uint32_t cycles = 0;       // tone on A (or the only channel)
    uint32_t cyclesB = 0;      // tone on AB: channel B's
    double seconds = 0;        // the longer channel's sound
    uint32_t bufferSwitches = 0;  // switches that render it, the longer channel's
};
PlayedLength LengthOnCard(const Step& step, const CardTiming& card);

}  // namespace tonegate_tool
