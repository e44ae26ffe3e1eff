// A programme played through the library. Thread: the command's one thread;
// the interrupt handler only stores a lock-free flag.
#include "tools/tonegate/card_session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>

#include "player/library_binding.h"
#include "platform/win32.h"
#include "tools/tonegate/catalogue.h"

namespace tonegate_tool {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kConfigFile = "ASIOConfig.txt";
constexpr const char* kLogFile = "Dbg.Log";
// A card's clock may run a little slow against ours; a sound is given this
// share of its length, and a few milliseconds, on top before the next begins.
constexpr double kClockTolerance = 0.0005;
constexpr double kSchedulingMargin = 0.003;

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag is set from a signal handler");

extern "C" void OnInterrupt(int) {
    interrupted.store(true);
    std::signal(SIGINT, OnInterrupt);  // Windows resets the handler at each signal
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteWholeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

// The library's log, read from a mark so that each call's own lines are told apart.
class LibraryLog {
public:
    explicit LibraryLog(fs::path path) : path_(std::move(path)) {}
    void Mark() { mark_ = Size(); }
    uintmax_t Size() const {
        std::error_code error;
        const uintmax_t size = fs::file_size(path_, error);
        return error ? 0 : size;
    }
    std::vector<std::string> SinceMark() const { return Lines(mark_); }
    std::vector<std::string> All() const { return Lines(0); }
    // The log's lines from byte `from` on; only what follows it is read.
    std::vector<std::string> Lines(uintmax_t from) const {
        std::vector<std::string> lines;
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) lines.push_back(line);
        }
        return lines;
    }

private:
    fs::path path_;
    uintmax_t mark_ = 0;
};

// A card whose device or capture fails asks the library for a reset, which
// stops it for the rest of the run; the library logs the request and, on the
// next line, the card's reason. Later requests still return as if played.
constexpr std::string_view kNoReason = "the driver asked to be reset";

std::optional<std::string> CardStopped(const std::vector<std::string>& lines) {
    constexpr std::string_view kReason = "Driver reports: ";
    const auto reset = std::find(lines.begin(), lines.end(), "asioMessages: kAsioResetRequest");
    if (reset == lines.end()) return std::nullopt;
    const auto reason = std::next(reset);
    if (reason != lines.end() && reason->starts_with(kReason)) return reason->substr(kReason.size());
    return std::string(kNoReason);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + line;
    return text;
}

// The last line that gives a reason: the teardown's count is none.
std::string LastReason(const std::vector<std::string>& lines) {
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        if (line->rfind("Final noteCount", 0) != 0) return *line;
    return "the log gives no reason";
}

// The value of "NAME: VALUE" in the last log line that has it.
std::optional<long> LoggedValue(const std::vector<std::string>& lines, const std::string& name) {
    const std::string key = name + ": ";
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        for (size_t at = line->find(key); at != std::string::npos; at = line->find(key, at + 1)) {
            if (at != 0 && (at < 2 || line->compare(at - 2, 2, ", ") != 0)) continue;
            return std::strtol(line->c_str() + at + key.size(), nullptr, 10);
        }
    }
    return std::nullopt;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

// A step as the progress line and a refusal name it: its line without the figures.
std::string StepLabel(const StepRecord& record) {
    const std::string line = StepLine(record);
    return line.substr(0, line.find(" ("));
}

// Where the library runs and which driver it is told to open.
struct Setup {
    fs::path userFolder;
    fs::path workFolder;
    std::optional<int> driverNumber;   // chosen by the command
    std::optional<std::string> config; // what "ASIOConfig.txt" must hold for the open; empty: absent
    bool configChanges = false;
    std::string capture;
};

bool SetVariable(const char* name, const std::string& value, std::string& why) {
    if (_putenv_s(name, value.c_str()) == 0) return true;
    why = std::string("cannot set ") + name;
    return false;
}

