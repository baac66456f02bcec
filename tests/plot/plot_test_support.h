// Helpers of the chart tests: readings logs built in memory with the writer's own heading and
// time stamps (so that the reader is tested against the writer, not against a copy of its
// layout), and the points of an SVG chart read back.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "plot/readings_log_reader.h"
#include "records/readings_log.h"
#include "records_test_support.h"

// Seconds since 1970 of 5 December 2026, 01:06:16 (a Saturday).
constexpr int64_t kTestStart = 1796432776;

struct TestRow {
    int64_t time;  // < 0: the clock could not be read
    std::string fields[kLogValueFieldCount];
    bool fail = false;
    TestRow& Set(LogField field, const char* text)
    {
        fields[static_cast<int>(field)] = text;
        return *this;
    }
};

// A row of a healthy supply at the given time (two-decimal texts, as the grid shows them).
inline TestRow MakeNominalRow(int64_t time)
{
    static const char* const kNominal[kLogValueFieldCount] = {
        "12.05", "3.41", "41.09", "8.00", "5.02",  "2.10",  "10.54",  "12.00", "3.31", "1.50", "4.96",
        "9.00",  "12.01", "6.20", "74.46", "15.00", "-11.98", "5.01", "0.50",  "2.50", "12.02", "4.00",
        "48.08", "12.05", "0.27", "3.25", "5.02",  "0.89",  "4.47",   "3.31",  "0.12", "0.40"};
    TestRow row;
    row.time = time;
    std::copy(std::begin(kNominal), std::end(kNominal), row.fields);
    return row;
}

// count nominal rows, step seconds apart from kTestStart.
inline std::vector<TestRow> MakeRows(int count, int64_t step = 1)
{
    std::vector<TestRow> rows;
    for (int i = 0; i < count; ++i) rows.push_back(MakeNominalRow(kTestStart + i * step));
    return rows;
}

// The 24-character stamp the program writes for a time.
inline std::string FormatStamp(int64_t time)
{
    const std::time_t t = static_cast<std::time_t>(time);
    const std::tm* utc = std::gmtime(&t);
    char stamp[kTimeStampChars + 1];
    return utc != nullptr && FormatTimeStampFields(*utc, stamp) ? stamp : kTimeStampPlaceholder;
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

struct SvgPoint {
    double x;
    double y;
};

// The numbers of an attribute of every start tag that holds marker, read as x,y pairs ("h0", a
// zero-length stroke, is no coordinate): the points of every <polyline data-series="key">, or
// the out-of-limit marks of a series in the "d" of data-out="key".
inline std::vector<SvgPoint> FindPoints(const std::string& svg, const std::string& marker, const std::string& attribute)
{
    std::vector<SvgPoint> points;
    for (size_t at = svg.find(marker); at != std::string::npos; at = svg.find(marker, at + 1)) {
        const size_t open = svg.rfind('<', at);
        const std::string tag = svg.substr(open, svg.find('>', at) - open);
        const size_t start = tag.find(" " + attribute + "=\"") + attribute.size() + 3;
        const std::string list = tag.substr(start, tag.find('"', start) - start);
        std::vector<double> numbers;
        for (const char* p = list.c_str(); *p != 0;) {
            if ((*p >= '0' && *p <= '9') || *p == '-' || *p == '.') {
                char* end = nullptr;
                numbers.push_back(std::strtod(p, &end));
                p = end;
            } else {
                p += *p == 'h' ? 2 : 1;
            }
        }
        for (size_t i = 0; i + 1 < numbers.size(); i += 2) points.push_back({numbers[i], numbers[i + 1]});
    }
    return points;
}
