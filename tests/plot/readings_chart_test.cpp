// The chart read back from its SVG: every row lies on its series' line, readings outside the
// supply-on limits are marked (red in FAIL rows, grey in PASS rows) and those inside are not, a
// voltage panel's scale tells the rails apart and clips what lies far out, the bands sit where
// the limit table puts them, a rail keeps its colour, gaps break lines, the title counts rows and
// failures, a failed row shows in the verdict strip, and the size stays bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <random>

#include "measurement/readings_table.h"
#include "plot/readings_chart.h"
#include "plot_test_support.h"

namespace {

ReadingsLogData ParseOrDie(const std::string& text)
{
    ReadingsLogData log;
    std::string message;
    EXPECT_EQ(ParseReadingsLog(text, log, message), LogReadResult::Ok) << message;
    return log;
}

// The test's own mapping of a value onto a panel, from the layout's bounds; a value beyond them is
// drawn at the panel's edge.
double ExpectY(const PanelLayout& panel, double value)
{
    const double y = panel.bottom - (value - panel.low) * (panel.bottom - panel.top) / (panel.high - panel.low);
    return std::clamp(y, static_cast<double>(panel.top), static_cast<double>(panel.bottom));
}

double ExpectX(const TimeScale& scale, int64_t time)
{
    const int column = scale.span == 0 ? 0 : static_cast<int>((time - scale.start) * (scale.columns - 1) / scale.span);
    return kPlotLeft + column + 0.5;
}

// A noisy burn-in: voltages wander around nominal with occasional sags, currents follow a load.
std::vector<TestRow> MakeNoisyRows(int count, int64_t step, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<TestRow> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        TestRow row = MakeNominalRow(kTestStart + i * step);
        for (int f = 0; f < kLogValueFieldCount; ++f) {
            const double nominal = std::atof(row.fields[f].c_str());
            row.fields[f] = FormatField(nominal + nominal * 0.03 * noise(random));
        }
        if (i % 997 == 500) row.fields[static_cast<int>(LogField::Voltage12V)] = "10.90";
        rows.push_back(row);
    }
    return rows;
}

// Every row's reading lies between the lowest and highest point its pixel column draws.
void ExpectEveryRowCovered(const ReadingsLogData& log, const std::string& svg)
{
    const ChartLayout layout = ComputeChartLayout(log);
    for (const ChartSeries& series : kChartSeries) {
        std::vector<SvgPoint> points;
        for (const auto& line : FindSeriesLines(svg, series.key)) points.insert(points.end(), line.begin(), line.end());
        size_t checked = 0;
        for (const LogRow& row : log.rows) {
            const float value = GetSeriesValue(row, series);
            if (std::isnan(value)) continue;
            const double x = ExpectX(layout.time, row.time);
            const double y = ExpectY(layout.panels[series.panel], value);
            double top = 1e9, bottom = -1e9;
            for (const SvgPoint& p : points) {
                if (std::fabs(p.x - x) > 0.01) continue;
                top = std::min(top, p.y);
                bottom = std::max(bottom, p.y);
            }
            // Coordinates carry one decimal.
            ASSERT_TRUE(y >= top - 0.051 && y <= bottom + 0.051)
                << series.key << " row at " << row.time << " value " << value << " y " << y
                << " column spans " << top << " to " << bottom;
            ++checked;
        }
        EXPECT_GT(checked, 0u) << series.key;
    }
}

TEST(ReadingsChart, EveryRowFallsWithinItsPixelColumn)
{
    // More rows than pixel columns, and fewer: reduced and one-to-one.
    for (int count : {5000, 300}) {
        const ReadingsLogData log = ParseOrDie(BuildLogText(MakeNoisyRows(count, 1, 7)));
        const std::string svg = BuildReadingsChart(log, "noisy.txt");
        ExpectEveryRowCovered(log, svg);
        // The reduction keeps at most two points per pixel column and line.
        for (const ChartSeries& series : kChartSeries) {
            size_t points = 0;
            for (const auto& line : FindSeriesLines(svg, series.key)) points += line.size();
            EXPECT_LE(points, 2u * kPlotColumns) << series.key;
        }
    }
}

