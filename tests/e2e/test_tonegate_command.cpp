// The tonegate command end to end: the real library and the WAV sink run by
// the built program, its output and exit status read back, the capture
// checked item by item. Thread: the test's own; the command runs as a child.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>

#include "e2e/tone_checks.h"
#include "support/capture.h"
#include "support/log_reader.h"
#include "support/scoped_registry.h"
#include "support/temp_dir.h"
#include "support/tonegate_command.h"

namespace tonegate_e2e {
namespace {

namespace fs = std::filesystem;
using tonegate_test::Outcome;
using tonegate_test::ReadFile;
using tonegate_test::RunTonegate;
using tonegate_test::WriteFile;

class TonegateCommand : public tonegate_test::FreshDirectoryTest {};

// Every step kind, at two rates and in both formats, played in real time.
class ScriptOnTheSink : public TonegateCommand,
                        public ::testing::WithParamInterface<std::tuple<uint32_t, const char*>> {};

TEST_P(ScriptOnTheSink, EveryStepPlaysWholeInOrderAndCloseTogether) {
    const auto [rate, format] = GetParam();
    WriteFile("script.txt", "# every kind of step\nrate " + std::to_string(rate) +
                                "\natten 12\ntone A 1000 0.2\ntone B 440 0.13 30\n\n"
                                "tones 660 3520 0.25\nsweep A 8000 200 0.3\nsweep B 100 1000 0.2 6\n"
                                "rest 0.2\ntone A 110.5 0.3 0\n");
    const Outcome run = RunTonegate("play script.txt --wav cap.wav --format " + std::string(format) + " --json",
                            "TONEGATE_WAVSINK_BUFFER=256");
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["rate"], rate);
    EXPECT_EQ(report["format"], format);
    EXPECT_EQ(report["buffer"], 256);
    EXPECT_EQ(report["steps"].size(), 8u);
    EXPECT_EQ(report["steps"][1]["cycles"], 200);
    EXPECT_EQ(report["steps"][2]["cycles"], 57);  // 440 Hz for 0.13 s: 57.2 cycles
    EXPECT_TRUE(fs::exists(report["log"].get<std::string>()));
    EXPECT_EQ(run.err, "");

    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture("cap.wav", capture, error)) << error;
    EXPECT_EQ(capture.rate, static_cast<int>(rate));
    EXPECT_EQ(capture.bits, std::string(format) == "int16" ? 16 : 32);
    const int64_t buffer = 256;
    const std::vector<tonegate_capture::Item> a = ItemsOn(capture, 0), b = ItemsOn(capture, 1);
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(b.size(), 3u);
    const int64_t pairStart = CheckNote(capture, a[1], Note{660, 0.25, 12}, buffer).startFrame;
    EXPECT_EQ(CheckNote(capture, b[1], Note{3520, 0.25, 12}, buffer).startFrame, pairStart);
    CheckNote(capture, a[0], Note{1000, 0.2, 12}, buffer);
    CheckNote(capture, b[0], Note{440, 0.13, 30}, buffer);
    CheckSweep(capture, a[2], Sweep{8000, 200, 0.3, 12}, buffer);
    CheckSweep(capture, b[2], Sweep{100, 1000, 0.2, 6}, buffer);
    CheckNote(capture, a[3], Note{110.5, 0.3, 0}, buffer);

    // Order across the channels, and silence between consecutive sounds of at
    // least one buffer and at most 50 ms plus one buffer.
    const std::vector<tonegate_capture::Item> order = {a[0], b[0], a[1], a[2], b[2]};
    const double longest = 0.05 * rate + buffer;
    for (size_t i = 1; i < order.size(); ++i) {
        const int64_t silence =
            order[i].start - std::max(LastFrame(order[i - 1]), i == 3 ? LastFrame(b[1]) : 0) - 1;
        EXPECT_GE(silence, buffer / 2) << "before sound " << i;
        EXPECT_LE(silence, longest) << "before sound " << i;
    }
    EXPECT_GE(a[3].start - LastFrame(b[2]), static_cast<int64_t>(0.2 * rate)) << "the rest";

    // And `tonegate check` finds the same in it.
    const Outcome check = RunTonegate("check cap.wav --expect script.txt --json");
    EXPECT_EQ(check.status, 0) << check.err;
    const nlohmann::json checked = nlohmann::json::parse(check.out);
    EXPECT_TRUE(checked["bit_exact"]);
    EXPECT_EQ(checked["items"].size(), 7u);
    EXPECT_EQ(checked["together"].size(), 1u);
    EXPECT_TRUE(checked["expect"]["passed"]);
}

