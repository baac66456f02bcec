// Text layout of the console tool's readings screen. One line per rail, columns with headings,
// and a verdict per rail naming the columns that fail.
#include "tools/console_screen.h"

#include <cstdio>

#include "measurement/cell_text.h"
#include "measurement/readings_display.h"
#include "measurement/readings_table.h"
#include "tools/console_window_ops.h"

namespace {

constexpr int kCellWidth = 8;
constexpr int kRailNameWidth = 10;

const char* const kRailNames[kRailCount] = {"12V1", "5V", "3.3V", "12V CPU", "-12V",
                                            "5VSB", "12V PCIe", "12V SATA", "5V SATA", "3.3V SATA"};
const char* const kColumnNames[kColumnCount] = {"MinV", "Volt", "MaxV", "MinA", "Amps", "MaxA", "Power(W)", "Rip(mV)",
                                                "T1(ms)", "T2(ms)", "T3(ms)", "T6(ms)", "Slew", "Slope",
                                                "VSeq", "TSeq"};
constexpr int kTimedRails = 4;

std::string Pad(const std::string& text, int width, bool right)
{
    if (static_cast<int>(text.size()) >= width)
        return text;
    std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

std::string Colour(const std::string& text, const char* code, const ScreenStyle& style)
{
    return style.colour ? std::string("\x1b[") + code + "m" + text + "\x1b[0m" : text;
}

std::string FormatVerdict(CellState state, const ScreenStyle& style)
{
    switch (state) {
    case CellState::Pass:
        return Colour("PASS", "32", style);
    case CellState::Fail:
        return Colour("FAIL", "31", style);
    default:
        return Colour("N/A", "90", style);
    }
}

// One grid: rails by columns [first, first + count).
void AppendGrid(std::string& out, int firstColumn, int columnCount, int railCount, const ScreenStyle& style)
{
    const ReadingsTable& table = g_readingsTable;
    out += Pad("Rail", kRailNameWidth, false);
    for (int c = firstColumn; c < firstColumn + columnCount; ++c)
        out += Pad(kColumnNames[c], kCellWidth + 1, true);
    out += "  Verdict\n";
    for (int rail = 0; rail < railCount; ++rail) {
        out += Pad(kRailNames[rail], kRailNameWidth, false);
        bool anyPass = false;
        std::string failing;
        for (int c = firstColumn; c < firstColumn + columnCount; ++c) {
            int cell = kColumnCount * rail + c;
            std::string text;
            CellState state = CellState::NotAvailable;
            if (IsFixedNotAvailableCell(cell) || !HasCellControl(cell)) {
                text = "N/A";
            } else {
                text = NarrowText(table.text[cell]);
                state = table.state[cell];
                if (text.empty())
                    text = "-";
            }
            std::string padded = Pad(text, kCellWidth + 1, true);
            if (state == CellState::Pass) {
                anyPass = true;
                out += Colour(padded, "32", style);
            } else if (state == CellState::Fail) {
                failing += failing.empty() ? kColumnNames[c] : std::string(",") + kColumnNames[c];
                out += Colour(padded, "31", style);
            } else {
                out += Colour(padded, "90", style);
            }
        }
        CellState verdict = !failing.empty() ? CellState::Fail : anyPass ? CellState::Pass : CellState::NotAvailable;
        out += "  " + FormatVerdict(verdict, style);
        if (!failing.empty())
            out += " (" + failing + ")";
        out += "\n";
    }
}

std::string StatusWord(const StatusText& status, const ScreenStyle& style)
{
    std::string text = NarrowText(status.text);
    if (status.background == StatusBackground::Pass)
        return Colour(text, "32", style);
    if (status.background == StatusBackground::Fail)
        return Colour(text, "31", style);
    return text;
}

}  // namespace

std::string FormatStatusLines(const DeviceReadings& readings)
{
    ScreenStyle plain{false};
    uint8_t status = LoadByte(readings.powerStatus);
    wchar_t total[kTotalPowerTextSize];
    FormatTotalPowerText(static_cast<uint32_t>(LoadWord(readings.totalPower)), total);
    char bits[48];
    snprintf(bits, sizeof bits, "   (status byte 0x%02x)", status);
    return NarrowText(GetPowerStateText(status).text) + "   " + NarrowText(total) + "   Voltages: " +
           StatusWord(GetVoltagesVerdict(status), plain) + "   Timings: " +
           StatusWord(GetTimingsVerdict(status), plain) + bits + "\nCables: 12V CPU " +
           (LoadByte(readings.deviceSettings[kSettingCpu12vCable]) ? "connected" : "not connected") +
           ", 12V PCIe " + (LoadByte(readings.deviceSettings[kSettingPcie12vCable]) ? "connected" : "not connected") +
           "\n";
}

std::string FormatReadingsGrids(const ScreenStyle& style)
{
    std::string out;
    AppendGrid(out, 0, 8, kRailCount, style);
    out += "\n";
    AppendGrid(out, 8, 8, kTimedRails, style);
    return out;
}

std::string FormatSettingsLine(const DeviceReadings& readings)
{
    std::string out = "Settings:";
    char hex[4];
    for (int i = 0; i < kSettingsSize; ++i) {
        snprintf(hex, sizeof hex, " %02x", LoadByte(readings.deviceSettings[i]));
        out += hex;
    }
    uint8_t compliance = LoadByte(readings.deviceSettings[kSettingComplianceMode]);
    uint8_t buzzer = LoadByte(readings.deviceSettings[kSettingBuzzerMode]);
    out += std::string("\n  compliance mode: ") + (compliance == 0 ? "Strict" : compliance == 1 ? "Loose" : "?") +
           ", buzzer: " + (buzzer == 2 ? "Fatal Errors" : buzzer == 1 ? "Compliance" : buzzer == 0 ? "Off" : "?") +
           "\n";
    return out;
}