bool Prepare(const PlayOptions& options, const std::vector<CatalogueEntry>& catalogue, Setup& setup,
             std::string& why) {
    std::error_code error;
    setup.userFolder = fs::current_path(error);
    if (error) {
        why = "cannot tell the current folder: " + error.message();
        return false;
    }
    if (!options.wav.empty()) {
        const std::optional<CatalogueEntry> sink = FindWavSink(catalogue);
        if (!sink) {
            why = "--wav needs the WAV sink, and it is not installed ('tonegate drivers' lists what is)";
            return false;
        }
        setup.driverNumber = sink->number;
    } else if (!options.driver.empty()) {
        const std::optional<CatalogueEntry> driver = FindDriver(catalogue, options.driver, why);
        if (!driver) return false;
        setup.driverNumber = driver->number;
    }
    // The library reads one digit from its configuration file.
    if (setup.driverNumber && *setup.driverNumber > 9) {
        why = "driver " + std::to_string(*setup.driverNumber) + " cannot be chosen: the library opens drivers 0 to 9";
        return false;
    }

    if (!options.logDir.empty()) {
        setup.workFolder = fs::absolute(options.logDir, error);
        if (!error) fs::create_directories(setup.workFolder, error);
        if (error) {
            why = "cannot use the log folder " + options.logDir + ": " + error.message();
            return false;
        }
    } else if (setup.driverNumber) {
        // A folder of our own, so that the user's folder is never written to.
        for (int attempt = 0; attempt < 100 && setup.workFolder.empty(); ++attempt) {
            const fs::path folder = fs::temp_directory_path(error) /
                                    ("tonegate-" + std::to_string(Clock::now().time_since_epoch().count() % 1000000007) +
                                     "-" + std::to_string(attempt));
            if (!error && fs::create_directory(folder, error)) setup.workFolder = folder;
        }
        if (setup.workFolder.empty()) {
            why = "cannot make a working folder for the library: " + error.message();
            return false;
        }
    } else {
        setup.workFolder = setup.userFolder;
    }

    const bool elsewhere = !fs::equivalent(setup.workFolder, setup.userFolder, error);
    if (setup.driverNumber) {
        setup.config = std::to_string(*setup.driverNumber);
        setup.configChanges = true;
    } else if (elsewhere) {
        // Honour the user's own choice in the folder the library now runs in.
        setup.config = ReadWholeFile(setup.userFolder / kConfigFile);
        setup.configChanges = true;
    }

    // The sink's capture stays where the user would look for it.
    if (!options.wav.empty()) {
        setup.capture = fs::absolute(options.wav, error).string();
    } else if (const char* file = std::getenv("TONEGATE_WAVSINK_FILE"); file != nullptr && file[0] != '\0') {
        setup.capture = fs::absolute(file, error).string();
    } else {
        setup.capture = (setup.userFolder / "Tonegate.wav").string();
    }
    if (!SetVariable("TONEGATE_WAVSINK_FILE", setup.capture, why)) return false;
    if (!options.format.empty() && !SetVariable("TONEGATE_WAVSINK_FORMAT", options.format, why)) return false;
    return true;
}

// Opens the driver with "ASIOConfig.txt" as the setup wants it, and puts the
// file back as it was at once: the library reads it only while opening.
bool OpenDriver(LibraryBinding& library, const Setup& setup) {
    if (!setup.configChanges) return library.pASIOOpenDriver();
    const fs::path config = setup.workFolder / kConfigFile;
    const std::optional<std::string> before = ReadWholeFile(config);
    std::error_code error;
    if (setup.config)
        WriteWholeFile(config, *setup.config);
    else
        fs::remove(config, error);
    const bool opened = library.pASIOOpenDriver();
    if (before)
        WriteWholeFile(config, *before);
    else
        fs::remove(config, error);
    return opened;
}

class Player {
public:
    Player(LibraryBinding& library, LibraryLog& log, Report& report)
        : library_(library), log_(log), report_(report), playingFrom_(log.Size()) {}

    // Plays every step; false when one was refused or the run interrupted.
    bool Play(const std::vector<Step>& steps, CardFacts& card);

private:
    bool SetRate(uint32_t rate, CardFacts& card);
    bool CheckCard(const std::vector<Step>& steps, size_t from, const CardFacts& card);
    bool Sound(const Step& step, const CardFacts& card, StepRecord& record);
    // Waits `seconds` from `start`; false when interrupted.
    bool WaitFor(Clock::time_point start, double seconds, const std::string& now);
    // False, with the card's reason reported, once the card has stopped.
    bool CardPlays();

    LibraryBinding& library_;
    LibraryLog& log_;
    Report& report_;
    double programmeSeconds_ = 0;
    double doneSeconds_ = 0;
    // Where the log stood when the card was set up: the card's own failures
    // are looked for from there on (the log grows only when something fails).
    uintmax_t playingFrom_;
};