INSTANTIATE_TEST_SUITE_P(RatesAndFormats, ScriptOnTheSink,
                         ::testing::Combine(::testing::Values(48000u, 96000u), ::testing::Values("int32", "int16")),
                         [](const auto& info) {
                             return std::to_string(std::get<0>(info.param)) + "Hz_" + std::get<1>(info.param);
                         });

// Refusals exit 1 with the reason, the library's own where it gave one, and
// play nothing; usage errors exit 2.
TEST_F(TonegateCommand, RefusalsSayWhyAndExitOne) {
    const std::string sink = "TONEGATE_WAVSINK_PACE=freewheel";
    WriteFile("bad.txt", "tone A 1000 0.1\nrest 0.1\ntone B 9 1\n");
    Outcome run = RunTonegate("play bad.txt --wav cap.wav", sink);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("bad.txt:3: frequency 9 Hz is below 10 Hz"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists("cap.wav")) << "a bad line is refused before anything plays";

    // Too short for the card's buffers: known only once the card is open, still before any sound.
    WriteFile("short.txt", "tone A 1000 0.5\ntone A 1000 0.01\n");
    run = RunTonegate("play short.txt --wav cap.wav", sink + " TONEGATE_WAVSINK_BUFFER=4096");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("line 2: a tone of 0.01 s is not longer than one buffer"), std::string::npos) << run.err;
    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture("cap.wav", capture, error)) << error;
    EXPECT_TRUE(ItemsOn(capture, 0).empty());

    run = RunTonegate("tone 1000 --rate 12345 --wav cap.wav --json", sink);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the card refused the rate 12345 Hz: Failed: SetSampleRate"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tonegate: log: "), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(run.out)["status"], "refused");

    run = RunTonegate("tone 1000 --wav no/such/folder/cap.wav", sink);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the driver could not be set up: "), std::string::npos) << run.err;

    {
        tonegate_test::ScopedRegistry empty;
        run = RunTonegate("sweep 100 200");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("no driver was opened: Couldn't find any ASIO drivers!"), std::string::npos) << run.err;
        run = RunTonegate("tone 1000 --driver 3");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("no driver 3 is installed"), std::string::npos) << run.err;
    }
    for (const char* range : {"tone 1000 --atten 61", "tone 1000 --seconds 61", "sweep 100 30000",
                              "sweep 100 200 --seconds 0.05", "tone 1000 --seconds 0.001"}) {
        run = RunTonegate(range, sink);
        EXPECT_EQ(run.status, 1) << range;
        EXPECT_NE(run.err.find("tonegate: "), std::string::npos) << range;
    }
    for (const char* usage : {"", "tone", "tone 1000 --channel C", "tone abc", "tone 440 660", "play"}) {
        EXPECT_EQ(RunTonegate(usage).status, 2) << usage;
    }
    EXPECT_FALSE(fs::exists("Tonegate.wav"));
}

