// Pure text composition behind the debug log's writers.
// Thread: both (no shared state; every function works on the caller's buffer).
#include "diag/log_format.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tonegate_diag {

namespace {

// Names are spelled out here rather than taken from strftime, whose names
// follow the process locale.
constexpr const char* kWeekdayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};

// Exact in double precision up to 10^9, so the scaled fraction is one rounding
// of the true product.
constexpr double kPowersOfTen[10] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
constexpr int32_t kMostDecimals = 9;

constexpr double kSmallestShown = 1e-9;
constexpr double kLargestShown = 1e9;

const char* NameOrMark(const char* const* names, int count, int index) {
    return index >= 0 && index < count ? names[index] : "?";
}

// |decimals| cut to at most 9, without negating INT32_MIN.
int DecimalDigits(int32_t decimals) {
    if (decimals < -kMostDecimals || decimals > kMostDecimals) return kMostDecimals;
    return decimals < 0 ? -decimals : decimals;
}

}  // namespace

LineComposer::LineComposer(char* buffer, std::size_t size, const char* ending)
    : buffer_(buffer), bodyLimit_(size - 1 - std::strlen(ending)), ending_(ending) {
    buffer_[0] = '\0';
}

LineComposer& LineComposer::Text(const char* text) {
    while (length_ < bodyLimit_ && *text != '\0') buffer_[length_++] = *text++;
    buffer_[length_] = '\0';
    return *this;
}

LineComposer& LineComposer::Int(int32_t value) {
    char digits[16];  // any 32-bit value with its sign fits
    std::snprintf(digits, sizeof digits, "%" PRId32, value);
    return Text(digits);
}

const char* LineComposer::Finish() {
    std::strcpy(buffer_ + length_, ending_);
    return buffer_;
}

const char* FormatReal(char* text, std::size_t size, double value, int32_t decimals) {
    const double magnitude = std::fabs(value);
    if (value == 0.0 || std::isnan(value)) {
        std::snprintf(text, size, "0");
    } else if (magnitude < kSmallestShown) {
        std::snprintf(text, size, "<>+/-1.0e-9");
    } else if (magnitude > kLargestShown) {
        std::snprintf(text, size, "<>+/-1.0e+9");
    } else {
        const char* sign = value < 0.0 ? "-" : "";
        // At most 10^9 here, so the integer part fits 32 bits.
        const auto whole = static_cast<uint32_t>(std::floor(magnitude));
        if (decimals == 0) {
            std::snprintf(text, size, "%s%" PRIu32 ".?", sign, whole);
        } else {
            const int digits = DecimalDigits(decimals);
            const double scaled = kPowersOfTen[digits] * std::fmod(magnitude, 1.0);
            // Below 10^digits, so the cut digits fit 32 bits too.
            const auto cut = static_cast<uint32_t>(std::floor(scaled));
            std::snprintf(text, size, "%s%" PRIu32 ".%0*" PRIu32, sign, whole, digits, cut);
        }
    }
    return text;
}

const char* FormatDateStamp(char* text, std::size_t size, const std::tm& local) {
    // The year counts from 1900 and a clock set far ahead takes it past int.
    const long long year = static_cast<long long>(local.tm_year) + 1900;
    std::snprintf(text, size, "%s, %s/%02d/%lld ", NameOrMark(kWeekdayNames, 7, local.tm_wday),
                  NameOrMark(kMonthNames, 12, local.tm_mon), local.tm_mday, year);
    return text;
}

const char* FormatTimeStamp(char* text, std::size_t size, const std::tm& local, unsigned milliseconds) {
    std::snprintf(text, size, "%02d:%02d:%02d %03u\n", local.tm_hour, local.tm_min, local.tm_sec, milliseconds);
    return text;
}

}  // namespace tonegate_diag
