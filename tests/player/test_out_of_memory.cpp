// The player without the memory for its note table: it asks for any key
// and ends. Thread: the test's own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <thread>

#include "player/note_timing.h"
#include "player/quillet.h"

namespace {

bool failNoteTable = false;
bool noteTableRefused = false;

}  // namespace

// Fails the note table's allocation once armed; every other allocation goes
// to the ordinary operator new[], so its delete[] still matches.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (failNoteTable && size == kNoteCount * sizeof(double)) {
        noteTableRefused = true;
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

// Without the table the player asks for any key; standard input is a pipe
// already closed, whose end must end that wait (in a child, which the test
// can kill should it wait for ever).
TEST(OutOfMemory, WithoutTheNoteTableTheEndOfPipedInputEndsThePlayer) {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
        close(input[0]);
        close(input[1]);
        failNoteTable = true;
        QuilletMain();
        _exit(noteTableRefused ? 0 : 1);
    }
    close(input[0]);
    close(input[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_EQ(ended, child) << "still waiting for a key after 3 s";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
