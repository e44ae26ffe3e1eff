// The tonegate command: its sub-commands and options, and the exit status
// (0 done, 1 refused, 2 usage, 130 interrupted). Thread: the command's one thread.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#ifdef TONEGATE_WITH_CHECK
#include <algorithm>
#include <sstream>

#include "analysis/capture_analysis.h"
#include "tools/tonegate/capture_check.h"
#endif
#include "tools/tonegate/card_session.h"
#include "tools/tonegate/catalogue.h"
#include "tools/tonegate/steps.h"

namespace {

using namespace tonegate_tool;

constexpr int kUsage = 2;
constexpr int kRefused = 1;

int ListDrivers(bool json) {
    const std::vector<CatalogueEntry> catalogue = ReadCatalogue();
    if (json) {
        nlohmann::json drivers = nlohmann::json::array();
        nlohmann::json passedOver = nlohmann::json::array();
        for (const CatalogueEntry& entry : catalogue) {
            nlohmann::json item = {{"name", entry.name}, {"key", entry.key}, {"clsid", entry.clsid}, {"path", entry.path}};
            if (entry.number >= 0) {
                item["number"] = entry.number;
                drivers.push_back(item);
            } else {
                item["reason"] = entry.reason;
                passedOver.push_back(item);
            }
        }
        std::cout << nlohmann::json{{"drivers", drivers}, {"passed_over", passedOver}}.dump(2) << std::endl;
        return 0;
    }
    if (catalogue.empty()) std::cout << "no drivers are registered" << std::endl;
    for (const CatalogueEntry& entry : catalogue) {
        if (entry.number >= 0)
            std::cout << entry.number << "  " << entry.name << "  " << entry.path << std::endl;
        else
            std::cout << "-  " << entry.name << "  passed over: " << entry.reason
                      << (entry.path.empty() ? "" : " (" + entry.path + ")") << std::endl;
    }
    return 0;
}

// Checks steps from the command line as a script's lines are checked.
int PlaySteps(const PlayOptions& options, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (auto problem = RangeProblem(step)) {
            std::cerr << "tonegate: " << *problem << std::endl;
            return kRefused;
        }
    }
    CatchInterrupt();
    return PlayProgramme(options, steps);
}

int PlayScript(const PlayOptions& options, const std::string& script) {
    std::vector<Step> steps;
    std::optional<std::string> problem;
    if (script == "-") {
        problem = ParseScript(std::cin, "<stdin>", steps);
    } else {
        std::ifstream in(script);
        if (!in) {
            std::cerr << "tonegate: cannot read the script " << script << std::endl;
            return kRefused;
        }
        problem = ParseScript(in, script, steps);
    }
    if (problem) {
        std::cerr << "tonegate: " << *problem << std::endl;
        return kRefused;
    }
    CatchInterrupt();
    return PlayProgramme(options, steps);
}

// The channel, length and level of `tone` and `sweep`.
void AddSoundOptions(CLI::App& command, std::string& channel, Step& step, const char* secondsHelp) {
    command.add_option("--channel", channel, "A, B or AB")->check(CLI::IsMember({"A", "B", "AB"}, CLI::ignore_case));
    command.add_option("--seconds", step.seconds, secondsHelp)->capture_default_str();
    command.add_option("--atten", step.attenuation, "Attenuation in whole dB below full scale (0 to 60)")
        ->capture_default_str();
}

void AddPlayOptions(CLI::App& command, PlayOptions& options) {
    command.add_option("--driver", options.driver,
                       "Driver to open: its number or its name as 'tonegate drivers' prints it (any case); "
                       "without it, ASIOConfig.txt in the current folder chooses, as for any program");
    command.add_option("--rate", options.rate, "Sample rate to ask of the card, in Hz (default: the card's own)");
    command.add_option("--wav", options.wav, "Play on the WAV sink and capture to FILE, whatever driver is chosen")
        ->type_name("FILE");
    command.add_option("--format", options.format, "The WAV sink's sample format")
        ->check(CLI::IsMember({"int16", "int32"}));
    command.add_flag("--json", options.json, "Print one JSON document with the card and every step");
    command.add_option("--log-dir", options.logDir,
                       "Folder the library runs in and writes Dbg.Log to (default: the current folder, or a "
                       "folder of tonegate's own with --driver or --wav)")
        ->type_name("DIR");
}