// The numbers `drivers` prints are the ones the library opens: a registry
// with a passed-over driver between two usable ones.
TEST_F(TonegateCommand, DriversAreNumberedAsTheLibraryOpensThem) {
    const std::string build = std::getenv("TONEGATE_BUILD_DIR");
    const std::string sinkModule = build + "/lib/libtonegate_wavsink.so";
    const std::string sinkClass = "{2BF61973-A8D8-450C-AF16-3DDD0AAF3450}";
    tonegate_test::ScopedRegistry registry;
    registry.AddDriver("A Sink", sinkClass, sinkModule);
    registry.AddDriver("B Gone", "{11111111-2222-3333-4444-555555555555}", build + "/lib/no-such-module.so");
    registry.AddRegText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\C No Class]\n\"Description\"=\"C No Class\"\n");
    registry.AddRegText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\D Sink Again]\n\"CLSID\"=\"" + sinkClass +
                        "\"\n\"Description\"=\"Second Sink\"\n");

    Outcome run = RunTonegate("drivers --json");
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json listed = nlohmann::json::parse(run.out);
    ASSERT_EQ(listed["drivers"].size(), 2u);
    EXPECT_EQ(listed["drivers"][1]["name"], "Second Sink");
    EXPECT_EQ(listed["drivers"][1]["number"], 1);
    ASSERT_EQ(listed["passed_over"].size(), 2u);
    EXPECT_EQ(listed["passed_over"][0]["reason"], "module missing");
    EXPECT_EQ(listed["passed_over"][1]["reason"], "no CLSID value");

    // Chosen by name, the library opens the same number and logs the same catalogue.
    run = RunTonegate("tone 1000 --seconds 0.05 --driver 'second sink' --log-dir logs --json",
              "TONEGATE_WAVSINK_PACE=freewheel TONEGATE_WAVSINK_FILE=" + (fs::current_path() / "x.wav").string());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["driver"]["number"], 1);
    const std::vector<std::string> log = tonegate_test::RunLines(ReadFile("logs/Dbg.Log"));
    const auto listing = std::find(log.begin(), log.end(), "Enumerating ASIO Drivers...");
    ASSERT_LT(listing + 9, log.end());
    const std::vector<std::string> catalogue(listing + 2, listing + 10);
    EXPECT_EQ(catalogue, (std::vector<std::string>{"numDev: 0", "A Sink", sinkModule, "", "numDev: 1", "Second Sink",
                                                    sinkModule, ""}));
    EXPECT_FALSE(fs::exists("logs/ASIOConfig.txt")) << "the choice is put back as it was";
    run = RunTonegate("tone 1000 --driver 2");
    EXPECT_EQ(run.status, 1);
}

// --driver never writes into the current folder; without it the user's own
// ASIOConfig.txt chooses, wherever the log goes.
TEST_F(TonegateCommand, TheCurrentFolderIsLeftAsItWas) {
    const std::string sink = "TONEGATE_WAVSINK_PACE=freewheel TONEGATE_WAVSINK_FILE=/dev/null";
    fs::create_directory("here");
    fs::current_path("here");
    Outcome run = RunTonegate("tone 1000 --seconds 0.05 --driver 0 --json 2>/dev/null", sink);
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json played = nlohmann::json::parse(run.out);
    EXPECT_EQ(played["driver"]["number"], 0);
    const fs::path log = played["log"].get<std::string>();
    EXPECT_TRUE(fs::exists(log));
    EXPECT_NE(log.parent_path(), fs::current_path());
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(".")) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"err.txt", "out.txt"}));

    // A digit past the installed drivers makes the library fall back to driver 0, as it would for any caller.
    WriteFile("ASIOConfig.txt", "7");
    run = RunTonegate("tone 1000 --seconds 0.05 --log-dir ../logs --json", sink);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(ReadFile("../logs/Dbg.Log").find("nRequestedDrvNum: 7"), std::string::npos);
    EXPECT_FALSE(fs::exists("../logs/ASIOConfig.txt"));
    EXPECT_EQ(ReadFile("ASIOConfig.txt"), "7");
}

// A capture that stops (here at the file-size limit) stops the card: the
// command ends there with the sink's reason, and the capture holds, with a
// true header, all that was written.
TEST_F(TonegateCommand, AStoppedCaptureFailsTheCommandWithItsReason) {
    WriteFile("script.txt", "tone A 1000 0.5\ntone B 500 0.5\n");
    const Outcome run = RunTonegate("play script.txt --wav cap.wav", "trap '' XFSZ; ulimit -f 200;");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("tonegate: the card stopped: cannot write to "), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("tone B"), std::string::npos) << run.out;
    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture("cap.wav", capture, error)) << error;
    EXPECT_GT(capture.frames, 0);
}

// Ctrl+C stops the sound at once and closes the driver: the capture is a
// whole WAV file and the log has its footer.
TEST_F(TonegateCommand, InterruptClosesTheCaptureWhole) {
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        freopen("/dev/null", "w", stdout);
        execl(tonegate_test::TonegateProgram().c_str(), "tonegate", "tone", "440", "--seconds", "20", "--wav", "cap.wav", "--log-dir", ".",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    SleepFor(0.5);
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    Capture capture;
    std::string error;
    ASSERT_TRUE(ReadCapture("cap.wav", capture, error)) << error;
    EXPECT_GT(capture.frames, 0);
    EXPECT_NE(ReadFile("Dbg.Log").find("Shutting down debug logging system..."), std::string::npos);
}

}  // namespace
}  // namespace tonegate_e2e
