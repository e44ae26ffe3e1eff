// Registry subset of the POSIX layer: a read-only registry over .reg text
// files (the store and its parser), and RegOpenKeyA, RegOpenKeyExA,
// RegEnumKeyA, RegQueryValueExA and RegCloseKey on top of it. Thread: any
// (one mutex guards the open handles); the caller's thread in practice,
// never the real-time thread, since opening a root key reads files.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <unordered_set>

#include "platform/posix/registry_store.h"
#include "platform/win32.h"

namespace fs = std::filesystem;

namespace tonegate_posix {

namespace {

// Windows' own limits; they also keep a hostile file from building a tree so
// deep that freeing it recursively would exhaust the stack.
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxKeyNameBytes = 255;
constexpr size_t kMaxValueNameBytes = 16383;

constexpr std::string_view kBlanks = " \t\r";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string_view TrimSeparators(std::string_view path) {
    const size_t first = path.find_first_not_of('\\');
    if (first == std::string_view::npos) return {};
    return path.substr(first, path.find_last_not_of('\\') - first + 1);
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    path = TrimSeparators(path);
    if (path.empty()) return parts;
    size_t start = 0;
    for (;;) {
        const size_t separator = path.find('\\', start);
        parts.push_back(path.substr(start, separator - start));
        if (separator == std::string_view::npos) return parts;
        start = separator + 1;
    }
}

bool ValidKeyPath(const std::vector<std::string_view>& parts) {
    if (parts.size() > kMaxKeyDepth) return false;
    return std::all_of(parts.begin(), parts.end(), [](std::string_view part) {
        return !part.empty() && part.size() <= kMaxKeyNameBytes;
    });
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// Registry Editor 5.00 exports are UTF-16LE with a byte-order mark; the rest
// of the store works on UTF-8. Unpaired surrogates become U+FFFD and an odd
// last byte is dropped.
std::string Utf16LeToUtf8(std::string_view bytes) {
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    out.reserve(bytes.size() / 2);
    auto unitAt = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? kReplacement : unit);
    }
    return out;
}

// Reads a "quoted" string starting at text[at] == '"', undoing the \\ and \"
// escapes (any other backslash stands for itself), and moves `at` past the
// closing quote. None when the closing quote is missing.
std::optional<std::string> ReadQuoted(std::string_view text, size_t& at) {
    std::string result;
    for (size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            at = i + 1;
            return result;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) ++i;
        result += text[i];
    }
    return std::nullopt;
}

void SkipBlanks(std::string_view text, size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
}

// `"name"="text"` or `@="text"`; other value types and anything malformed
// give none.
std::optional<RegistryValue> ParseValueLine(std::string_view line) {
    RegistryValue value;
    size_t at = 0;
    if (line[0] == '@') {
        at = 1;
    } else {
        std::optional<std::string> name = ReadQuoted(line, at);
        if (!name || name->size() > kMaxValueNameBytes) return std::nullopt;
        value.name = std::move(*name);
    }
    SkipBlanks(line, at);
    if (at >= line.size() || line[at] != '=') return std::nullopt;
    ++at;
    SkipBlanks(line, at);
    if (at >= line.size() || line[at] != '"') return std::nullopt;
    std::optional<std::string> text = ReadQuoted(line, at);
    if (!text) return std::nullopt;
    SkipBlanks(line, at);
    if (at != line.size()) return std::nullopt;
    value.text = std::move(*text);
    return value;
}

std::optional<RegistryRoot> ParseRoot(std::string_view name) {
    const std::string folded = FoldRegistryName(name);
    if (folded == "HKEY_LOCAL_MACHINE" || folded == "HKLM") return RegistryRoot::LocalMachine;
    if (folded == "HKEY_CLASSES_ROOT" || folded == "HKCR") return RegistryRoot::ClassesRoot;
    return std::nullopt;
}

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

// The folder of the binary this code is linked into: the shared library
// when it is part of one, else the program itself.
std::optional<fs::path> OwnBinaryFolder() {
    Dl_info info;
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&OwnBinaryFolder), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0')
        return fs::path(map->l_name).parent_path();
    // The program's own entry has no name; the kernel knows its path.
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof path)) return std::nullopt;
    return fs::path(std::string(path, static_cast<size_t>(length))).parent_path();
}

