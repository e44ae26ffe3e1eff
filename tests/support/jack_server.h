// Test support: a JACK dummy server of the test's own (started by it, ended
// by its PID) and the fixture of a test that runs on one. Thread: the
// test's own.
#pragma once

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace tonegate_test {

inline bool JackdInstalled() {
    for (const char* folder : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (access((std::string(folder) + "/jackd").c_str(), X_OK) == 0) return true;
    return false;
}

// `jackd -d dummy` at `rate` and `period`, real-time paced without
// hardware, under a name of this process's own, set as JACK_DEFAULT_SERVER.
// Its output goes to "jackd.log" in the working directory.
class DummyJackServer {
public:
    DummyJackServer(unsigned rate, unsigned period) {
        using namespace std::chrono_literals;
        name_ = "tonegate-test-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        const std::string rateText = std::to_string(rate), periodText = std::to_string(period);
        pid_ = fork();
        if (pid_ == 0) {
            freopen("jackd.log", "w", stdout);
            freopen("jackd.log", "a", stderr);
            execlp("jackd", "jackd", "-n", name_.c_str(), "-d", "dummy", "-r", rateText.c_str(), "-p",
                   periodText.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Up once a client can join it.
        for (const auto until = std::chrono::steady_clock::now() + 10s;
             pid_ > 0 && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
            jack_client_t* probe = jack_client_open("tonegate-probe", JackNoStartServer, nullptr);
            if (probe == nullptr) continue;
            jack_client_close(probe);
            up_ = true;
            break;
        }
    }
    ~DummyJackServer() { Kill(SIGTERM); }
    DummyJackServer(const DummyJackServer&) = delete;
    DummyJackServer& operator=(const DummyJackServer&) = delete;

    bool up() const { return up_; }
    std::string log() const { return ReadFile("jackd.log"); }
    // SIGSTOP and SIGCONT: a server that stalls but lives.
    void Signal(int signal) const { kill(pid_, signal); }
    void Kill(int signal) {
        if (pid_ <= 0) return;
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string name_;
    pid_t pid_ = -1;
    bool up_ = false;
};

// A test in a fresh working directory with a dummy server of its own at
// kRate and kPeriod from SetUp to TearDown; skipped where jackd is not
// installed. A fixture built on it lets go of its clients before calling
// this TearDown.
class JackServerTest : public FreshDirectoryTest {
protected:
    static constexpr unsigned kRate = 48000;
    static constexpr unsigned kPeriod = 256;

    void SetUp() override {
        if (!JackdInstalled()) GTEST_SKIP() << "jackd is not installed (Debian: jackd2)";
        server_ = std::make_unique<DummyJackServer>(kRate, kPeriod);
        ASSERT_TRUE(server_->up()) << server_->log();
    }
    void TearDown() override { server_.reset(); }

    std::unique_ptr<DummyJackServer> server_;
};

}  // namespace tonegate_test
