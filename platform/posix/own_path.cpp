// Where this process's code lives on disk, from the kernel and the dynamic
// loader. Thread: any (both only read the process's state).
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>

#include "platform/posix/own_path.h"

namespace fs = std::filesystem;

namespace tonegate_posix {

std::optional<std::string> ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof path)) return std::nullopt;
    return std::string(path, static_cast<size_t>(length));
}

std::optional<fs::path> OwnBinaryFolder() {
    Dl_info info;
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&OwnBinaryFolder), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0')
        return fs::path(map->l_name).parent_path();
    // The program's own entry has no name; the kernel knows its path.
    const std::optional<std::string> program = ExecutablePath();
    if (!program) return std::nullopt;
    return fs::path(*program).parent_path();
}

}  // namespace tonegate_posix
