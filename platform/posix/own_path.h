// Where this process's code lives on disk: the running program's path and
// the folder of the binary this code is linked into. Thread: any.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tonegate_posix {

// The running program's full path as the kernel reports it; none when it
// cannot tell.
std::optional<std::string> ExecutablePath();

// The folder of the binary this code is linked into: the shared library
// when it is part of one, else the program itself.
std::optional<std::filesystem::path> OwnBinaryFolder();

}  // namespace tonegate_posix
