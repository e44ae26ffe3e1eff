// Finding the sound server behind a device and telling whether it lives;
// see sound_server.h. Thread: as there.
#include "drivers/common/sound_server.h"

#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tonegate_driver {
namespace {

// The pid at the far end of a connected Unix socket, or 0.
pid_t PeerOf(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return 0;
    return credentials.pid;
}

std::string ProcessName(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return {};
    char name[32] = "";
    const bool read = std::fgets(name, sizeof name, file) != nullptr;
    std::fclose(file);
    if (!read) return {};
    name[std::strcspn(name, "\n")] = '\0';
    return name;
}

struct ServerName {
    const char* process;
    SoundServer::Kind kind;
    const char* title;
};
// The servers a desktop runs, by process name; a pipewire-pulse process is
// PipeWire answering the PulseAudio protocol.
constexpr ServerName kServers[] = {
    {"pipewire", SoundServer::Kind::PipeWire, "PipeWire"},
    {"pipewire-pulse", SoundServer::Kind::PipeWire, "PipeWire (PulseAudio protocol)"},
    {"pulseaudio", SoundServer::Kind::PulseAudio, "PulseAudio"},
    {"jackd", SoundServer::Kind::Jack, "JACK (jackd)"},
    {"jackdbus", SoundServer::Kind::Jack, "JACK (jackdbus)"},
};

const ServerName* KnownServer(const std::string& process) {
    for (const ServerName& server : kServers)
        if (process == server.process) return &server;
    return nullptr;
}

// The numbered entries of a /proc folder, sorted; without the folder's own
// descriptor when listing descriptors.
std::vector<long> NumberedEntries(const char* path, bool skipOwnDescriptor) {
    std::vector<long> numbers;
    DIR* folder = opendir(path);
    if (folder == nullptr) return numbers;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || (skipOwnDescriptor && number == dirfd(folder))) continue;
        numbers.push_back(number);
    }
    closedir(folder);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

}  // namespace

std::vector<int> OpenUnixSockets() {
    std::vector<int> sockets;
    for (const long fd : NumberedEntries("/proc/self/fd", true)) {
        struct stat status {};
        if (fstat(static_cast<int>(fd), &status) == 0 && S_ISSOCK(status.st_mode)) sockets.push_back(static_cast<int>(fd));
    }
    return sockets;
}

std::vector<pid_t> ProcessThreads() {
    std::vector<pid_t> threads;
    for (const long tid : NumberedEntries("/proc/self/task", false)) threads.push_back(static_cast<pid_t>(tid));
    return threads;
}

int RaiseThreadsStartedSince(const std::vector<pid_t>& before, int priority) {
    int raised = 0;
    sched_param param{};
    param.sched_priority = priority;
    for (const pid_t tid : ProcessThreads())
        if (!std::binary_search(before.begin(), before.end(), tid) && sched_setscheduler(tid, SCHED_FIFO, &param) == 0)
            ++raised;
    return raised;
}

// A library may connect to more than one peer (a session bus as well as
// the server): one with a server's name wins over any other.
SoundServer SoundServer::FoundSince(const std::vector<int>& before) {
    SoundServer found;
    bool named = false;
    for (const int fd : OpenUnixSockets()) {
        if (std::binary_search(before.begin(), before.end(), fd)) continue;
        const pid_t peer = PeerOf(fd);
        if (peer <= 0 || peer == getpid()) continue;
        const std::string process = ProcessName(peer);
        const ServerName* known = KnownServer(process);
        if (found.Known() && (named || known == nullptr)) continue;
        found.pid_ = peer;
        found.socket_ = fd;
        found.kind_ = known != nullptr ? known->kind : Kind::Other;
        std::snprintf(found.name_, sizeof found.name_, "%s",
                      known != nullptr ? known->title : process.empty() ? "a server" : process.c_str());
        named = known != nullptr;
    }
    return found;
}

bool SoundServer::Gone() const {
    if (!Known()) return false;
    if (kill(pid_, 0) != 0 && errno == ESRCH) return true;
    pollfd watched{socket_, POLLRDHUP, 0};
    if (poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0) return true;
    return PeerOf(socket_) != pid_;
}

}  // namespace tonegate_driver
