// `tonegate check`. Thread: the command's one thread.
#include "tools/tonegate/capture_check.h"

#include <cmath>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "analysis/capture_analysis.h"
#include "tools/tonegate/report.h"
#include "tools/tonegate/steps.h"
#ifdef TONEGATE_WITH_PLOT
#include "analysis/capture_plot.h"
#endif

namespace tonegate_tool {

namespace {

using tonegate_capture::Capture;
using tonegate_capture::Item;
using tonegate_capture::ItemKind;

// What a bit-exact capture must match, and the looser bounds of a recorded one.
struct Tolerances {
    double frequency;      // relative
    double startSeconds;   // between the two voices of one step
    bool sums;             // notes sum to exactly 0
};
constexpr Tolerances kBitExact{1e-6, 0, true};
constexpr Tolerances kRecorded{1e-3, 0.001, false};
constexpr double kAttenuationDb = 0.5;
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

std::string Describe(const Item& item, double rate) {
    std::string text = std::string(ChannelName(item.channel)) + " " +
                       (item.kind == ItemKind::Tone ? "tone " : "sweep") + " at " +
                       Fixed(static_cast<double>(item.start) / rate, 4) + " s, " + std::to_string(item.frames) +
                       " frames, ";
    if (item.kind == ItemKind::Tone)
        text += Fixed(item.frequency, 6) + " Hz, " + Fixed(item.cycles, 2) + " cycles, ramps " +
                std::to_string(item.attack) + "/" + std::to_string(item.release) + " frames, ";
    else
        text += Fixed(item.from, 2) + " to " + Fixed(item.to, 2) + " Hz, fade " + std::to_string(item.fade) +
                " frames, ";
    text += Fixed(item.attenuation, 2) + " dB, sum " + std::to_string(item.sum);
    if (item.kind == ItemKind::Tone && item.thdn != 0) text += ", THD+N " + Fixed(item.thdn, 1) + " dB";
    return text;
}

nlohmann::json ItemJson(const Item& item, double rate) {
    nlohmann::json json = {{"channel", ChannelName(item.channel)},
                           {"kind", item.kind == ItemKind::Tone ? "tone" : "sweep"},
                           {"start", static_cast<double>(item.start) / rate},
                           {"start_frame", item.start},
                           {"onset_frame", item.onset},
                           {"frames", item.frames},
                           {"attenuation", item.attenuation},
                           {"sum", item.sum}};
    if (item.kind == ItemKind::Tone) {
        json["frequency"] = item.frequency;
        json["cycles"] = item.cycles;
        json["ramp"] = item.attack;
        json["release"] = item.release;
        if (item.thdn != 0) json["thdn"] = item.thdn;
    } else {
        json["from"] = item.from;
        json["to"] = item.to;
        json["fade"] = item.fade;
    }
    return json;
}

// One sound the script asks for.
struct Expected {
    size_t step;
    int channel;
    ItemKind kind;
    double frequency;  // a tone's, or a sweep's start
    double to;         // a sweep's end
    double seconds;
    uint32_t attenuation;
    bool together;     // one of the two voices of a step
    std::string label;
    const Item* found = nullptr;
};

std::vector<Expected> ExpectedSounds(const std::vector<Step>& steps, const std::string& script, uint32_t& rate) {
    std::vector<Expected> sounds;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        if (step.kind == StepKind::Rate) rate = step.rate;
        if (step.kind != StepKind::Tone && step.kind != StepKind::Sweep) continue;
        const bool tone = step.kind == StepKind::Tone;
        for (int channel = 0; channel < 2; ++channel) {
            if ((channel == 0 && step.channels == Channels::B) || (channel == 1 && step.channels == Channels::A))
                continue;
            Expected sound{i, channel, tone ? ItemKind::Tone : ItemKind::Sweep, step.frequency, step.frequencyB,
                           step.seconds, step.attenuation, step.channels == Channels::AB, "", nullptr};
            if (tone && channel == 1 && step.channels == Channels::AB) sound.frequency = step.frequencyB;
            std::ostringstream label;
            label << script << ":" << step.line << ": " << (tone ? "tone " : "sweep ") << ChannelName(channel) << " "
                  << sound.frequency << (tone ? "" : " to " + Fixed(sound.to, 0)) << " Hz";
            sound.label = label.str();
            sounds.push_back(sound);
        }
    }
    return sounds;
}

bool SameSound(const Expected& sound, const Item& item) {
    if (sound.kind != item.kind) return false;
    const auto near = [](double measured, double asked) { return std::fabs(measured / asked - 1) <= kSameSound; };
    return sound.kind == ItemKind::Tone ? near(item.frequency, sound.frequency)
                                        : near(item.from, sound.frequency) && near(item.to, sound.to);
}

// Pairs the script's sounds with the capture's items channel by channel, in
// order: an item that fits no sound is extra, a sound no item fits is missing.
void Pair(std::vector<Expected>& sounds, const Capture& capture, std::vector<std::string>& problems) {
    for (int channel = 0; channel < 2; ++channel) {
        std::vector<const Item*> items;
        for (const Item& item : capture.items)
            if (item.channel == channel) items.push_back(&item);
        size_t next = 0;
        for (Expected& sound : sounds) {
            if (sound.channel != channel) continue;
            size_t at = next;
            while (at < items.size() && !SameSound(sound, *items[at])) ++at;
            if (at == items.size()) {
                problems.push_back(sound.label + ": missing from the capture");
                continue;
            }
            for (; next < at; ++next)
                problems.push_back("extra item: " + Describe(*items[next], capture.rate));
            sound.found = items[next++];
        }
        for (; next < items.size(); ++next) problems.push_back("extra item: " + Describe(*items[next], capture.rate));
    }
}

void Compare(std::vector<Expected>& sounds, const Capture& capture, std::vector<std::string>& problems) {
    const Tolerances& bounds = capture.bitExact ? kBitExact : kRecorded;
    const double rate = capture.rate;
    const Expected* previous = nullptr;
    for (const Expected& sound : sounds) {
        if (sound.found == nullptr) continue;
        const Item& item = *sound.found;
        const auto fail = [&](const std::string& why) { problems.push_back(sound.label + ": " + why); };
        if (sound.kind == ItemKind::Tone) {
            const double off = item.frequency / sound.frequency - 1;
            if (std::fabs(off) > bounds.frequency)
                fail("frequency " + Fixed(item.frequency, 6) + " Hz is " + Fixed(off * 1e6, 3) +
                     " ppm off (at most " + Fixed(bounds.frequency * 1e6, 0) + " ppm)");
            if (bounds.sums && sound.seconds <= kLongestCorrectedNote && item.sum != 0)
                fail("its samples sum to " + std::to_string(item.sum) + ", not 0");
            if (!capture.bitExact && item.thdn != 0 && item.thdn > kBrokenNoteThdnDb &&
                sound.attenuation <= kQuietestDistortionChecked)
                fail("THD+N " + Fixed(item.thdn, 1) + " dB: a gap or a glitch in the note");
        }
        if (std::fabs(item.attenuation - sound.attenuation) > kAttenuationDb)
            fail("level " + Fixed(item.attenuation, 2) + " dB below full scale, not " +
                 std::to_string(sound.attenuation) + " dB");
        if (previous != nullptr && previous->found != nullptr) {
            const Item& before = *previous->found;
            const double apart = static_cast<double>(item.onset - before.onset) / rate;
            if (previous->step == sound.step && sound.together && std::fabs(apart) > bounds.startSeconds)
                fail("starts " + std::to_string(item.onset - before.onset) + " frames after its other voice");
            if (previous->step != sound.step && item.onset < before.onset)
                fail("plays before " + previous->label);
        }
        previous = &sound;
    }
}

}  // namespace

