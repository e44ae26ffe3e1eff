// Test support: the debug log read back, the one reader of the tree's tests:
// the file with "\n" line ends, the shapes of its header and footer, and a
// run's own lines without them. Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tonegate_test {

// The log is written in text mode: its lines end as the platform's text
// files do.
#ifdef _WIN32
inline constexpr const char* kLogLineEnd = "\r\n";
#else
inline constexpr const char* kLogLineEnd = "\n";
#endif

// The file as written, with each platform line end read back as "\n".
inline std::string ReadLog(const std::filesystem::path& path = "Dbg.Log") {
    const std::string raw = ReadFile(path);
    const std::string lineEnd = kLogLineEnd;
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

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// The lines a run wrote between "Timer initialized" (the header's last line)
// and the footer's two empty lines; everything after the header when the log
// has no footer yet.
inline std::vector<std::string> RunLines(const std::string& logText) {
    std::vector<std::string> lines = SplitLines(logText);
    std::vector<std::string> body;
    size_t first = 0;
    while (first < lines.size() && lines[first] != "Timer initialized") ++first;
    size_t end = lines.size();
    for (size_t i = first; i < lines.size(); ++i) {
        if (lines[i] == "Shutting down debug logging system...") {
            end = i >= 2 ? i - 2 : i;
            break;
        }
    }
    for (size_t i = first + 1; i < end; ++i) body.push_back(lines[i]);
    return body;
}

inline std::vector<std::string> CurrentRunLines() { return RunLines(ReadFile("Dbg.Log")); }

}  // namespace tonegate_test