#ifdef TONEGATE_WITH_CHECK
// `--channels A,B` (from 1) as the channels `check` reads as A and B (from
// 0); what is wrong with it otherwise. Given, both must be in the file: the
// default 1,2 reads a mono file as A alone.
std::optional<std::string> ChooseChannels(const std::string& text, bool given, CheckOptions& check) {
    std::istringstream in(text);
    int a = 0, b = 0;
    char comma = 0, extra = 0;
    if (!(in >> a >> comma >> b) || comma != ',' || in >> extra || a < 1 || b < 1 || a == b)
        return "--channels takes two different channels of the file, from 1, as A,B (e.g. 3,4), not " + text;
    check.channelA = a - 1;
    check.channelB = b - 1;
    if (!given) return std::nullopt;
    std::string why;
    const std::unique_ptr<tonegate_capture::SampleSource> file = tonegate_capture::OpenCaptureFile(check.capture, why);
    // A file that cannot be read is for `check` to report.
    if (file == nullptr || std::max(a, b) <= file->channels) return std::nullopt;
    return "--channels " + text + ": " + check.capture + " has " + std::to_string(file->channels) +
           (file->channels == 1 ? " channel" : " channels");
}
#endif

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tonegate: exact test tones through the Tonegate library.\n"
                 "Whole cycles, linear ramps and integer samples that sum to zero, on any installed driver."};
    app.require_subcommand(1);
    app.set_version_flag("--version", "tonegate 2.10");
    app.footer("Examples:\n"
               "  tonegate drivers\n"
               "  tonegate tone 1000 --seconds 2 --channel B --wav t.wav\n"
               "  tonegate sweep 100 10000 --seconds 3\n"
               "  tonegate play script.txt --json\n"
               "  tonegate check t.wav --expect script.txt\n"
               "Exit status: 0 played, 1 refused (the reason on standard error), 2 usage, 130 interrupted.");

    bool driversJson = false;
    CLI::App* drivers = app.add_subcommand("drivers", "List the installed drivers, numbered as the library numbers them");
    drivers->add_flag("--json", driversJson, "Print one JSON document");
    drivers->footer("Example:\n  tonegate drivers --json\n"
                    "Registrations the library passes over are listed unnumbered, with the reason.");

    PlayOptions options;
    Step tone;
    tone.kind = StepKind::Tone;
    tone.seconds = 1.0;
    std::vector<double> toneFrequencies;
    std::string toneChannel = "A";
    CLI::App* toneCommand = app.add_subcommand("tone", "Play one note (on both channels from the same buffer with AB)");
    toneCommand->add_option("FREQ", toneFrequencies, "Frequency in Hz (10 to 22050); with --channel AB a second "
                                                      "frequency for channel B")
        ->required()
        ->expected(1, 2);
    AddSoundOptions(*toneCommand, toneChannel, tone, "Length in seconds (0.01 to 60; whole cycles are played)");
    AddPlayOptions(*toneCommand, options);
    toneCommand->footer("Examples:\n  tonegate tone 1000\n  tonegate tone 440 660 --channel AB --seconds 0.5 --atten 12\n"
                        "  tonegate tone 1000 --seconds 2 --channel B --wav t.wav --format int16");

    Step sweep;
    sweep.kind = StepKind::Sweep;
    sweep.seconds = 1.0;
    std::string sweepChannel = "A";
    CLI::App* sweepCommand = app.add_subcommand("sweep", "Play a linear sweep");
    sweepCommand->add_option("FROM", sweep.frequency, "Start frequency in Hz (10 to 22050)")->required();
    sweepCommand->add_option("TO", sweep.frequencyB, "End frequency in Hz (10 to 22050)")->required();
    AddSoundOptions(*sweepCommand, sweepChannel, sweep, "Length in seconds (0.1 to 10; whole buffers are played)");
    AddPlayOptions(*sweepCommand, options);
    sweepCommand->footer("Example:\n  tonegate sweep 20 20000 --seconds 5 --channel AB");

    std::string script;
    CLI::App* playCommand = app.add_subcommand("play", "Play a test script, one step a line ('-' reads standard input)");
    playCommand->add_option("SCRIPT", script, "The script's file, or - for standard input")->required();
    AddPlayOptions(*playCommand, options);
    playCommand->footer("A script, one step a line:\n"
                        "  # a comment; blank lines are skipped\n"
                        "  rate 96000            ask the card for this rate (before the first sound)\n"
                        "  atten 12              attenuation of the lines below (default 20)\n"
                        "  tone A 1000 0.5       a note on A (or B, or AB), then wait until it has played\n"
                        "  tone B 440 0.25 30    an optional last field overrides the attenuation\n"
                        "  tones 440 660 1.0     A and B start in the same buffer; wait for both\n"
                        "  sweep A 100 10000 2   a sweep, then wait for it\n"
                        "  rest 0.2              silence\n"
                        "Example:\n  tonegate play script.txt --wav capture.wav --json");

