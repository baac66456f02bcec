// Fuzz target: any DeviceReadings through the path of one poll cycle and its records: the readings
// table's copy, the judgement of every cell, the cell texts the window shows, the readings-log row
// and the test report, all in memory.
//
// Input: powerStatus, the cable flags (bit 0 12V CPU, bit 1 12V PCIe), totalPower (4 bytes), then
// per int32 field a selector byte and its bytes: the sentinels -100000 and 100000, their
// neighbours, 16-bit values, any 32-bit value, the 32-bit extremes and decimal-width boundaries.
//
// Checked: every cell text is terminated within its 10 units and is exactly what printf in the
// C locale makes of the value at the column's precision (or in whole units when that does not
// fit, or "#########" when that does not fit either), "T/O" only for a timed-out timing, PASS or
// FAIL for flags, empty for a value not available; cells the display does not write keep their
// empty text; a power cell is the product of its row's Volt. and Current cells; a cell passes
// only within its limits and fails only outside them. The log row has 33 fields, each a cell
// text or (only when it would not fit the record) empty, and the verdict. The report has 34 CR LF
// lines of the golden report's widths, its header lines follow powerStatus and totalPower, and
// its fields hold the cell texts and row verdicts.
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "measurement/cell_text.h"
#include "measurement/readings_table.h"
#include "records/readings_log.h"
#include "records/test_report.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int kReportLines = 34;
std::vector<size_t> g_goldenWidths;

int32_t TakeValue(ByteReader& in)
{
    static const int32_t kExtremes[8] = {INT32_MIN, INT32_MAX, -1, 0, 1, 999999, -999999, 99999999};
    const uint8_t selector = in.Byte();
    switch (selector & 7) {
    case 0: return kNotAvailable;
    case 1: return kTimedOut;
    case 2: return static_cast<int16_t>(in.Word());
    case 3: return static_cast<int32_t>(in.Long());
    case 4: return kExtremes[(selector >> 3) & 7];
    case 5: return kNotAvailable + static_cast<int8_t>(in.Byte());
    case 6: return kTimedOut + static_cast<int8_t>(in.Byte());
    default: {
        // Around a power of ten, where a text gains a digit.
        int64_t v = 1;
        for (int i = (selector >> 3) % 10; i > 0; --i) v *= 10;
        const int8_t offset = static_cast<int8_t>(in.Byte());
        v = (selector & 0x80) ? -v : v;
        v += offset % 8;
        return static_cast<int32_t>(v);
    }
    }
}

void FillReadings(DeviceReadings& r, ByteReader& in)
{
    ForEachReadingWord(r, [&](ReadingField field, std::atomic<int32_t>& word) {
        if (field != ReadingField::TotalPower)  // taken first, as the tester's status sends it
            StoreWord(word, TakeValue(in));
    });
}

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; *text != 0; ++text) {
        FUZZ_CHECK(*text > 0 && *text < 0x7F, "texts of the pipeline are ASCII");
        out += static_cast<char>(*text);
    }
    return out;
}

// printf's "%.*f" in the C locale, the rounding the cell texts promise.
std::string PrintFixed(double number, int decimals)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, number);
    return buffer;
}

// What a fixed-notation cell must show: the decimals when they fit nine characters, else whole
// units, else the overflow mark.
std::string ExpectedFixed(double number, int decimals)
{
    std::string text = PrintFixed(number, decimals);
    if (text.size() > kCellTextSize - 1) text = PrintFixed(number, 0);
    if (text.size() > kCellTextSize - 1) text = "#########";
    return text;
}

double Thousandth(int32_t value) { return static_cast<double>(static_cast<float>(value) / 1000.0f); }

