// Test support: the built tonegate command run as a user runs it, from the
// shell, in the working folder; its exit status and what it printed.
// Thread: the test's own; the command runs as a child (POSIX).
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/temp_dir.h"

namespace tonegate_test {

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string TonegateProgram() { return std::string(std::getenv("TONEGATE_BUILD_DIR")) + "/bin/tonegate"; }

// `arguments` and `environment` (NAME=value ...) as the shell reads them.
inline Outcome RunTonegate(const std::string& arguments, const std::string& environment = "") {
    const int status =
        std::system((environment + " " + TonegateProgram() + " " + arguments + " >out.txt 2>err.txt").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile("out.txt"), ReadFile("err.txt")};
}

}  // namespace tonegate_test
