// Fuzz target: the debug log's formatters and writers with arbitrary text and
// numbers. FormatReal's text is "0", a range mark or the value's digits cut
// (never rounded) to the asked number of decimals; the stamps stay inside
// their buffers whatever the clock fields say; and a run of writer calls
// (LogLine, LogText, LogInt, LogIntDash, LogIntPair, LogReal) on an open log
// puts exactly the expected bytes between the log's header and its footer:
// each line whole, a name too long for its writer cut, the line end kept.
// Each input writes a log of its own, in the working directory the fuzzer runs in.
// Thread: the fuzzer's own.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "diag/debug_log.h"
#include "diag/log_format.h"
#include "fuzz/fuzz_check.h"

namespace {

using tonegate_fuzz::InputReader;
using tonegate_fuzz::Require;

constexpr const char* kHeaderEnd = "Timer initialized\n";
constexpr const char* kFooterStart = "\n\nShutting down debug logging system...\n";

void CheckReal(double value, int32_t decimals) {
    char text[tonegate_diag::kRealTextSize];
    const std::string shown = tonegate_diag::FormatReal(text, sizeof text, value, decimals);
    const double magnitude = std::fabs(value);
    if (value == 0.0 || std::isnan(value)) {
        Require(shown == "0", "zero and NaN are written 0");
        return;
    }
    if (magnitude < 1e-9) {
        Require(shown == "<>+/-1.0e-9", "tiny values get the small mark");
        return;
    }
    if (magnitude > 1e9) {
        Require(shown == "<>+/-1.0e+9", "huge values get the large mark");
        return;
    }
    const bool negative = value < 0.0;
    Require((shown[0] == '-') == negative, "a negative value shows its sign");
    const std::string digits = shown.substr(negative ? 1 : 0);
    const size_t point = digits.find('.');
    Require(point != std::string::npos && point > 0, "an integer part and a point");
    Require(std::stod(digits.substr(0, point)) == std::floor(magnitude), "the integer part is the value's");
    const std::string fraction = digits.substr(point + 1);
    if (decimals == 0) {
        Require(fraction == "?", "no decimals is written ?");
        return;
    }
    const int32_t wanted = decimals < -9 || decimals > 9 ? 9 : std::abs(decimals);
    Require(fraction.size() == static_cast<size_t>(wanted), "exactly the asked decimals, at most 9");
    Require(fraction.find_first_not_of("0123456789") == std::string::npos, "decimals are digits");
    // Cut, not rounded: the digits shown are the scaled fraction's floor.
    const double scaled = std::pow(10.0, wanted) * std::fmod(magnitude, 1.0);
    Require(std::stod(fraction) == std::floor(scaled), "the decimals are cut from the fraction");
}

void CheckStamps(InputReader& input) {
    std::tm clock{};
    clock.tm_sec = input.Take<int32_t>();
    clock.tm_min = input.Take<int32_t>();
    clock.tm_hour = input.Take<int32_t>();
    clock.tm_mday = input.Take<int32_t>();
    clock.tm_mon = input.Take<int32_t>();
    clock.tm_year = input.Take<int32_t>();
    clock.tm_wday = input.Take<int32_t>();
    const unsigned milliseconds = input.Take<uint32_t>();
    // The writers' own buffer sizes, with a guard after each.
    char date[64 + 1];
    char time[128 + 1];
    date[64] = time[128] = '\x7F';
    tonegate_diag::FormatDateStamp(date, 64, clock);
    tonegate_diag::FormatTimeStamp(time, 128, clock, milliseconds);
    Require(date[64] == '\x7F' && time[128] == '\x7F', "the stamps stay in their buffers");
}

// The body as the writer shows it: cut to what fits before its ending.
std::string Cut(const std::string& body, size_t bufferSize, const std::string& ending) {
    return body.substr(0, bufferSize - 1 - ending.size()) + ending;
}

std::string Int(int32_t value) { return std::to_string(value); }

std::string Real(double value, int32_t decimals) {
    char text[tonegate_diag::kRealTextSize];
    return tonegate_diag::FormatReal(text, sizeof text, value, decimals);
}

std::string ReadFile(const char* name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Writer calls taken from the input; returns what they must have written.
std::string WriteLines(InputReader& input) {
    std::string expected;
    for (int call = 0; call < 16 && !input.empty(); ++call) {
        switch (input.Take<uint8_t>() % 6) {
            case 0: {
                const std::string text = input.TakeText(1400);
                LogLine(text.c_str());
                expected += Cut(text, 1024, "\n");
                break;
            }
            case 1: {
                const std::string text = input.TakeText(300);
                LogText(text.c_str());
                expected += text;
                break;
            }
            case 2: {
                const std::string name = input.TakeText(300);
                const int32_t value = input.Take<int32_t>();
                LogInt(name.c_str(), value);
                expected += Cut(name + ": " + Int(value), 160, "\n");
                break;
            }
            case 3: {
                const std::string name = input.TakeText(300);
                const int32_t value = input.Take<int32_t>();
                LogIntDash(name.c_str(), value);
                expected += Cut(name + ": " + Int(value), 160, " - ");
                break;
            }
            case 4: {
                const std::string first = input.TakeText(300);
                const std::string second = input.TakeText(300);
                const int32_t value1 = input.Take<int32_t>();
                const int32_t value2 = input.Take<int32_t>();
                LogIntPair(first.c_str(), second.c_str(), value1, value2);
                expected += Cut(first + ": " + Int(value1) + ", " + second + ": " + Int(value2), 256, "\n");
                break;
            }
            default: {
                const std::string name = input.TakeText(300);
                const double value = input.Take<double>();
                const int32_t decimals = input.Take<int32_t>();
                CheckReal(value, decimals);
                LogReal(name.c_str(), value, decimals);
                expected += Cut(name + ": " + Real(value, decimals), 256, "\n");
                break;
            }
        }
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    CheckReal(input.Take<double>(), input.Take<int32_t>());
    CheckStamps(input);

    LogStart();
    const std::string expected = WriteLines(input);
    Require(LogStop() == 0, "the log closes");
    const std::string log = ReadFile("Dbg.Log");
    const size_t headerEnd = log.find(kHeaderEnd);
    const size_t footerStart = log.rfind(kFooterStart);
    Require(headerEnd != std::string::npos && footerStart != std::string::npos, "header and footer are there");
    const size_t bodyStart = headerEnd + std::string(kHeaderEnd).size();
    Require(footerStart >= bodyStart && log.substr(bodyStart, footerStart - bodyStart) == expected,
            "the writers wrote exactly their lines");
    return 0;
}
