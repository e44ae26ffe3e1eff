// Steps: parsing, range checks and lengths on the card.
// Thread: the command's one thread.
#include "tools/tonegate/steps.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "host/request_checks.h"

namespace tonegate_tool {

namespace {

std::string Number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Whole cycles as the generator counts them: the nearest, halves up.
uint32_t WholeCycles(double frequency, double seconds) {
    double whole = 0;
    if (std::modf(frequency * seconds, &whole) >= 0.5) whole += 1.0;
    return whole >= 0 && whole < 4294967295.0 ? static_cast<uint32_t>(whole) : 0;
}

std::optional<std::string> FrequencyProblem(double frequency) {
    if (!(frequency >= kMinFrequency))
        return "frequency " + Number(frequency) + " Hz is below " + Number(kMinFrequency) + " Hz";
    if (frequency > kMaxFrequency)
        return "frequency " + Number(frequency) + " Hz is above " + Number(kMaxFrequency) + " Hz";
    return std::nullopt;
}

std::optional<std::string> ToneProblem(double frequency, double seconds) {
    if (auto problem = FrequencyProblem(frequency)) return problem;
    if (WholeCycles(frequency, seconds) < 2)
        return "a tone of " + Number(frequency) + " Hz for " + Number(seconds) + " s has fewer than 2 whole cycles";
    return std::nullopt;
}

bool ParseDouble(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool ParseWhole(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](unsigned char c) {
            return std::isdigit(c) != 0;
        }))
        return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// One script line's fields after its step word; fills `step` or says why not.
std::optional<std::string> ParseFields(const std::string& word, const std::vector<std::string>& fields, uint32_t atten,
                                       Step& step) {
    const auto number = [&](size_t index, double& value) -> std::optional<std::string> {
        if (!ParseDouble(fields[index], value)) return "'" + fields[index] + "' is not a number";
        return std::nullopt;
    };
    const auto lastAttenuation = [&](size_t index) -> std::optional<std::string> {
        step.attenuation = atten;
        if (fields.size() > index && !ParseWhole(fields[index], step.attenuation))
            return "attenuation '" + fields[index] + "' is not a whole number of dB";
        return std::nullopt;
    };
    const auto expect = [&](size_t least, size_t most, const char* form) -> std::optional<std::string> {
        if (fields.size() < least || fields.size() > most) return std::string("expected '") + form + "'";
        return std::nullopt;
    };
    std::optional<std::string> problem;
    if (word == "rate") {
        if ((problem = expect(1, 1, "rate HZ"))) return problem;
        step.kind = StepKind::Rate;
        if (!ParseWhole(fields[0], step.rate) || step.rate == 0)
            return "rate '" + fields[0] + "' is not a whole number of Hz";
        return std::nullopt;
    }
    if (word == "rest") {
        if ((problem = expect(1, 1, "rest SECONDS"))) return problem;
        step.kind = StepKind::Rest;
        return number(0, step.seconds);
    }
    if (word == "tone" || word == "sweep") {
        const bool tone = word == "tone";
        if ((problem = tone ? expect(3, 4, "tone A|B|AB FREQ SECONDS [ATTEN]")
                            : expect(4, 5, "sweep A|B|AB FROM TO SECONDS [ATTEN]")))
            return problem;
        const std::optional<Channels> channels = ParseChannels(fields[0]);
        if (!channels) return "channel '" + fields[0] + "' is not A, B or AB";
        step.kind = tone ? StepKind::Tone : StepKind::Sweep;
        step.channels = *channels;
        if ((problem = number(1, step.frequency))) return problem;
        step.frequencyB = step.frequency;
        if (!tone && (problem = number(2, step.frequencyB))) return problem;
        if ((problem = number(tone ? 2 : 3, step.seconds))) return problem;
        return lastAttenuation(tone ? 3 : 4);
    }
    if (word == "tones") {
        if ((problem = expect(3, 4, "tones FREQ_A FREQ_B SECONDS [ATTEN]"))) return problem;
        step.kind = StepKind::Tone;
        step.channels = Channels::AB;
        if ((problem = number(0, step.frequency)) || (problem = number(1, step.frequencyB)) ||
            (problem = number(2, step.seconds)))
            return problem;
        return lastAttenuation(3);
    }
    return "unknown step '" + word + "' (rate, atten, tone, tones, sweep, rest)";
}

}  // namespace

std::optional<Channels> ParseChannels(const std::string& text) {
    const std::string lower = Lower(text);
    if (lower == "a") return Channels::A;
    if (lower == "b") return Channels::B;
    if (lower == "ab") return Channels::AB;
    return std::nullopt;
}

const char* ChannelsName(Channels channels) {
    switch (channels) {
        case Channels::A: return "A";
        case Channels::B: return "B";
        case Channels::AB: return "AB";
    }
    return "?";
}

