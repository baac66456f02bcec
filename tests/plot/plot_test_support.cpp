// Log building and SVG reading for the chart tests. Stamps come from the records' own formatter so
// that the reader is tested against the writer, not against a copy of its layout.
#include "plot_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "records/readings_log.h"

std::string FormatField(double value)
{
    char text[32];
    // The test's own formatting; the tests run in the C locale unless they switch it themselves.
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

TestRow MakeNominalRow(int64_t time)
{
    static const double kNominal[kLogValueFieldCount] = {
        12.05, 3.41, 41.09, 8.00,  5.02,  2.10, 10.54, 12.00, 3.31,  1.50, 4.96,
        9.00,  12.01, 6.20, 74.46, 15.00, -11.98, 5.01, 0.50, 2.50,  12.02, 4.00,
        48.08, 12.05, 0.27, 3.25,  5.02,  0.89, 4.47,  3.31,  0.12,  0.40};
    TestRow row;
    row.time = time;
    for (int i = 0; i < kLogValueFieldCount; ++i) row.fields[i] = FormatField(kNominal[i]);
    return row;
}

std::string FormatStamp(int64_t time)
{
    const std::time_t t = static_cast<std::time_t>(time);
    const std::tm* utc = std::gmtime(&t);
    char stamp[kTimeStampChars + 1];
    if (utc == nullptr || !FormatTimeStampFields(*utc, stamp)) return kTimeStampPlaceholder;
    return stamp;
}

std::string BuildLogText(const std::vector<TestRow>& rows, int64_t count)
{
    std::string text;
    text += kReadingsLogTitle;
    text += "\r\n";
    text += kReadingsLogUnderline;
    text += "\r\nNumber of records logged: ";
    text += std::to_string(count >= 0 ? count : static_cast<int64_t>(rows.size()));
    text += "\r\n\r\n";
    text += kReadingsLogColumnHeader;
    text += "\r\n";
    for (const TestRow& row : rows) {
        text += row.time < 0 ? std::string(kTimeStampPlaceholder) : FormatStamp(row.time);
        for (const std::string& field : row.fields) {
            text += ',';
            text += field;
        }
        text += row.fail ? ",FAIL\r\n" : ",PASS\r\n";
    }
    return text;
}

std::string ReadTextFile(const std::string& path)
{
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
    return text;
}

namespace {

// Reads "x,y" pairs and bare numbers separated by blanks, commas or path letters.
std::vector<SvgPoint> ReadPoints(const std::string& list)
{
    std::vector<double> numbers;
    const char* p = list.c_str();
    while (*p != 0) {
        if ((*p >= '0' && *p <= '9') || *p == '-' || *p == '.') {
            char* end = nullptr;
            numbers.push_back(std::strtod(p, &end));
            p = end;
        } else if (*p == 'h') {
            // "h0" is a zero-length stroke, not a coordinate.
            p += 2;
        } else {
            ++p;
        }
    }
    std::vector<SvgPoint> points;
    for (size_t i = 0; i + 1 < numbers.size(); i += 2) points.push_back({numbers[i], numbers[i + 1]});
    return points;
}

std::string ReadAttribute(const std::string& element, const std::string& name)
{
    const std::string key = " " + name + "=\"";
    const size_t start = element.find(key);
    if (start == std::string::npos) return "";
    const size_t valueStart = start + key.size();
    return element.substr(valueStart, element.find('"', valueStart) - valueStart);
}

// The whole start tag around position at.
std::string FindTag(const std::string& svg, size_t at)
{
    const size_t open = svg.rfind('<', at);
    const size_t close = svg.find('>', at);
    return svg.substr(open, close - open + 1);
}

}  // namespace

std::vector<std::vector<SvgPoint>> FindSeriesLines(const std::string& svg, const std::string& key)
{
    std::vector<std::vector<SvgPoint>> lines;
    const std::string marker = "<polyline data-series=\"" + key + "\"";
    for (size_t at = svg.find(marker); at != std::string::npos; at = svg.find(marker, at + 1)) {
        lines.push_back(ReadPoints(ReadAttribute(FindTag(svg, at), "points")));
    }
    return lines;
}

std::vector<SvgPoint> FindOutMarks(const std::string& svg, const std::string& key)
{
    // Red and grey marks are paths of their own.
    std::vector<SvgPoint> points;
    const std::string marker = "data-out=\"" + key + "\"";
    for (size_t at = svg.find(marker); at != std::string::npos; at = svg.find(marker, at + 1)) {
        const std::vector<SvgPoint> more = ReadPoints(ReadAttribute(FindTag(svg, at), "d"));
        points.insert(points.end(), more.begin(), more.end());
    }
    return points;
}

std::string FindAttribute(const std::string& svg, const std::string& marker, const std::string& name)
{
    const size_t at = svg.find(marker);
    if (at == std::string::npos) return "";
    return ReadAttribute(FindTag(svg, at), name);
}

std::string FindElementText(const std::string& svg, const std::string& marker)
{
    const size_t at = svg.find(marker);
    if (at == std::string::npos) return "";
    const size_t start = svg.find('>', at) + 1;
    return svg.substr(start, svg.find('<', start) - start);
}

size_t CountOccurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}