bool Player::CardPlays() {
    std::optional<std::string> reason = CardStopped(log_.Lines(playingFrom_));
    if (!reason) return true;
    if (*reason == kNoReason) {
        // The reason follows the request at once, from the card's thread.
        Sleep(50);
        reason = CardStopped(log_.Lines(playingFrom_));
    }
    report_.Refused("the card stopped: " + *reason);
    return false;
}

bool Player::SetRate(uint32_t rate, CardFacts& card) {
    log_.Mark();
    if (!library_.pASIOSetSampleRate(rate)) {
        report_.Refused("the card refused the rate " + std::to_string(rate) + " Hz: " + Joined(log_.SinceMark()));
        return false;
    }
    const int32_t actual = library_.pASIOGetSampleRate();
    if (actual <= 0) {
        report_.Refused("the card did not report its rate: " + LastReason(log_.SinceMark()));
        return false;
    }
    card.rate = static_cast<uint32_t>(actual);
    return true;
}

bool Player::CheckCard(const std::vector<Step>& steps, size_t from, const CardFacts& card) {
    const CardTiming timing{static_cast<double>(card.rate), card.bufferFrames};
    for (size_t i = from; i < steps.size(); ++i) {
        if (auto problem = CardProblem(steps[i], timing)) {
            report_.Refused((steps[i].line > 0 ? "line " + std::to_string(steps[i].line) + ": " : std::string()) +
                            *problem);
            return false;
        }
        programmeSeconds_ += LengthOnCard(steps[i], timing).seconds;
    }
    return true;
}

bool Player::Sound(const Step& step, const CardFacts& card, StepRecord& record) {
    const CardTiming timing{static_cast<double>(card.rate), card.bufferFrames};
    record.played = LengthOnCard(step, timing);
    const bool both = step.channels == Channels::AB;
    log_.Mark();
    // Two voices start from the same buffer: output is held while they are asked for.
    if (both) library_.pASIOEnableWav(false);
    if (step.kind == StepKind::Tone) {
        if (step.channels != Channels::B)
            record.setupMicros = library_.pASIOGenerateSineWavA(step.frequency, step.seconds, step.attenuation);
        if (step.channels != Channels::A) {
            const uint32_t micros =
                library_.pASIOGenerateSineWavB(both ? step.frequencyB : step.frequency, step.seconds, step.attenuation);
            (both ? record.setupMicrosB : record.setupMicros) = micros;
        }
    } else {
        if (step.channels != Channels::B)
            library_.pASIOGenerateSweepWavA(step.frequency, step.frequencyB, step.seconds, step.attenuation);
        if (step.channels != Channels::A)
            library_.pASIOGenerateSweepWavB(step.frequency, step.frequencyB, step.seconds, step.attenuation);
    }
    if (both) library_.pASIOEnableWav(true);
    const Clock::time_point start = Clock::now();

    const std::vector<std::string> lines = log_.SinceMark();
    if (!lines.empty()) {
        // A note over 10 s plays without its zero-sum correction, and the
        // library logs it as failed; every line it wrote must say just that.
        const bool onlyUncorrected =
            step.kind == StepKind::Tone && step.seconds > 10.0 && HasLine(lines, "Failed: pSineGenerator") &&
            !HasLine(lines, "Failed: PlaySineWav") && !HasLine(lines, "Can't start!");
        if (!onlyUncorrected) {
            report_.Refused(StepLabel(record) + " refused: " + Joined(lines));
            return false;
        }
        record.uncorrected = true;
    }
    // The sound begins at the first buffer switch after the request and the
    // generator is free once its last buffer is rendered. One switch more
    // leaves at least one buffer of silence before the next sound, so that
    // the sounds stay apart in a capture, and at most about three.
    const double period = static_cast<double>(card.bufferFrames) / card.rate;
    return WaitFor(start, (record.played.bufferSwitches + 1) * period * (1 + kClockTolerance) + kSchedulingMargin,
                   StepLabel(record));
}

bool Player::WaitFor(Clock::time_point start, double seconds, const std::string& now) {
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point shown{};
    for (Clock::time_point at = Clock::now(); at < end; at = Clock::now()) {
        if (interrupted.load()) return false;
        const double elapsed = std::chrono::duration<double>(at - start).count();
        // A tenth of a second between updates is smooth enough to read.
        if (programmeSeconds_ >= 2.0 && at - shown >= std::chrono::milliseconds(100)) {
            report_.Progress(doneSeconds_ + elapsed, programmeSeconds_, now);
            shown = at;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - at).count();
        Sleep(static_cast<DWORD>(std::min<long long>(left + 1, 20)));
    }
    doneSeconds_ += seconds;
    return !interrupted.load() && CardPlays();
}

