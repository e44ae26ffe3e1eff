// `tonegate check`: the capture analysed, the script's steps turned into the
// sounds it asks for and compared, the picture drawn, and the report as text
// or as JSON written as it goes. Thread: the command's one thread.
#include "tools/tonegate/capture_check.h"

#include <cmath>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "analysis/capture_analysis.h"
#include "analysis/capture_expectation.h"
#include "tools/tonegate/report.h"
#include "tools/tonegate/steps.h"
#ifdef TONEGATE_WITH_PLOT
#include "analysis/capture_plot.h"
#endif

namespace tonegate_tool {

namespace {

using tonegate_capture::Capture;
using tonegate_capture::ExpectedSound;
using tonegate_capture::Item;
using tonegate_capture::ItemKind;
using tonegate_capture::Mismatch;
// Members in the order they are written.
using Json = nlohmann::ordered_json;

const char* ChannelName(int channel) { return channel == 0 ? "A" : "B"; }

// ---- The script's sounds ----

std::vector<ExpectedSound> ExpectedSounds(const std::vector<Step>& steps, const std::string& script, int& rate) {
    std::vector<ExpectedSound> sounds;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        if (step.kind == StepKind::Rate) rate = static_cast<int>(step.rate);
        if (step.kind != StepKind::Tone && step.kind != StepKind::Sweep) continue;
        const bool tone = step.kind == StepKind::Tone;
        for (int channel = 0; channel < 2; ++channel) {
            if ((channel == 0 && step.channels == Channels::B) || (channel == 1 && step.channels == Channels::A))
                continue;
            ExpectedSound sound;
            sound.line = step.line;
            sound.step = static_cast<int>(i) + 1;
            sound.channel = channel;
            sound.kind = tone ? ItemKind::Tone : ItemKind::Sweep;
            sound.frequency = tone && channel == 1 && step.channels == Channels::AB ? step.frequencyB : step.frequency;
            sound.to = tone ? 0 : step.frequencyB;
            sound.seconds = step.seconds;
            sound.attenuation = step.attenuation;
            sound.together = step.channels == Channels::AB;
            std::ostringstream label;
            label << script << ":" << step.line << ": " << (tone ? "tone " : "sweep ") << ChannelName(channel) << " "
                  << sound.frequency << (tone ? "" : " to " + Fixed(sound.to, 0)) << " Hz";
            sound.label = label.str();
            sounds.push_back(sound);
        }
    }
    return sounds;
}

// The mismatches of `capture` with the script at `path`; false with the
// reason in `why` when the script cannot be read.
bool CompareWithScriptFile(const Capture& capture, const std::string& path, std::vector<Mismatch>& mismatches,
                           std::string& why) {
    std::vector<Step> steps;
    std::ifstream in(path);
    const std::optional<std::string> bad =
        in ? ParseScript(in, path, steps) : std::optional<std::string>("cannot read the script " + path);
    if (bad) {
        why = *bad;
        return false;
    }
    int rate = 0;
    const std::vector<ExpectedSound> sounds = ExpectedSounds(steps, path, rate);
    mismatches = tonegate_capture::CompareWithScript(capture, sounds, rate);
    return true;
}

// ---- What the report says ----

// What the whole capture is, beyond its items.
struct CaptureFacts {
    const Capture& capture;
    bool thresholdGiven;
    bool Truncated() const { return capture.declaredFrames > capture.frames; }
    double Seconds(int64_t frames) const { return static_cast<double>(frames) / capture.rate; }
    // The A and B items that start on the same frame: neighbours, A first,
    // as the items are in order of onset.
    std::vector<std::pair<const Item*, const Item*>> Together() const {
        std::vector<std::pair<const Item*, const Item*>> pairs;
        for (size_t i = 0; i + 1 < capture.items.size(); ++i) {
            const Item& a = capture.items[i];
            const Item& b = capture.items[i + 1];
            if (a.channel == 0 && b.channel == 1 && a.onset == b.onset) pairs.emplace_back(&a, &b);
        }
        return pairs;
    }
};

std::string Dbfs(double belowFullScale) { return Fixed(-belowFullScale, 2) + " dBFS"; }

std::string Describe(const Item& item, double rate) {
    std::string text = std::string(ChannelName(item.channel)) + " " + tonegate_capture::KindName(item.kind) + " at " +
                       Fixed(static_cast<double>(item.start) / rate, 4) + " s (frame " + std::to_string(item.start);
    if (item.kind != ItemKind::Other) text += ", onset " + std::to_string(item.onset);
    text += "), " + std::to_string(item.frames) + " frames, ";
    if (item.kind == ItemKind::Tone)
        text += Fixed(item.frequency, 6) + " Hz, " + std::to_string(item.wholeCycles) + " whole cycles, ramps " +
                std::to_string(item.attack) + "/" + std::to_string(item.release) + " frames, ";
    if (item.kind == ItemKind::Sweep)
        text += Fixed(item.from, 2) + " to " + Fixed(item.to, 2) + " Hz, fade " + std::to_string(item.fade) +
                " frames, ";
    if (item.kind == ItemKind::Other) text += item.what + ", ";
    text += Dbfs(item.attenuation) + " (peak " + Dbfs(item.peakDb) + ")";
    if (item.hasSum) text += ", sum " + std::to_string(item.sum);
    if (item.thdnMeasured)
        text += ", THD+N " + Fixed(item.thdn, 1) + " dB" + (item.thdnSteady ? " (steady part)" : "");
    for (const Item::Gap& gap : item.gaps)
        text += ", breaks off at " + Fixed(static_cast<double>(gap.start) / rate, 4) + " s for " +
                std::to_string(gap.frames) + " frames";
    if (!item.unmeasured.empty()) text += ", unmeasured: " + item.unmeasured;
    return text;
}

std::string Reading(const CaptureFacts& facts) {
    if (facts.capture.bitExact) return "bit-exact (digital silence between the items)";
    return "recorded (silence below " + Fixed(facts.capture.thresholdDb, 1) + " dBFS, " +
           (facts.thresholdGiven ? "as given" : "found from the noise floor") + ")";
}

// How many channels the file has, and which of them are read as A and B.
std::string ChannelsRead(const Capture& capture) {
    std::string text = std::to_string(capture.channels) + (capture.channels == 1 ? " channel" : " channels");
    if (capture.analysedChannels == 1) return text + " (A)";
    if (capture.channels == 2 && capture.channelA == 0 && capture.channelB == 1) return text;
    text += " (A: channel " + std::to_string(capture.channelA + 1) + ", B: channel " +
            std::to_string(capture.channelB + 1);
    std::string unread;
    for (int channel = 0; channel < capture.channels; ++channel)
        if (channel != capture.channelA && channel != capture.channelB)
            unread += (unread.empty() ? "" : ", ") + std::to_string(channel + 1);
    return text + (unread.empty() ? ")" : "; not read: " + unread + ")");
}

void PrintText(const CaptureFacts& facts, const std::string& expect, const std::vector<Mismatch>& mismatches) {
    const Capture& capture = facts.capture;
    std::cout << capture.path << ": " << capture.rate << " Hz, " << capture.format << ", " << ChannelsRead(capture)
              << ", " << Fixed(facts.Seconds(capture.frames), 3) << " s, " << Reading(facts) << std::endl;
    std::cout << capture.items.size() << (capture.items.size() == 1 ? " item, " : " items, ") << capture.clipped
              << (capture.clipped == 1 ? " clipped sample, DC A " : " clipped samples, DC A ")
              << Fixed(capture.dc[0], 9);
    if (capture.analysedChannels > 1) std::cout << " B " << Fixed(capture.dc[1], 9);
    std::cout << std::endl;
    for (const Item& item : capture.items) std::cout << "  " << Describe(item, capture.rate) << std::endl;
    for (const auto& [a, b] : facts.Together())
        std::cout << "  A and B start together at " << Fixed(facts.Seconds(a->onset), 4) << " s (onset frame "
                  << a->onset << ")" << std::endl;
    if (!expect.empty() && mismatches.empty()) std::cout << "matches " << expect << std::endl;
}

// ---- JSON ----

// A JSON document written as it is made, so that its memory does not grow
// with the capture: members and elements go out one at a time, each value
// dumped on its own (bytes that are not UTF-8 replaced, so that the document
// stays valid whatever a path holds).
class JsonStream {
public:
    explicit JsonStream(std::ostream& out) : out_(out) { Open(nullptr, '{'); }

