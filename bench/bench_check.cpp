// A plain program, not a Google Benchmark one: it times whole child
// processes. It writes a 10-minute and a 1-minute capture (96 kHz, two
// channels, 32-bit PCM WAV, tones, sweeps and digital silence as a bit-exact
// recording holds them), then runs `tonegate check` and `sox FILE -n stats`
// on the long one, each twice so that both read from a warm page cache, and
// `tonegate check` on the short one to see whether its memory grows with the
// capture's length. Exits 1 when `tonegate check` takes longer than
// sox does, when its memory grows by more than 16 MB, or when something
// cannot be measured. Thread: the program's one thread.
//   build/bin/bench_check [TONEGATE]   (default: the tonegate beside it)
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numbers>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kRate = 96000;
constexpr double kFullScale = 2147483647.0;
constexpr int64_t kRampFrames = kRate / 100;  // 10 ms
constexpr int64_t kGapFrames = kRate / 20;    // 50 ms of exact zeros after every step
constexpr double kLongestRatio = 1.0;
constexpr long kLargestGrowthKb = 16 * 1024;

// One sound on one channel: a tone when `from` equals `to`, a linear sweep
// otherwise; linear ramps at both ends.
struct Voice {
    double from = 0, to = 0;  // Hz
    double attenuationDb = 0; // below full scale
    int64_t frames = 0;
};

// What a step puts on each channel; a voice of no frames is silence.
struct Step {
    Voice a, b;
};

// How many tones and sweeps a capture holds, over both channels.
struct SoundCount {
    int64_t tones = 0, sweeps = 0;
};

// The voice added into one channel of `frames` (interleaved, two channels).
void Render(const Voice& voice, int channel, std::vector<int32_t>& frames) {
    const double amplitude = kFullScale * std::pow(10.0, -voice.attenuationDb / 20);
    const double seconds = static_cast<double>(voice.frames) / kRate;
    const double glide = (voice.to - voice.from) / seconds;  // Hz a second
    for (int64_t n = 0; n < voice.frames; ++n) {
        const double t = static_cast<double>(n) / kRate;
        const double phase = 2 * std::numbers::pi * (voice.from * t + glide * t * t / 2);
        const double ramp = std::min({1.0, static_cast<double>(n) / kRampFrames,
                                      static_cast<double>(voice.frames - n) / kRampFrames});
        frames[static_cast<size_t>(2 * n + channel)] = static_cast<int32_t>(std::lround(amplitude * ramp * std::sin(phase)));
    }
}

// The programme's n-th step. Tones last whole seconds or half seconds at
// even frequencies, so that each holds whole cycles.
Step NthStep(int64_t n) {
    static constexpr double kFrequencies[] = {220, 440, 1000, 2500, 5000, 7920, 12000, 19000};
    static constexpr double kAttenuationsDb[] = {1, 6, 20, 40};
    static constexpr int64_t kToneFrames[] = {kRate, kRate / 2, 2 * kRate};
    // Each round of four steps walks the tables at its own strides.
    const auto pick = [round = n / 4](const auto& table, int64_t stride) {
        return table[static_cast<size_t>(round * stride % static_cast<int64_t>(std::size(table)))];
    };
    const Voice tone{pick(kFrequencies, 3), pick(kFrequencies, 3), pick(kAttenuationsDb, 1), pick(kToneFrames, 1)};
    const Voice other{pick(kFrequencies, 5), pick(kFrequencies, 5), pick(kAttenuationsDb, 3), kRate};
    const bool rising = n % 8 == 3;
    const Voice sweep{rising ? 200.0 : 8000.0, rising ? 8000.0 : 200.0, 6, 2 * kRate};
    switch (n % 4) {
        case 0: return {tone, {}};
        case 1: return {{}, tone};
        case 2: return {tone, other};
        default: return n % 12 == 3 ? Step{sweep, {}} : n % 12 == 7 ? Step{{}, sweep} : Step{sweep, sweep};
    }
}

// Writes `seconds` of the programme to `path`; the steps that do not fit
// whole give way to silence at the end.
bool WriteCapture(const fs::path& path, int64_t seconds, SoundCount& sounds) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        std::cerr << "bench_check: cannot write " << path << ": " << sf_strerror(nullptr) << std::endl;
        return false;
    }
    const int64_t total = seconds * kRate;
    int64_t written = 0;
    bool ok = true;
    const auto write = [&](const std::vector<int32_t>& frames) {
        const auto count = static_cast<sf_count_t>(frames.size() / 2);
        ok = ok && sf_writef_int(file, frames.data(), count) == count;
        written += count;
    };
    const std::vector<int32_t> gap(2 * kGapFrames, 0);
    for (int64_t n = 0; ok; ++n) {
        const Step step = NthStep(n);
        const int64_t length = std::max(step.a.frames, step.b.frames);
        if (written + length + kGapFrames > total) break;
        std::vector<int32_t> frames(static_cast<size_t>(2 * length), 0);
        for (const auto& [voice, channel] : {std::pair{step.a, 0}, std::pair{step.b, 1}}) {
            if (voice.frames == 0) continue;
            Render(voice, channel, frames);
            if (voice.from == voice.to)
                ++sounds.tones;
            else
                ++sounds.sweeps;
        }
        write(frames);
        write(gap);
    }
    if (ok && written < total) write(std::vector<int32_t>(static_cast<size_t>(2 * (total - written)), 0));
    sf_close(file);
    if (!ok) std::cerr << "bench_check: cannot write " << path << std::endl;
    return ok;
}

