// Test support for the platform tests: runs a child program with its
// standard input on a pipe or on a fresh pseudo-terminal, feeds it bytes and
// collects what it prints. Thread: the test's own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace tonegate_test {

class ChildProcess {
public:
    // Standard input from a pipe the test writes to (or from the file
    // `inputPath`, when given); standard output and error both into one pipe
    // the test reads. `environment` replaces the test's own when given.
    static ChildProcess WithPipes(const std::vector<std::string>& arguments,
                                  const std::vector<std::string>* environment = nullptr,
                                  const char* inputPath = nullptr) {
        int input[2], output[2];
        if (pipe(input) != 0 || pipe(output) != 0) return ChildProcess();
        ChildProcess child;
        child.pid_ = fork();
        if (child.pid_ == 0) {
            if (inputPath != nullptr) {
                close(input[0]);
                input[0] = open(inputPath, O_RDONLY);
            }
            dup2(input[0], STDIN_FILENO);
            dup2(output[1], STDOUT_FILENO);
            dup2(output[1], STDERR_FILENO);
            for (int fd : {input[0], input[1], output[0], output[1]}) close(fd);
            Exec(arguments, environment);
        }
        close(input[0]);
        close(output[1]);
        child.input_ = input[1];
        child.output_ = output[0];
        return child;
    }

    // Standard input, output and error on the terminal side of a new
    // pseudo-terminal, which is the child's controlling terminal. The test
    // keeps the terminal side open too, to read its settings.
    static ChildProcess OnTerminal(const std::vector<std::string>& arguments) {
        int controller, terminal;
        if (openpty(&controller, &terminal, nullptr, nullptr, nullptr) != 0) return ChildProcess();
        ChildProcess child;
        tcgetattr(terminal, &child.initialSettings_);
        child.pid_ = fork();
        if (child.pid_ == 0) {
            setsid();
            ioctl(terminal, TIOCSCTTY, 0);
            for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(terminal, fd);
            close(terminal);
            close(controller);
            Exec(arguments, nullptr);
        }
        child.input_ = controller;
        child.output_ = controller;
        child.terminal_ = terminal;
        return child;
    }

    ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        std::swap(pid_, other.pid_);
        std::swap(input_, other.input_);
        std::swap(output_, other.output_);
        std::swap(terminal_, other.terminal_);
        std::swap(exited_, other.exited_);
        std::swap(status_, other.status_);
        std::swap(initialSettings_, other.initialSettings_);
        std::swap(printed_, other.printed_);
        return *this;
    }
    ~ChildProcess() {
        if (!HasExited()) {
            kill(pid_, SIGKILL);
            Wait();
        }
        CloseInput();
        if (output_ >= 0) close(output_);
        if (terminal_ >= 0) close(terminal_);
    }

    bool Started() const { return pid_ > 0; }

    void Write(const std::string& bytes) {
        if (write(input_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) perror("write");
    }

    // End of input for a pipe child (a terminal child keeps its terminal).
    void CloseInput() {
        if (input_ >= 0 && input_ != output_) close(input_);
        input_ = -1;
    }

    // Collects output until `text` has appeared or `timeoutMs` has passed;
    // tells whether it appeared.
    bool ReadUntil(const std::string& text, int timeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (printed_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Collects whatever arrives within `ms`, or until the output is closed
    // (a pipe child's output closes when it ends).
    void ReadFor(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return;
        }
    }

    // Everything printed so far.
    const std::string& Printed() const { return printed_; }

    bool HasExited() {
        if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        return exited_ || pid_ <= 0;
    }

    // Waits for the child to end (at most 3 s, then kills it) and returns
    // its wait status.
    int Wait() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!HasExited()) {
            if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
            ReadSome(10);
        }
        return status_;
    }

    void Signal(int signalNumber) {
        if (!HasExited()) kill(pid_, signalNumber);
    }

    // The pseudo-terminal's settings before the child started.
    const termios& InitialTerminalSettings() const { return initialSettings_; }

    // The pseudo-terminal's current settings, as the child last left them.
    termios TerminalSettings() const {
        termios settings{};
        tcgetattr(terminal_, &settings);
        return settings;
    }

private:
    ChildProcess() = default;

    [[noreturn]] static void Exec(const std::vector<std::string>& arguments, const std::vector<std::string>* environment) {
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        if (environment != nullptr) {
            for (const std::string& entry : *environment) envp.push_back(const_cast<char*>(entry.c_str()));
            envp.push_back(nullptr);
        }
        execve(argv[0], argv.data(), environment != nullptr ? envp.data() : environ);
        _exit(127);
    }

    // Reads one chunk of output if it arrives within `ms`; false on timeout
    // or when the child's side is closed.
    bool ReadSome(int ms) {
        if (output_ < 0) return false;
        pollfd ready{output_, POLLIN, 0};
        if (poll(&ready, 1, ms) <= 0) return false;
        char bytes[256];
        ssize_t count = read(output_, bytes, sizeof bytes);
        if (count <= 0) return false;
        printed_.append(bytes, static_cast<size_t>(count));
        return true;
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    int input_ = -1;
    int output_ = -1;
    int terminal_ = -1;
    termios initialSettings_{};
    std::string printed_;
};

}  // namespace tonegate_test
