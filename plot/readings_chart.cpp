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

constexpr int kStripTop = 86;
constexpr int kStripHeight = 10;
constexpr int kPanelGap = 36;  // panel title above each plot area
constexpr int kFirstPanelTop = kStripTop + kStripHeight + kPanelGap;
constexpr int kAxisHeight = 56;
constexpr int kLegendLeft = kPlotLeft + kPlotColumns + 14;
constexpr char kFailColour[] = "#d62728";
constexpr char kPassColour[] = "#2ca02c";
// Marks of readings outside the band: red where the row was judged FAIL, grey where it passed.
constexpr char kFailMarkColour[] = "#d62728";
constexpr char kPassMarkColour[] = "#8c8c8c";
// A FAIL row of a long log covers less than a pixel of the verdict strip: still this wide.
constexpr int kMinFailWidth = 3;
// A voltage panel's scale: the readings within one band width of the band, spanning at least
// this share of the band width.
constexpr double kMinSpanOfBand = 0.125;

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

int CountTicks(double low, double high, double step)
{
    return static_cast<int>(std::floor(high / step + 1e-9) - std::ceil(low / step - 1e-9)) + 1;
}

// The finest step that gives at most wantedTicks intervals over the range, but at least two
// labelled lines: a narrow voltage scale needs both to be read.
ValueStep ChooseValueStep(double low, double high, int wantedTicks)
{
    const int count = static_cast<int>(sizeof kValueSteps / sizeof kValueSteps[0]);
    int chosen = count - 1;
    for (int i = 0; i < count; ++i) {
        if ((high - low) / kValueSteps[i].step <= wantedTicks) {
            chosen = i;
            break;
        }
    }
    while (chosen > 0 && CountTicks(low, high, kValueSteps[chosen].step) < 2) --chosen;
    return kValueSteps[chosen];
}

// Integer millivolts (or mA, mW) of a value with at most two decimals, so that 12.60 compares
// equal to a 12600 limit whatever single precision made of it.
int64_t ToMilli(float value) { return std::llround(static_cast<double>(value) * 1000.0); }

double MapValue(const PanelLayout& panel, double value)
{
    return panel.bottom - (value - panel.low) / (panel.high - panel.low) * (panel.bottom - panel.top);
}

double GetColumnX(int column) { return kPlotLeft + column + 0.5; }

// A small triangle at the panel's edge, pointing out of it: a reading beyond the scale.
void AppendClipMark(std::string& out, double x, const PanelLayout& panel, bool below)
{
    const double edge = below ? panel.bottom : panel.top;
    const double base = below ? edge - 6.0 : edge + 6.0;
    out += 'M';
    AppendFixed(out, x - 3.5, 1);
    out += ',';
    AppendFixed(out, base, 1);
    out += 'L';
    AppendFixed(out, x + 3.5, 1);
    out += ',';
    AppendFixed(out, base, 1);
    out += 'L';
    AppendFixed(out, x, 1);
    out += ',';
    AppendFixed(out, edge, 1);
    out += 'Z';
}

void AppendMarkPath(std::string& out, const char* attribute, const char* key, const char* judged,
                    const char* colour, const std::string& marks)
{
    if (marks.empty()) return;
    out += "<path ";
    out += attribute;
    out += "=\"";
    out += key;
    out += "\" data-judged=\"";
    out += judged;
    out += "\" ";
    if (std::strcmp(attribute, "data-out") == 0) {
        out += "fill=\"none\" stroke=\"";
        out += colour;
        out += "\" stroke-width=\"4\" stroke-linecap=\"round\"";
    } else {
        out += "fill=\"";
        out += colour;
        out += "\" stroke=\"none\"";
    }
    out += " d=\"";
    out += marks;
    out += "\"/>\n";
}

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

    void AddLine(double x1, double y1, double x2, double y2, const char* stroke, const char* extra = nullptr)
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
        m_out += '"';
        if (extra != nullptr) {
            m_out += ' ';
            m_out += extra;
        }
        m_out += "/>\n";
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