std::optional<std::string> RangeProblem(const Step& step) {
    if (step.attenuation > kMaxAttenuation)
        return "attenuation " + std::to_string(step.attenuation) + " dB is above " + std::to_string(kMaxAttenuation) +
               " dB";
    switch (step.kind) {
        case StepKind::Rate: return std::nullopt;
        case StepKind::Rest:
            if (!(step.seconds >= 0)) return "a rest of " + Number(step.seconds) + " s is less than 0 s";
            return std::nullopt;
        case StepKind::Tone:
            if (!(step.seconds >= kMinSineSeconds && step.seconds <= kMaxSineSeconds))
                return "a tone lasts " + Number(kMinSineSeconds) + " to " + Number(kMaxSineSeconds) + " s, not " +
                       Number(step.seconds) + " s";
            if (auto problem = ToneProblem(step.frequency, step.seconds)) return problem;
            if (step.channels == Channels::AB) return ToneProblem(step.frequencyB, step.seconds);
            return std::nullopt;
        case StepKind::Sweep:
            if (!(step.seconds >= kMinSweepSeconds && step.seconds <= kMaxSweepSeconds))
                return "a sweep lasts " + Number(kMinSweepSeconds) + " to " + Number(kMaxSweepSeconds) + " s, not " +
                       Number(step.seconds) + " s";
            if (auto problem = FrequencyProblem(step.frequency)) return problem;
            return FrequencyProblem(step.frequencyB);
    }
    return std::nullopt;
}

std::optional<std::string> CardProblem(const Step& step, const CardTiming& card) {
    const std::string buffers =
        std::to_string(card.bufferFrames) + "-frame buffers at " + Number(card.rate) + " Hz";
    if (step.kind == StepKind::Tone) {
        // The generator plays a note only when it is longer than one buffer.
        const auto tooShort = [&](double frequency, uint32_t cycles) {
            return std::floor(cycles * (card.rate / frequency)) <= card.bufferFrames;
        };
        const PlayedLength length = LengthOnCard(step, card);
        if (tooShort(step.frequency, length.cycles) ||
            (step.channels == Channels::AB && tooShort(step.frequencyB, length.cyclesB)))
            return "a tone of " + Number(step.seconds) + " s is not longer than one buffer (" + buffers + ")";
    }
    if (step.kind == StepKind::Sweep && LengthOnCard(step, card).bufferSwitches < 3)
        return "a sweep of " + Number(step.seconds) + " s is shorter than two buffers (" + buffers + ")";
    return std::nullopt;
}

PlayedLength LengthOnCard(const Step& step, const CardTiming& card) {
    PlayedLength length;
    const double frames = card.bufferFrames;
    switch (step.kind) {
        case StepKind::Rate: break;
        case StepKind::Rest: length.seconds = step.seconds; break;
        case StepKind::Tone: {
            length.cycles = WholeCycles(step.frequency, step.seconds);
            length.seconds = length.cycles / step.frequency;
            double longestFrames = std::floor(length.cycles * (card.rate / step.frequency));
            if (step.channels == Channels::AB) {
                length.cyclesB = WholeCycles(step.frequencyB, step.seconds);
                length.seconds = std::max(length.seconds, length.cyclesB / step.frequencyB);
                longestFrames = std::max(longestFrames, std::floor(length.cyclesB * (card.rate / step.frequencyB)));
            }
            // The note may end up to two samples past its whole cycles.
            length.bufferSwitches = static_cast<uint32_t>(std::ceil((longestFrames + 2) / frames));
            break;
        }
        case StepKind::Sweep: {
            // Whole buffers, the nearest to the length asked for, and a fade-out buffer.
            const double blocks = std::floor(card.rate * step.seconds / frames + 0.5);
            length.bufferSwitches = static_cast<uint32_t>(blocks) + 1;
            length.seconds = length.bufferSwitches * frames / card.rate;
            break;
        }
    }
    return length;
}

std::optional<std::string> ParseScript(std::istream& in, const std::string& name, std::vector<Step>& steps) {
    uint32_t atten = 20;
    bool sounded = false;
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const size_t comment = text.find('#');
        if (comment != std::string::npos) text.erase(comment);
        std::istringstream words(text);
        std::vector<std::string> fields;
        for (std::string field; words >> field;) fields.push_back(field);
        if (fields.empty()) continue;
        const std::string word = Lower(fields.front());
        fields.erase(fields.begin());
        const auto fail = [&](const std::string& why) { return name + ":" + std::to_string(line) + ": " + why; };

        if (word == "atten") {
            if (fields.size() != 1 || !ParseWhole(fields[0], atten))
                return fail("expected 'atten DB' with a whole number of dB");
            if (atten > kMaxAttenuation)
                return fail("attenuation " + fields[0] + " dB is above " + std::to_string(kMaxAttenuation) + " dB");
            continue;
        }
        Step step;
        step.line = line;
        if (auto problem = ParseFields(word, fields, atten, step)) return fail(*problem);
        if (auto problem = RangeProblem(step)) return fail(*problem);
        if (step.kind == StepKind::Rate && sounded) return fail("a rate must come before the first sound");
        sounded = sounded || step.kind == StepKind::Tone || step.kind == StepKind::Sweep;
        steps.push_back(step);
    }
    return std::nullopt;
}

}  // namespace tonegate_tool
