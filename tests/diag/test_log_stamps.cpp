// The date and time stamps and the log's header and footer: exact shapes,
// English names whatever the locale, two-digit clock fields and three-digit
// milliseconds. Thread: the test's own.
#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <limits>
#include <regex>
#include <string>

#include "diag/debug_log.h"
#include "diag/log_file.h"
#include "diag/log_format.h"

namespace {

using tonegate_test::kDatePattern;
using tonegate_test::kFooterPattern;
using tonegate_test::LogFileTest;
using tonegate_test::ReadLog;

std::tm Clock(int hour, int minute, int second) {
    std::tm local{};
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    return local;
}

std::string TimeStamp(const std::tm& local, unsigned milliseconds) {
    char text[128];
    return tonegate_diag::FormatTimeStamp(text, sizeof text, local, milliseconds);
}

std::string DateStamp(const std::tm& local) {
    char text[64];
    return tonegate_diag::FormatDateStamp(text, sizeof text, local);
}

// A calendar day at noon, with its weekday filled in by the C library.
std::tm Day(int year, int month, int day) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    std::mktime(&local);
    return local;
}

// The stamp strftime writes in the "C" locale, whose names are English.
std::string EnglishDate(const std::tm& local) {
    const char* previous = std::setlocale(LC_TIME, nullptr);
    const std::string restore = previous != nullptr ? previous : "C";
    std::setlocale(LC_TIME, "C");
    char text[64];
    std::strftime(text, sizeof text, "%A, %B/%d/%Y ", &local);
    std::setlocale(LC_TIME, restore.c_str());
    return text;
}

std::string TodayInEnglish() {
    const std::time_t now = std::time(nullptr);
    return EnglishDate(*std::localtime(&now));
}

// The date stamp as read back from a header's fields.
std::string DateOf(const std::smatch& header) {
    return header[1].str() + ", " + header[2].str() + "/" + header[3].str() + "/" + header[4].str() + " ";
}

TEST(LogTimeStamp, FieldsAreTwoDigitsAndMillisecondsThree) {
    EXPECT_EQ(TimeStamp(Clock(0, 0, 0), 0), "00:00:00 000\n");
    EXPECT_EQ(TimeStamp(Clock(0, 0, 0), 5), "00:00:00 005\n");
    EXPECT_EQ(TimeStamp(Clock(9, 5, 7), 45), "09:05:07 045\n");
    EXPECT_EQ(TimeStamp(Clock(14, 5, 9), 45), "14:05:09 045\n");
    EXPECT_EQ(TimeStamp(Clock(23, 59, 59), 999), "23:59:59 999\n");
    EXPECT_EQ(TimeStamp(Clock(10, 10, 10), 100), "10:10:10 100\n");
}

TEST(LogDateStamp, MatchesTheExampleDay) { EXPECT_EQ(DateStamp(Day(2026, 12, 6)), "Sunday, December/06/2026 "); }

TEST(LogDateStamp, MatchesEnglishStrftimeOnEveryDayOfAYear) {
    for (int dayOfYear = 1; dayOfYear <= 366; ++dayOfYear) {
        const std::tm day = Day(2028, 1, dayOfYear);
        EXPECT_EQ(DateStamp(day), EnglishDate(day)) << "day " << dayOfYear << " of 2028";
    }
}

TEST(LogDateStamp, LongestStampFitsItsBuffer) {
    const std::string stamp = DateStamp(Day(2026, 9, 30));
    EXPECT_EQ(stamp, "Wednesday, September/30/2026 ");
    EXPECT_EQ(stamp.size(), 29u);
}

// The C library lets tm_year reach the int's ends; the year is tm_year plus
// 1900 even where that sum leaves the int.
TEST(LogDateStamp, YearsAtTheEndsOfTheYearFieldAreWrittenInFull) {
    std::tm day{};
    day.tm_mday = 31;
    day.tm_mon = 11;
    day.tm_wday = 3;
    day.tm_year = std::numeric_limits<int>::max();
    EXPECT_EQ(DateStamp(day), "Wednesday, December/31/2147485547 ");
    day.tm_year = std::numeric_limits<int>::min();
    EXPECT_EQ(DateStamp(day), "Wednesday, December/31/-2147481748 ");
}

using LogHeader = LogFileTest;

TEST_F(LogHeader, HeaderAndFooterHaveTheirExactShape) {
    const std::string dayBefore = TodayInEnglish();
    LogStart();
    LogLine("between");
    ASSERT_EQ(LogStop(), 0);
    const std::string dayAfter = TodayInEnglish();
    const std::string log = ReadLog();

    std::smatch header;
    ASSERT_TRUE(tonegate_test::StartsWithHeader(log, &header)) << log;
    const std::string headerDate = DateOf(header);
    EXPECT_TRUE(headerDate == dayBefore || headerDate == dayAfter) << headerDate;
    EXPECT_LT(std::stoi(header[5].str()), 24);
    EXPECT_LT(std::stoi(header[6].str()), 60);
    EXPECT_LT(std::stoi(header[7].str()), 61);
    EXPECT_EQ(log.substr(header.length(0)).find("between\n\n\nShutting down"), 0u) << log;

    std::smatch footer;
    const std::string tail = log.substr(log.rfind(tonegate_test::kFooterStart));
    ASSERT_TRUE(std::regex_match(tail, footer, std::regex(kFooterPattern))) << tail;
    EXPECT_LT(std::stoi(footer[5].str()), 24);
}

TEST_F(LogHeader, LineEndsReachTheFileAsThePlatformWritesThem) {
    LogStart();
    ASSERT_EQ(LogStop(), 0);
    const std::string raw = tonegate_test::ReadFile("Dbg.Log");
    const std::string lineEnd = tonegate_test::kLogLineEnd;
    EXPECT_EQ(raw.find("Debug log" + lineEnd + lineEnd + "Date: "), 0u) << raw;
}

TEST_F(LogHeader, NamesStayEnglishUnderAnotherLocale) {
    const char* const candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "es_ES.UTF-8",
                                      "it_IT.UTF-8", "German_Germany.1252", "French_France.1252"};
    const char* active = nullptr;
    for (const char* candidate : candidates) {
        if (std::setlocale(LC_ALL, candidate) != nullptr) {
            active = candidate;
            break;
        }
    }
    if (active == nullptr) GTEST_SKIP() << "no non-English locale installed";

    const std::string dayBefore = TodayInEnglish();
    LogStart();
    const int stopped = LogStop();
    const std::string dayAfter = TodayInEnglish();
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(stopped, 0);

    const std::string log = ReadLog();
    std::smatch header;
    ASSERT_TRUE(tonegate_test::StartsWithHeader(log, &header)) << "under " << active << ":\n" << log;
    const std::string headerDate = DateOf(header);
    EXPECT_TRUE(headerDate == dayBefore || headerDate == dayAfter) << headerDate;
    EXPECT_TRUE(std::regex_search(log.substr(log.rfind(tonegate_test::kFooterStart)), std::regex(kDatePattern)));
}

}  // namespace
