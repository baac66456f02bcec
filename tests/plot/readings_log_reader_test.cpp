// Reading saved readings logs back: time stamps, field numbers, what a log can become on its way,
// and every way a file can fail to be a log, each with its line in the message. (The writer's
// golden logs, read back, are pinned by their golden charts.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "plot/readings_log_reader.h"
#include "plot_test_support.h"

namespace {

TEST(ReadingsLogReader, TimeStamps)
{
    const struct { const char* stamp; int64_t seconds; } kCases[] = {
        {"Sat Dec  5 01:06:16 2026", kTestStart},  {"Tue Dec 15 23:59:59 2026", 1797379199},
        {"Thu Dec 10 00:00:00 2026", 1796860800},  {"Thu Jan  1 00:00:00 1970", 0},
        {"Tue Feb 29 12:00:00 2028", 1835438400},  {"Thu Dec 31 23:59:60 2026", 1798761600},  // a leap second
        // Not valid: the wrong day name for the date, a zero instead of the blank, hour 24, minute 60, 29
        // February in a common year, a month name not English, a blank after, a one-digit hour, day 0,
        // 32 January (1 February), 32 May (1 June), and the placeholder (handled by the row, not as a time).
        {"Fri Dec  5 01:06:16 2026", -1},  {"Sat Dec 05 01:06:16 2026", -1},  {"Sat Dec  5 24:06:16 2026", -1},
        {"Sat Dec  5 01:60:16 2026", -1},  {"Wed Feb 29 12:00:00 2027", -1},  {"Sat Dez  5 01:06:16 2026", -1},
        {"Sat Dec  5 01:06:16 2026 ", -1}, {"Sat Dec  5 1:06:16 2026", -1},   {"Sat Dec  0 01:06:16 2026", -1},
        {"Sun Jan 32 00:00:00 2026", -1},  {"Mon May 32 00:00:00 2026", -1},  {"??? ??? ?? ??:??:?? ????", -1},
    };
    for (const auto& c : kCases) {
        int64_t seconds = -1;
        EXPECT_EQ(ParseTimeStamp(c.stamp, seconds), c.seconds >= 0) << c.stamp;
        EXPECT_TRUE(c.seconds < 0 || seconds == c.seconds) << c.stamp << ": " << seconds;
    }
}

TEST(ReadingsLogReader, FieldNumbers)
{
    const struct { const char* text; bool valid; float value; /* NAN: a gap */ } kCases[] = {
        {"12.05", true, 12.05f}, {"-11.98", true, -11.98f}, {"0", true, 0.0f},   {"120", true, 120.0f},
        {"0.40", true, 0.40f},   {"9999.99", true, 9999.99f}, {"12,05", false, 0}, {"1.2.3", false, 0},
        {".5", false, 0},        {"5.", false, 0},           {"-", false, 0},      {"12V", false, 0},
        {" 1.00", false, 0},     {"N/A", false, 0},          {"1e3", false, 0},
        // No value, and the grid's overflow mark, are gaps rather than errors.
        {"", true, NAN},         {"#########", true, NAN},
    };
    for (const auto& c : kCases) {
        float value = -1.0f;
        EXPECT_EQ(ParseLogNumber(c.text, value), c.valid) << c.text;
        EXPECT_TRUE(!c.valid || (std::isnan(c.value) ? std::isnan(value) : std::fabs(value - c.value) <= 1e-6f * std::fabs(c.value)))
            << c.text << ": " << value;
    }
}

// Replaces the first occurrence of what in text.
std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    return text.find(what) == std::string::npos ? text : text.replace(text.find(what), what.size(), with);
}

TEST(ReadingsLogReader, RejectsWhatSaveLogCannotHaveWritten)
{
    const std::string good = BuildLogText(MakeRows(4));
    const std::string second = FormatStamp(kTestStart + 1);
    const LogReadResult notALog = LogReadResult::NotALog, badRow = LogReadResult::BadRow;
    const struct { std::string text; LogReadResult result; const char* message; /* part of the message */ } kCases[] = {
        {"", notALog, "line 1"},
        {ReadGoldenFile("report_sample.txt"), notALog, "this is a test report, not a readings log"},
        {std::string("\x89PNG\r\n\x1a\n\0\0", 10), notALog, "line 1"},
        {Replace(good, "=====\r\n", "=====x\r\n"), notALog, "line 2"},
        {Replace(good, "logged: 4", "logged: four"), notALog, "line 3"},
        {Replace(good, "logged: 4\r\n\r\n", "logged: 4\r\nx\r\n"), notALog, "line 4"},
        {Replace(good, "12V Current", "12V Amps"), notALog, "line 5"},
        {Replace(good, ",3.31,0.12,0.40,PASS\r\n" + second, ",3.31,0.12,PASS\r\n" + second), badRow,
         "line 6: expected 34 fields, found 33"},
        {good.substr(0, good.size() - 60), badRow, "line 9: expected 34 fields"},  // a row cut short
        {Replace(good, ",0.40,PASS", ",0.40,1.00,PASS"), badRow, "line 6: more than 34"},
        {Replace(good, second, Replace(second, "Dec", "Dex")), badRow, "line 7: bad time stamp"},
        {Replace(good, "Dec  5", "Dec 32"), badRow, "line 6: bad time stamp"},  // a date that does not exist
        {Replace(good, second + ",", ""), badRow, "line 7: the row does not start"},
        {Replace(good, "12.05,3.41", "12.05,abc"), badRow, "line 6: field 3 is not a number"},
        {Replace(good, ",12.05,", ",12,05,"), badRow, "line 6: more than 34"},  // a decimal comma
        {Replace(good, "PASS", "OK"), badRow, "line 6: the last field"},
        {Replace(good, "PASS\r\n" + second, "PASS\r\n\r\n" + second), badRow, "line 7: an empty line"},
    };
    for (const auto& c : kCases) {
        ReadingsLogData log;
        std::string message;
        EXPECT_EQ(ParseReadingsLog(c.text, log, message), c.result) << c.message;
        EXPECT_NE(message.find(c.message), std::string::npos) << c.message << ": " << message;
    }
}

TEST(ReadingsLogReader, AcceptsWhatALogCanBecome)
{
    std::vector<TestRow> rows = MakeRows(3);
    rows[1].Set(LogField::Ripple12V, "#########");
    rows[2].fail = true;
    const std::string good = BuildLogText(rows);
    std::string lfOnly = good;
    lfOnly.erase(std::remove(lfOnly.begin(), lfOnly.end(), '\r'), lfOnly.end());
    // A log cut between two lines still plots; its count says more rows than it has.
    for (const std::string& text : {good, lfOnly, good.substr(0, good.size() - 2), BuildLogText(rows, 5)}) {
        const ReadingsLogData log = ParseOrDie(text);
        ASSERT_EQ(log.rows.size(), 3u) << text.size();
        EXPECT_EQ(log.failCount, 1) << text.size();
        EXPECT_TRUE(std::isnan(log.rows[1].value[static_cast<int>(LogField::Ripple12V)])) << text.size();
        EXPECT_EQ(log.rows[2].time, kTestStart + 2) << text.size();
    }
}

}  // namespace
