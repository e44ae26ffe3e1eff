// Which .reg files make up the POSIX registry, reading them into a tree, and
// keeping that tree while none of them changes. Thread: any; the caller's in
// practice, never the real-time thread, since both read the file system.
#pragma once

#include <memory>

#include "platform/posix/registry_store.h"

namespace tonegate_posix {

// The files to read, in order (a later file overrides an earlier one):
// TONEGATE_REGISTRY when set, otherwise the registry.d folders of the
// installation this code belongs to, of the system and of the user. A
// file that cannot be read, or holds more than 1 MiB, is left out (the
// latter with a line on standard error).
//
// The registry as the files hold it now: read afresh when the search path
// or anything on it has changed since the last read, otherwise the tree
// that read made, so that the many root opens of one walk over the drivers
// read every file once.
std::shared_ptr<const RegistryTree> CurrentRegistry();

}  // namespace tonegate_posix
