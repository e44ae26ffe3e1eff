// The registry store of the POSIX layer: the tree of keys and values, its
// case-insensitive look-ups and its key creation (reg_parser.cpp fills it
// from .reg files). Thread: any; a tree is built by one thread and afterwards
// only read.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/registry_store.h"

namespace tonegate_posix {

namespace {

// Windows' own limits; they also keep a hostile file from building a tree so
// deep that freeing it recursively would exhaust the stack.
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxKeyNameBytes = 255;

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

}  // namespace tonegate_posix
