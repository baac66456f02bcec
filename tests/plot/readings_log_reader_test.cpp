// Reading saved readings logs back: the golden files the writer's tests keep, time stamps, field
// numbers, and every way a file can fail to be a log, each with its line in the message.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "plot/readings_log_reader.h"
#include "plot_test_support.h"

namespace {

std::string GoldenPath(const char* name) { return std::string(OMBRELO_RECORDS_GOLDEN_DIR) + "/" + name; }

TEST(ReadingsLogReader, ReadsTheWritersGoldenLogs)
{
    ReadingsLogData log;
    std::string message;
    ASSERT_EQ(ParseReadingsLog(ReadTextFile(GoldenPath("log_three_rows.txt")), log, message), LogReadResult::Ok)
        << message;
    ASSERT_EQ(log.rows.size(), 3u);
    EXPECT_EQ(log.declaredCount, 3);
    EXPECT_EQ(log.failCount, 1);
    EXPECT_FALSE(log.rows[0].fail);
    EXPECT_TRUE(log.rows[1].fail);
    EXPECT_EQ(log.rows[0].time, kTestStart);
    EXPECT_EQ(log.rows[1].time, kTestStart + 10 * 86400 + 22 * 3600 + 53 * 60 + 43);
    // The row whose clock was unreadable stays in place, at the time of the row before it.
    EXPECT_EQ(log.untimedCount, 1);
    EXPECT_FALSE(log.rows[2].timeKnown);
    EXPECT_EQ(log.rows[2].time, log.rows[1].time);
    EXPECT_FLOAT_EQ(log.rows[0].value[static_cast<int>(LogField::Voltage12V)], 12.05f);
    EXPECT_FLOAT_EQ(log.rows[0].value[static_cast<int>(LogField::VoltageMinus12V)], -11.98f);
    EXPECT_FLOAT_EQ(log.rows[0].value[static_cast<int>(LogField::Power3V3Sata)], 0.40f);
    EXPECT_TRUE(std::isnan(log.rows[0].value[static_cast<int>(LogField::Voltage12VPcie)]));

    ASSERT_EQ(ParseReadingsLog(ReadTextFile(GoldenPath("empty_log.txt")), log, message), LogReadResult::Ok)
        << message;
    EXPECT_TRUE(log.rows.empty());
    EXPECT_EQ(log.declaredCount, 0);
}

TEST(ReadingsLogReader, TimeStamps)
{
    struct Case {
        const char* stamp;
        bool valid;
        int64_t seconds;
    };
    const Case kCases[] = {
        {"Sat Dec  5 01:06:16 2026", true, kTestStart},
        {"Tue Dec 15 23:59:59 2026", true, 1797379199},
        {"Thu Jan  1 00:00:00 1970", true, 0},
        {"Tue Feb 29 12:00:00 2028", true, 1835438400},
        {"Thu Dec 31 23:59:60 2026", true, 1798761600},  // a leap second
        {"Fri Dec  5 01:06:16 2026", false, 0},           // wrong day name for the date
        {"Sat Dec 05 01:06:16 2026", false, 0},           // zero instead of the blank
        {"Sat Dec  5 24:06:16 2026", false, 0},
        {"Sat Dec  5 01:60:16 2026", false, 0},
        {"Wed Feb 29 12:00:00 2027", false, 0},           // not a leap year
        {"Sat Dez  5 01:06:16 2026", false, 0},           // month names are English
        {"Sat Dec  5 01:06:16 2026 ", false, 0},
        {"Sat Dec  5 1:06:16 2026", false, 0},
        {"Sat Dec  0 01:06:16 2026", false, 0},
        {"??? ??? ?? ??:??:?? ????", false, 0},           // handled by the row, not as a time
    };
    for (const Case& c : kCases) {
        int64_t seconds = -1;
        EXPECT_EQ(ParseTimeStamp(c.stamp, seconds), c.valid) << c.stamp;
        if (c.valid) {
            EXPECT_EQ(seconds, c.seconds) << c.stamp;
        }
    }
}

TEST(ReadingsLogReader, FieldNumbers)
{
    struct Case {
        const char* text;
        bool valid;
        float value;
    };
    const Case kCases[] = {
        {"12.05", true, 12.05f}, {"-11.98", true, -11.98f}, {"0", true, 0.0f},
        {"120", true, 120.0f},   {"0.40", true, 0.40f},     {"9999.99", true, 9999.99f},
        {"12,05", false, 0},     {"1.2.3", false, 0},       {".5", false, 0},
        {"5.", false, 0},        {"-", false, 0},           {"12V", false, 0},
        {" 1.00", false, 0},     {"N/A", false, 0},         {"1e3", false, 0},
    };
    for (const Case& c : kCases) {
        float value = -1.0f;
        EXPECT_EQ(ParseLogNumber(c.text, value), c.valid) << c.text;
        if (c.valid) {
            EXPECT_FLOAT_EQ(value, c.value) << c.text;
        }
    }
    float value = 0.0f;
    // No value, and the grid's overflow mark, are gaps rather than errors.
    EXPECT_TRUE(ParseLogNumber("", value));
    EXPECT_TRUE(std::isnan(value));
    EXPECT_TRUE(ParseLogNumber("#########", value));
    EXPECT_TRUE(std::isnan(value));
}

// Replaces the first occurrence of what in text.
std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    const size_t at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

TEST(ReadingsLogReader, RejectsWhatSaveLogCannotHaveWritten)
{
    std::vector<TestRow> rows;
    for (int i = 0; i < 4; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    const std::string good = BuildLogText(rows);
    const std::string secondRow = FormatStamp(kTestStart + 1);
    struct Case {
        const char* name;
        std::string text;
        LogReadResult result;
        const char* message;  // part of the message
    };
    const Case kCases[] = {
        {"empty file", "", LogReadResult::NotALog, "line 1"},
        {"a test report", ReadTextFile(GoldenPath("report_sample.txt")), LogReadResult::NotALog,
         "this is a test report, not a readings log"},
        {"binary", std::string("\x89PNG\r\n\x1a\n\0\0", 10), LogReadResult::NotALog, "line 1"},
        {"no underline", Replace(good, "=====\r\n", "=====x\r\n"), LogReadResult::NotALog, "line 2"},
        {"no count", Replace(good, "logged: 4", "logged: four"), LogReadResult::NotALog, "line 3"},
        {"line 4 not empty", Replace(good, "logged: 4\r\n\r\n", "logged: 4\r\nx\r\n"), LogReadResult::NotALog, "line 4"},
        {"other header", Replace(good, "12V Current", "12V Amps"), LogReadResult::NotALog, "line 5"},
        {"short row", Replace(good, ",3.31,0.12,0.40,PASS\r\n" + secondRow, ",3.31,0.12,PASS\r\n" + secondRow),
         LogReadResult::BadRow, "line 6: expected 34 fields, found 33"},
        {"row cut short", good.substr(0, good.size() - 60), LogReadResult::BadRow, "line 9: expected 34 fields"},
        {"extra field", Replace(good, ",0.40,PASS", ",0.40,1.00,PASS"), LogReadResult::BadRow, "line 6: more than 34"},
        {"bad time stamp", Replace(good, secondRow, Replace(secondRow, "Dec", "Dex")), LogReadResult::BadRow,
         "line 7: bad time stamp"},
        {"date that does not exist", Replace(good, "Dec  5", "Dec 32"), LogReadResult::BadRow, "line 6: bad time stamp"},
        {"no time stamp", Replace(good, secondRow + ",", ""), LogReadResult::BadRow, "line 7: the row does not start"},
        {"not a number", Replace(good, "12.05,3.41", "12.05,abc"), LogReadResult::BadRow,
         "line 6: field 3 is not a number"},
        {"decimal comma", Replace(good, ",12.05,", ",12,05,"), LogReadResult::BadRow, "line 6: more than 34"},
        {"other verdict", Replace(good, "PASS", "OK"), LogReadResult::BadRow, "line 6: the last field"},
        {"empty line among rows", Replace(good, "PASS\r\n" + secondRow, "PASS\r\n\r\n" + secondRow),
         LogReadResult::BadRow, "line 7: an empty line"},
    };
    for (const Case& c : kCases) {
        ReadingsLogData log;
        std::string message;
        EXPECT_EQ(ParseReadingsLog(c.text, log, message), c.result) << c.name;
        EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
    }
}

TEST(ReadingsLogReader, AcceptsWhatALogCanBecome)
{
    std::vector<TestRow> rows;
    for (int i = 0; i < 3; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    rows[1].fields[static_cast<int>(LogField::Ripple12V)] = "#########";
    rows[2].fail = true;
    const std::string good = BuildLogText(rows);
    std::string lfOnly;
    for (char c : good) {
        if (c != '\r') lfOnly += c;
    }
    struct Case {
        const char* name;
        std::string text;
        size_t rows;
    };
    const Case kCases[] = {
        {"as written", good, 3},
        {"LF line ends", lfOnly, 3},
        {"no final line end", good.substr(0, good.size() - 2), 3},
        // A log cut between two lines still plots; its count says more rows than it has.
        {"fewer rows than announced", BuildLogText(rows, 5), 3},
    };
    for (const Case& c : kCases) {
        ReadingsLogData log;
        std::string message;
        ASSERT_EQ(ParseReadingsLog(c.text, log, message), LogReadResult::Ok) << c.name << ": " << message;
        EXPECT_EQ(log.rows.size(), c.rows) << c.name;
        EXPECT_EQ(log.failCount, 1) << c.name;
        EXPECT_TRUE(std::isnan(log.rows[1].value[static_cast<int>(LogField::Ripple12V)])) << c.name;
        EXPECT_EQ(log.rows[2].time, kTestStart + 2) << c.name;
    }
}

TEST(ReadingsLogReader, RowsWithoutAClockTakeTheirNeighboursTime)
{
    std::vector<TestRow> rows;
    rows.push_back(MakeNominalRow(-1));
    rows.push_back(MakeNominalRow(kTestStart + 100));
    rows.push_back(MakeNominalRow(-1));
    rows.push_back(MakeNominalRow(kTestStart + 102));
    ReadingsLogData log;
    std::string message;
    ASSERT_EQ(ParseReadingsLog(BuildLogText(rows), log, message), LogReadResult::Ok) << message;
    EXPECT_EQ(log.untimedCount, 2);
    EXPECT_EQ(log.rows[0].time, kTestStart + 100);
    EXPECT_EQ(log.rows[2].time, kTestStart + 100);
    EXPECT_EQ(log.rows[3].time, kTestStart + 102);
}

}  // namespace
