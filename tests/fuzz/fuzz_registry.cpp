// Fuzz target: the .reg parser and the look-ups over the tree it builds.
// Arbitrary bytes are merged into a fresh tree, then every key is walked:
// subkeys enumerate in strictly increasing case-folded order, each is found
// again by name (in either case) and by its full path, every value by its
// name; merging the same bytes again changes nothing; and a look-up of the
// bytes themselves as a path ends without harm.
// Thread: the fuzzer's own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/posix/registry_store.h"

namespace {

using tonegate_fuzz::Require;
using tonegate_posix::FoldRegistryName;
using tonegate_posix::RegistryKey;
using tonegate_posix::RegistryRoot;
using tonegate_posix::RegistryTree;

std::string Lowered(std::string_view name) {
    std::string lowered(name);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lowered;
}

// Walks every key below `root` (an explicit stack: keys nest up to 512 deep)
// and returns a listing of the whole tree, paths and values in order.
std::string WalkAndList(const RegistryKey& root) {
    std::string listing;
    std::vector<std::pair<const RegistryKey*, std::string>> pending{{&root, ""}};
    while (!pending.empty()) {
        auto [key, path] = std::move(pending.back());
        pending.pop_back();
        listing += "[" + path + "]\n";
        for (const auto& [folded, value] : key->values) {
            Require(key->Value(value.name) == &value, "a value is found by its name");
            Require(key->Value(Lowered(value.name)) == &value, "value names match without regard to case");
            Require(folded == FoldRegistryName(value.name), "a value is kept under its folded name");
            listing += value.name + "=" + value.text + "\n";
        }
        size_t index = 0;
        std::string previous;
        for (const RegistryKey* subkey = key->SubkeyAt(0); subkey != nullptr; subkey = key->SubkeyAt(++index)) {
            const std::string folded = FoldRegistryName(subkey->name);
            Require(!subkey->name.empty(), "no key has an empty name");
            Require(subkey->name.find('\\') == std::string::npos, "no key name holds a separator");
            Require(index == 0 || previous < folded, "subkeys enumerate in strictly increasing folded order");
            Require(key->Subkey(subkey->name) == subkey, "a subkey is found by its name");
            Require(key->Subkey(Lowered(subkey->name)) == subkey, "key names match without regard to case");
            const std::string subkeyPath = path.empty() ? subkey->name : path + "\\" + subkey->name;
            Require(RegistryTree::Find(root, "\\" + subkeyPath + "\\") == subkey, "a key is found by its path");
            previous = folded;
            pending.emplace_back(subkey, subkeyPath);
        }
        Require(index == key->subkeys.size(), "enumeration lists every subkey once");
    }
    return listing;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    RegistryTree tree;
    tree.Merge(bytes);
    const RegistryKey& machine = tree.Root(RegistryRoot::LocalMachine);
    Require(RegistryTree::Find(machine, "SOFTWARE\\Classes") == &tree.Root(RegistryRoot::ClassesRoot),
            "the classes root is the machine's SOFTWARE\\Classes");
    const std::string listing = WalkAndList(machine);

    tree.Merge(bytes);
    Require(WalkAndList(machine) == listing, "merging the same file again changes nothing");

    RegistryTree::Find(machine, bytes);
    RegistryTree::Find(tree.Root(RegistryRoot::ClassesRoot), bytes);
    return 0;
}
