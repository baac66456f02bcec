// The chart: golden SVG files pin the drawing byte for byte (series, out-of-limit marks red and
// grey, clip marks, bands, axes, gaps, verdict strip, title and notes) for the writer's golden
// logs, for a log full of events and for a noisy log reduced to the pixel columns. What a golden
// file cannot hold, 100,000-row logs and the locale, is read back from the SVG.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

#include "plot/readings_chart.h"
#include "plot_test_support.h"

namespace {

// A burn-in, a row a second: every value wanders up to 3 % around nominal (from the engine's raw
// output, which every standard library draws alike), with a 12 V sag every 97 rows, every other
// one in a FAIL row.
std::vector<TestRow> MakeNoisyRows(int count, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<TestRow> rows = MakeRows(count);
    for (int i = 0; i < count; ++i) {
        for (std::string& field : rows[i].fields) {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", std::atof(field.c_str()) * (1 + (static_cast<int>(random() % 601) - 300) / 10000.0));
            field = text;
        }
        if (i % 97 == 50) rows[i].Set(LogField::Voltage12V, "10.90").fail = i % 194 == 50;
    }
    return rows;
}

// Rows every 10 s, an hour without rows, rows again; the first row and one later without a clock
// (placed at the next row's time and at the time before); in between every kind of reading outside
// the supply-on limits (both limits inclusive), in FAIL rows (red) and PASS rows (grey: the supply
// off, or a cable not declared), near the limits and far beyond the scale (clipped), a field
// without a value, and a count on line 3 that says more rows than there are.
std::string MakeEventsLog()
{
    std::vector<TestRow> rows = MakeRows(60, 10);
    for (int i = 0; i < 60; ++i) rows.push_back(TestRow{rows[i].time + 600 + 3600});
    using F = LogField;
    const struct { LogField field; const char* text; bool fail; } kEvents[] = {
        {F::Voltage12V, "12.60", false},       {F::Voltage12V, "12.61", true},       {F::Voltage12V, "11.40", false},
        {F::Voltage12V, "11.39", true},        {F::Voltage12V, "0.00", false},       {F::Voltage12VCpu, "12.70", true},
        {F::Voltage12VPcie, "11.00", false},   {F::Voltage5V, "5.25", false},        {F::Voltage5V, "4.74", true},
        {F::Voltage3V3, "3.47", false},        {F::Voltage3V3, "3.48", true},        {F::Voltage3V3, "3.13", true},
        {F::VoltageMinus12V, "-10.79", true},  {F::VoltageMinus12V, "0.00", false},  {F::VoltageMinus12V, "-13.20", false},
        {F::VoltageMinus12V, "-13.21", true},  {F::Voltage5VSB, "5.26", true},       {F::Voltage5VSB, "4.75", false},
        {F::Voltage5V, "", false},             {F::Current12V, "40.00", true},
    };
    rows[0].time = rows[70].time = -1;
    int at = 3;  // every third row, then every fifth
    for (const auto& event : kEvents) rows[std::exchange(at, at + (at < 57 ? 3 : 5))].Set(event.field, event.text).fail = event.fail;
    return BuildLogText(rows, 122);
}

TEST(ReadingsChart, MatchesTheGoldenCharts)
{
    const struct { const char* golden; std::string log; const char* title; } kCases[] = {
        {"chart_empty_log.svg", ReadGoldenFile("empty_log.txt"), "empty_log.txt"},
        // No 12V PCIe values: named "(none)", not drawn as zero; a row without a clock; ten days.
        {"chart_log_three_rows.svg", ReadGoldenFile("log_three_rows.txt"), "log_three_rows.txt"},
        {"chart_events.svg", MakeEventsLog(), "burn-in <7> & more.txt"},
        // Many rows to a pixel column, and most of an hour later a last row: only some hundred columns hold points.
        {"chart_noisy.svg", [] { auto rows = MakeNoisyRows(400, 7); rows.back().time += 3000; return BuildLogText(rows); }(), "noisy.txt"},
        {"chart_one_row.svg", BuildLogText({TestRow{kTestStart + 30 * 86400}}), "one.txt"},  // in January
    };
    for (const auto& c : kCases) ExpectMatchesGolden(BuildReadingsChart(ParseOrDie(c.log), c.title), c.golden);
}

TEST(ReadingsChart, AnExcursionSurvivesTheReduction)
{
    // One sag among 100,000 rows, many rows to a pixel column: still drawn and still marked.
    std::vector<TestRow> rows = MakeRows(100000);
    rows[61234].Set(LogField::Voltage5V, "4.31");
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "sag.txt");
    const ChartLayout layout = ComputeChartLayout(log);
    const PanelLayout& panel = layout.panels[1];
    const double sagY = panel.bottom - (4.31 - panel.low) * (panel.bottom - panel.top) / (panel.high - panel.low);
    EXPECT_NE(svg.find(" (1 d 3 h)  |  100,000 rows  |  0 FAIL<"), std::string::npos);
    const std::vector<SvgPoint> marks = FindPoints(svg, "data-out=\"v5v\"", "d");
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_NEAR(marks[0].x, kPlotLeft + layout.time.GetColumn(rows[61234].time) + 0.5, 0.01);
    EXPECT_NEAR(marks[0].y, sagY, 0.051);
    const std::vector<SvgPoint> points = FindPoints(svg, "<polyline data-series=\"v5v\"", "points");
    EXPECT_TRUE(std::any_of(points.begin(), points.end(), [&](SvgPoint p) { return std::fabs(p.y - sagY) < 0.051; }));
    EXPECT_LE(points.size(), 2u * kPlotColumns);  // at most two points per pixel column and line
}

