// Test support for the debug log: reading "Dbg.Log" back with "\n" line ends,
// the header and footer shapes, and a fixture that runs each case in a fresh
// working directory and leaves the log closed. Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "diag/debug_log.h"
#include "support/temp_dir.h"

namespace tonegate_test {

#ifdef _WIN32
inline constexpr const char* kPlatformLineEnd = "\r\n";
#else
inline constexpr const char* kPlatformLineEnd = "\n";
#endif

// The file as written, with each platform line end read back as "\n".
inline std::string ReadLog(const std::filesystem::path& path = "Dbg.Log") {
    const std::string raw = ReadFile(path);
    const std::string lineEnd = kPlatformLineEnd;
    std::string text;
    for (std::size_t at = 0; at < raw.size();) {
        if (raw.compare(at, lineEnd.size(), lineEnd) == 0) {
            text += '\n';
            at += lineEnd.size();
        } else {
            text += raw[at++];
        }
    }
    return text;
}

inline const std::string kDatePattern =
    "(Sunday|Monday|Tuesday|Wednesday|Thursday|Friday|Saturday), "
    "(January|February|March|April|May|June|July|August|September|October|November|December)"
    "/([0-9]{2})/([0-9]{4}) ";
inline const std::string kTimePattern = "([0-9]{2}):([0-9]{2}):([0-9]{2}) ([0-9]{3})\n";
inline const std::string kHeaderPattern =
    "Debug log\n\nDate: " + kDatePattern + "- Time started: " + kTimePattern + "\nTimer initialized\n";
inline const std::string kFooterStart = "\n\nShutting down debug logging system...\n";
inline const std::string kFooterPattern = "\n\nShutting down debug logging system\\.\\.\\.\nDate: " + kDatePattern +
                                          "- Time: " + kTimePattern + "Goodbye, and may all your code compile!\n";

// Whether `log` begins with a fresh header; `header` receives its fields.
inline bool StartsWithHeader(const std::string& log, std::smatch* header = nullptr) {
    std::smatch match;
    const bool found = std::regex_search(log, match, std::regex(kHeaderPattern), std::regex_constants::match_continuous);
    if (found && header != nullptr) *header = match;
    return found;
}

// The lines between the header and the footer of a closed log; fails the test
// when either is missing or misshapen.
inline std::string LogBody(const std::string& log) {
    std::smatch header;
    if (!StartsWithHeader(log, &header)) {
        ADD_FAILURE() << "no header in:\n" << log;
        return {};
    }
    const std::size_t footer = log.rfind(kFooterStart);
    if (footer == std::string::npos || footer < static_cast<std::size_t>(header.length(0)) ||
        !std::regex_match(log.substr(footer), std::regex(kFooterPattern))) {
        ADD_FAILURE() << "no footer in:\n" << log;
        return {};
    }
    return log.substr(header.length(0), footer - header.length(0));
}

// A case that uses the log: a fresh working directory, and the log stopped
// before the directory goes, even when the case fails half-way.
class LogFileTest : public FreshDirectoryTest {
protected:
    void TearDown() override { LogStop(); }
};

}  // namespace tonegate_test
