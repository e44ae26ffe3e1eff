// Test support: the headless sound servers of a Linux desktop, each the
// test's own: PulseAudio, and PipeWire with WirePlumber, each with a null
// sink "tonegate" at 48000 Hz, and a recorder of that sink's monitor writing
// a WAV file (32-bit, two channels, 48000 Hz). A server runs in folders of the
// test's working directory (its XDG_RUNTIME_DIR and HOME), so nothing of the
// user's is touched, and everything started here is ended by its process
// group. Thread: the test's own; the servers and the recorder run as
// children. Linux (POSIX and prctl).
//
// A program using this defines TONEGATE_LIBRARY_ARCHITECTURE (CMake's
// CMAKE_LIBRARY_ARCHITECTURE, e.g. "x86_64-linux-gnu"): ALSA's plugins are in
// /usr/lib/<architecture>/alsa-lib.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace tonegate_test {

// Where a server that cannot start fails the test instead of skipping it:
// CI (.ci/run sets CI) must run these tests, a developer's machine may lack
// a server.
inline void SkipOrFailWithoutServer(const std::string& reason) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && *ci != '\0') FAIL() << reason << " (CI is set: the server is required)";
    GTEST_SKIP() << reason;
}

// The same, and the calling test (its body or SetUp) ends there: a skip or
// failure made inside a helper returns only from the helper.
#define TONEGATE_SKIP_OR_FAIL_WITHOUT_SERVER(reason)        \
    do {                                                   \
        tonegate_test::SkipOrFailWithoutServer(reason);    \
        return;                                            \
    } while (0)

