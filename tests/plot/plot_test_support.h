// Helpers of the chart tests: readings logs built in memory with the writer's own heading and
// time stamps, and the few pieces of an SVG document the tests read back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plot/readings_log_reader.h"

// Seconds since 1970 of 5 December 2026, 01:06:16 (a Saturday).
constexpr int64_t kTestStart = 1796432776;

struct TestRow {
    int64_t time;
    std::string fields[kLogValueFieldCount];
    bool fail = false;
};

// A row of a healthy supply at the given time (two-decimal texts, as the grid shows them).
TestRow MakeNominalRow(int64_t time);
// The log text: heading (count = rows, unless count >= 0), rows, CR LF line ends.
std::string BuildLogText(const std::vector<TestRow>& rows, int64_t count = -1);
// The 24-character stamp the program writes for a time.
std::string FormatStamp(int64_t time);
// A value formatted as a log field, two decimals.
std::string FormatField(double value);

std::string ReadTextFile(const std::string& path);

struct SvgPoint {
    double x;
    double y;
};

// The point lists of every <polyline data-series="key">, one list per line.
std::vector<std::vector<SvgPoint>> FindSeriesLines(const std::string& svg, const std::string& key);
// The points of the out-of-limit marks of a series, red and grey (empty when it has none).
std::vector<SvgPoint> FindOutMarks(const std::string& svg, const std::string& key);
// The value of attribute name in the first element that contains marker, or "".
std::string FindAttribute(const std::string& svg, const std::string& marker, const std::string& name);
// The text content of the first element that contains marker, or "".
std::string FindElementText(const std::string& svg, const std::string& marker);
// Counts occurrences of a string.
size_t CountOccurrences(const std::string& text, const std::string& part);