int CheckCapture(const CheckOptions& options) {
    Capture capture;
    std::string why;
    tonegate_capture::AnalysisOptions analysis;
    analysis.thresholdDb = options.thresholdDb;
    analysis.recorded = options.recorded;
    analysis.channelA = options.channelA;
    analysis.channelB = options.channelB;
    if (!tonegate_capture::AnalyseCapture(options.capture, analysis, capture, why)) {
        std::cerr << "tonegate: " << why << std::endl;
        return 1;
    }
    const double rate = capture.rate;

    std::vector<std::string> problems;
    if (!options.expect.empty()) {
        std::vector<Step> steps;
        std::ifstream in(options.expect);
        std::optional<std::string> bad = in ? ParseScript(in, options.expect, steps)
                                            : std::optional<std::string>("cannot read the script " + options.expect);
        if (bad) {
            std::cerr << "tonegate: " << *bad << std::endl;
            return 1;
        }
        uint32_t scriptRate = 0;
        std::vector<Expected> sounds = ExpectedSounds(steps, options.expect, scriptRate);
        if (capture.bitExact && scriptRate != 0 && scriptRate != static_cast<uint32_t>(capture.rate))
            problems.push_back("the capture's rate is " + std::to_string(capture.rate) + " Hz, the script asks for " +
                               std::to_string(scriptRate) + " Hz");
        Pair(sounds, capture, problems);
        Compare(sounds, capture, problems);
    }

#ifdef TONEGATE_WITH_PLOT
    if (!options.plot.empty() && !tonegate_capture::DrawCapturePlot(capture, options.plot, why)) {
        std::cerr << "tonegate: " << why << std::endl;
        return 1;
    }
#else
    if (!options.plot.empty()) {
        std::cerr << "tonegate: this build draws no pictures (it was built without cairo and kissfft)" << std::endl;
        return 1;
    }
#endif

    std::vector<std::pair<const Item*, const Item*>> together;
    for (const Item& a : capture.items)
        for (const Item& b : capture.items)
            if (a.channel == 0 && b.channel == 1 && a.onset == b.onset) together.emplace_back(&a, &b);

    const std::string reading = capture.bitExact ? "bit-exact (digital silence between the items)"
                                                 : "recorded (silence below " + Fixed(options.thresholdDb, 0) + " dBFS)";
    if (options.json) {
        nlohmann::json items = nlohmann::json::array();
        for (const Item& item : capture.items) items.push_back(ItemJson(item, rate));
        nlohmann::json pairs = nlohmann::json::array();
        for (const auto& [a, b] : together) pairs.push_back({{"start", static_cast<double>(a->onset) / rate}, {"start_frame", a->onset}});
        nlohmann::json document = {{"path", capture.path},
                                   {"rate", capture.rate},
                                   {"bits", capture.bits},
                                   {"float", capture.floating},
                                   {"channels", capture.channels},
                                   {"frames", capture.frames},
                                   {"seconds", static_cast<double>(capture.frames) / rate},
                                   {"bit_exact", capture.bitExact},
                                   {"clipped", capture.clipped},
                                   {"dc", {capture.dc[0], capture.dc[1]}},
                                   {"items", items},
                                   {"together", pairs}};
        if (!options.expect.empty())
            document["expect"] = {{"script", options.expect}, {"passed", problems.empty()}, {"mismatches", problems}};
        std::cout << document.dump(2) << std::endl;
    } else {
        std::cout << capture.path << ": " << capture.rate << " Hz, " << capture.bits << "-bit "
                  << (capture.floating ? "float" : "integer") << ", " << capture.channels << " channel(s), "
                  << Fixed(static_cast<double>(capture.frames) / rate, 3) << " s, " << reading << std::endl;
        std::cout << capture.items.size() << " items, " << capture.clipped << " clipped samples, DC A "
                  << Fixed(capture.dc[0], 9) << " B " << Fixed(capture.dc[1], 9) << std::endl;
        for (const Item& item : capture.items) std::cout << "  " << Describe(item, rate) << std::endl;
        for (const auto& [a, b] : together)
            std::cout << "  A and B start together at " << Fixed(static_cast<double>(a->onset) / rate, 4) << " s (frame "
                      << a->onset << ")" << std::endl;
        if (!options.expect.empty() && problems.empty())
            std::cout << "matches " << options.expect << std::endl;
    }
    for (const std::string& problem : problems) std::cerr << "tonegate: " << problem << std::endl;
    return problems.empty() ? 0 : 1;
}

}  // namespace tonegate_tool
