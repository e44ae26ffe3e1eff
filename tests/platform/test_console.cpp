// Tests of the console subset: _kbhit and _getch with standard input on a
// pipe, on a file and on a real pseudo-terminal. Each case runs the probe
// program as a child, so each starts with the console untouched.
// Thread: the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <string>

#include "child_process.h"
#include "support/temp_dir.h"

namespace {

using tonegate_test::ChildProcess;

// Runs the key script with `input` on a pipe that is then closed, and
// returns what the probe printed.
std::string KeysFromPipe(const std::string& script, const std::string& input) {
    auto child = ChildProcess::WithPipes({PLATFORM_PROBE, "keys", script});
    EXPECT_TRUE(child.Started());
    child.Write(input);
    child.CloseInput();
    child.ReadFor(3000);
    EXPECT_EQ(child.Wait(), 0);
    return child.Printed();
}

TEST(PipedConsole, EveryByteIsOneKeyPressEscapeSequencesIncluded) {
    EXPECT_EQ(KeysFromPipe("ggggggg", "Pp\x1b[A 9"), "80 112 27 91 65 32 57 end\n");
    EXPECT_EQ(KeysFromPipe("gg", "\xe0\xff"), "224 255 end\n") << "bytes above 127 are not negative";
}

TEST(PipedConsole, EndOfInputIsAKeyPressThatIsNeitherPNorPAndNeverBlocks) {
    EXPECT_EQ(KeysFromPipe("gggh", ""), "26 26 26 1 end\n");
    EXPECT_EQ(KeysFromPipe("gghg", "x"), "120 26 1 26 end\n");
}

// The player's own calls for `printf P | QuilletOne`: the check before the
// read, the read, a check after each of the tune's 33 phrases, the loop's
// check again and the read that ends it.
TEST(PipedConsole, PrintfPPlaysTheTuneOnceRightThroughAndEnds) {
    const std::string tuneChecks(33, 'h');
    std::string expected = "0 80 ";
    for (int phrase = 0; phrase < 33; ++phrase) expected += "0 ";
    expected += "0 26 1 end\n";
    EXPECT_EQ(KeysFromPipe("hg" + tuneChecks + "hgh", "P"), expected);
}

TEST(PipedConsole, KbhitConsumesNothing) {
    EXPECT_EQ(KeysFromPipe("hhghhg", "ab"), "0 0 97 0 0 98 end\n");
}

TEST(PipedConsole, GetchWaitsForTheNextByteOrTheEnd) {
    auto child = ChildProcess::WithPipes({PLATFORM_PROBE, "keys", "gg"});
    ASSERT_TRUE(child.Started());
    child.ReadFor(150);
    EXPECT_EQ(child.Printed(), "") << "returned before any input";
    child.Write("q");
    ASSERT_TRUE(child.ReadUntil("113 ")) << child.Printed();
    child.ReadFor(100);
    EXPECT_EQ(child.Printed(), "113 ") << "the second read must wait";
    child.CloseInput();
    ASSERT_TRUE(child.ReadUntil("end")) << child.Printed();
    EXPECT_EQ(child.Printed(), "113 26 end\n");
    EXPECT_EQ(child.Wait(), 0);
}

// As on Windows, where _getch reads Ctrl+C as the key 3, when the program
// catches the signal rather than dying of it. The signal is sent again until
// one finds the probe waiting (one sent before it waits is just caught).
TEST(PipedConsole, ACaughtSignalEndsTheWaitOfGetchWithCtrlCsKey) {
    auto child = ChildProcess::WithPipes({PLATFORM_PROBE, "keys", "ihg"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.ReadUntil("0 ")) << child.Printed();
    for (int sent = 0; sent < 30 && child.Printed().find("end") == std::string::npos; ++sent) {
        child.Signal(SIGINT);
        child.ReadFor(100);
    }
    EXPECT_EQ(child.Printed(), "0 3 end\n");
    EXPECT_EQ(child.Wait(), 0);
}

class FileConsoleTest : public tonegate_test::FreshDirectoryTest {};

TEST_F(FileConsoleTest, AFileIsReadLikeAPipe) {
    tonegate_test::WriteFile("keys.txt", "p\n");
    auto child = ChildProcess::WithPipes({PLATFORM_PROBE, "keys", "hggghg"}, nullptr, "keys.txt");
    ASSERT_TRUE(child.Started());
    child.ReadFor(3000);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(child.Printed(), "0 112 10 26 1 26 end\n");
}

// A child on a pseudo-terminal that has set the terminal up and is ready
// for keys: its script starts with a _kbhit that finds none.
ChildProcess ReadyOnTerminal(const std::string& script) {
    auto child = ChildProcess::OnTerminal({PLATFORM_PROBE, "keys", "h" + script});
    EXPECT_TRUE(child.Started());
    EXPECT_TRUE(child.ReadUntil("0 ")) << child.Printed();
    return child;
}

bool KeysMode(const termios& settings) { return (settings.c_lflag & (ICANON | ECHO)) == 0; }

void ExpectRestored(const ChildProcess& child) {
    const termios& before = child.InitialTerminalSettings();
    const termios after = child.TerminalSettings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

TEST(TerminalConsole, KeysArriveAtOnceWithoutEcho) {
    ASSERT_FALSE(KeysMode(ChildProcess::OnTerminal({PLATFORM_PROBE, "keys", ""}).InitialTerminalSettings()));
    auto child = ReadyOnTerminal("gg");
    EXPECT_TRUE(KeysMode(child.TerminalSettings()));
    child.Write("ab");  // no Enter: a line-buffered terminal would hold them back
    ASSERT_TRUE(child.ReadUntil("end")) << child.Printed();
    EXPECT_EQ(child.Printed(), "0 97 98 end\r\n") << "nothing echoed";
    EXPECT_EQ(child.Wait(), 0);
}

TEST(TerminalConsole, KbhitSeesAWaitingKeyWithoutConsumingIt) {
    auto child = ReadyOnTerminal("shhgh");
    child.Write("z");
    ASSERT_TRUE(child.ReadUntil("end")) << child.Printed();
    EXPECT_EQ(child.Printed(), "0 1 1 122 0 end\r\n");
    EXPECT_EQ(child.Wait(), 0);
}

TEST(TerminalConsole, ACursorOrFunctionKeySequenceIsOneKeyPress) {
    auto child = ReadyOnTerminal("sggggggh");
    // Up, F1 (xterm), F5, F1 (Linux console), Ctrl+Right, then a plain key.
    child.Write("\x1b[A\x1bOP\x1b[15~\x1b[[A\x1b[1;5Cx");
    ASSERT_TRUE(child.ReadUntil("end")) << child.Printed();
    EXPECT_EQ(child.Printed(), "0 224 224 224 224 224 120 0 end\r\n");
    EXPECT_EQ(child.Wait(), 0);
}

TEST(TerminalConsole, ALoneEscapeIsTheEscapeKey) {
    auto child = ReadyOnTerminal("ggsgg");
    child.Write("\x1b");
    ASSERT_TRUE(child.ReadUntil("27 ")) << child.Printed();
    child.Write("q");
    ASSERT_TRUE(child.ReadUntil("113 ")) << child.Printed();
    child.Write("\x1bq");  // Escape and then a key that starts no sequence
    ASSERT_TRUE(child.ReadUntil("end")) << child.Printed();
    EXPECT_EQ(child.Printed(), "0 27 113 27 113 end\r\n");
    EXPECT_EQ(child.Wait(), 0);
}

TEST(TerminalConsole, SettingsAreRestoredWhenTheProgramEnds) {
    auto child = ReadyOnTerminal("g");
    EXPECT_TRUE(KeysMode(child.TerminalSettings()));
    child.Write("k");
    EXPECT_EQ(child.Wait(), 0);
    ExpectRestored(child);
}

class TerminalSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(TerminalSignalTest, SettingsAreRestoredAndTheSignalStillEndsTheProgram) {
    auto child = ReadyOnTerminal("g");
    EXPECT_TRUE(KeysMode(child.TerminalSettings()));
    child.Signal(GetParam());
    const int status = child.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), GetParam());
    ExpectRestored(child);
}

INSTANTIATE_TEST_SUITE_P(InterruptAndTerminate, TerminalSignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "SIGINT" : "SIGTERM"; });

}  // namespace
