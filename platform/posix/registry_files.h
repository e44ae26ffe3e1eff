// Which .reg files make up the POSIX registry, and reading them into a fresh
// registry tree. Thread: any; the caller's in practice, never the real-time
// thread, since both read the file system.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "platform/posix/registry_store.h"

namespace tonegate_posix {

// The .reg files to read, in order (a later file overrides an earlier one):
// TONEGATE_REGISTRY when set, otherwise the registry.d folders of the
// installation this code belongs to, of the system and of the user.
std::vector<std::filesystem::path> RegistryFiles();

// A fresh tree of every file of RegistryFiles() that can be read.
std::shared_ptr<const RegistryTree> LoadRegistry();

}  // namespace tonegate_posix