TEST(ReadingsChart, ReadingsOutsideTheSupplyOnLimitsAreMarked)
{
    struct Case {
        LogField field;
        const char* key;
        const char* text;
        bool marked;
        bool rowFails;  // the row's verdict: its marks are red, else grey
        bool clipped;   // beyond the panel's scale: at its edge, with a clip mark
    };
    // Both limits are inclusive, as in the evaluation.
    const Case kCases[] = {
        {LogField::Voltage12V, "v12v", "12.60", false, false, false},
        {LogField::Voltage12V, "v12v", "12.61", true, true, false},
        {LogField::Voltage12V, "v12v", "11.40", false, false, false},
        {LogField::Voltage12V, "v12v", "11.39", true, true, false},
        {LogField::Voltage12V, "v12v", "0.00", true, false, true},  // the supply off: judged PASS
        {LogField::Voltage12VCpu, "v12vcpu", "12.70", true, true, false},
        {LogField::Voltage12VPcie, "v12vpcie", "11.00", true, false, false},  // the cable not declared
        {LogField::Voltage5V, "v5v", "5.25", false, false, false},
        {LogField::Voltage5V, "v5v", "4.74", true, true, false},
        {LogField::Voltage3V3, "v3v3", "3.47", false, false, false},
        {LogField::Voltage3V3, "v3v3", "3.48", true, true, false},
        {LogField::Voltage3V3, "v3v3", "3.13", true, true, false},
        {LogField::VoltageMinus12V, "vm12v", "-10.79", true, true, false},
        {LogField::VoltageMinus12V, "vm12v", "0.00", true, false, true},
        {LogField::VoltageMinus12V, "vm12v", "-13.20", false, false, false},
        {LogField::VoltageMinus12V, "vm12v", "-13.21", true, true, false},
        {LogField::Voltage5VSB, "v5vsb", "5.26", true, true, false},
        {LogField::Voltage5VSB, "v5vsb", "4.75", false, false, false},
    };
    for (const Case& c : kCases) {
        std::vector<TestRow> rows;
        for (int i = 0; i < 60; ++i) rows.push_back(MakeNominalRow(kTestStart + i * 10));
        rows[23].fields[static_cast<int>(c.field)] = c.text;
        rows[23].fail = c.rowFails;
        const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
        const std::string svg = BuildReadingsChart(log, "marks.txt");
        const ChartLayout layout = ComputeChartLayout(log);
        const std::vector<SvgPoint> marks = FindOutMarks(svg, c.key);
        EXPECT_EQ(svg.find("data-clipped=\"" + std::string(c.key) + "\"") != std::string::npos, c.clipped)
            << c.key << " " << c.text;
        if (!c.marked) {
            EXPECT_TRUE(marks.empty()) << c.key << " " << c.text;
            continue;
        }
        EXPECT_EQ(FindAttribute(svg, "data-out=\"" + std::string(c.key) + "\"", "data-judged"),
                  c.rowFails ? "FAIL" : "PASS")
            << c.key << " " << c.text;
        int panel = 0;
        for (const ChartSeries& series : kChartSeries) {
            if (series.key == std::string(c.key)) panel = series.panel;
        }
        ASSERT_EQ(marks.size(), 1u) << c.key << " " << c.text;
        EXPECT_NEAR(marks[0].x, ExpectX(layout.time, rows[23].time), 0.01) << c.key << " " << c.text;
        EXPECT_NEAR(marks[0].y, ExpectY(layout.panels[panel], std::atof(c.text)), 0.051) << c.key << " " << c.text;
    }
}

TEST(ReadingsChart, EachRailKeepsItsColourAndTheTwelveVoltRailsStandApart)
{
    for (const ChartSeries& a : kChartSeries) {
        for (const ChartSeries& b : kChartSeries) {
            EXPECT_EQ(std::string(a.label) == b.label, std::string(a.colour) == b.colour) << a.key << " " << b.key;
        }
    }
    // The nominal 12 V rails lie 0.01 to 0.04 V apart: some pixels apart on their panel's scale,
    // while a row with the supply off is clipped at the panel's foot.
    std::vector<TestRow> rows;
    for (int i = 0; i < 60; ++i) rows.push_back(MakeNominalRow(kTestStart + i * 10));
    for (int i = 20; i < 30; ++i) rows[i].fields[static_cast<int>(LogField::Voltage12V)] = "0.00";
    const PanelLayout panel = ComputeChartLayout(ParseOrDie(BuildLogText(rows))).panels[0];
    EXPECT_GE(ExpectY(panel, 12.01) - ExpectY(panel, 12.02), 5.0) << panel.low << " to " << panel.high;
    EXPECT_GT(panel.low, 11.0);
}