std::optional<fs::path> UserConfigFolder() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] != '\0') return fs::path(configHome);
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return fs::path(home) / ".config";
    return std::nullopt;
}

}  // namespace

std::string FoldRegistryName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return folded;
}

const RegistryKey* RegistryKey::Subkey(std::string_view subkeyName) const {
    const auto found = subkeys.find(FoldRegistryName(subkeyName));
    return found == subkeys.end() ? nullptr : found->second.get();
}

const RegistryKey* RegistryKey::SubkeyAt(size_t index) const {
    return index < ordered.size() ? ordered[index] : nullptr;
}

const RegistryValue* RegistryKey::Value(std::string_view valueName) const {
    const auto found = values.find(FoldRegistryName(valueName));
    return found == values.end() ? nullptr : &found->second;
}

RegistryTree::RegistryTree() : classes_(nullptr) {
    classes_ = CreatePath(RegistryRoot::LocalMachine, "SOFTWARE\\Classes");
    IndexSubkeys();
}

const RegistryKey& RegistryTree::Root(RegistryRoot root) const {
    return root == RegistryRoot::ClassesRoot ? *classes_ : machine_;
}

const RegistryKey* RegistryTree::Find(const RegistryKey& from, std::string_view path) {
    const RegistryKey* key = &from;
    for (std::string_view part : SplitPath(path)) {
        if (part.empty()) continue;  // a doubled separator counts once, as on Windows
        key = key->Subkey(part);
        if (key == nullptr) return nullptr;
    }
    return key;
}

RegistryKey* RegistryTree::CreatePath(RegistryRoot root, std::string_view path) {
    const std::vector<std::string_view> parts = SplitPath(path);
    if (!ValidKeyPath(parts)) return nullptr;
    RegistryKey* key = root == RegistryRoot::ClassesRoot ? classes_ : &machine_;
    for (std::string_view part : parts) {
        std::unique_ptr<RegistryKey>& slot = key->subkeys[FoldRegistryName(part)];
        if (!slot) {
            slot = std::make_unique<RegistryKey>();
            slot->name = part;
        }
        key = slot.get();
    }
    return key;
}

void RegistryTree::Merge(std::string_view fileBytes) {
    constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
    constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
    if (fileBytes.substr(0, kUtf16LeMark.size()) == kUtf16LeMark) {
        MergeLines(Utf16LeToUtf8(fileBytes.substr(kUtf16LeMark.size())));
    } else {
        if (fileBytes.substr(0, kUtf8Mark.size()) == kUtf8Mark) fileBytes.remove_prefix(kUtf8Mark.size());
        MergeLines(fileBytes);
    }
    IndexSubkeys();
}

void RegistryTree::IndexSubkeys() {
    // An explicit stack: a hostile file may nest keys hundreds deep.
    std::vector<RegistryKey*> pending{&machine_};
    while (!pending.empty()) {
        RegistryKey* key = pending.back();
        pending.pop_back();
        key->ordered.clear();
        key->ordered.reserve(key->subkeys.size());
        for (auto& [folded, subkey] : key->subkeys) {
            key->ordered.push_back(subkey.get());
            pending.push_back(subkey.get());
        }
    }
}

// Header lines ("Windows Registry Editor Version 5.00", "REGEDIT4") and
// comments carry nothing, so they fall out with the other lines that are
// neither a section nor a value. Values before the first good section, or
// after a section that cannot be read, belong nowhere and are dropped.
void RegistryTree::MergeLines(std::string_view text) {
    RegistryKey* section = nullptr;
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = text.size();
        const std::string_view line = Trim(text.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        if (line.empty() || line[0] == ';' || line.find('\0') != std::string_view::npos) continue;
        if (line[0] == '[') {
            section = nullptr;
            if (line.back() != ']') continue;
            const std::string_view path = line.substr(1, line.size() - 2);
            const size_t separator = path.find('\\');
            if (std::optional<RegistryRoot> root = ParseRoot(path.substr(0, separator)))
                section = CreatePath(*root, separator == std::string_view::npos ? "" : path.substr(separator));
            continue;
        }
        if (section == nullptr) continue;
        std::optional<RegistryValue> value = ParseValueLine(line);
        if (!value) continue;
        auto [slot, added] = section->values.try_emplace(FoldRegistryName(value->name), std::move(*value));
        if (!added) slot->second.text = std::move(value->text);
    }
}

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