std::string ExpectedCellText(int column, int32_t value)
{
    if (value == kNotAvailable) return "";
    switch (static_cast<ReadingColumn>(column)) {
    case ReadingColumn::Ripple: return ExpectedFixed(value, 2);
    case ReadingColumn::T1:
    case ReadingColumn::T2:
    case ReadingColumn::T3:
    case ReadingColumn::T6: {
        if (value == kTimedOut) return "T/O";
        const std::string text = std::to_string(value);
        return text.size() > kCellTextSize - 1 ? "#########" : text;
    }
    case ReadingColumn::SlewRate: return ExpectedFixed(Thousandth(value), 1);
    case ReadingColumn::TurnOnSlope:
    case ReadingColumn::VSeq:
    case ReadingColumn::TSeq: return value == 0 ? "PASS" : "FAIL";
    default: return ExpectedFixed(Thousandth(value), 2);
    }
}

void CheckCells(const ReadingsTable& table, uint8_t powerStatus, bool cpu, bool pcie)
{
    const bool on = (powerStatus & kPowerStatusOn) != 0;
    const bool off = (powerStatus & kPowerStatusOff) != 0;
    const CellLimits& limits = on ? kPowerOnLimits : kPowerOffLimits;
    for (int cell = 0; cell < kCellCount; ++cell) {
        const wchar_t* text = table.text[cell];
        FUZZ_CHECK(std::wmemchr(text, L'\0', kCellTextSize) != nullptr, "a cell text ends within its 10 units");
        const int32_t value = LoadWord(table.value[cell]);
        if (IsCellDisplayed(cell)) {
            FUZZ_CHECK(Narrow(text) == ExpectedCellText(cell % kColumnCount, value),
                       "a cell text is the value at its column's precision");
        } else {
            FUZZ_CHECK(text[0] == 0, "a cell the display does not write keeps its empty text");
        }

        const CellState state = table.state[cell];
        FUZZ_CHECK(state == CellState::Pass || state == CellState::NotAvailable || state == CellState::Fail,
                   "a state is PASS, N/A or FAIL");
        if (value == kNotAvailable || (!on && !off)) {
            FUZZ_CHECK(state == CellState::NotAvailable, "no value or no power state: N/A");
            continue;
        }
        const bool within = limits.low[cell] <= value && value <= limits.high[cell];
        if (state == CellState::Pass) FUZZ_CHECK(within, "a cell passes only within its limits");
        if (state == CellState::Fail) FUZZ_CHECK(!within, "a cell fails only outside its limits");
        if (state == CellState::NotAvailable)
            FUZZ_CHECK(on && !within, "a value is N/A only when an unplugged cable's rail is out of range");
        const int rail = cell / kColumnCount;
        const bool cableVoltage = cell % kColumnCount <= static_cast<int>(ReadingColumn::MaxVolt) &&
                                  (rail == static_cast<int>(RailId::Rail12VCpu) ||
                                   rail == static_cast<int>(RailId::Rail12VPcie));
        if (on && !within && cableVoltage) {
            const bool connected = rail == static_cast<int>(RailId::Rail12VCpu) ? cpu : pcie;
            FUZZ_CHECK(state == (connected ? CellState::Fail : CellState::NotAvailable),
                       "an optional cable's voltage fails only when the cable is connected");
        } else if (!within) {
            FUZZ_CHECK(state == CellState::Fail, "any other value outside its limits fails");
        }
    }

    // Power: voltage x current / 1000 in single precision, truncated; -12V has none.
    auto value = [&table](int rail, ReadingColumn column) {
        return LoadWord(table.value[CellIndex(static_cast<RailId>(rail), column)]);
    };
    for (int rail = 0; rail < kRailCount; ++rail) {
        const int32_t power = value(rail, ReadingColumn::Power);
        if (rail == static_cast<int>(RailId::RailMinus12V)) {
            FUZZ_CHECK(power == kNotAvailable, "the -12V power cell is never written");
            continue;
        }
        const float product = static_cast<float>(value(rail, ReadingColumn::Volt)) *
                              static_cast<float>(value(rail, ReadingColumn::Current));
        const double quotient = static_cast<double>(product / 1000.0f);
        const double expected = std::fmax(std::fmin(std::trunc(quotient), 2147483647.0), -2147483648.0);
        FUZZ_CHECK(static_cast<double>(power) == expected, "a power cell is its row's voltage x current");
    }
    for (RailId rail : {RailId::Rail5VSB, RailId::RailMinus12V, RailId::Rail12VPcie, RailId::Rail12VSata,
                        RailId::Rail5VSata, RailId::Rail3V3Sata})
        FUZZ_CHECK(value(static_cast<int>(rail), ReadingColumn::Ripple) == kNotAvailable,
                   "no ripple is measured on this rail");
    const int rail3V3 = static_cast<int>(RailId::Rail3V3);
    FUZZ_CHECK(value(rail3V3, ReadingColumn::VSeq) == kNotAvailable && value(rail3V3, ReadingColumn::TSeq) == kNotAvailable,
               "3.3V has no sequencing results");
}