TEST(ReadingsChart, AnExcursionSurvivesTheReduction)
{
    // One sag among 100,000 rows, many rows to a pixel column: still drawn and still marked.
    std::vector<TestRow> rows;
    rows.reserve(100000);
    for (int i = 0; i < 100000; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    rows[61234].fields[static_cast<int>(LogField::Voltage5V)] = "4.31";
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "sag.txt");
    const ChartLayout layout = ComputeChartLayout(log);
    const std::vector<SvgPoint> marks = FindOutMarks(svg, "v5v");
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_NEAR(marks[0].x, ExpectX(layout.time, rows[61234].time), 0.01);
    EXPECT_NEAR(marks[0].y, ExpectY(layout.panels[1], 4.31), 0.051);
    const double sagY = ExpectY(layout.panels[1], 4.31);
    bool drawn = false;
    for (const auto& line : FindSeriesLines(svg, "v5v")) {
        for (const SvgPoint& p : line) drawn = drawn || std::fabs(p.y - sagY) < 0.051;
    }
    EXPECT_TRUE(drawn);
}

TEST(ReadingsChart, BandsFollowTheLimitTable)
{
    std::vector<TestRow> rows;
    for (int i = 0; i < 10; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "bands.txt");
    const ChartLayout layout = ComputeChartLayout(log);
    struct Case {
        RailId rail;
        int panel;
        const char* panelKey;
    };
    const Case kCases[] = {
        {RailId::Rail12V1, 0, "p12v"},   {RailId::Rail12VCpu, 0, "p12v"}, {RailId::Rail12VPcie, 0, "p12v"},
        {RailId::Rail5V, 1, "p5v"},      {RailId::Rail3V3, 2, "p3v3"},    {RailId::RailMinus12V, 3, "pm12v"},
        {RailId::Rail5VSB, 4, "p5vsb"},
    };
    for (const Case& c : kCases) {
        const int cell = CellIndex(c.rail, ReadingColumn::Volt);
        const int32_t low = kPowerOnLimits.low[cell];
        const int32_t high = kPowerOnLimits.high[cell];
        // The band is drawn inside its own panel's group.
        const size_t group = svg.find("data-panel=\"" + std::string(c.panelKey) + "\"");
        ASSERT_NE(group, std::string::npos);
        const std::string rest = svg.substr(group, svg.find("</g>", group) - group);
        const std::string marker = "data-band=\"" + std::to_string(low) + " " + std::to_string(high) + "\"";
        ASSERT_NE(rest.find(marker), std::string::npos) << c.panelKey << " " << marker;
        const PanelLayout& panel = layout.panels[c.panel];
        const double y = std::atof(FindAttribute(rest, marker, "y").c_str());
        const double height = std::atof(FindAttribute(rest, marker, "height").c_str());
        EXPECT_NEAR(y, ExpectY(panel, high / 1000.0), 0.051) << c.panelKey;
        EXPECT_NEAR(y + height, ExpectY(panel, low / 1000.0), 0.11) << c.panelKey;
        EXPECT_EQ(FindAttribute(rest, marker, "x"), std::to_string(kPlotLeft) + ".0");
        EXPECT_EQ(FindAttribute(rest, marker, "width"), std::to_string(kPlotColumns) + ".0");
    }
    // Currents and power have no band.
    for (const char* panelKey : {"pcurrent", "ppower"}) {
        const size_t group = svg.find("data-panel=\"" + std::string(panelKey) + "\"");
        const std::string rest = svg.substr(group, svg.find("</g>", group) - group);
        EXPECT_EQ(rest.find("data-band"), std::string::npos) << panelKey;
    }
}

TEST(ReadingsChart, ValueAxisLabelsSitAtTheirValues)
{
    std::vector<TestRow> rows;
    for (int i = 0; i < 10; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "axis.txt");
    const ChartLayout layout = ComputeChartLayout(log);
    // The 12 V panel spans 11.40 to 12.60 V and a margin: "12.0" is one of its labels.
    const size_t group = svg.find("data-panel=\"p12v\"");
    const std::string rest = svg.substr(group, svg.find("</g>", group) - group);
    const std::string label = ">12.0</text>";
    const size_t at = rest.find(label);
    ASSERT_NE(at, std::string::npos);
    const size_t tag = rest.rfind("<text", at);
    const double y = std::atof(FindAttribute(rest.substr(tag), "<text", "y").c_str());
    EXPECT_NEAR(y - 4, ExpectY(layout.panels[0], 12.0), 0.051);
}

