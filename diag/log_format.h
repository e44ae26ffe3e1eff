// Pure text composition behind the debug log's writers: lines cut to a fixed
// buffer, the real-number rule, and the date and time stamps. Nothing here
// touches the log file, so the formats can be checked on their own.
// Thread: both (no shared state; every function works on the caller's buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace tonegate_diag {

// Builds one writer's output in a fixed buffer. The ending (the line end, or
// the continuation of a dashed line) is always written in full; text before
// it that does not fit is cut, so an over-long name never overruns the buffer
// nor loses the line end. Allocates nothing.
class LineComposer {
public:
    // `size` counts the terminator and must exceed the ending's length.
    LineComposer(char* buffer, std::size_t size, const char* ending);
    template <std::size_t Size>
    LineComposer(char (&buffer)[Size], const char* ending) : LineComposer(buffer, Size, ending) {}

    LineComposer& Text(const char* text);
    // Signed decimal, no leading zeros, "-" for negative values.
    LineComposer& Int(int32_t value);
    // Appends the ending and returns the terminated output.
    const char* Finish();

private:
    char* buffer_;
    std::size_t bodyLimit_;
    std::size_t length_ = 0;
    const char* ending_;
};

// Room for any real-number text: "-1000000000." and nine digits, or a range mark.
constexpr std::size_t kRealTextSize = 32;

// The number part of a LogReal line: "0" for zero and NaN, range marks below
// 1e-9 and above 1e9, otherwise the integer part, "." and `decimals` digits
// cut (not rounded), "?" for no decimals. Returns `text`.
const char* FormatReal(char* text, std::size_t size, double value, int32_t decimals);

// "Sunday, December/06/2026 ": English names whatever the process locale.
const char* FormatDateStamp(char* text, std::size_t size, const std::tm& local);

// "09:05:07 045" and the line end.
const char* FormatTimeStamp(char* text, std::size_t size, const std::tm& local, unsigned milliseconds);

}  // namespace tonegate_diag
