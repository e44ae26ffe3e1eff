// Test support for the debug log's own tests: a fixture that runs each case
// in a fresh working directory and leaves the log closed, and a folder that
// keeps a log generation from moving.
// Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "diag/debug_log.h"
#include "support/log_reader.h"
#include "support/temp_dir.h"

namespace tonegate_test {

// A folder that neither remove nor rename can move away, since it has content.
inline void MakeFolderInTheWay(const std::filesystem::path& name) {
    std::filesystem::create_directory(name);
    WriteFile(name / "content", "kept");
}

// A case that uses the log: a fresh working directory, and the log stopped
// before the directory goes, even when the case fails half-way.
class LogFileTest : public FreshDirectoryTest {
protected:
    void TearDown() override { LogStop(); }
};

}  // namespace tonegate_test
