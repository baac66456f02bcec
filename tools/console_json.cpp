// Building the console's JSON lines: plain string appends, no library, no locale.
#include "tools/console_json.h"

#include <charconv>
#include <cmath>
#include <ctime>

#include "device/device_readings.h"
#include "measurement/cell_text.h"
#include "tools/console_window_ops.h"

const char* const kJsonColumnKeys[kColumnCount] = {
    "minVolt", "volt", "maxVolt", "minCurrent", "current",  "maxCurrent",  "power", "ripple",
    "t1",      "t2",   "t3",      "t6",         "slewRate", "turnOnSlope", "vSeq",  "tSeq"};

namespace {

// How a column's stored value becomes a JSON number.
enum class JsonUnit { Milli, Whole };

JsonUnit GetColumnUnit(int column)
{
    // Timings stay in ms and the three flags are 0 or not; everything else is milli-units.
    if ((column >= static_cast<int>(ReadingColumn::T1) && column <= static_cast<int>(ReadingColumn::T6)) ||
        column >= static_cast<int>(ReadingColumn::TurnOnSlope))
        return JsonUnit::Whole;
    return JsonUnit::Milli;
}

bool IsTimingColumn(int column)
{
    return column >= static_cast<int>(ReadingColumn::T1) && column <= static_cast<int>(ReadingColumn::T6);
}

const char* GetStateName(CellState state)
{
    switch (state) {
    case CellState::Pass: return "PASS";
    case CellState::Fail: return "FAIL";
    default: return "N/A";
    }
}

const char* GetPowerName(uint8_t powerStatus)
{
    if (powerStatus & kPowerStatusOn) return "ON";
    if (powerStatus & kPowerStatusOff) return "OFF";
    return "N/A";
}

const char* GetTimingsName(uint8_t powerStatus)
{
    switch ((powerStatus >> kPowerStatusTimingsShift) & 3) {
    case 0: return "PASS";
    case 1: return "FAIL";
    default: return "N/A";
    }
}

void AppendInteger(std::string& out, int64_t value)
{
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void AppendTesterVerdicts(std::string& out, uint8_t powerStatus)
{
    out += "\"tester\":{\"voltages\":";
    AppendJsonString(out, (powerStatus & kPowerStatusVoltagesPass) ? "PASS" : "FAIL");
    out += ",\"timings\":";
    AppendJsonString(out, GetTimingsName(powerStatus));
    out += "}";
}

void AppendFailingCells(std::string& out, const std::vector<int>& cells)
{
    out += "\"failing\":[";
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i) out += ",";
        AppendJsonString(out, NameCell(cells[i]));
    }
    out += "]";
}

void AppendCell(std::string& out, const ReadingsTable& table, int cell)
{
    int column = cell % kColumnCount;
    int32_t value = LoadWord(table.value[cell]);
    // The grid's twelve fixed cells show "N/A" on grey whatever the table holds: no value.
    const bool fixed = IsFixedNotAvailableCell(cell);
    out += "{\"value\":";
    if (fixed || value == kNotAvailable || (value == kTimedOut && IsTimingColumn(column)))
        out += "null";
    else if (GetColumnUnit(column) == JsonUnit::Milli)
        AppendJsonMilliUnits(out, value);
    else
        AppendInteger(out, value);
    out += ",\"text\":";
    AppendJsonString(out, fixed ? NarrowText(kFixedNotAvailableText) : NarrowText(table.text[cell]));
    out += ",\"state\":";
    AppendJsonString(out, fixed ? "N/A" : GetStateName(table.state[cell]));
    out += "}";
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                out += "\\u00";
                out += kHex[u >> 4];
                out += kHex[u & 15];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void AppendJsonNumber(std::string& out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void AppendJsonMilliUnits(std::string& out, int64_t milliUnits)
{
    // Division is correctly rounded, so the shortest form of the quotient is the exact decimal.
    AppendJsonNumber(out, static_cast<double>(milliUnits) / 1000.0);
}

std::string FormatJsonTime(int64_t epochMs)
{
    int64_t seconds = epochMs >= 0 ? epochMs / 1000 : (epochMs - 999) / 1000;
    int milliseconds = static_cast<int>(epochMs - seconds * 1000);
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc {};
    if (!gmtime_r(&t, &utc))
        return "1970-01-01T00:00:00.000Z";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return buffer;
}

std::string BuildCycleJson(const JsonCycleInput& input)
{
    const ReadingsTable& table = *input.table;
    std::string out;
    out.reserve(8192);
    out += "{\"type\":\"cycle\",\"cycle\":";
    AppendInteger(out, input.cycle);
    out += ",\"time\":";
    AppendJsonString(out, FormatJsonTime(input.timeMs));
    out += ",\"power\":";
    AppendJsonString(out, GetPowerName(input.powerStatus));
    out += ",\"powerStatus\":";
    AppendInteger(out, input.powerStatus);
    out += ",\"totalPower\":";
    AppendJsonMilliUnits(out, input.totalPowerMw);
    out += ",\"cables\":{\"cpu12v\":";
    out += input.cpu12vConnected ? "true" : "false";
    out += ",\"pcie12v\":";
    out += input.pcie12vConnected ? "true" : "false";
    out += "},";
    AppendTesterVerdicts(out, input.powerStatus);
    out += ",\"rails\":[";
    for (int rail = 0; rail < kRailCount; ++rail) {
        if (rail) out += ",";
        out += "{\"rail\":";
        AppendJsonString(out, kRailDisplayNames[rail]);
        for (int column = 0; column < kColumnCount; ++column) {
            int cell = rail * kColumnCount + column;
            if (!HasCellControl(cell))
                continue;  // the same cells as the grid
            out += ",\"";
            out += kJsonColumnKeys[column];
            out += "\":";
            AppendCell(out, table, cell);
        }
        out += "}";
    }
    out += "],";
    if (input.link) {
        const JsonLinkStats& link = *input.link;
        out += "\"link\":{\"requests\":";
        AppendInteger(out, link.requests);
        out += ",\"failed\":";
        AppendInteger(out, link.failedRequests);
        out += ",\"longestReadMs\":";
        AppendInteger(out, link.longestReadMs);
        out += ",\"longestOtherMs\":";
        AppendInteger(out, link.longestOtherMs);
        out += ",\"steadyMs\":";
        AppendInteger(out, static_cast<int64_t>(link.steadyMs));
        out += "},";
    }
    TestVerdict verdict = JudgeTestRun(table.state, input.powerStatus);
    out += "\"verdict\":";
    AppendJsonString(out, verdict.pass ? "PASS" : "FAIL");
    out += ",";
    AppendFailingCells(out, verdict.failingCells);
    out += "}";
    return out;
}

std::string BuildSummaryJson(int64_t timeMs, uint32_t cycles, const TestVerdict& verdict, uint8_t powerStatus,
                             int exitCode, const std::string& error)
{
    std::string out = "{\"type\":\"summary\",\"time\":";
    AppendJsonString(out, FormatJsonTime(timeMs));
    out += ",\"cycles\":";
    AppendInteger(out, cycles);
    out += ",\"verdict\":";
    AppendJsonString(out, !error.empty() ? "ERROR" : verdict.pass ? "PASS" : "FAIL");
    out += ",\"exitCode\":";
    AppendInteger(out, exitCode);
    if (!error.empty()) {
        out += ",\"error\":";
        AppendJsonString(out, error);
    } else {
        out += ",";
        AppendTesterVerdicts(out, powerStatus);
    }
    out += ",";
    AppendFailingCells(out, error.empty() ? verdict.failingCells : std::vector<int>());
    out += "}";
    return out;
}