// The verdict of the deciding cells: FAIL when one fails, else PASS; with naDecides, N/A as soon
// as one is not available.
std::string Verdict(const ReadingsTable& table, const int* cells, int count, bool naDecides = false)
{
    bool fail = false;
    for (int i = 0; i < count; ++i) {
        if (naDecides && table.state[cells[i]] == CellState::NotAvailable) return "N/A";
        fail = fail || table.state[cells[i]] == CellState::Fail;
    }
    return fail ? "FAIL" : "PASS";
}

void CheckLogRow(const ReadingsTable& table)
{
    // Exactly the units the builder may use, so that ASan sees one more.
    std::unique_ptr<wchar_t[]> row(new wchar_t[kLogTextUnits]);
    const size_t length = BuildReadingsLogRow(table.text, table.state, row.get());
    FUZZ_CHECK(length <= static_cast<size_t>(kLogTextUnits - 1), "a row fits one log record whole");
    FUZZ_CHECK(row[length] == 0 && std::wcslen(row.get()) == length, "a row is terminated at its length");

    const std::vector<std::string> fields = Split(Narrow(row.get()), ",");
    FUZZ_CHECK(fields.size() == kReadingsLogFieldCount + 1, "a row has 33 fields, 32 commas");

    size_t kept = 0;
    for (int f = 0; f < kReadingsLogFieldCount; ++f) {
        std::string text = Narrow(table.text[kReadingsLogCells[f]]);
        for (char& c : text)
            if (c == ',') c = '.';
        if (fields[f] == text) {
            kept += text.size();
        } else {
            FUZZ_CHECK(fields[f].empty(), "a field is its cell's text or empty");
            FUZZ_CHECK(kept + text.size() + kReadingsLogFieldCount + 4 > kLogTextUnits - 1,
                       "a field is left empty only when it would not fit the record");
        }
    }
    FUZZ_CHECK(fields.back() == Verdict(table, kReadingsLogVerdictCells, kReadingsLogVerdictCellCount),
               "the verdict fails only on a deciding FAIL");
}

std::string Pad(const std::string& text) { return text + std::string(text.size() < 15 ? 15 - text.size() : 0, ' '); }

std::string CellField(const ReadingsTable& table, int cell) { return Pad(Narrow(table.text[cell])); }