using tonegate_posix::RegistryKey;
using tonegate_posix::RegistryRoot;
using tonegate_posix::RegistryTree;

namespace {

// What an opened HKEY points to: a key together with the tree it was read
// from, which it keeps alive until RegCloseKey.
struct OpenKey {
    std::shared_ptr<const RegistryTree> tree;
    const RegistryKey* key;
};

std::mutex gHandlesLock;

// Every handle given out and not yet closed, so a stale or foreign handle is
// refused rather than followed. Never destroyed: a handle may be closed
// during exit, after static objects have gone.
std::unordered_set<const OpenKey*>& LiveHandles() {
    static auto* handles = new std::unordered_set<const OpenKey*>;
    return *handles;
}

std::optional<RegistryRoot> AsRoot(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return RegistryRoot::LocalMachine;
    if (key == HKEY_CLASSES_ROOT) return RegistryRoot::ClassesRoot;
    return std::nullopt;
}

// The key behind a handle; a root key is read afresh from the files every
// time. None for a handle that is not open. Call with gHandlesLock held.
std::optional<OpenKey> Resolve(HKEY key) {
    if (std::optional<RegistryRoot> root = AsRoot(key)) {
        std::shared_ptr<const RegistryTree> tree = tonegate_posix::LoadRegistry();
        const RegistryKey* rootKey = &tree->Root(*root);
        return OpenKey{std::move(tree), rootKey};
    }
    const auto* open = reinterpret_cast<const OpenKey*>(key);
    if (LiveHandles().count(open) == 0) return std::nullopt;
    return *open;
}

}  // namespace

// As on Windows: a subkey may end in separators but not start with one, and
// no subkey under a root key gives back the root key itself.
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM /*desired*/, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    const std::string_view path = subKey == nullptr ? "" : subKey;
    if (!path.empty() && path.front() == '\\') return ERROR_BAD_PATHNAME;
    if (path.empty() && AsRoot(key)) {
        *result = key;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(gHandlesLock);
    std::optional<OpenKey> from = Resolve(key);
    if (!from) return ERROR_INVALID_HANDLE;
    const RegistryKey* found = RegistryTree::Find(*from->key, path);
    if (found == nullptr) return ERROR_FILE_NOT_FOUND;
    auto* opened = new OpenKey{std::move(from->tree), found};
    LiveHandles().insert(opened);
    *result = reinterpret_cast<HKEY>(opened);
    return ERROR_SUCCESS;
}

// Unlike RegOpenKeyExA, no subkey gives back the very handle passed in, as
// on Windows, so closing either closes both.
LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    if (result == nullptr || (subKey != nullptr && *subKey != '\0'))
        return RegOpenKeyExA(key, subKey, 0, KEY_READ, result);
    std::lock_guard<std::mutex> lock(gHandlesLock);
    const bool open = AsRoot(key) || LiveHandles().count(reinterpret_cast<const OpenKey*>(key)) != 0;
    *result = open ? key : nullptr;
    return open ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    std::lock_guard<std::mutex> lock(gHandlesLock);
    std::optional<OpenKey> from = Resolve(key);
    if (!from) return ERROR_INVALID_HANDLE;
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    const RegistryKey* subkey = from->key->SubkeyAt(index);
    if (subkey == nullptr) return ERROR_NO_MORE_ITEMS;
    if (subkey->name.size() >= nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, subkey->name.c_str(), subkey->name.size() + 1);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(gHandlesLock);
    std::optional<OpenKey> from = Resolve(key);
    if (!from) return ERROR_INVALID_HANDLE;
    const tonegate_posix::RegistryValue* value = from->key->Value(valueName == nullptr ? "" : valueName);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = REG_SZ;
    const DWORD needed = static_cast<DWORD>(value->text.size() + 1);
    if (data == nullptr) {
        if (dataSize != nullptr) *dataSize = needed;
        return ERROR_SUCCESS;
    }
    const DWORD available = *dataSize;
    *dataSize = needed;
    if (available < needed) return ERROR_MORE_DATA;
    std::memcpy(data, value->text.c_str(), needed);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (AsRoot(key)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(gHandlesLock);
    const auto* open = reinterpret_cast<const OpenKey*>(key);
    if (LiveHandles().erase(open) == 0) return ERROR_INVALID_HANDLE;
    delete open;
    return ERROR_SUCCESS;
}
