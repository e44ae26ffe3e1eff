// Test support for the debug log's own tests: a fixture that runs each case
// in a fresh working directory and leaves the log closed.
// Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include "diag/debug_log.h"
#include "support/log_reader.h"
#include "support/temp_dir.h"

namespace tonegate_test {

// A case that uses the log: a fresh working directory, and the log stopped
// before the directory goes, even when the case fails half-way.
class LogFileTest : public FreshDirectoryTest {
protected:
    void TearDown() override { LogStop(); }
};

}  // namespace tonegate_test
