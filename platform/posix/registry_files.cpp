// The search path of the POSIX registry: which .reg files make it up, in
// which order, and reading them into a fresh tree. Thread: any; the caller's
// in practice (opening a root key), never the real-time thread, since it reads
// files.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/posix/own_path.h"
#include "platform/posix/registry_files.h"

namespace fs = std::filesystem;

namespace tonegate_posix {

namespace {

std::optional<std::string> ReadRegularFile(const fs::path& path) {
    std::error_code error;
    // Only regular files: a FIFO or device named like a .reg file would block or never end.
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

// A folder's *.reg files in name order, or the path itself when it is not a folder.
void AppendPlace(const fs::path& place, std::vector<fs::path>& files) {
    std::error_code error;
    if (!fs::is_directory(place, error)) {
        files.push_back(place);
        return;
    }
    std::vector<fs::path> found;
    for (fs::directory_iterator entry(place, error), end; !error && entry != end; entry.increment(error))
        if (entry->path().extension() == ".reg") found.push_back(entry->path());
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

}  // namespace

std::vector<fs::path> RegistryFiles() {
    std::vector<fs::path> files;
    if (const char* list = std::getenv("TONEGATE_REGISTRY")) {
        std::string_view rest(list);
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            if (!entry.empty()) AppendPlace(fs::path(entry), files);
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
        return files;
    }
    if (std::optional<fs::path> folder = OwnBinaryFolder()) AppendPlace(*folder / ".." / "etc/tonegate/registry.d", files);
    AppendPlace("/etc/tonegate/registry.d", files);
    if (std::optional<fs::path> config = UserConfigFolder()) AppendPlace(*config / "tonegate/registry.d", files);
    return files;
}

std::shared_ptr<const RegistryTree> LoadRegistry() {
    auto tree = std::make_shared<RegistryTree>();
    for (const fs::path& file : RegistryFiles())
        if (std::optional<std::string> bytes = ReadRegularFile(file)) tree->Merge(*bytes);
    return tree;
}

}  // namespace tonegate_posix