#ifdef TONEGATE_WITH_CHECK
    CheckOptions check;
    CLI::App* checkCommand = app.add_subcommand("check", "Measure a capture, compare it with a script, draw it");
    checkCommand->add_option("CAPTURE", check.capture, "The capture (WAV, FLAC, any bit depth and rate)")->required();
    checkCommand->add_option("--expect", check.expect, "A script (as for 'play') the capture must hold exactly")
        ->type_name("SCRIPT");
    checkCommand->add_flag("--json", check.json, "Print one JSON document with the capture and every item");
    checkCommand->add_option("--plot", check.plot, "Draw the capture's spectrogram and level into a PNG")
        ->type_name("PICTURE.png");
    checkCommand->add_option("--threshold", check.thresholdDb,
                             "Silence in a recorded capture, in dBFS (default: found from its noise floor, "
                             "at least -70)")
        ->type_name("DB");
    std::string checkChannels = "1,2";
    checkCommand->add_option("--channels", checkChannels, "The file's channels read as A and B, from 1 (mono: A alone)")
        ->type_name("A,B")
        ->capture_default_str();
    checkCommand->add_flag("--recorded", check.recorded,
                           "Read the capture as a recording (tolerant bounds) even when it holds digital silence");
    checkCommand->footer(
        "Items are the runs of sound between silences: exact zeros in a bit-exact capture (the WAV sink's), "
        "or below --threshold in a recording. Each tone's frequency is fitted over the whole item; with "
        "--expect the capture must hold the script's sounds in order: frequency within 1 ppm, every note "
        "summing to 0, level within 0.5 dB, two voices of a step on the same frame (a recording: 0.1%, no "
        "sum, 1 ms).\nExamples:\n  tonegate check t.wav\n  tonegate check t.wav --expect script.txt --json\n"
        "  tonegate check recording.flac --recorded --plot picture.png");
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kUsage;
    }

    if (drivers->parsed()) return ListDrivers(driversJson);
#ifdef TONEGATE_WITH_CHECK
    if (checkCommand->parsed()) {
        if (auto problem = ChooseChannels(checkChannels, checkCommand->count("--channels") > 0, check)) {
            std::cerr << "tonegate: " << *problem << std::endl;
            return kUsage;
        }
        return CheckCapture(check);
    }
#endif
    if (toneCommand->parsed()) {
        tone.channels = *ParseChannels(toneChannel);
        tone.frequency = toneFrequencies.front();
        tone.frequencyB = toneFrequencies.back();
        if (toneFrequencies.size() == 2 && tone.channels != Channels::AB) {
            std::cerr << "tonegate: two frequencies need --channel AB" << std::endl;
            return kUsage;
        }
        return PlaySteps(options, {tone});
    }
    if (sweepCommand->parsed()) {
        sweep.channels = *ParseChannels(sweepChannel);
        return PlaySteps(options, {sweep});
    }
    return PlayScript(options, script);
}
