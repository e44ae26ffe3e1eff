// The sound server behind a device (PipeWire, PulseAudio, a JACK server):
// the peer process of the Unix sockets a sound library connected while the
// card opened it, found with SO_PEERCRED, named from its process name, and
// asked later whether it is still there. Linux only: the ALSA and JACK cards.
// Thread: Snapshot and Find run on the host's caller thread (init); Gone
// runs on the card's thread too, and makes system calls only.
#pragma once

#include <sys/types.h>

#include <vector>

namespace tonegate_driver {

// The Unix sockets this process has open now, to tell which ones an open
// call adds.
std::vector<int> OpenUnixSockets();

// This process's threads now, to tell which ones an open call starts.
std::vector<pid_t> ProcessThreads();

// Gives the threads started since `before` (a sound library's own, which
// move our data to its server) SCHED_FIFO at `priority`, so that a busy
// machine cannot hold them up while the card's real-time thread waits on
// them. The number of threads raised; 0 where none was or it is refused.
int RaiseThreadsStartedSince(const std::vector<pid_t>& before, int priority);

class SoundServer {
public:
    // Desktop servers mix on a timer of their own and are the ones a card
    // gives a roomier buffer; a JACK server runs its clients in its cycle.
    enum class Kind { None, PipeWire, PulseAudio, Jack, Other };

    // The server at the far end of a Unix socket opened since `before`
    // was taken; unknown (Known() false) when none was, as for a hardware
    // device or a plugin that serves itself.
    static SoundServer FoundSince(const std::vector<int>& before);

    bool Known() const { return pid_ > 0; }
    Kind kind() const { return kind_; }
    bool Desktop() const { return kind_ == Kind::PipeWire || kind_ == Kind::PulseAudio; }
    // What to call it in a report: "PipeWire", "PulseAudio", "JACK (jackd)",
    // or the process's own name for a server we do not know by name.
    const char* name() const { return name_; }
    pid_t pid() const { return pid_; }
    // True once the server has ended: its process is gone, or our socket
    // to it hung up or now leads elsewhere. False while it lives, however
    // long it has kept us waiting, and for an unknown server.
    bool Gone() const;

private:
    Kind kind_ = Kind::None;
    pid_t pid_ = 0;
    int socket_ = -1;
    char name_[48] = "";
};

}  // namespace tonegate_driver