inline bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t from = 0, to; from <= folders.size(); from = to + 1) {
        to = std::min(folders.find(':', from), folders.size());
        if (access((folders.substr(from, to - from) + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// What a shell command printed (standard output and error), when it exited 0.
inline std::optional<std::string> Answer(const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string text;
    char block[4096];
    for (size_t got; (got = std::fread(block, 1, sizeof block, pipe)) > 0;) text.append(block, got);
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

// A command started in a process group of its own, its output appended to
// `log`, ended by a signal to the whole group; with a `realtimePriority`, at
// that SCHED_FIFO priority where the system permits. This process is made
// the subreaper of its descendants, so that a server's children left behind
// by a dying parent are reaped here, not by PID 1 (which in a container may
// reap nothing).
class ProcessGroup {
public:
    ProcessGroup(const std::vector<std::string>& command, const std::string& log, int realtimePriority = 0) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::vector<char*> argv;
        for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        const char* logPath = log.c_str();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            if (realtimePriority > 0) {
                sched_param priority{};
                priority.sched_priority = realtimePriority;
                sched_setscheduler(0, SCHED_FIFO, &priority);
            }
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(logPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        // Also here, so that a signal sent at once reaches the group.
        if (pid_ > 0) setpgid(pid_, pid_);
    }
    ~ProcessGroup() { End(SIGTERM); }
    ProcessGroup(const ProcessGroup&) = delete;
    ProcessGroup& operator=(const ProcessGroup&) = delete;

    // Whether the command itself (the group's leader) still runs.
    bool Running() {
        if (pid_ <= 0 || leaderGone_) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        leaderGone_ = true;
        status_ = status;
        return false;
    }

    // Sends `signal` to the group and reaps every process of it, killing
    // those left after 5 s. The leader's wait status.
    int End(int signal) {
        using namespace std::chrono_literals;
        if (pid_ <= 0) return status_;
        kill(-pid_, signal);
        auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            int status = 0;
            const pid_t reaped = waitpid(-pid_, &status, WNOHANG);
            if (reaped == pid_) status_ = status;
            if (reaped > 0) continue;
            if (reaped < 0) break;  // none of the group is left
            if (std::chrono::steady_clock::now() > deadline) {
                kill(-pid_, SIGKILL);
                deadline = std::chrono::steady_clock::time_point::max();
            }
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    bool leaderGone_ = false;
    int status_ = -1;
};

// The server's folders in the working directory, "runtime" (XDG_RUNTIME_DIR)
// and "home" (HOME), set for this process and so for all it starts, with
// every variable unset that would lead a server or a client to the user's
// own session (a bus, a display whose root window names a server, another
// server or configuration). All put back as it was at the end.
class ServerFolders {
public:
    ServerFolders()
        : runtime_(std::filesystem::current_path() / "runtime"), home_(std::filesystem::current_path() / "home") {
        std::filesystem::create_directories(runtime_);
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);  // as a server demands
        std::filesystem::create_directories(home_);
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        setenv("HOME", home_.c_str(), 1);
    }
    ~ServerFolders() {
        for (const auto& [name, value] : saved_)
            if (value) setenv(name, value->c_str(), 1);
            else unsetenv(name);
    }
    ServerFolders(const ServerFolders&) = delete;
    ServerFolders& operator=(const ServerFolders&) = delete;

    const std::filesystem::path& home() const { return home_; }

private:
    static constexpr const char* kVariables[] = {
        "XDG_RUNTIME_DIR", "HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
        "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE",
        "PULSE_RUNTIME_PATH", "PULSE_COOKIE", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR",
        "JACK_DEFAULT_SERVER", "ALSA_CONFIG_PATH"};

    std::filesystem::path runtime_, home_;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

// A headless server with the null sink "tonegate", and its recorder. Start
// it first; a server that does not start says why.
class SoundServer {
public:
    virtual ~SoundServer() = default;

    // Empty once the server answers with its sink; otherwise why not.
    virtual std::string Start() = 0;
    // The server's log (its standard output and error).
    std::string log() const { return ReadFile("server.log"); }
    // Ends the server and all it started, as a crash or a logout would.
    void End() { server_->End(SIGKILL); }

    // Starts recording the sink's monitor into `file`; empty once sound from
    // the sink reaches the file (so that nothing played after is missed),
    // otherwise why not.
    std::string StartRecording(const std::string& file) {
        using namespace std::chrono_literals;
        file_ = file;
        // Real-time: at plain priority, busy processes beside it make
        // pw-record miss cycles of a short quantum (its recording then lacks
        // whole quanta), which the card would be blamed for.
        recorder_ = std::make_unique<ProcessGroup>(RecorderCommand(file), "recorder.log", kRecorderPriority);
        for (const auto until = Clock::now() + 10s; RecordedBytes() < kHeaderBytes + kFrameBytes * kRate / 100;
             std::this_thread::sleep_for(10ms)) {
            if (!recorder_->Running()) return "the recorder ended: " + ReadFile("recorder.log");
            if (Clock::now() > until)
                return "no sound from the sink reached the recorder in 10 s: " + ReadFile("recorder.log") + log();
        }
        return "";
    }

    // Stops the recorder (SIGINT, on which it closes its file) once the file
    // holds all the sink played until now; empty, or what went wrong.
    std::string StopRecording() {
        using namespace std::chrono_literals;
        // The recording lags the sink by at most the server's hand-over; the
        // card's ring and the server's own buffer add less than 0.25 s.
        const auto lagFrames = static_cast<uintmax_t>((handOverSeconds_ + 0.25) * kRate);
        const uintmax_t needed = RecordedBytes() + lagFrames * kFrameBytes;
        for (const auto until = Clock::now() + 15s; RecordedBytes() < needed; std::this_thread::sleep_for(10ms)) {
            if (!recorder_->Running()) return "the recorder ended while recording: " + ReadFile("recorder.log");
            if (Clock::now() > until) return "the recording stopped growing: " + ReadFile("recorder.log");
        }
        const int status = recorder_->End(SIGINT);
        if (!WIFEXITED(status)) return "the recorder did not end on SIGINT: " + ReadFile("recorder.log");
        return "";
    }

    static constexpr unsigned kRate = 48000;

protected:
    using Clock = std::chrono::steady_clock;
    static constexpr uintmax_t kHeaderBytes = 44;
    static constexpr uintmax_t kFrameBytes = 8;  // two 32-bit samples
    // Below the servers' own threads (PipeWire's at 88), above the cards' (40).
    static constexpr int kRecorderPriority = 70;

    // `handOverSeconds`: the longest the server keeps the monitor's sound
    // before handing it to the recorder.
    explicit SoundServer(double handOverSeconds) : handOverSeconds_(handOverSeconds) {}

    virtual std::vector<std::string> RecorderCommand(const std::string& file) const = 0;

    // Empty when every program is on PATH, otherwise the first missing one
    // with the Debian packages that bring them.
    static std::string Missing(const std::vector<std::string>& programs, const std::string& packages) {
        for (const std::string& program : programs)
            if (!OnPath(program)) return program + " is not installed (Debian: " + packages + ")";
        return "";
    }

    // Starts `command` as the server and waits until `ready` holds; empty,
    // or why it did not come up.
    template <typename Ready>
    std::string Launch(const std::vector<std::string>& command, Ready ready) {
        using namespace std::chrono_literals;
        server_ = std::make_unique<ProcessGroup>(command, "server.log");
        for (const auto until = Clock::now() + 10s; !ready(); std::this_thread::sleep_for(50ms)) {
            if (!server_->Running()) return command[0] + " ended at once: " + log();
            if (Clock::now() > until) return command[0] + " did not come up in 10 s: " + log();
        }
        return "";
    }

    ServerFolders folders_;

private:
    uintmax_t RecordedBytes() const {
        std::error_code absent;
        const uintmax_t bytes = std::filesystem::file_size(file_, absent);
        return absent ? 0 : bytes;
    }

    const double handOverSeconds_;
    std::string file_;
    // Declared last: ended first, the recorder before the server.
    std::unique_ptr<ProcessGroup> server_;
    std::unique_ptr<ProcessGroup> recorder_;
};

// PulseAudio with its null sink (32-bit, so that nothing is lost in the mix).
// ALSA's "pulse" plugin (libasound2-plugins) finds it through
// XDG_RUNTIME_DIR.
class PulseAudioServer final : public SoundServer {
public:
    // With a recorder asking for no latency, the monitor's sound is handed
    // over in blocks of about 2 s (2.7 s seen), as far as the idle null sink
    // renders ahead.
    PulseAudioServer() : SoundServer(3.0) {}

    std::string Start() override {
        if (std::string why = Missing({"pulseaudio", "pactl", "parec"}, "pulseaudio pulseaudio-utils"); !why.empty())
            return why;
        if (!std::filesystem::exists(std::string("/usr/lib/") + TONEGATE_LIBRARY_ARCHITECTURE +
                                     "/alsa-lib/libasound_module_pcm_pulse.so"))
            return "ALSA's pulse plugin is not installed (Debian: libasound2-plugins)";
        return Launch({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--log-target=stderr", "-L",
                       "module-null-sink sink_name=tonegate rate=48000 format=s32le channels=2", "-L",
                       "module-native-protocol-unix"},
                      [] {
                          const std::optional<std::string> sinks = Answer("pactl list short sinks");
                          return sinks && sinks->find("tonegate") != std::string::npos;
                      });
    }

private:
    // The recorder asks for no latency of its own: one that did would make
    // the idle sink render in shorter blocks than a desktop's sink does.
    std::vector<std::string> RecorderCommand(const std::string& file) const override {
        return {"parec", "-d", "tonegate.monitor", "--format=s32le", "--rate=48000", "--channels=2",
                "--file-format=wav", file};
    }
};

// PipeWire and WirePlumber on a D-Bus session of their own, with the null
// sink from a configuration fragment in HOME, and ALSA's "default" made
// PipeWire's sink by HOME's .asoundrc. JACK clients reach it under pw-jack.
class PipeWireServer final : public SoundServer {
public:
    PipeWireServer() : SoundServer(0.1) {}

    std::string Start() override {
        if (std::string why = Missing({"dbus-run-session", "pipewire", "wireplumber", "pw-cli", "pw-record", "pw-jack"},
                                      "dbus pipewire pipewire-bin wireplumber pipewire-jack");
            !why.empty())
            return why;
        std::string why;
        const std::string asoundrc = AlsaConfiguration(why);
        if (!why.empty()) return why;
        WriteFile(folders_.home() / ".asoundrc", asoundrc);
        const std::filesystem::path fragments = folders_.home() / ".config/pipewire/pipewire.conf.d";
        std::filesystem::create_directories(fragments);
        WriteFile(fragments / "tonegate-sink.conf",
                  "context.objects = [\n"
                  "  { factory = adapter\n"
                  "    args = { factory.name = support.null-audio-sink node.name = tonegate media.class = Audio/Sink\n"
                  "             object.linger = true audio.position = [ FL FR ] audio.rate = 48000 } }\n"
                  "]\n");
        // WirePlumber once PipeWire answers; the shell waits on both.
        return Launch({"dbus-run-session", "--", "sh", "-c",
                       "pipewire & until pw-cli info 0 >/dev/null 2>&1; do sleep 0.05; done; wireplumber & wait"},
                      [] {
                          const std::optional<std::string> nodes = Answer("pw-cli ls Node");
                          return nodes && nodes->find("node.name = \"tonegate\"") != std::string::npos;
                      });
    }

private:
    // WirePlumber links a recorder aimed at a sink to the sink's monitor.
    std::vector<std::string> RecorderCommand(const std::string& file) const override {
        return {"pw-record", "--target", "tonegate", "--rate", "48000", "--channels", "2", "--format", "s32", file};
    }

    // The .asoundrc making "default" the sink, or why there is none. Debian
    // 12 will not install pipewire-alsa beside pulseaudio (they conflict), so
    // its plugin is loaded from a copy unpacked from the package: the folder
    // TONEGATE_PIPEWIRE_ALSA names, else the one scripts/install-deps makes;
    // else the system's own plugin, which ALSA finds by itself.
    static std::string AlsaConfiguration(std::string& why) {
        const std::string plugins = std::string("/usr/lib/") + TONEGATE_LIBRARY_ARCHITECTURE + "/alsa-lib/";
        const std::string defaults = "pcm.!default { type pipewire playback_node \"tonegate\" }\n"
                                     "ctl.!default { type pipewire }\n";
        const char* named = std::getenv("TONEGATE_PIPEWIRE_ALSA");
        const std::string unpacked = named != nullptr && *named != '\0' ? named : "/opt/tonegate-tests/pipewire-alsa";
        if (std::filesystem::exists(unpacked + plugins + "libasound_module_pcm_pipewire.so"))
            return "pcm_type.pipewire { lib \"" + unpacked + plugins + "libasound_module_pcm_pipewire.so\" }\n" +
                   "ctl_type.pipewire { lib \"" + unpacked + plugins + "libasound_module_ctl_pipewire.so\" }\n" +
                   defaults;
        if (std::filesystem::exists(plugins + "libasound_module_pcm_pipewire.so")) return defaults;
        why = "PipeWire's ALSA plugin is in neither " + unpacked + plugins + " nor " + plugins +
              " (scripts/install-deps desktop unpacks the pipewire-alsa package)";
        return "";
    }
};

}  // namespace tonegate_test