// Value range of a panel. Currents and power: all readings, from zero. Voltages: the readings
// within one band width of the band, so that the rails can be told apart; a panel whose readings
// all lie further out (or that has none) shows its band.
void FindPanelRange(const ReadingsLogData& log, int panelIndex, double& low, double& high)
{
    low = std::numeric_limits<double>::infinity();
    high = -std::numeric_limits<double>::infinity();
    double bandLow = std::numeric_limits<double>::infinity();
    double bandHigh = -std::numeric_limits<double>::infinity();
    bool fromZero = false;
    for (const ChartSeries& series : kChartSeries) {
        if (series.panel != panelIndex) continue;
        int32_t limitLow, limitHigh;
        double windowLow = -std::numeric_limits<double>::infinity();
        double windowHigh = std::numeric_limits<double>::infinity();
        if (series.limitRail >= 0 && GetSupplyOnLimits(series.limitRail, limitLow, limitHigh)) {
            const double width = (limitHigh - limitLow) / 1000.0;
            bandLow = std::min(bandLow, limitLow / 1000.0);
            bandHigh = std::max(bandHigh, limitHigh / 1000.0);
            windowLow = limitLow / 1000.0 - width;
            windowHigh = limitHigh / 1000.0 + width;
        } else {
            // Currents and power: zero is the natural floor.
            fromZero = true;
        }
        for (const LogRow& row : log.rows) {
            const double value = GetSeriesValue(row, series);
            if (std::isnan(value) || value < windowLow || value > windowHigh) continue;
            low = std::min(low, value);
            high = std::max(high, value);
        }
    }
    if (bandHigh > bandLow) {
        if (!(high >= low)) {
            low = bandLow;
            high = bandHigh;
        }
        const double minSpan = (bandHigh - bandLow) * kMinSpanOfBand;
        if (high - low < minSpan) {
            const double middle = (low + high) / 2.0;
            low = middle - minSpan / 2.0;
            high = middle + minSpan / 2.0;
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
        AppendPoint(out, x, MapClippedValue(panel, first));
        // A single reading still needs a second point for its pixel to be drawn.
        AppendPoint(out, x, MapClippedValue(panel, second));
    }
    if (open) {
        if (out.back() == ' ') out.pop_back();
        out += "\"/>\n";
    }
    out += "</g>\n";

    int32_t bandLow, bandHigh;
    if (series.limitRail < 0 || !GetSupplyOnLimits(series.limitRail, bandLow, bandHigh)) return true;
    // Every reading outside the band is the minimum or the maximum of its pixel column. A reading
    // beyond the scale is marked at the edge, and the edge carries a clip mark.
    std::string failMarks, passMarks, failClips, passClips;
    auto mark = [&](double x, double value, bool fail) {
        std::string& marks = fail ? failMarks : passMarks;
        marks += 'M';
        AppendPoint(marks, x, MapClippedValue(panel, value));
        marks += "h0";
        if (value < panel.low || value > panel.high) AppendClipMark(fail ? failClips : passClips, x, panel, value < panel.low);
    };
    for (const ColumnSpan& span : spans) {
        const double x = GetColumnX(span.column);
        if (ToMilli(span.low) < bandLow) mark(x, span.low, span.failBelow);
        if (ToMilli(span.high) > bandHigh) mark(x, span.high, span.failAbove);
    }
    // Grey first, so that a red mark in the same place stays on top.
    AppendMarkPath(out, "data-out", series.key, "PASS", kPassMarkColour, passMarks);
    AppendMarkPath(out, "data-clipped", series.key, "PASS", kPassMarkColour, passClips);
    AppendMarkPath(out, "data-out", series.key, "FAIL", kFailMarkColour, failMarks);
    AppendMarkPath(out, "data-clipped", series.key, "FAIL", kFailMarkColour, failClips);
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
        // The band as far as the panel's scale reaches; a limit off the scale is named only in
        // the panel's heading.
        const double top = MapClippedValue(panel, high / 1000.0);
        const double bottom = MapClippedValue(panel, low / 1000.0);
        std::string attributes = "data-band=\"";
        AppendInt(attributes, low);
        attributes += ' ';
        AppendInt(attributes, high);
        attributes += "\" fill=\"#2ca02c\" fill-opacity=\"0.13\" stroke=\"none\"";
        svg.AddRect(kPlotLeft, top, kPlotColumns, bottom - top, attributes.c_str());
        const char* kLimitLine = "stroke-opacity=\"0.8\" stroke-dasharray=\"4 3\"";
        const char* kLimitText = "fill=\"#2a7a2a\" font-size=\"10\"";
        if (high / 1000.0 <= panel.high) {
            svg.AddLine(kPlotLeft, top, kPlotLeft + kPlotColumns, top, "#2ca02c", kLimitLine);
            std::string text = "max ";
            AppendFixed(text, high / 1000.0, 2);
            svg.AddText(kPlotLeft + kPlotColumns - 4, top + (top - panel.top < 14 ? 11 : -3), "end", kLimitText, text);
        }
        if (low / 1000.0 >= panel.low) {
            svg.AddLine(kPlotLeft, bottom, kPlotLeft + kPlotColumns, bottom, "#2ca02c", kLimitLine);
            std::string text = "min ";
            AppendFixed(text, low / 1000.0, 2);
            svg.AddText(kPlotLeft + kPlotColumns - 4, bottom + (panel.bottom - bottom < 14 ? -3 : 11), "end", kLimitText, text);
        }
    }
}