TEST(ReadingsChart, GapsAndEmptyFieldsBreakTheLine)
{
    std::vector<TestRow> rows;
    for (int i = 0; i < 100; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    // An hour without rows (the tester was disconnected), then rows again.
    for (int i = 0; i < 100; ++i) rows.push_back(MakeNominalRow(kTestStart + 3700 + i));
    rows[150].fields[static_cast<int>(LogField::Voltage5V)] = "";
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "gaps.txt");
    EXPECT_EQ(FindSeriesLines(svg, "v12v").size(), 2u);
    EXPECT_EQ(FindSeriesLines(svg, "v5v").size(), 3u);
    ExpectEveryRowCovered(log, svg);
}

TEST(ReadingsChart, TitleGivesTheSpanTheRowsAndTheFailures)
{
    std::vector<TestRow> rows;
    for (int i = 0; i <= 3600; ++i) rows.push_back(MakeNominalRow(kTestStart + i));
    rows[10].fail = true;
    rows[3000].fail = true;
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "burn-in <7> & more.txt");
    EXPECT_EQ(FindElementText(svg, "data-summary"),
              "Sat Dec 5 01:06:16 2026 to Sat Dec 5 02:06:16 2026 (1 h 0 min)  |  3,601 rows  |  2 FAIL");
    EXPECT_NE(svg.find("Readings log burn-in &lt;7&gt; &amp; more.txt"), std::string::npos);
    // The verdict strip shows where the failures were, each at least 3 px wide.
    EXPECT_EQ(CountOccurrences(svg, "data-verdict=\"FAIL\""), 2u);
    EXPECT_EQ(FindAttribute(svg, "data-verdict=\"FAIL\"", "width"), "3.0");
    // Ten-minute ticks on a one-hour log.
    for (const char* tick : {">01:10</text>", ">01:20</text>", ">02:00</text>"}) {
        EXPECT_NE(svg.find(tick), std::string::npos) << tick;
    }
}

TEST(ReadingsChart, VerdictStripHoldsEachRowsVerdictUntilTheNextRow)
{
    // Rows every 10 s, row 5 FAIL; then no rows for 1000 s (the strip stays empty there) and
    // rows every 10 s again.
    std::vector<TestRow> rows;
    for (int i = 0; i < 10; ++i) rows.push_back(MakeNominalRow(kTestStart + 10 * i));
    rows[5].fail = true;
    for (int i = 0; i < 10; ++i) rows.push_back(MakeNominalRow(kTestStart + 1090 + 10 * i));
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "strip.txt");
    const TimeScale scale = ComputeChartLayout(log).time;
    auto column = [&scale](int64_t offset) { return scale.GetColumn(kTestStart + offset); };
    EXPECT_EQ(FindAttribute(svg, "data-verdict=\"FAIL\"", "x"), std::to_string(kPlotLeft + column(50)) + ".0");
    EXPECT_EQ(FindAttribute(svg, "data-verdict=\"FAIL\"", "width"), std::to_string(column(60) - column(50)) + ".0");
    // PASS before the failure, after it up to the gap, and after the gap.
    EXPECT_EQ(CountOccurrences(svg, "data-verdict=\"PASS\""), 3u);
    int covered = 0;
    for (size_t at = svg.find("data-verdict="); at != std::string::npos; at = svg.find("data-verdict=", at + 1)) {
        covered += std::atoi(FindAttribute(svg.substr(svg.rfind('<', at)), "data-verdict", "width").c_str());
    }
    EXPECT_EQ(covered, (column(90) - column(0) + 1) + (column(1180) - column(1090) + 1));
}

TEST(ReadingsChart, ColumnsWithoutValuesAreNamedNotDrawn)
{
    // The golden log has no 12V PCIe values: neither its voltage nor its current is drawn as zero.
    const ReadingsLogData log =
        ParseOrDie(ReadTextFile(std::string(OMBRELO_RECORDS_GOLDEN_DIR) + "/log_three_rows.txt"));
    const std::string svg = BuildReadingsChart(log, "log_three_rows.txt");
    EXPECT_TRUE(FindSeriesLines(svg, "v12vpcie").empty());
    EXPECT_TRUE(FindSeriesLines(svg, "i12vpcie").empty());
    EXPECT_EQ(CountOccurrences(svg, ">12V PCIe (none)</text>"), 2u);
    EXPECT_EQ(FindSeriesLines(svg, "v12v").size(), 1u);
    EXPECT_EQ(CountOccurrences(svg, "(none)"), 2u);
}

