// The registry store behind the POSIX registry functions: an immutable tree
// of keys and string values read from registry-export (.reg) text files
// (registry_store.cpp holds the tree, reg_parser.cpp reads the files into
// it). Thread: any; a tree is built by one thread and afterwards only read,
// so finished trees can be shared freely.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tonegate_posix {

// Key and value names compare as Windows compares them: ASCII letters
// folded to upper case, every other byte as it is. Maps keyed by the folded
// name therefore iterate in the order Windows enumerates subkeys.
std::string FoldRegistryName(std::string_view name);

struct RegistryValue {
    std::string name;  // as first written; empty for the default value
    std::string text;
};

struct RegistryKey {
    std::string name;  // as first written
    std::map<std::string, std::unique_ptr<RegistryKey>> subkeys;  // by folded name
    std::map<std::string, RegistryValue> values;                  // by folded name
    // The subkeys again in enumeration order, so that enumerating by index
    // costs the same for the first subkey as for the ten-thousandth.
    std::vector<const RegistryKey*> ordered;

    const RegistryKey* Subkey(std::string_view subkeyName) const;
    // The subkey at `index` in enumeration order, or null past the end.
    const RegistryKey* SubkeyAt(size_t index) const;
    // An empty name is the default value.
    const RegistryValue* Value(std::string_view valueName) const;
};

enum class RegistryRoot { LocalMachine, ClassesRoot };

class RegistryTree {
public:
    RegistryTree();
    RegistryTree(const RegistryTree&) = delete;
    RegistryTree& operator=(const RegistryTree&) = delete;

    // Adds the keys and values of one .reg file's bytes (UTF-8 or, with its
    // byte-order mark, UTF-16LE). Values already present are overwritten;
    // lines that cannot be read are skipped. In reg_parser.cpp.
    void Merge(std::string_view fileBytes);
    // Merge without IndexSubkeys, for reading many files: index once after
    // the last, since indexing costs as much as the whole tree holds.
    void MergeUnindexed(std::string_view fileBytes);
    // Rebuilds every key's `ordered` list after merging.
    void IndexSubkeys();

    const RegistryKey& Root(RegistryRoot root) const;
    // `path` is relative to `from`, '\'-separated, any case; leading and
    // trailing separators are ignored. Null when a key on the way is missing.
    static const RegistryKey* Find(const RegistryKey& from, std::string_view path);

private:
    // The key at `path` below `root`, created with every key on the way;
    // null for a path Windows would refuse.
    RegistryKey* CreatePath(RegistryRoot root, std::string_view path);
    void MergeLines(std::string_view text);  // in reg_parser.cpp

    RegistryKey machine_;
    RegistryKey* classes_;  // machine_\SOFTWARE\Classes, always present
};

}  // namespace tonegate_posix