void DrawValueAxis(SvgWriter& svg, const PanelLayout& panel)
{
    // About one labelled line per 35 pixels, never fewer than three.
    const ValueStep step = ChooseValueStep(panel.low, panel.high, std::max(3, (panel.bottom - panel.top) / 35));
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
    // PASS runs first; FAIL runs on top, at least kMinFailWidth wide, so that one failed row in
    // a long log still shows.
    for (const uint8_t verdict : {uint8_t{1}, uint8_t{2}}) {
        int start = 0;
        for (int c = 1; c <= scale.columns; ++c) {
            if (c < scale.columns && columns[c] == columns[start]) continue;
            if (columns[start] == verdict) {
                int left = start;
                int width = c - start;
                if (verdict == 2 && width < kMinFailWidth) {
                    left = std::clamp(start - (kMinFailWidth - width) / 2, 0, scale.columns - kMinFailWidth);
                    width = kMinFailWidth;
                }
                std::string attributes = verdict == 2 ? "data-verdict=\"FAIL\" fill=\"" : "data-verdict=\"PASS\" fill=\"";
                attributes += verdict == 2 ? kFailColour : kPassColour;
                attributes += '"';
                svg.AddRect(kPlotLeft + left, kStripTop, width, kStripHeight, attributes.c_str());
            }
            start = c;
        }
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

// One colour per rail, the same in every panel; none is the red or grey of the marks, nor the
// green of the bands.
constexpr char k12V1Colour[] = "#1f77b4";
constexpr char k5VColour[] = "#ff7f0e";
constexpr char k3V3Colour[] = "#17becf";
constexpr char k12VCpuColour[] = "#9467bd";
constexpr char kMinus12VColour[] = "#393b79";
constexpr char k5VSBColour[] = "#8c564b";
constexpr char k12VPcieColour[] = "#e377c2";
constexpr char k12VSataColour[] = "#637939";
constexpr char k5VSataColour[] = "#bcbd22";
constexpr char k3V3SataColour[] = "#e7969c";

// The SATA voltages are copies of 12V1, 5V and 3.3V, so they add no line of their own.
const ChartSeries kChartSeries[kChartSeriesCount] = {
    {0, SeriesKind::Field, LogField::Voltage12V, "v12v", "12V1", k12V1Colour, static_cast<int>(RailId::Rail12V1)},
    {0, SeriesKind::Field, LogField::Voltage12VCpu, "v12vcpu", "12V CPU", k12VCpuColour, static_cast<int>(RailId::Rail12VCpu)},
    {0, SeriesKind::Field, LogField::Voltage12VPcie, "v12vpcie", "12V PCIe", k12VPcieColour, static_cast<int>(RailId::Rail12VPcie)},
    {1, SeriesKind::Field, LogField::Voltage5V, "v5v", "5V", k5VColour, static_cast<int>(RailId::Rail5V)},
    {2, SeriesKind::Field, LogField::Voltage3V3, "v3v3", "3.3V", k3V3Colour, static_cast<int>(RailId::Rail3V3)},
    {3, SeriesKind::Field, LogField::VoltageMinus12V, "vm12v", "-12V", kMinus12VColour, static_cast<int>(RailId::RailMinus12V)},
    {4, SeriesKind::Field, LogField::Voltage5VSB, "v5vsb", "5VSB", k5VSBColour, static_cast<int>(RailId::Rail5VSB)},
    {5, SeriesKind::Field, LogField::Current12V, "i12v", "12V1", k12V1Colour, -1},
    {5, SeriesKind::Field, LogField::Current5V, "i5v", "5V", k5VColour, -1},
    {5, SeriesKind::Field, LogField::Current3V3, "i3v3", "3.3V", k3V3Colour, -1},
    {5, SeriesKind::Field, LogField::Current12VCpu, "i12vcpu", "12V CPU", k12VCpuColour, -1},
    {5, SeriesKind::Field, LogField::Current5VSB, "i5vsb", "5VSB", k5VSBColour, -1},
    {5, SeriesKind::Field, LogField::Current12VPcie, "i12vpcie", "12V PCIe", k12VPcieColour, -1},
    {5, SeriesKind::Field, LogField::Current12VSata, "i12vsata", "12V SATA", k12VSataColour, -1},
    {5, SeriesKind::Field, LogField::Current5VSata, "i5vsata", "5V SATA", k5VSataColour, -1},
    {5, SeriesKind::Field, LogField::Current3V3Sata, "i3v3sata", "3.3V SATA", k3V3SataColour, -1},
    // Not a rail: the sum of them, in the text colour.
    {6, SeriesKind::TotalPower, LogField::Power12V, "ptotal", "Total", "#333333", -1},
};

double MapClippedValue(const PanelLayout& panel, double value)
{
    return std::clamp(MapValue(panel, value), static_cast<double>(panel.top), static_cast<double>(panel.bottom));
}

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
    int32_t bandLow = 0, bandHigh = 0;
    const bool banded = series.limitRail >= 0 && GetSupplyOnLimits(series.limitRail, bandLow, bandHigh);
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
        const bool failBelow = banded && row.fail && ToMilli(value) < bandLow;
        const bool failAbove = banded && row.fail && ToMilli(value) > bandHigh;
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
            span.failBelow = span.failBelow || failBelow;
            span.failAbove = span.failAbove || failAbove;
            continue;
        }
        spans.push_back({column, value, value, true, broken, failBelow, failAbove});
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
    // How to read the marks: the log keeps no power state, but a row judged PASS with one of
    // these rails outside its supply-on limits cannot have been judged against them.
    svg.AddText(kPlotLeft, 64, nullptr, "font-size=\"11\" fill=\"#555\" data-note=\"1\"",
                "Shaded: supply-on limits. Red: a reading outside them in a row judged FAIL. \u25B2\u25BC at a "
                "panel's edge: readings beyond its scale, clipped.");
    std::string notes = "Grey: a reading outside them in a row judged PASS: the supply was off (such rows are judged "
                        "against the supply-off limits), or the 12V CPU / PCIe cable was not declared.";
    if (log.untimedCount > 0) {
        notes += "  ";
        AppendCount(notes, log.untimedCount);
        // Leading rows without a clock take the first known time, the others the one before them.
        notes += log.untimedCount == 1 ? " row has no clock time and is placed at a neighbour's time."
                                       : " rows have no clock time and are placed at a neighbour's time.";
    }
    if (log.declaredCount != static_cast<int64_t>(log.rows.size())) {
        notes += "  Line 3 announces ";
        AppendCount(notes, log.declaredCount);
        notes += log.declaredCount == 1 ? " row." : " rows.";
    }
    svg.AddText(kPlotLeft, 78, nullptr, "font-size=\"11\" fill=\"#555\" data-note=\"2\"", notes);
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
        // The limits, also where the scale does not reach them.
        for (const ChartSeries& series : kChartSeries) {
            int32_t low, high;
            if (series.panel != p || !GetSupplyOnLimits(series.limitRail, low, high)) continue;
            std::string limits = "supply-on limits ";
            AppendFixed(limits, low / 1000.0, 2);
            limits += " to ";
            AppendFixed(limits, high / 1000.0, 2);
            limits += " V (shaded)";
            svg.AddText(kPlotLeft + kPlotColumns, panel.top - 8, "end", "font-size=\"11\" fill=\"#2a7a2a\"", limits);
            break;
        }
        svg.AddRect(kPlotLeft, panel.top, kPlotColumns, panel.bottom - panel.top, "fill=\"#fcfcfc\" stroke=\"#999\"");
        // The band first, so that the grid stays grey on it.
        DrawBands(svg, layout, p);
        DrawValueAxis(svg, panel);
        for (const TimeTick& tick : ticks) svg.AddLine(tick.x, panel.top, tick.x, panel.bottom, "#e4e4e4");
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
