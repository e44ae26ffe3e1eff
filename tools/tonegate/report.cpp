// The tonegate command's output. Thread: the command's one thread.
#include "tools/tonegate/report.h"

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/win32.h"

namespace tonegate_tool {

namespace {

constexpr int kStandardError = 2;

std::string Hz(double value) {
    std::ostringstream text;
    text.precision(10);
    text << value << " Hz";
    return text.str();
}

const char* KindName(StepKind kind) {
    switch (kind) {
        case StepKind::Rate: return "rate";
        case StepKind::Tone: return "tone";
        case StepKind::Sweep: return "sweep";
        case StepKind::Rest: return "rest";
    }
    return "?";
}

nlohmann::json StepJson(const StepRecord& record) {
    const Step& step = record.step;
    nlohmann::json json = {{"kind", KindName(step.kind)}};
    if (step.line > 0) json["line"] = step.line;
    switch (step.kind) {
        case StepKind::Rate: json["rate"] = step.rate; break;
        case StepKind::Rest: json["seconds"] = step.seconds; break;
        case StepKind::Tone:
            json["channel"] = ChannelsName(step.channels);
            json["frequency"] = step.frequency;
            json["cycles"] = record.played.cycles;
            json["seconds"] = record.played.cycles / step.frequency;
            json["setup_us"] = record.setupMicros;
            if (step.channels == Channels::AB) {
                json["frequency_b"] = step.frequencyB;
                json["cycles_b"] = record.played.cyclesB;
                json["seconds_b"] = record.played.cyclesB / step.frequencyB;
                json["setup_us_b"] = record.setupMicrosB;
            }
            json["requested_seconds"] = step.seconds;
            json["attenuation"] = step.attenuation;
            json["zero_sum"] = !record.uncorrected;
            break;
        case StepKind::Sweep:
            json["channel"] = ChannelsName(step.channels);
            json["from"] = step.frequency;
            json["to"] = step.frequencyB;
            json["seconds"] = record.played.seconds;
            json["requested_seconds"] = step.seconds;
            json["attenuation"] = step.attenuation;
            break;
    }
    return json;
}

}  // namespace

std::string Fixed(double value, int decimals) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
}

std::string StepLine(const StepRecord& record) {
    const Step& step = record.step;
    const PlayedLength& played = record.played;
    std::string line = KindName(step.kind);
    switch (step.kind) {
        case StepKind::Rate: return line + " " + std::to_string(step.rate) + " Hz";
        case StepKind::Rest: return line + " " + Fixed(step.seconds, 3) + " s";
        case StepKind::Tone: {
            const auto voice = [](const char* channel, double frequency, uint32_t cycles) {
                return std::string(channel) + " " + Hz(frequency) + " " + Fixed(cycles / frequency, 6) + " s (" +
                       std::to_string(cycles) + " cycles)";
            };
            if (step.channels == Channels::AB)
                line += " " + voice("A", step.frequency, played.cycles) + " + " +
                        voice("B", step.frequencyB, played.cyclesB);
            else
                line += " " + voice(ChannelsName(step.channels), step.frequency, played.cycles);
            line += " " + std::to_string(step.attenuation) + " dB, set-up " + std::to_string(record.setupMicros);
            if (step.channels == Channels::AB) line += "+" + std::to_string(record.setupMicrosB);
            line += " us";
            if (record.uncorrected) line += " (over 10 s: no zero-sum correction)";
            return line;
        }
        case StepKind::Sweep:
            return line + " " + ChannelsName(step.channels) + " " + Hz(step.frequency) + " to " + Hz(step.frequencyB) +
                   " " + Fixed(played.seconds, 6) + " s " + std::to_string(step.attenuation) + " dB";
    }
    return line;
}

Report::Report(bool json) : json_(json) {}

void Report::Played(const StepRecord& record) {
    records_.push_back(record);
    if (json_) return;
    ClearProgress();
    std::cout << StepLine(record) << std::endl;
}

void Report::Refused(const std::string& why) {
    ClearProgress();
    error_ = why;
    std::cerr << "tonegate: " << why << std::endl;
    if (!logPath_.empty()) std::cerr << "tonegate: log: " << logPath_ << std::endl;
}

void Report::Interrupted() {
    ClearProgress();
    interrupted_ = true;
    std::cerr << "tonegate: interrupted" << std::endl;
}

int Report::Finish() {
    ClearProgress();
    const int status = interrupted_ ? 130 : error_.empty() ? 0 : 1;
    if (!json_) return status;
    nlohmann::json document = {
        {"status", interrupted_ ? "interrupted" : error_.empty() ? "played" : "refused"},
        {"log", logPath_},
    };
    if (!error_.empty()) document["error"] = error_;
    if (card_.driverNumber >= 0) {
        document["driver"] = {{"number", card_.driverNumber}, {"name", card_.driverName}};
        document["rate"] = card_.rate;
        document["format"] = card_.format;
        document["buffer"] = card_.bufferFrames;
        document["latency"] = card_.latencyFrames;
    }
    if (!capturePath_.empty()) document["capture"] = capturePath_;
    nlohmann::json steps = nlohmann::json::array();
    for (const StepRecord& record : records_) steps.push_back(StepJson(record));
    document["steps"] = steps;
    std::cout << document.dump(2) << std::endl;
    return status;
}

void Report::Progress(double done, double total, const std::string& now) {
    if (!_isatty(kStandardError)) return;
    const int percent = total > 0 ? static_cast<int>(100 * done / total) : 100;
    std::string line = "\r" + Fixed(done, 1) + " of " + Fixed(total, 1) + " s (" + std::to_string(percent) + "%) " + now;
    if (line.size() < 79) line.append(79 - line.size(), ' ');
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    progressShown_ = true;
}

void Report::ClearProgress() {
    if (!progressShown_) return;
    std::fputs(("\r" + std::string(79, ' ') + "\r").c_str(), stderr);
    std::fflush(stderr);
    progressShown_ = false;
}

}  // namespace tonegate_tool
