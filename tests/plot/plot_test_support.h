// Helpers of the chart tests: readings logs built in memory with the writer's own heading and
// time stamps (so that the reader is tested against the writer, not against a copy of its
// layout), and the points of an SVG chart read back.
#pragma once

#include <sstream>

#include "plot/readings_log_reader.h"
#include "records_test_support.h"

// Seconds since 1970 of 5 December 2026, 01:06:16 (a Saturday).
constexpr int64_t kTestStart = 1796432776;

// A row of a healthy supply (two-decimal texts, as the grid shows them) unless changed.
struct TestRow {
    int64_t time;  // < 0: the clock could not be read
    std::string fields[kLogValueFieldCount] = {
        "12.05", "3.41", "41.09", "8.00", "5.02",  "2.10",  "10.54",  "12.00", "3.31", "1.50", "4.96",
        "9.00",  "12.01", "6.20", "74.46", "15.00", "-11.98", "5.01", "0.50",  "2.50", "12.02", "4.00",
        "48.08", "12.05", "0.27", "3.25", "5.02",  "0.89",  "4.47",   "3.31",  "0.12", "0.40"};
    bool fail = false;
    TestRow& Set(LogField field, const char* text) { fields[static_cast<int>(field)] = text; return *this; }
};

// count nominal rows, step seconds apart from kTestStart.
inline std::vector<TestRow> MakeRows(int count, int64_t step = 1)
{
    std::vector<TestRow> rows;
    for (int i = 0; i < count; ++i) rows.push_back(TestRow{kTestStart + i * step});
    return rows;
}

// The 24-character stamp the program writes for a time.
inline std::string FormatStamp(int64_t time)
{
    const std::time_t t = static_cast<std::time_t>(time);
    char stamp[kTimeStampChars + 1];
    return std::gmtime(&t) != nullptr && FormatTimeStampFields(*std::gmtime(&t), stamp) ? stamp : kTimeStampPlaceholder;
}

// The log text: heading (count = rows, unless count >= 0), rows, CR LF line ends.
inline std::string BuildLogText(const std::vector<TestRow>& rows, int64_t count = -1)
{
    std::string text = std::string(kReadingsLogTitle) + "\r\n" + kReadingsLogUnderline + "\r\nNumber of records logged: " +
                       std::to_string(count >= 0 ? count : static_cast<int64_t>(rows.size())) + "\r\n\r\n" +
                       kReadingsLogColumnHeader + "\r\n";
    for (const TestRow& row : rows) {
        text += row.time < 0 ? std::string(kTimeStampPlaceholder) : FormatStamp(row.time);
        for (const std::string& field : row.fields) text += ',' + field;
        text += row.fail ? ",FAIL\r\n" : ",PASS\r\n";
    }
    return text;
}

// What a readings log reads as; a log that is not one fails the test.
inline ReadingsLogData ParseOrDie(const std::string& text)
{
    ReadingsLogData log;
    std::string message;
    EXPECT_EQ(ParseReadingsLog(text, log, message), LogReadResult::Ok) << message;
    return log;
}

struct SvgPoint { double x, y; };

// The x,y pairs in an attribute of every start tag that holds marker: the points of every
// <polyline data-series="key">, or the out-of-limit marks in the "d" of data-out="key".
inline std::vector<SvgPoint> FindPoints(const std::string& svg, const std::string& marker, const std::string& attribute)
{
    std::vector<SvgPoint> points;
    for (size_t at = svg.find(marker); at != std::string::npos; at = svg.find(marker, at + 1)) {
        const size_t start = svg.find(" " + attribute + "=\"", at) + attribute.size() + 3;
        std::istringstream list(svg.substr(start, svg.find('"', start) - start));
        SvgPoint p;
        for (std::string item; list >> item;) {  // "x,y", "Mx,y", "h0" or "h0Mx,y"
            const char* pair = item.c_str() + (item.find('M') == std::string::npos ? 0 : item.find('M') + 1);
            if (std::sscanf(pair, "%lf,%lf", &p.x, &p.y) == 2) points.push_back(p);
        }
    }
    return points;
}
