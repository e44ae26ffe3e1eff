// The search path of the POSIX registry: which .reg files make it up, in
// which order, reading them into a tree, and the inotify watches that tell
// whether that tree still is what the files hold. Thread: any (one mutex
// guards the kept tree); the caller's in practice (opening a root key), never
// the real-time thread, since it reads files.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/posix/own_path.h"
#include "platform/posix/registry_files.h"

namespace fs = std::filesystem;

namespace tonegate_posix {

namespace {

// A registration takes a few hundred bytes. A bigger file is left out, so
// that a huge or sparse one costs neither the time to parse it nor the
// memory to hold it.
constexpr off_t kMaxFileBytes = off_t{1} << 20;

// On standard error, as the layer's MessageBoxA: the library's log is out of
// this layer's reach.
void ReportTooBig(const fs::path& file, off_t bytes) {
    std::fprintf(stderr, "Tonegate registry: %s left out: %lld bytes, more than the %lld a file may hold\n",
                 file.c_str(), static_cast<long long>(bytes), static_cast<long long>(kMaxFileBytes));
}

// The bytes of a regular file of at most kMaxFileBytes.
std::optional<std::string> ReadRegistryFile(const fs::path& path) {
    // Only regular files: a FIFO or device named like a .reg file would block or never end.
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (info.st_size > kMaxFileBytes) {
        ReportTooBig(path, info.st_size);
        return std::nullopt;
    }
    // Should a FIFO have taken the name since, O_NONBLOCK keeps the open from waiting for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> bytes;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        bytes.emplace();
        bytes->reserve(static_cast<size_t>(std::min(info.st_size, kMaxFileBytes)));
        char chunk[16384];
        for (;;) {
            const ssize_t count = read(fd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) bytes.reset();
            if (count <= 0) break;
            bytes->append(chunk, static_cast<size_t>(count));
            if (bytes->size() > static_cast<size_t>(kMaxFileBytes)) {  // it grew since the stat
                ReportTooBig(path, static_cast<off_t>(bytes->size()));
                bytes.reset();
                break;
            }
        }
    }
    close(fd);
    return bytes;
}

// What changes a folder's listing or one of its files.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                   IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
// What changes a file (IN_ATTRIB also tells of a link to it removed).
constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
// What makes a missing path appear: an entry created or moved in on the way.
constexpr uint32_t kEntryEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// Tells whether anything the registry was read from may have changed since
// it was read. Where a watch cannot be set (no inotify, the user's limit of
// watches reached, an unreadable folder) it always tells of a change, and
// the files are read at every root open.
class ChangeWatch {
public:
    // Drops the old watches for new ones; called before the places are listed
    // and read, so that a change made while they are read shows next time.
    void Restart() {
        if (fd_ < 0 || owner_ != getpid()) {
            // A forked child shares its parent's queue, which is not its own to read or change.
            if (fd_ >= 0) close(fd_);
            fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            owner_ = getpid();
            watches_.clear();
        }
        // The queue is kept and emptied: closing it waits until the kernel
        // has freed its watches, some 10 ms.
        for (const int watch : watches_) inotify_rm_watch(fd_, watch);
        watches_.clear();
        while (fd_ >= 0 && ReadEvents() > 0) {
        }
        complete_ = fd_ >= 0;
    }

    // A path that must exist (a folder listed, a symbolic link read).
    void Watch(const fs::path& path, uint32_t events) {
        if (complete_ && !Add(path, events)) complete_ = false;
    }

    // A place that may be missing: then the nearest folder above it that
    // exists is watched for the entry that makes it appear.
    void WatchPlace(const fs::path& place, uint32_t events) {
        fs::path path = place;
        while (complete_ && !Add(path, events)) {
            if ((errno != ENOENT && errno != ENOTDIR) || path == path.parent_path()) complete_ = false;
            path = path.parent_path();
            events = kEntryEvents;
        }
    }