void CheckReport(const ReadingsTable& table, uint8_t powerStatus, uint32_t totalPower)
{
    const std::string report = BuildTestReport(table.text, table.state, powerStatus, totalPower);
    std::vector<std::string> lines = Split(report, "\r\n");
    FUZZ_CHECK(lines.back().empty(), "every line ends with CR LF");
    lines.pop_back();
    FUZZ_CHECK(lines.size() == kReportLines, "a report has 34 lines");
    for (size_t i = 0; i < lines.size(); ++i) {
        for (const char c : lines[i]) FUZZ_CHECK(c >= 0x20 && c < 0x7F, "a report line is printable ASCII");
        if (i != 3 && i != 4)
            FUZZ_CHECK(lines[i].size() == g_goldenWidths[i], "a report line has the golden report's width");
    }

    const bool on = (powerStatus & kPowerStatusOn) != 0;
    const bool off = (powerStatus & kPowerStatusOff) != 0;
    FUZZ_CHECK(lines[3] == std::string("Power Status: ") + (on ? "ON" : off ? "OFF" : "N/A"),
               "the power state line follows powerStatus");
    const double watts = static_cast<double>(static_cast<float>(totalPower) / 1000.0f);
    FUZZ_CHECK(lines[4] == "Total Power: " + PrintFixed(watts, 1) + "W", "the total power line is in watts");
    FUZZ_CHECK(lines[5] == std::string("Voltages: ") + ((powerStatus & kPowerStatusVoltagesPass) ? "PASS" : "FAIL"),
               "the tester's voltages verdict");
    FUZZ_CHECK(lines[6] == std::string("Timings: ") +
                               (((powerStatus >> kPowerStatusTimingsShift) & 3) == 0 ? "PASS" : "FAIL"),
               "the tester's timings verdict");

    // The voltage table: value cells, "N/A" literals and the row's verdict, 15 characters each.
    static const int kCellsShown[kRailCount] = {8, 8, 8, 8, 3, 7, 7, 7, 7, 7};
    for (int rail = 0; rail < kRailCount; ++rail) {
        const std::string& line = lines[10 + rail];
        for (int k = 0; k < 8; ++k) {
            const std::string field = line.substr(15 * (k + 1), 15);
            FUZZ_CHECK(field == (k < kCellsShown[rail] ? CellField(table, 16 * rail + k) : Pad("N/A")),
                       "a voltage table field is its cell's text");
        }
        const int voltages[] = {16 * rail, 16 * rail + 1, 16 * rail + 2};
        std::string verdict = line.substr(135);
        while (!verdict.empty() && verdict.back() == ' ') verdict.pop_back();
        FUZZ_CHECK(verdict == Verdict(table, voltages, 3), "a voltage row fails only on a failing voltage");
    }
    // The timing and slew tables.
    for (int table2 = 0; table2 < 2; ++table2) {
        for (int rail = 0; rail < 4; ++rail) {
            const std::string& line = lines[(table2 == 0 ? 23 : 30) + rail];
            const int first = 16 * rail + (table2 == 0 ? 8 : 12);
            const int shown = table2 == 1 && rail == static_cast<int>(RailId::Rail3V3) ? 2 : 4;
            const int cells[] = {first, first + 1, first + 2, first + 3};
            for (int k = 0; k < 4; ++k)
                FUZZ_CHECK(line.substr(15 * (k + 1), 15) == (k < shown ? CellField(table, first + k) : Pad("N/A")),
                           "a timing or slew field is its cell's text");
            FUZZ_CHECK(line.substr(75) == Pad(Verdict(table, cells, shown, true)),
                       "a timing or slew row's verdict follows its deciding cells");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::ifstream golden(OMBRELO_REPORT_GOLDEN, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(golden)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines = Split(text, "\r\n");
    lines.pop_back();  // what follows the last CR LF
    for (const std::string& line : lines) g_goldenWidths.push_back(line.size());
    FUZZ_CHECK(g_goldenWidths.size() == kReportLines, "the golden report is readable and has 34 lines");
    return 0;
}

FUZZ_TARGET(in)
{
    const uint8_t powerStatus = in.Byte();
    const uint8_t cables = in.Byte();
    const uint32_t totalPower = in.Long();
    auto readings = std::make_unique<DeviceReadings>();
    StoreByte(readings->powerStatus, powerStatus);
    StoreWord(readings->totalPower, static_cast<int32_t>(totalPower));
    FillReadings(*readings, in);

    auto table = std::make_unique<ReadingsTable>();
    table->CopyFromDevice(*readings);
    table->Evaluate(powerStatus, (cables & 1) != 0, (cables & 2) != 0);
    FormatDisplayedCellTexts(*table);

    CheckCells(*table, powerStatus, (cables & 1) != 0, (cables & 2) != 0);
    CheckLogRow(*table);
    CheckReport(*table, powerStatus, totalPower);
}