struct Run {
    double seconds = 0;
    long peakKb = 0;  // the child's peak resident memory
};

// Runs `argv` with its output (both streams) in `output`. False when it
// cannot start or does not exit with status 0.
bool RunChild(const std::vector<std::string>& argv, const std::string& output, Run& run) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    std::string command;
    for (const std::string& argument : argv) command += (command.empty() ? "" : " ") + argument;
    if (error != 0) {
        std::cerr << "bench_check: cannot run " << command << ": " << std::strerror(error) << std::endl;
        return false;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::cerr << "bench_check: lost " << command << ": " << std::strerror(errno) << std::endl;
        return false;
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.peakKb = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "bench_check: " << command << " failed (wait status " << status << ")" << std::endl;
        return false;
    }
    return true;
}

// The better time and the larger memory of the runs so far.
void Keep(const Run& run, Run& best) {
    best.seconds = best.seconds == 0 ? run.seconds : std::min(best.seconds, run.seconds);
    best.peakKb = std::max(best.peakKb, run.peakKb);
}

// Whether tonegate's listing of the capture (in `report`) holds the
// capture's tones and sweeps: otherwise its time would not be that of the
// whole analysis.
bool ListsAllSounds(const fs::path& report, const SoundCount& expected) {
    std::ifstream in(report);
    SoundCount found;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("  A tone") || line.starts_with("  B tone")) ++found.tones;
        if (line.starts_with("  A sweep") || line.starts_with("  B sweep")) ++found.sweeps;
    }
    if (found.tones == expected.tones && found.sweeps == expected.sweeps) return true;
    std::cerr << "bench_check: tonegate found " << found.tones << " tones and " << found.sweeps << " sweeps, the capture holds "
              << expected.tones << " and " << expected.sweeps << std::endl;
    return false;
}

// The measurements; false when one of them cannot be made.
bool Measure(const fs::path& folder, const std::string& tonegate, bool& passed) {
    const fs::path shortCapture = folder / "capture-1min.wav", longCapture = folder / "capture-10min.wav";
    const fs::path report = folder / "check-1min.txt";
    SoundCount shortSounds, longSounds;
    if (!WriteCapture(shortCapture, 60, shortSounds) || !WriteCapture(longCapture, 600, longSounds)) return false;

    Run shortRun, tonegateRun, soxRun;
    if (!RunChild({tonegate, "check", shortCapture}, report, shortRun)) {
        std::ifstream in(report);
        std::cerr << in.rdbuf();
        return false;
    }
    if (!ListsAllSounds(report, shortSounds)) return false;
    // In turns, so that a passing load on the machine weighs on both alike.
    for (int round = 0; round < 2; ++round) {
        Run run;
        if (!RunChild({tonegate, "check", longCapture}, "/dev/null", run)) return false;
        Keep(run, tonegateRun);
        if (!RunChild({"sox", longCapture, "-n", "stats"}, "/dev/null", run)) return false;
        Keep(run, soxRun);
    }

    const double ratio = tonegateRun.seconds / soxRun.seconds;
    const long growthKb = tonegateRun.peakKb - shortRun.peakKb;
    std::printf("tonegate check, 10 min:   %.3f s\n", tonegateRun.seconds);
    std::printf("sox stats, 10 min:        %.3f s\n", soxRun.seconds);
    std::printf("ratio:                    %.2f (at most %.2f)\n", ratio, kLongestRatio);
    std::printf("tonegate memory, 1 min:   %ld kB\n", shortRun.peakKb);
    std::printf("tonegate memory, 10 min:  %ld kB (at most %ld kB more)\n", tonegateRun.peakKb, kLargestGrowthKb);
    passed = ratio <= kLongestRatio && growthKb <= kLargestGrowthKb;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::cerr << "usage: bench_check [TONEGATE]" << std::endl;
        return 1;
    }
    std::error_code error;
    const std::string tonegate =
        argc == 2 ? argv[1] : (fs::read_symlink("/proc/self/exe", error).parent_path() / "tonegate").string();
    std::string pattern = (fs::temp_directory_path() / "bench_check.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::cerr << "bench_check: cannot make a folder in " << fs::temp_directory_path() << std::endl;
        return 1;
    }
    const fs::path folder = pattern;
    bool passed = false;
    const bool measured = Measure(folder, tonegate, passed);
    fs::remove_all(folder, error);
    return measured && passed ? 0 : 1;
}
