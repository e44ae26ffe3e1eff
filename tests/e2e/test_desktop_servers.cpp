// The ALSA and JACK cards through the sound servers of a Linux desktop, each
// headless and the test's own: PipeWire (the ALSA card on "default" through
// PipeWire's ALSA plugin, the JACK card under pw-jack) and PulseAudio (the
// ALSA card on its "pulse" plugin). The built command plays a short script
// onto the server's null sink while the sink's monitor is recorded, once on
// an idle machine and once beside two busy processes: the card must keep its
// device, and `tonegate check` must find exactly the script's sounds in the
// recording (a lost period shows as a note cut in two, a stalled start as
// notes missing). Thread: the test's own; the servers, the recorder, the
// busy processes and the command run as children.
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/sound_servers.h"
#include "support/temp_dir.h"
#include "support/tonegate_command.h"

namespace {

using tonegate_test::Outcome;
using tonegate_test::ProcessGroup;
using tonegate_test::RunTonegate;
using tonegate_test::SoundServer;

enum class Server { kPipeWire, kPulseAudio };

// A card on a server: the driver as `tonegate drivers` names it, and what the
// command line starts with to reach the server through it.
struct Route {
    const char* name;
    Server server;
    const char* driver;
    const char* prefix;
};

const Route kRoutes[] = {
    {"PipeWireAlsa", Server::kPipeWire, "Tonegate ALSA Output", "TONEGATE_ALSA_DEVICE=default"},
    {"PipeWireJack", Server::kPipeWire, "Tonegate JACK Output", "pw-jack"},
    {"PulseAudioAlsa", Server::kPulseAudio, "Tonegate ALSA Output", "TONEGATE_ALSA_DEVICE=pulse"},
};

void PrintTo(const Route& route, std::ostream* out) { *out << route.name; }

// About 3 s of sound: notes on A and B, both voices of a step together, a sweep.
const std::string kScript = "rate 48000\natten 12\ntone A 1000 0.5\ntone B 440 0.4\ntones 660 880 0.5\n"
                            "sweep A 200 4000 1\ntone B 1500 0.3\n";

using DesktopServerEnd = tonegate_test::FreshDirectoryTest;

class DesktopServer : public tonegate_test::FreshDirectoryTest,
                      public ::testing::WithParamInterface<std::tuple<Route, bool>> {
protected:
    void SetUp() override {
        if (std::get<0>(GetParam()).server == Server::kPipeWire)
            server_ = std::make_unique<tonegate_test::PipeWireServer>();
        else
            server_ = std::make_unique<tonegate_test::PulseAudioServer>();
        if (const std::string why = server_->Start(); !why.empty()) TONEGATE_SKIP_OR_FAIL_WITHOUT_SERVER(why);
    }

    std::unique_ptr<SoundServer> server_;
};

TEST_P(DesktopServer, TheScriptPlaysWholeOntoTheSink) {
    const auto& [route, loaded] = GetParam();
    tonegate_test::WriteFile("script.txt", kScript);
    const std::string recording = server_->StartRecording("recording.wav");
    ASSERT_EQ(recording, "");

    Outcome play;
    {
        // Each spins at plain priority for as long as the play lasts: the
        // real-time threads of the card and the server must keep up all the same.
        std::vector<std::unique_ptr<ProcessGroup>> busy;
        for (int i = 0; loaded && i < 2; ++i)
            busy.push_back(std::make_unique<ProcessGroup>(std::vector<std::string>{"sh", "-c", "while :; do :; done"},
                                                          "/dev/null"));
        play = RunTonegate("play script.txt --driver '" + std::string(route.driver) + "'",
                           "TONEGATE_DRIVER_REPORT=1 " + std::string(route.prefix));
    }
    const std::string recorded = server_->StopRecording();

    // The card's report line, for the figures (worst callback, xruns).
    const size_t at = play.err.find(std::string(route.driver) + ": ");
    const std::string report = at == std::string::npos ? "" : play.err.substr(at, play.err.find('\n', at) - at);
    std::cout << route.name << (loaded ? " loaded: " : " idle: ") << report << std::endl;
    RecordProperty("card_report", report);

    EXPECT_EQ(play.status, 0) << play.err;
    ASSERT_NE(report, "") << play.err;
    EXPECT_EQ(report.find("lost"), std::string::npos) << report;
    EXPECT_EQ(report.find("gone"), std::string::npos) << report;
    ASSERT_EQ(recorded, "");
    const Outcome check = RunTonegate("check recording.wav --expect script.txt --recorded");
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

// The server ending mid-script: the card gives its device up, names the
// server in its report line, and the command stops there with the card's
// reason instead of going on as if its sounds played.
TEST_F(DesktopServerEnd, TheCommandFailsWithTheCardsReason) {
    tonegate_test::PipeWireServer server;
    if (const std::string why = server.Start(); !why.empty()) TONEGATE_SKIP_OR_FAIL_WITHOUT_SERVER(why);
    tonegate_test::WriteFile("script.txt", "tone A 1000 1\ntone B 440 1\ntone A 660 1\n");
    std::thread ending([&server] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        server.End();
    });
    const Outcome play = RunTonegate("play script.txt --driver 'Tonegate ALSA Output'", "TONEGATE_ALSA_DEVICE=default");
    ending.join();
    EXPECT_EQ(play.status, 1) << play.out << play.err;
    EXPECT_NE(play.err.find("tonegate: the card stopped: default lost: "), std::string::npos) << play.err;
    EXPECT_NE(play.err.find("PipeWire has ended"), std::string::npos) << play.err;
    EXPECT_EQ(play.out.find("tone A 660"), std::string::npos) << play.out;
}

INSTANTIATE_TEST_SUITE_P(Cards, DesktopServer, ::testing::Combine(::testing::ValuesIn(kRoutes), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Loaded" : "_Idle");
                         });

}  // namespace