    // A member of the open object (`key`) or an element of the open array (null).
    void Value(const char* key, const Json& value) {
        Next(key);
        out_ << Dump(value);
    }
    // A member or element that is an object ('{') or an array ('['), open until Close.
    void Open(const char* key, char bracket) {
        if (!open_.empty()) Next(key);
        out_ << bracket;
        open_.push_back({bracket == '[' ? ']' : '}', false});
    }
    void Close() {
        const Container closing = open_.back();
        open_.pop_back();
        if (closing.filled) NewLine();
        out_ << closing.bracket;
        if (open_.empty()) out_ << std::endl;
    }

private:
    struct Container {
        char bracket;  // the one that closes it
        bool filled;   // something is in it
    };
    static std::string Dump(const Json& value) {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    void NewLine() { out_ << '\n' << std::string(2 * open_.size(), ' '); }
    void Next(const char* key) {
        if (open_.back().filled) out_ << ',';
        open_.back().filled = true;
        NewLine();
        if (key != nullptr) out_ << Dump(key) << ": ";
    }

    std::ostream& out_;
    std::vector<Container> open_;
};

// Null where the figure is absent.
Json Optional(const std::optional<double>& value) { return value ? Json(*value) : nullptr; }
Json Unless(bool absent, const Json& value) { return absent ? Json() : value; }

Json ItemJson(const Item& item, double rate) {
    Json json = {{"channel", ChannelName(item.channel)},
                           {"kind", tonegate_capture::KindName(item.kind)},
                           {"start", static_cast<double>(item.start) / rate},
                           {"start_frame", item.start},
                           {"onset_frame", item.onset},
                           {"frames", item.frames},
                           {"attenuation", item.attenuation},
                           {"peak", item.peak},
                           {"peak_attenuation", item.peakDb},
                           {"sum", Unless(!item.hasSum, item.sum)},
                           {"unmeasured", Unless(item.unmeasured.empty(), item.unmeasured)}};
    if (item.kind == ItemKind::Tone) {
        json["frequency"] = item.frequency;
        json["cycles"] = item.wholeCycles;
        json["attack"] = item.attack;
        json["release"] = item.release;
        json["thdn"] = Unless(!item.thdnMeasured, item.thdn);
        json["thdn_steady"] = item.thdnMeasured && item.thdnSteady;
    }
    if (item.kind == ItemKind::Sweep) {
        json["from"] = item.from;
        json["to"] = item.to;
        json["fade"] = item.fade;
    }
    if (item.kind != ItemKind::Other) json["residual_rms"] = item.residualRms;
    if (item.kind == ItemKind::Other) json["what"] = item.what;
    Json gaps = Json::array();
    for (const Item::Gap& gap : item.gaps) gaps.push_back({{"start_frame", gap.start}, {"frames", gap.frames}});
    json["gaps"] = gaps;
    return json;
}

Json MismatchJson(const Mismatch& mismatch) {
    return {{"line", Unless(mismatch.line == 0, mismatch.line)},
            {"step", Unless(mismatch.step == 0, mismatch.step)},
            {"channel", Unless(mismatch.channel < 0, ChannelName(mismatch.channel))},
            {"item", Unless(mismatch.item < 0, mismatch.item)},
            {"field", tonegate_capture::FieldName(mismatch.field)},
            {"expected", Optional(mismatch.expected)},
            {"measured", Optional(mismatch.measured)},
            {"bound", Optional(mismatch.bound)},
            {"unit", Unless(mismatch.unit.empty(), mismatch.unit)},
            {"text", mismatch.text}};
}

void PrintCaptureJson(JsonStream& json, const CaptureFacts& facts) {
    const Capture& capture = facts.capture;
    json.Value("path", capture.path);
    json.Value("format", capture.format);
    json.Value("rate", capture.rate);
    json.Value("bits", capture.bits);
    json.Value("float", capture.floating);
    json.Value("channels", capture.channels);
    json.Value("channel_a", capture.channelA + 1);
    json.Value("channel_b", Unless(capture.analysedChannels < 2, capture.channelB + 1));
    json.Value("frames", capture.frames);
    json.Value("declared_frames", capture.declaredFrames);
    json.Value("truncated", facts.Truncated());
    json.Value("seconds", facts.Seconds(capture.frames));
    json.Value("bit_exact", capture.bitExact);
    json.Value("threshold_db", Unless(capture.bitExact, capture.thresholdDb));
    json.Value("threshold_given", Unless(capture.bitExact, facts.thresholdGiven));
    json.Value("clipped", capture.clipped);
    Json dc = Json::array({capture.dc[0]});
    if (capture.analysedChannels > 1) dc.push_back(capture.dc[1]);
    json.Value("dc", dc);
}

void PrintJson(const CaptureFacts& facts, const std::string& expect, const std::vector<Mismatch>& mismatches) {
    JsonStream json(std::cout);
    PrintCaptureJson(json, facts);
    json.Open("items", '[');
    for (const Item& item : facts.capture.items) json.Value(nullptr, ItemJson(item, facts.capture.rate));
    json.Close();
    json.Open("together", '[');
    for (const auto& [a, b] : facts.Together())
        json.Value(nullptr, {{"start", facts.Seconds(a->onset)}, {"onset_frame", a->onset}, {"start_frame", a->start}});
    json.Close();
    if (!expect.empty()) {
        json.Open("expect", '{');
        json.Value("script", expect);
        json.Value("passed", mismatches.empty());
        json.Open("mismatches", '[');
        for (const Mismatch& mismatch : mismatches) json.Value(nullptr, MismatchJson(mismatch));
        json.Close();
        json.Close();
    }
    json.Close();
}

bool Draw(const Capture& capture, const std::vector<Mismatch>& mismatches, const std::string& path,
          std::string& why) {
#ifdef TONEGATE_WITH_PLOT
    return tonegate_capture::DrawCapturePlot(capture, mismatches, path, why);
#else
    (void)capture, (void)mismatches, (void)path;
    why = "this build draws no pictures (it was built without cairo and kissfft)";
    return false;
#endif
}

}  // namespace

int CheckCapture(const CheckOptions& options) {
    Capture capture;
    std::string why;
    tonegate_capture::AnalysisOptions analysis;
    analysis.thresholdGiven = options.thresholdDb.has_value();
    analysis.thresholdDb = options.thresholdDb.value_or(analysis.thresholdDb);
    analysis.recorded = options.recorded;
    analysis.channelA = options.channelA;
    analysis.channelB = options.channelB;
    if (!tonegate_capture::AnalyseCapture(options.capture, analysis, capture, why)) {
        std::cerr << "tonegate: " << why << std::endl;
        return 1;
    }
    std::vector<Mismatch> mismatches;
    if ((!options.expect.empty() && !CompareWithScriptFile(capture, options.expect, mismatches, why)) ||
        (!options.plot.empty() && !Draw(capture, mismatches, options.plot, why))) {
        std::cerr << "tonegate: " << why << std::endl;
        return 1;
    }

    const CaptureFacts facts{capture, analysis.thresholdGiven};
    if (options.json)
        PrintJson(facts, options.expect, mismatches);
    else
        PrintText(facts, options.expect, mismatches);
    if (facts.Truncated())
        std::cerr << "tonegate: truncated: " << capture.frames << " of " << capture.declaredFrames
                  << " frames (the file ends before its header says)" << std::endl;
    for (const Mismatch& mismatch : mismatches) std::cerr << "tonegate: " << mismatch.text << std::endl;
    return mismatches.empty() && !facts.Truncated() ? 0 : 1;
}

}  // namespace tonegate_tool