TEST(ReadingsChart, FullLogStaysUnderTwoMegabytes)
{
    // The worst case for size: every rail jumps in and out of its band on every row.
    std::vector<TestRow> rows = MakeNoisyRows(100000, 11);
    for (size_t i = 0; i < rows.size(); i += 2) {
        const char* twelve = i % 4 == 0 ? "13.00" : "11.00";
        rows[i].Set(LogField::Voltage12V, twelve).Set(LogField::Voltage12VCpu, twelve).Set(LogField::Voltage12VPcie, twelve);
        rows[i].Set(LogField::Voltage5V, "5.90").Set(LogField::Voltage3V3, "2.90").Set(LogField::VoltageMinus12V, "-9.00");
        rows[i].Set(LogField::Voltage5VSB, "4.00").fail = true;
    }
    const std::string svg = BuildReadingsChart(ParseOrDie(BuildLogText(rows)), "worst.txt");
    EXPECT_LT(svg.size(), 2u * 1024 * 1024);
    EXPECT_FALSE(FindPoints(svg, "data-out=\"v5vsb\"", "d").empty());
}

TEST(ReadingsChart, NumbersIgnoreTheLocale)
{
    const std::string text = BuildLogText(MakeNoisyRows(500, 3)), inC = BuildReadingsChart(ParseOrDie(text), "locale.txt");
    // A locale with a decimal comma: German on Windows, de_DE where it is installed.
    const char* chosen = nullptr;
    for (const char* name : {"German_Germany.1252", "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
        if (chosen == nullptr && std::setlocale(LC_ALL, name) != nullptr && *std::localeconv()->decimal_point == ',') chosen = name;
    }
    const std::string inComma = chosen != nullptr ? BuildReadingsChart(ParseOrDie(text), "locale.txt") : inC;
    std::setlocale(LC_ALL, "C");
    if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
    EXPECT_EQ(inComma, inC) << chosen;
}

TEST(ReadingsChart, FixedNotationAndEscaping)
{
    const struct { double value; int decimals; const char* text; } kFixed[] = {
        {-11.98, 2, "-11.98"}, {12.6, 1, "12.6"}, {0.04, 1, "0.0"},   {-0.04, 1, "0.0"},
        {1234.5678, 2, "1234.57"}, {5, 0, "5"},   {0.05, 2, "0.05"},  {100.0, 1, "100.0"},
    };
    for (const auto& c : kFixed) {
        std::string out;
        AppendFixed(out, c.value, c.decimals);
        EXPECT_EQ(out, c.text) << c.value;
    }
    const struct { std::string text, escaped; } kEscapes[] = {
        {"a&b<c>\"d\"", "a&amp;b&lt;c&gt;&quot;d&quot;"}, {"Pr\xC3\xBC" "fung.txt", "Pr\xC3\xBC" "fung.txt"},  // UTF-8 passes
        {"bad\xFF\xC3(.txt", "bad?" "?(.txt"}, {"ctl\x01.txt", "ctl?.txt"}, {"\xED\xA0\x80", "???"},  // an encoded surrogate
    };
    for (const auto& c : kEscapes) {
        std::string out;
        AppendEscaped(out, c.text);
        EXPECT_EQ(out, c.escaped) << c.text;
    }
}

}  // namespace