TEST(ReadingsChart, EmptyLogGivesAnEmptyChartWithItsTitle)
{
    const ReadingsLogData log = ParseOrDie(ReadTextFile(std::string(OMBRELO_RECORDS_GOLDEN_DIR) + "/empty_log.txt"));
    const std::string svg = BuildReadingsChart(log, "empty_log.txt");
    EXPECT_EQ(FindElementText(svg, "data-summary"), "no rows  |  0 rows  |  0 FAIL");
    EXPECT_NE(svg.find("Readings log empty_log.txt"), std::string::npos);
    EXPECT_EQ(svg.find("<polyline"), std::string::npos);
    EXPECT_EQ(svg.find("data-out"), std::string::npos);
    // Panels and bands are still there to show what would be drawn.
    EXPECT_EQ(CountOccurrences(svg, "data-panel="), static_cast<size_t>(kChartPanelCount));
    EXPECT_EQ(CountOccurrences(svg, "data-band="), 5u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
}

TEST(ReadingsChart, FullLogStaysUnderTwoMegabytes)
{
    // The worst case for size: every rail jumps in and out of its band on every row.
    std::vector<TestRow> rows = MakeNoisyRows(100000, 1, 11);
    for (size_t i = 0; i < rows.size(); i += 2) {
        for (LogField field : {LogField::Voltage12V, LogField::Voltage12VCpu, LogField::Voltage12VPcie}) {
            rows[i].fields[static_cast<int>(field)] = i % 4 == 0 ? "13.00" : "11.00";
        }
        rows[i].fields[static_cast<int>(LogField::Voltage5V)] = "5.90";
        rows[i].fields[static_cast<int>(LogField::Voltage3V3)] = "2.90";
        rows[i].fields[static_cast<int>(LogField::VoltageMinus12V)] = "-9.00";
        rows[i].fields[static_cast<int>(LogField::Voltage5VSB)] = "4.00";
        rows[i].fail = true;
    }
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string svg = BuildReadingsChart(log, "worst.txt");
    EXPECT_LT(svg.size(), 2u * 1024 * 1024);
    EXPECT_FALSE(FindOutMarks(svg, "v5vsb").empty());
}

TEST(ReadingsChart, NumbersIgnoreTheLocale)
{
    std::vector<TestRow> rows = MakeNoisyRows(500, 1, 3);
    const ReadingsLogData log = ParseOrDie(BuildLogText(rows));
    const std::string inC = BuildReadingsChart(log, "locale.txt");
    // A locale with a decimal comma: German on Windows, de_DE where it is installed.
    const char* kCommaLocales[] = {"German_Germany.1252", "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"};
    const char* chosen = nullptr;
    for (const char* name : kCommaLocales) {
        if (std::setlocale(LC_ALL, name) != nullptr && std::localeconv()->decimal_point[0] == ',') {
            chosen = name;
            break;
        }
    }
    if (chosen == nullptr) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    ReadingsLogData again;
    std::string message;
    const LogReadResult result = ParseReadingsLog(BuildLogText(rows), again, message);
    const std::string inComma = BuildReadingsChart(again, "locale.txt");
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(result, LogReadResult::Ok) << chosen << ": " << message;
    EXPECT_EQ(inComma, inC) << chosen;
}

TEST(ReadingsChart, FixedNotationAndEscaping)
{
    struct FixedCase {
        double value;
        int decimals;
        const char* text;
    };
    const FixedCase kFixed[] = {
        {-11.98, 2, "-11.98"}, {12.6, 1, "12.6"}, {0.04, 1, "0.0"}, {-0.04, 1, "0.0"},
        {1234.5678, 2, "1234.57"}, {5, 0, "5"}, {0.05, 2, "0.05"}, {100.0, 1, "100.0"},
    };
    for (const FixedCase& c : kFixed) {
        std::string out;
        AppendFixed(out, c.value, c.decimals);
        EXPECT_EQ(out, c.text) << c.value;
    }
    struct EscapeCase {
        std::string text;
        std::string escaped;
    };
    const EscapeCase kEscapes[] = {
        {"a&b<c>\"d\"", "a&amp;b&lt;c&gt;&quot;d&quot;"},
        {"Pr\xC3\xBC" "fung.txt", "Pr\xC3\xBC" "fung.txt"},  // UTF-8 passes
        {"bad\xFF\xC3(.txt", "bad?" "?(.txt"},                 // invalid bytes do not
        {"ctl\x01.txt", "ctl?.txt"},
        {"\xED\xA0\x80", "???"},                              // an encoded surrogate
    };
    for (const EscapeCase& c : kEscapes) {
        std::string out;
        AppendEscaped(out, c.text);
        EXPECT_EQ(out, c.escaped);
    }
}

}  // namespace
