// Builds the readings chart as SVG text. Coordinates and labels are written by hand in fixed
// notation so that no locale can turn a decimal point into a comma, and the document holds no
// script and refers to nothing outside itself.
#include "plot/readings_chart.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "measurement/readings_table.h"

namespace {

constexpr int kStripTop = 72;
constexpr int kStripHeight = 10;
constexpr int kPanelGap = 36;  // panel title above each plot area
constexpr int kFirstPanelTop = kStripTop + kStripHeight + kPanelGap;
constexpr int kAxisHeight = 56;
constexpr int kLegendLeft = kPlotLeft + kPlotColumns + 14;
constexpr char kMarkColour[] = "#d62728";
constexpr char kFailColour[] = "#d62728";
constexpr char kPassColour[] = "#2ca02c";

// Time-axis steps, local clock seconds: each divides the next one's natural unit.
constexpr int64_t kTimeSteps[] = {1,    2,     5,     10,    15,    30,     60,     120,
                                  300,  600,   900,   1800,  3600,  7200,   10800,  21600,
                                  43200, 86400, 172800, 604800, 1209600, 2419200, 4838400};

const char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

void AppendInt(std::string& out, int64_t value) { out += std::to_string(value); }

void AppendTwoDigits(std::string& out, int value)
{
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
}

struct ClockTime {
    int year, month, day, hour, minute, second, weekday;
};

ClockTime SplitTime(int64_t seconds)
{
    ClockTime t{};
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    ConvertDaysToCivil(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    t.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
    return t;
}

// "Sat Dec 5 01:06:16 2026": the log's own stamp, without the padding blank XML would fold.
void AppendStamp(std::string& out, int64_t seconds)
{
    const ClockTime t = SplitTime(seconds);
    out += kDayNames[t.weekday];
    out += ' ';
    out += kMonthNames[t.month - 1];
    out += ' ';
    AppendInt(out, t.day);
    out += ' ';
    AppendTwoDigits(out, t.hour);
    out += ':';
    AppendTwoDigits(out, t.minute);
    out += ':';
    AppendTwoDigits(out, t.second);
    out += ' ';
    AppendInt(out, t.year);
}

void AppendDuration(std::string& out, int64_t seconds)
{
    const int64_t days = seconds / 86400;
    const int64_t hours = seconds / 3600 % 24;
    const int64_t minutes = seconds / 60 % 60;
    const int64_t rest = seconds % 60;
    if (days > 0) {
        AppendInt(out, days);
        out += " d ";
        AppendInt(out, hours);
        out += " h";
    } else if (hours > 0) {
        AppendInt(out, hours);
        out += " h ";
        AppendInt(out, minutes);
        out += " min";
    } else if (minutes > 0) {
        AppendInt(out, minutes);
        out += " min ";
        AppendInt(out, rest);
        out += " s";
    } else {
        AppendInt(out, rest);
        out += " s";
    }
}

// "12,345" reads better than "12345" in a title; written by hand, whatever the locale.
void AppendCount(std::string& out, int64_t value)
{
    const std::string digits = std::to_string(value);
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
}

// Value-axis steps, with the decimals their labels need. A table rather than powers of ten
// computed at run time, so that every C library lands on the same ticks.
struct ValueStep {
    double step;
    int decimals;
};
constexpr ValueStep kValueSteps[] = {
    {0.001, 3}, {0.002, 3}, {0.005, 3}, {0.01, 2},  {0.02, 2},   {0.05, 2},   {0.1, 1},
    {0.2, 1},   {0.5, 1},   {1, 0},     {2, 0},     {5, 0},      {10, 0},     {20, 0},
    {50, 0},    {100, 0},   {200, 0},   {500, 0},   {1000, 0},   {2000, 0},   {5000, 0},
    {10000, 0}, {20000, 0}, {50000, 0}, {100000, 0}, {200000, 0}, {500000, 0}, {1000000, 0},
};

// The finest step that gives at most wantedTicks intervals over the range.
ValueStep ChooseValueStep(double range, int wantedTicks)
{
    for (const ValueStep& step : kValueSteps) {
        if (range / step.step <= wantedTicks) return step;
    }
    return kValueSteps[sizeof kValueSteps / sizeof kValueSteps[0] - 1];
}

// Integer millivolts (or mA, mW) of a value with at most two decimals, so that 12.60 compares
// equal to a 12600 limit whatever single precision made of it.
int64_t ToMilli(float value) { return std::llround(static_cast<double>(value) * 1000.0); }

double MapValue(const PanelLayout& panel, double value)
{
    return panel.bottom - (value - panel.low) / (panel.high - panel.low) * (panel.bottom - panel.top);
}

double GetColumnX(int column) { return kPlotLeft + column + 0.5; }

class SvgWriter {
public:
    explicit SvgWriter(std::string& out) : m_out(out) {}

    void AddText(double x, double y, const char* anchor, const char* extra, const std::string& text)
    {
        m_out += "<text x=\"";
        AppendFixed(m_out, x, 1);
        m_out += "\" y=\"";
        AppendFixed(m_out, y, 1);
        m_out += '"';
        if (anchor != nullptr) {
            m_out += " text-anchor=\"";
            m_out += anchor;
            m_out += '"';
        }
        if (extra != nullptr) {
            m_out += ' ';
            m_out += extra;
        }
        m_out += '>';
        AppendEscaped(m_out, text);
        m_out += "</text>\n";
    }

    void AddLine(double x1, double y1, double x2, double y2, const char* stroke)
    {
        m_out += "<line x1=\"";
        AppendFixed(m_out, x1, 1);
        m_out += "\" y1=\"";
        AppendFixed(m_out, y1, 1);
        m_out += "\" x2=\"";
        AppendFixed(m_out, x2, 1);
        m_out += "\" y2=\"";
        AppendFixed(m_out, y2, 1);
        m_out += "\" stroke=\"";
        m_out += stroke;
        m_out += "\"/>\n";
    }

    void AddRect(double x, double y, double width, double height, const char* attributes)
    {
        m_out += "<rect x=\"";
        AppendFixed(m_out, x, 1);
        m_out += "\" y=\"";
        AppendFixed(m_out, y, 1);
        m_out += "\" width=\"";
        AppendFixed(m_out, width, 1);
        m_out += "\" height=\"";
        AppendFixed(m_out, height, 1);
        m_out += "\" ";
        m_out += attributes;
        m_out += "/>\n";
    }

private:
    std::string& m_out;
};

// Value range of a panel over its series and bands.
void FindPanelRange(const ReadingsLogData& log, int panelIndex, double& low, double& high)
{
    low = std::numeric_limits<double>::infinity();
    high = -std::numeric_limits<double>::infinity();
    bool fromZero = false;
    for (const ChartSeries& series : kChartSeries) {
        if (series.panel != panelIndex) continue;
        int32_t bandLow, bandHigh;
        if (series.limitRail >= 0 && GetSupplyOnLimits(series.limitRail, bandLow, bandHigh)) {
            low = std::min(low, bandLow / 1000.0);
            high = std::max(high, bandHigh / 1000.0);
        } else {
            // Currents and power: zero is the natural floor.
            fromZero = true;
        }
        for (const LogRow& row : log.rows) {
            const float value = GetSeriesValue(row, series);
            if (std::isnan(value)) continue;
            low = std::min(low, static_cast<double>(value));
            high = std::max(high, static_cast<double>(value));
        }
    }
    if (fromZero) {
        low = std::min(low, 0.0);
        high = std::max(high, 0.0);
    }
    if (!(high > low)) {
        high = low + 1.0;
    }
    const double pad = (high - low) * 0.08;
    if (!fromZero || low < 0.0) low -= pad;
    high += pad;
}

void AppendPolylineStart(std::string& out, const char* key)
{
    out += "<polyline data-series=\"";
    out += key;
    out += "\" points=\"";
}

void AppendPoint(std::string& out, double x, double y)
{
    AppendFixed(out, x, 1);
    out += ',';
    AppendFixed(out, y, 1);
    out += ' ';
}

// False when the series has no value in any row.
bool DrawSeries(std::string& out, const ReadingsLogData& log, const ChartLayout& layout,
                const ChartSeries& series, int64_t gapSeconds, std::vector<ColumnSpan>& spans)
{
    const PanelLayout& panel = layout.panels[series.panel];
    ReduceSeries(log, series, layout.time, gapSeconds, spans);
    if (spans.empty()) return false;

    out += "<g fill=\"none\" stroke=\"";
    out += series.colour;
    out += "\" stroke-width=\"1.2\" stroke-linejoin=\"round\">\n";
    bool open = false;
    for (const ColumnSpan& span : spans) {
        if (span.startsLine && open) {
            if (out.back() == ' ') out.pop_back();
            out += "\"/>\n";
            open = false;
        }
        if (!open) {
            AppendPolylineStart(out, series.key);
            open = true;
        }
        const double x = GetColumnX(span.column);
        const double first = span.lowFirst ? span.low : span.high;
        const double second = span.lowFirst ? span.high : span.low;
        AppendPoint(out, x, MapValue(panel, first));
        // A single reading still needs a second point for its pixel to be drawn.
        AppendPoint(out, x, MapValue(panel, second));
    }
    if (open) {
        if (out.back() == ' ') out.pop_back();
        out += "\"/>\n";
    }
    out += "</g>\n";

    int32_t bandLow, bandHigh;
    if (series.limitRail < 0 || !GetSupplyOnLimits(series.limitRail, bandLow, bandHigh)) return true;
    // Every reading outside the band is the minimum or the maximum of its pixel column.
    std::string marks;
    for (const ColumnSpan& span : spans) {
        const double x = GetColumnX(span.column);
        if (ToMilli(span.low) < bandLow) {
            marks += 'M';
            AppendPoint(marks, x, MapValue(panel, span.low));
            marks += "h0";
        }
        if (ToMilli(span.high) > bandHigh) {
            marks += 'M';
            AppendPoint(marks, x, MapValue(panel, span.high));
            marks += "h0";
        }
    }
    if (marks.empty()) return true;
    out += "<path data-out=\"";
    out += series.key;
    out += "\" fill=\"none\" stroke=\"";
    out += kMarkColour;
    out += "\" stroke-width=\"4\" stroke-linecap=\"round\" d=\"";
    out += marks;
    out += "\"/>\n";
    return true;
}

void DrawBands(SvgWriter& svg, const ChartLayout& layout, int panelIndex)
{
    const PanelLayout& panel = layout.panels[panelIndex];
    int32_t drawnLow[kChartSeriesCount];
    int32_t drawnHigh[kChartSeriesCount];
    int drawn = 0;
    for (const ChartSeries& series : kChartSeries) {
        int32_t low, high;
        if (series.panel != panelIndex || series.limitRail < 0 ||
            !GetSupplyOnLimits(series.limitRail, low, high)) {
            continue;
        }
        bool seen = false;
        for (int i = 0; i < drawn; ++i) seen = seen || (drawnLow[i] == low && drawnHigh[i] == high);
        if (seen) continue;
        drawnLow[drawn] = low;
        drawnHigh[drawn] = high;
        ++drawn;
        const double top = MapValue(panel, high / 1000.0);
        const double bottom = MapValue(panel, low / 1000.0);
        std::string attributes = "data-band=\"";
        AppendInt(attributes, low);
        attributes += ' ';
        AppendInt(attributes, high);
        attributes += "\" fill=\"#2ca02c\" fill-opacity=\"0.13\" stroke=\"#2ca02c\" stroke-opacity=\"0.6\" stroke-dasharray=\"4 3\"";
        svg.AddRect(kPlotLeft, top, kPlotColumns, bottom - top, attributes.c_str());
        std::string text = "max ";
        AppendFixed(text, high / 1000.0, 2);
        svg.AddText(kPlotLeft + kPlotColumns - 4, top - 3, "end", "fill=\"#2a7a2a\" font-size=\"10\"", text);
        text = "min ";
        AppendFixed(text, low / 1000.0, 2);
        svg.AddText(kPlotLeft + kPlotColumns - 4, bottom + 11, "end", "fill=\"#2a7a2a\" font-size=\"10\"", text);
    }
}

void DrawValueAxis(SvgWriter& svg, const PanelLayout& panel)
{
    // About one labelled line per 35 pixels, never fewer than three.
    const ValueStep step = ChooseValueStep(panel.high - panel.low, std::max(3, (panel.bottom - panel.top) / 35));
    // Ticks are whole multiples of the step, not sums, so no rounding builds up along the axis.
    const int64_t first = static_cast<int64_t>(std::ceil(panel.low / step.step - 1e-9));
    const int64_t last = static_cast<int64_t>(std::floor(panel.high / step.step + 1e-9));
    for (int64_t k = first; k <= last; ++k) {
        const double tick = static_cast<double>(k) * step.step;
        const double y = MapValue(panel, tick);
        svg.AddLine(kPlotLeft, y, kPlotLeft + kPlotColumns, y, "#e4e4e4");
        svg.AddLine(kPlotLeft - 4, y, kPlotLeft, y, "#444");
        std::string label;
        AppendFixed(label, k == 0 ? 0.0 : tick, step.decimals);
        svg.AddText(kPlotLeft - 7, y + 4, "end", nullptr, label);
    }
}

struct TimeTick {
    int64_t time;
    double x;
};

void ListTimeTicks(const TimeScale& scale, int64_t& step, std::vector<TimeTick>& ticks)
{
    ticks.clear();
    step = 0;
    if (scale.span <= 0) return;
    step = kTimeSteps[sizeof kTimeSteps / sizeof kTimeSteps[0] - 1];
    for (int64_t candidate : kTimeSteps) {
        if (scale.span / candidate <= 8) {
            step = candidate;
            break;
        }
    }
    // Weeks start on Monday at midnight: 1 January 1970 + 4 days.
    const int64_t origin = step >= 604800 ? 4 * 86400 : 0;
    int64_t first = scale.start - origin;
    first = (first / step + (first % step > 0 ? 1 : 0)) * step;
    if (first < scale.start - origin) first += step;
    for (int64_t t = first + origin; t <= scale.start + scale.span; t += step) {
        const double x = kPlotLeft + static_cast<double>(t - scale.start) * (scale.columns - 1) /
                                         static_cast<double>(scale.span) + 0.5;
        ticks.push_back({t, x});
    }
}

std::string FormatTimeTick(int64_t time, int64_t step, bool withDate)
{
    const ClockTime t = SplitTime(time);
    std::string text;
    if (withDate || step >= 86400) {
        text += kMonthNames[t.month - 1];
        text += ' ';
        AppendInt(text, t.day);
        if (step >= 86400) return text;
        text += ' ';
    }
    AppendTwoDigits(text, t.hour);
    text += ':';
    AppendTwoDigits(text, t.minute);
    if (step < 60) {
        text += ':';
        AppendTwoDigits(text, t.second);
    }
    return text;
}

void DrawVerdictStrip(SvgWriter& svg, const ReadingsLogData& log, const TimeScale& scale, int64_t gapSeconds)
{
    if (log.rows.empty()) return;
    // 0: no row, 1: PASS rows only, 2: a FAIL row. A row's verdict holds until the next row,
    // unless the log has a gap there.
    std::vector<uint8_t> columns(scale.columns, 0);
    for (size_t i = 0; i < log.rows.size(); ++i) {
        const LogRow& row = log.rows[i];
        const uint8_t verdict = row.fail ? 2 : 1;
        const int first = scale.GetColumn(row.time);
        int last = first;
        if (i + 1 < log.rows.size() && log.rows[i + 1].time - row.time <= gapSeconds) {
            last = std::max(first, scale.GetColumn(log.rows[i + 1].time) - 1);
        }
        for (int c = first; c <= last; ++c) columns[c] = std::max(columns[c], verdict);
    }
    int start = 0;
    for (int c = 1; c <= scale.columns; ++c) {
        if (c < scale.columns && columns[c] == columns[start]) continue;
        if (columns[start] != 0) {
            std::string attributes = columns[start] == 2 ? "data-verdict=\"FAIL\" fill=\"" : "data-verdict=\"PASS\" fill=\"";
            attributes += columns[start] == 2 ? kFailColour : kPassColour;
            attributes += '"';
            svg.AddRect(kPlotLeft + start, kStripTop, c - start, kStripHeight, attributes.c_str());
        }
        start = c;
    }
}

}  // namespace

const ChartPanel kChartPanels[kChartPanelCount] = {
    {"p12v", "12 V rails", "V", 130, "12V SATA: the 12V1 voltage"},
    {"p5v", "5 V rails", "V", 110, "5V SATA: the 5V voltage"},
    {"p3v3", "3.3 V rails", "V", 110, "3.3V SATA: the 3.3V voltage"},
    {"pm12v", "-12 V", "V", 110, nullptr},
    {"p5vsb", "5VSB", "V", 110, nullptr},
    {"pcurrent", "Currents", "A", 180, nullptr},
    {"ppower", "Total power (sum of the logged rail powers)", "W", 130, nullptr},
};

// The SATA voltages are copies of 12V1, 5V and 3.3V, so they add no line of their own.
const ChartSeries kChartSeries[kChartSeriesCount] = {
    {0, SeriesKind::Field, LogField::Voltage12V, "v12v", "12V1", "#1f77b4", static_cast<int>(RailId::Rail12V1)},
    {0, SeriesKind::Field, LogField::Voltage12VCpu, "v12vcpu", "12V CPU", "#ff7f0e", static_cast<int>(RailId::Rail12VCpu)},
    {0, SeriesKind::Field, LogField::Voltage12VPcie, "v12vpcie", "12V PCIe", "#9467bd", static_cast<int>(RailId::Rail12VPcie)},
    {1, SeriesKind::Field, LogField::Voltage5V, "v5v", "5V", "#1f77b4", static_cast<int>(RailId::Rail5V)},
    {2, SeriesKind::Field, LogField::Voltage3V3, "v3v3", "3.3V", "#1f77b4", static_cast<int>(RailId::Rail3V3)},
    {3, SeriesKind::Field, LogField::VoltageMinus12V, "vm12v", "-12V", "#1f77b4", static_cast<int>(RailId::RailMinus12V)},
    {4, SeriesKind::Field, LogField::Voltage5VSB, "v5vsb", "5VSB", "#1f77b4", static_cast<int>(RailId::Rail5VSB)},
    {5, SeriesKind::Field, LogField::Current12V, "i12v", "12V1", "#1f77b4", -1},
    {5, SeriesKind::Field, LogField::Current5V, "i5v", "5V", "#ff7f0e", -1},
    {5, SeriesKind::Field, LogField::Current3V3, "i3v3", "3.3V", "#2ca02c", -1},
    {5, SeriesKind::Field, LogField::Current12VCpu, "i12vcpu", "12V CPU", "#9467bd", -1},
    {5, SeriesKind::Field, LogField::Current5VSB, "i5vsb", "5VSB", "#8c564b", -1},
    {5, SeriesKind::Field, LogField::Current12VPcie, "i12vpcie", "12V PCIe", "#e377c2", -1},
    {5, SeriesKind::Field, LogField::Current12VSata, "i12vsata", "12V SATA", "#7f7f7f", -1},
    {5, SeriesKind::Field, LogField::Current5VSata, "i5vsata", "5V SATA", "#bcbd22", -1},
    {5, SeriesKind::Field, LogField::Current3V3Sata, "i3v3sata", "3.3V SATA", "#17becf", -1},
    {6, SeriesKind::TotalPower, LogField::Power12V, "ptotal", "Total", "#1f77b4", -1},
};

int TimeScale::GetColumn(int64_t time) const
{
    if (span <= 0) return 0;
    const int64_t column = (time - start) * (columns - 1) / span;
    return static_cast<int>(std::clamp<int64_t>(column, 0, columns - 1));
}

float GetSeriesValue(const LogRow& row, const ChartSeries& series)
{
    if (series.kind == SeriesKind::Field) return row.value[static_cast<int>(series.field)];
    static const LogField kPowers[] = {
        LogField::Power12V,      LogField::Power5V,       LogField::Power3V3,
        LogField::Power12VCpu,   LogField::Power5VSB,     LogField::Power12VPcie,
        LogField::Power12VSata,  LogField::Power5VSata,   LogField::Power3V3Sata,
    };
    double total = 0.0;
    bool any = false;
    for (LogField field : kPowers) {
        const float value = row.value[static_cast<int>(field)];
        if (std::isnan(value)) continue;
        total += value;
        any = true;
    }
    return any ? static_cast<float>(total) : std::numeric_limits<float>::quiet_NaN();
}

void ReduceSeries(const ReadingsLogData& log, const ChartSeries& series, const TimeScale& scale,
                  int64_t gapSeconds, std::vector<ColumnSpan>& spans)
{
    spans.clear();
    bool broken = true;
    bool previousKnown = false;
    int64_t previousTime = 0;
    for (const LogRow& row : log.rows) {
        const float value = GetSeriesValue(row, series);
        if (std::isnan(value)) {
            broken = true;
            previousKnown = false;
            continue;
        }
        if (previousKnown && row.time - previousTime > gapSeconds) broken = true;
        previousKnown = true;
        previousTime = row.time;
        const int column = scale.GetColumn(row.time);
        if (!broken && !spans.empty() && spans.back().column == column) {
            ColumnSpan& span = spans.back();
            if (value < span.low) {
                span.low = value;
                span.lowFirst = false;  // the new minimum comes after the maximum
            }
            if (value > span.high) {
                span.high = value;
                span.lowFirst = true;
            }
            continue;
        }
        spans.push_back({column, value, value, true, broken});
        broken = false;
    }
}

int64_t ComputeGapSeconds(const ReadingsLogData& log)
{
    std::vector<int64_t> steps;
    steps.reserve(log.rows.size());
    for (size_t i = 1; i < log.rows.size(); ++i) {
        const int64_t step = log.rows[i].time - log.rows[i - 1].time;
        if (step > 0) steps.push_back(step);
    }
    if (steps.empty()) return 3;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return std::max<int64_t>(3, 3 * steps[steps.size() / 2]);
}

bool GetSupplyOnLimits(int rail, int32_t& lowMillivolts, int32_t& highMillivolts)
{
    if (rail < 0 || rail >= kRailCount) return false;
    const int cell = CellIndex(static_cast<RailId>(rail), ReadingColumn::Volt);
    lowMillivolts = kPowerOnLimits.low[cell];
    highMillivolts = kPowerOnLimits.high[cell];
    // The "no limit" pair spans the whole range a cell can hold: nothing to draw.
    return lowMillivolts > -100000 || highMillivolts < 100000;
}

ChartLayout ComputeChartLayout(const ReadingsLogData& log)
{
    ChartLayout layout{};
    if (!log.rows.empty()) {
        int64_t first = log.rows.front().time;
        int64_t last = first;
        for (const LogRow& row : log.rows) {
            first = std::min(first, row.time);
            last = std::max(last, row.time);
        }
        layout.time.start = first;
        layout.time.span = last - first;
    }
    int top = kFirstPanelTop;
    for (int p = 0; p < kChartPanelCount; ++p) {
        PanelLayout& panel = layout.panels[p];
        panel.top = top;
        panel.bottom = top + kChartPanels[p].plotHeight;
        FindPanelRange(log, p, panel.low, panel.high);
        top = panel.bottom + kPanelGap;
    }
    layout.height = top - kPanelGap + kAxisHeight;
    return layout;
}

std::string BuildReadingsChart(const ReadingsLogData& log, const std::string& title)
{
    const ChartLayout layout = ComputeChartLayout(log);
    std::string out;
    out.reserve(256 * 1024);
    SvgWriter svg(out);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"";
    AppendInt(out, kChartWidth);
    out += "\" height=\"";
    AppendInt(out, layout.height);
    out += "\" viewBox=\"0 0 ";
    AppendInt(out, kChartWidth);
    out += ' ';
    AppendInt(out, layout.height);
    out += "\" font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\" font-size=\"11\" fill=\"#222\">\n";
    out += "<title>";
    AppendEscaped(out, title);
    out += "</title>\n";
    svg.AddRect(0, 0, kChartWidth, layout.height, "fill=\"#ffffff\"");

    // Title: what, when, how many, how many failed.
    svg.AddText(kPlotLeft, 26, nullptr, "font-size=\"17\" font-weight=\"bold\"", "Readings log " + title);
    std::string summary;
    if (log.rows.empty()) {
        summary = "no rows";
    } else {
        AppendStamp(summary, layout.time.start);
        summary += " to ";
        AppendStamp(summary, layout.time.start + layout.time.span);
        summary += " (";
        AppendDuration(summary, layout.time.span);
        summary += ")";
    }
    summary += "  |  ";
    AppendCount(summary, static_cast<int64_t>(log.rows.size()));
    summary += log.rows.size() == 1 ? " row" : " rows";
    summary += "  |  ";
    AppendCount(summary, log.failCount);
    summary += " FAIL";
    svg.AddText(kPlotLeft, 48, nullptr, "font-size=\"13\" data-summary=\"1\"", summary);
    std::string notes = "Shaded: supply-on limits. Red dots: readings outside them.";
    if (log.untimedCount > 0) {
        notes += "  ";
        AppendCount(notes, log.untimedCount);
        notes += log.untimedCount == 1 ? " row has" : " rows have";
        notes += " no clock time and is placed at the time before it.";
    }
    if (log.declaredCount != static_cast<int64_t>(log.rows.size())) {
        notes += "  Line 3 announces ";
        AppendCount(notes, log.declaredCount);
        notes += " rows.";
    }
    svg.AddText(kPlotLeft, 65, nullptr, "font-size=\"11\" fill=\"#555\"", notes);
    svg.AddText(kPlotLeft - 7, kStripTop + kStripHeight - 1, "end", "font-size=\"10\"", "Verdict");
    svg.AddRect(kPlotLeft, kStripTop, kPlotColumns, kStripHeight, "fill=\"#f2f2f2\"");
    const int64_t gapSeconds = ComputeGapSeconds(log);
    DrawVerdictStrip(svg, log, layout.time, gapSeconds);

    int64_t timeStep = 0;
    std::vector<TimeTick> ticks;
    ListTimeTicks(layout.time, timeStep, ticks);
    std::vector<ColumnSpan> spans;
    spans.reserve(kPlotColumns * 2);

    for (int p = 0; p < kChartPanelCount; ++p) {
        const ChartPanel& info = kChartPanels[p];
        const PanelLayout& panel = layout.panels[p];
        out += "<g data-panel=\"";
        out += info.key;
        out += "\">\n";
        std::string heading = info.title;
        heading += " [";
        heading += info.unit;
        heading += ']';
        svg.AddText(kPlotLeft, panel.top - 8, nullptr, "font-size=\"13\" font-weight=\"bold\"", heading);
        svg.AddRect(kPlotLeft, panel.top, kPlotColumns, panel.bottom - panel.top, "fill=\"#fcfcfc\" stroke=\"#999\"");
        // The band first, so that the grid stays grey on it.
        DrawBands(svg, layout, p);
        DrawValueAxis(svg, panel);
        for (const TimeTick& tick : ticks) svg.AddLine(tick.x, panel.top, tick.x, panel.bottom, "#e4e4e4");
        // No clipping is needed: every value lies within its panel's range by construction.
        int legendRow = 0;
        for (const ChartSeries& series : kChartSeries) {
            if (series.panel != p) continue;
            const bool drawn = DrawSeries(out, log, layout, series, gapSeconds, spans);
            const double y = panel.top + 12 + legendRow * 15;
            out += "<line x1=\"";
            AppendInt(out, kLegendLeft);
            out += "\" y1=\"";
            AppendFixed(out, y - 4, 1);
            out += "\" x2=\"";
            AppendInt(out, kLegendLeft + 16);
            out += "\" y2=\"";
            AppendFixed(out, y - 4, 1);
            out += "\" stroke=\"";
            out += series.colour;
            out += "\" stroke-width=\"2.5\"/>\n";
            // An empty column (a cable the tester does not measure) is named, not drawn.
            svg.AddText(kLegendLeft + 21, y, nullptr, drawn ? nullptr : "fill=\"#999\"",
                        drawn || log.rows.empty() ? std::string(series.label) : std::string(series.label) + " (none)");
            ++legendRow;
        }
        if (info.note != nullptr) {
            svg.AddText(kLegendLeft, panel.top + 12 + legendRow * 15 + 4, nullptr, "font-size=\"9\" fill=\"#666\"", info.note);
        }
        out += "</g>\n";
    }

    // The shared time axis under the last panel.
    const int axisTop = layout.panels[kChartPanelCount - 1].bottom;
    const bool withDate = !ticks.empty() && SplitTime(layout.time.start).day !=
                                                SplitTime(layout.time.start + layout.time.span).day;
    for (const TimeTick& tick : ticks) {
        svg.AddLine(tick.x, axisTop, tick.x, axisTop + 5, "#444");
        svg.AddText(tick.x, axisTop + 18, "middle", nullptr, FormatTimeTick(tick.time, timeStep, withDate));
    }
    svg.AddText(kPlotLeft + kPlotColumns / 2.0, axisTop + 40, "middle", "font-size=\"12\"",
                "Time (the logging PC's local clock)");
    out += "</svg>\n";
    return out;
}

void AppendFixed(std::string& out, double value, int decimals)
{
    if (!std::isfinite(value)) value = 0.0;
    int64_t scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    int64_t scaled = std::llround(value * static_cast<double>(scale));
    if (scaled < 0) {
        out += '-';
        scaled = -scaled;
    }
    AppendInt(out, scaled / scale);
    if (decimals == 0) return;
    out += '.';
    const std::string fraction = std::to_string(scaled % scale);
    out.append(static_cast<size_t>(decimals) - fraction.size(), '0');
    out += fraction;
}

void AppendEscaped(std::string& out, const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                // XML 1.0 allows no control character but tab and the line ends.
                out += (c < 0x20 && c != '\t') ? '?' : static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A well-formed multi-byte sequence passes; anything else becomes '?'.
        const int length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
        bool valid = length > 0 && i + length <= size;
        for (int k = 1; valid && k < length; ++k) valid = (p[i + k] & 0xC0) == 0x80;
        if (valid && length == 3) {
            const unsigned char n = p[i + 1];
            valid = !(c == 0xE0 && n < 0xA0) && !(c == 0xED && n >= 0xA0);
        }
        if (valid && length == 4) {
            const unsigned char n = p[i + 1];
            valid = !(c == 0xF0 && n < 0x90) && !(c == 0xF4 && n >= 0x90);
        }
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        out.append(text, i, static_cast<size_t>(length));
        i += static_cast<size_t>(length);
    }
}