    bool Changed() { return !complete_ || owner_ != getpid() || ReadEvents() >= 0 || errno != EAGAIN; }

private:
    bool Add(const fs::path& path, uint32_t events) {
        const int watch = inotify_add_watch(fd_, path.c_str(), events | IN_MASK_ADD);
        if (watch >= 0) watches_.push_back(watch);
        return watch >= 0;
    }

    // Consumes the events waiting; -1 with EAGAIN when there are none.
    ssize_t ReadEvents() {
        alignas(inotify_event) char events[4096];
        return read(fd_, events, sizeof events);
    }

    int fd_ = -1;
    pid_t owner_ = 0;
    bool complete_ = false;
    std::vector<int> watches_;
};

// A folder's *.reg files in name order, or the place itself when it is not a
// folder; either way watched for changes.
void AppendPlace(const fs::path& place, ChangeWatch& watch, std::vector<fs::path>& files) {
    std::error_code error;
    if (!fs::is_directory(place, error)) {
        watch.WatchPlace(place, kFileEvents);
        files.push_back(place);
        return;
    }
    watch.WatchPlace(place, kFolderEvents);
    std::vector<fs::path> found;
    for (fs::directory_iterator entry(place, error), end; !error && entry != end; entry.increment(error)) {
        if (entry->path().extension() != ".reg") continue;
        found.push_back(entry->path());
        // The folder's watch sees the link, not what it points to.
        std::error_code linkError;
        if (entry->is_symlink(linkError)) watch.Watch(entry->path(), kFileEvents);
    }
    std::sort(found.begin(), found.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    files.insert(files.end(), found.begin(), found.end());
}

std::optional<fs::path> UserConfigFolder() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] != '\0') return fs::path(configHome);
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return fs::path(home) / ".config";
    return std::nullopt;
}

// The files and folders to read, in order, made absolute so that they name
// the same files whatever the working folder becomes.
std::vector<fs::path> RegistryPlaces() {
    std::vector<fs::path> places;
    const auto add = [&places](const fs::path& place) {
        std::error_code error;
        fs::path absolute = fs::absolute(place, error);
        places.push_back(error ? place : std::move(absolute));
    };
    if (const char* list = std::getenv("TONEGATE_REGISTRY")) {
        std::string_view rest(list);
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            if (!entry.empty()) add(fs::path(entry));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
        return places;
    }
    static const std::optional<fs::path> ownFolder = OwnBinaryFolder();  // this code never moves
    if (ownFolder) add(*ownFolder / ".." / "etc/tonegate/registry.d");
    add("/etc/tonegate/registry.d");
    if (std::optional<fs::path> config = UserConfigFolder()) add(*config / "tonegate/registry.d");
    return places;
}

// The tree last read, the places it was read from, and the watches on them.
struct KeptRegistry {
    std::mutex lock;
    std::vector<fs::path> places;
    std::shared_ptr<const RegistryTree> tree;
    ChangeWatch watch;
};

}  // namespace

std::shared_ptr<const RegistryTree> CurrentRegistry() {
    static auto* kept = new KeptRegistry;  // never destroyed: keys may be opened during exit
    std::vector<fs::path> places = RegistryPlaces();
    std::lock_guard<std::mutex> lock(kept->lock);
    if (kept->tree != nullptr && places == kept->places && !kept->watch.Changed()) return kept->tree;
    kept->watch.Restart();
    std::vector<fs::path> files;
    for (const fs::path& place : places) AppendPlace(place, kept->watch, files);
    auto tree = std::make_shared<RegistryTree>();
    for (const fs::path& file : files)
        if (std::optional<std::string> bytes = ReadRegistryFile(file)) tree->MergeUnindexed(*bytes);
    tree->IndexSubkeys();
    kept->places = std::move(places);
    kept->tree = std::move(tree);
    return kept->tree;
}

}  // namespace tonegate_posix
