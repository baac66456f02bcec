// The readings log drawn as one self-contained SVG chart: a panel per voltage group with its
// supply-on limit band and the readings outside it marked (red in rows judged FAIL, grey in rows
// judged PASS), a panel of currents and one of total power, all on one time axis. Each voltage
// panel is scaled to the readings near its band, so that the rails can be told apart; readings
// far outside (the supply switched off) are clipped at its edge and marked as clipped. Each rail
// keeps one colour in every panel. Each rail is reduced to its minimum and maximum per horizontal
// pixel, as an oscilloscope does, so the file stays small for any log length and no excursion is
// lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plot/readings_log_reader.h"

constexpr int kChartWidth = 1200;
constexpr int kPlotLeft = 84;
// Pixel columns of every panel's plot area: the resolution of the min/max reduction.
constexpr int kPlotColumns = 960;

enum class SeriesKind : int { Field = 0, TotalPower = 1 };

// One line of the chart. limitRail is the RailId whose supply-on Volt. limits form the band, or -1.
struct ChartSeries {
    int panel;
    SeriesKind kind;
    LogField field;
    const char* key;    // stable name in the SVG (data-series), for readers and tests
    const char* label;  // legend text
    const char* colour;
    int limitRail;
};

struct ChartPanel {
    const char* key;
    const char* title;
    const char* unit;
    int plotHeight;
    const char* note;  // shown under the legend, or nullptr
};

constexpr int kChartPanelCount = 7;
constexpr int kChartSeriesCount = 17;
extern const ChartPanel kChartPanels[kChartPanelCount];
extern const ChartSeries kChartSeries[kChartSeriesCount];

// Rows' times onto pixel columns 0 to columns - 1.
struct TimeScale {
    int64_t start = 0;
    int64_t span = 0;  // last minus first time; 0 puts every row in column 0
    int columns = kPlotColumns;
    int GetColumn(int64_t time) const;
};

// One pixel column of one series within one unbroken stretch of readings.
struct ColumnSpan {
    int column;
    float low;
    float high;
    bool lowFirst;    // the minimum came before the maximum: draw them in that order
    bool startsLine;  // no line from the previous span (a gap in time or an empty field)
    bool failBelow;   // a reading below the series' band in a row judged FAIL
    bool failAbove;   // a reading above it in a row judged FAIL
};

// The value a series takes in a row; NaN when the row has none.
float GetSeriesValue(const LogRow& row, const ChartSeries& series);

// Reduces a series to one span per pixel column and stretch. Rows further apart than gapSeconds
// start a new stretch, as does a row without a value. The fail flags need the series' band.
void ReduceSeries(const ReadingsLogData& log, const ChartSeries& series, const TimeScale& scale,
                  int64_t gapSeconds, std::vector<ColumnSpan>& spans);

// The gap that breaks a line: three times the usual distance between rows, at least 3 s.
int64_t ComputeGapSeconds(const ReadingsLogData& log);

// Supply-on Volt. limits of a rail in mV; false where the rail has none.
bool GetSupplyOnLimits(int rail, int32_t& lowMillivolts, int32_t& highMillivolts);

// Where each panel sits and which values its plot area spans. A voltage panel spans the readings
// within one band width of its supply-on limits (at least an eighth of that width, with a
// margin); readings beyond are clipped at its edge.
struct PanelLayout {
    int top;     // first pixel row of the plot area
    int bottom;  // top + plotHeight: the value low maps here
    double low;
    double high;
};

// The pixel row of a value in a panel, clipped to the panel's plot area.
double MapClippedValue(const PanelLayout& panel, double value);

struct ChartLayout {
    TimeScale time;
    PanelLayout panels[kChartPanelCount];
    int height;
};

ChartLayout ComputeChartLayout(const ReadingsLogData& log);

// The whole SVG document. title names the log (any bytes: they are escaped and invalid UTF-8 is
// replaced).
std::string BuildReadingsChart(const ReadingsLogData& log, const std::string& title);

// Locale-free fixed notation, e.g. AppendFixed(out, -11.98, 2) appends "-11.98".
void AppendFixed(std::string& out, double value, int decimals);
// Text content or attribute value: XML-escaped, valid UTF-8 only.
void AppendEscaped(std::string& out, const std::string& text);