bool Player::Play(const std::vector<Step>& steps, CardFacts& card) {
    bool checked = false;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        StepRecord record;
        record.step = step;
        if (interrupted.load()) return false;
        if (step.kind == StepKind::Rate) {
            if (!SetRate(step.rate, card)) return false;
            report_.SetCard(card);
        } else {
            // Every sound is checked against the card before the first plays.
            if (!checked && !(checked = CheckCard(steps, i, card))) return false;
            if (step.kind == StepKind::Rest) {
                record.played.seconds = step.seconds;
                if (!WaitFor(Clock::now(), step.seconds, "rest")) return false;
            } else if (!Sound(step, card, record)) {
                return false;
            }
        }
        report_.Played(record);
    }
    // The last sound still has to leave the card before the driver stops.
    const double tail = static_cast<double>(card.bufferFrames + card.latencyFrames) / card.rate;
    return WaitFor(Clock::now(), tail, "finishing");
}

// The card as the library's log of the open and the set-up describes it.
CardFacts ReadCard(const std::vector<std::string>& lines, const std::vector<CatalogueEntry>& catalogue,
                   int32_t rate) {
    CardFacts card;
    card.driverNumber = 0;
    if (auto requested = LoggedValue(lines, "nRequestedDrvNum"); requested && !HasLine(lines, "nRequestedDrvNum >"))
        card.driverNumber = static_cast<int>(*requested);
    for (const CatalogueEntry& entry : catalogue)
        if (entry.number == card.driverNumber) card.driverName = entry.name;
    card.bufferFrames = static_cast<uint32_t>(LoggedValue(lines, "preferredSize").value_or(0));
    card.latencyFrames = static_cast<uint32_t>(std::max(0L, LoggedValue(lines, "asioDriverInfo.outputLatency").value_or(0)));
    card.format = HasLine(lines, "16 Bit Snd Card detected") ? "int16" : "int32";
    card.rate = rate > 0 ? static_cast<uint32_t>(rate) : 0;
    return card;
}

}  // namespace

void CatchInterrupt() { std::signal(SIGINT, OnInterrupt); }

int PlayProgramme(const PlayOptions& options, const std::vector<Step>& steps) {
    Report report(options.json);
    const std::vector<CatalogueEntry> catalogue = ReadCatalogue();
    Setup setup;
    std::string why;
    if (!Prepare(options, catalogue, setup, why)) {
        report.Refused(why);
        return report.Finish();
    }
    const fs::path logPath = setup.workFolder / kLogFile;
    report.SetLog(logPath.string());
    std::error_code error;
    fs::current_path(setup.workFolder, error);
    if (error) {
        report.Refused("cannot work in " + setup.workFolder.string() + ": " + error.message());
        return report.Finish();
    }

    LibraryBinding library;
    if (!library.IsLoaded() || !library.BindsEveryExport()) {
        report.Refused(library.IsLoaded() ? "the Tonegate library lacks one of its ten exports"
                                           : "cannot load the Tonegate library");
        return report.Finish();
    }
    LibraryLog log(logPath);
    bool played = false;
    if (!OpenDriver(library, setup)) {
        report.Refused("no driver was opened: " + LastReason(log.All()));
    } else {
        log.Mark();
        if (!library.pASIOSystemInit(GetDesktopWindow())) {
            report.Refused("the driver could not be set up: " + LastReason(log.SinceMark()));
        } else {
            CardFacts card = ReadCard(log.All(), catalogue, library.pASIOGetSampleRate());
            if (card.driverNumber == FindWavSink(catalogue).value_or(CatalogueEntry{}).number)
                report.SetCapture(setup.capture);
            report.SetCard(card);
            Player player(library, log, report);
            Step rate;
            rate.kind = StepKind::Rate;
            rate.rate = options.rate;
            std::vector<Step> programme;
            if (options.rate != 0) programme.push_back(rate);
            programme.insert(programme.end(), steps.begin(), steps.end());
            played = player.Play(programme, card);
            if (!played && interrupted.load()) report.Interrupted();
        }
    }
    // Stops the card, closes a capture whole, and ends the log.
    if (library.pASIOCloseDriver() != 0 && played) report.Refused("the library's log could not be closed");
    library.Unload();
    return report.Finish();
}

}  // namespace tonegate_tool
