// Test support: reads the debug log of the working directory and splits it
// into the run's own lines, without the header and the footer.
// Thread: the test's own.
#pragma once

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
