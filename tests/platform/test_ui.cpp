// Tests of the user-interface subset: the desktop window, its title and the
// message box on standard error. Thread: the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "child_process.h"
#include "platform/win32.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(DesktopWindow, IsOneNonNullHandle) {
    EXPECT_NE(GetDesktopWindow(), nullptr);
    EXPECT_EQ(GetDesktopWindow(), GetDesktopWindow());
}

TEST(WindowText, TheDesktopHasNoTitle) {
    char title[16] = "stale";
    EXPECT_EQ(GetWindowTextA(GetDesktopWindow(), title, sizeof title), 0);
    EXPECT_STREQ(title, "");
}

TEST(WindowText, AZeroSizedBufferIsLeftAlone) {
    char title[16] = "stale";
    EXPECT_EQ(GetWindowTextA(GetDesktopWindow(), title, 0), 0);
    EXPECT_STREQ(title, "stale");
    EXPECT_EQ(GetWindowTextA(GetDesktopWindow(), nullptr, 16), 0);
}

TEST(WindowText, OtherWindowsHaveNoTitleEither) {
    char title[16] = "stale";
    EXPECT_EQ(GetWindowTextA(nullptr, title, sizeof title), 0);
    EXPECT_STREQ(title, "");
}

// Standard input from /dev/null and standard error into a pipe, for one
// call made in this process.
class RedirectedStreams {
public:
    RedirectedStreams() {
        savedInput_ = dup(STDIN_FILENO);
        savedError_ = dup(STDERR_FILENO);
        int empty = open("/dev/null", O_RDONLY);
        dup2(empty, STDIN_FILENO);
        close(empty);
        if (pipe(error_) == 0) dup2(error_[1], STDERR_FILENO);
    }
    ~RedirectedStreams() { Restore(); }

    // Restores both streams and returns what was written to standard error.
    std::string Restore() {
        if (savedInput_ < 0) return captured_;
        dup2(savedInput_, STDIN_FILENO);
        dup2(savedError_, STDERR_FILENO);
        close(savedInput_);
        close(savedError_);
        savedInput_ = savedError_ = -1;
        close(error_[1]);
        char bytes[512];
        ssize_t count;
        while ((count = read(error_[0], bytes, sizeof bytes)) > 0) captured_.append(bytes, static_cast<size_t>(count));
        close(error_[0]);
        return captured_;
    }

private:
    int savedInput_ = -1;
    int savedError_ = -1;
    int error_[2] = {-1, -1};
    std::string captured_;
};

TEST(MessageBox, WithoutATerminalItWritesToStandardErrorAndReturnsAtOnce) {
    RedirectedStreams streams;
    const auto start = steady_clock::now();
    const int result = MessageBoxA(GetDesktopWindow(), "Can't find the card - Exiting!!", "Quillet",
                                   MB_OK | MB_ICONEXCLAMATION);
    const auto took = steady_clock::now() - start;
    const std::string written = streams.Restore();
    EXPECT_EQ(result, IDOK);
    EXPECT_LT(took, milliseconds(500));
    EXPECT_EQ(written, "Quillet: Can't find the card - Exiting!!\n");
}

TEST(MessageBox, WithoutACaptionItSaysError) {
    RedirectedStreams streams;
    EXPECT_EQ(MessageBoxA(nullptr, "text", nullptr, MB_OK), IDOK);
    EXPECT_EQ(streams.Restore(), "Error: text\n");
}

TEST(MessageBox, WithoutATerminalItLeavesWaitingInputAlone) {
    auto child = tonegate_test::ChildProcess::WithPipes({PLATFORM_PROBE, "keys", "mg"});
    ASSERT_TRUE(child.Started());
    child.Write("x");
    child.CloseInput();
    child.ReadFor(3000);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(child.Printed(), "Quillet: Can't find the card\n1 120 end\n");
}

TEST(MessageBox, OnATerminalItWaitsForOneKeyPress) {
    auto child = tonegate_test::ChildProcess::OnTerminal({PLATFORM_PROBE, "keys", "mh"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.ReadUntil("Quillet: Can't find the card")) << child.Printed();
    child.ReadFor(150);
    EXPECT_FALSE(child.HasExited());
    EXPECT_EQ(child.Printed().find("1 "), std::string::npos) << "returned before a key: " << child.Printed();
    child.Write("k");
    ASSERT_TRUE(child.ReadUntil("end")) << child.Printed();
    EXPECT_NE(child.Printed().find("1 0 end"), std::string::npos) << "the key dismissed the box: " << child.Printed();
    EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
