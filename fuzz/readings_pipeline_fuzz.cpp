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
#include <algorithm>
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

using C = ReadingColumn;
using R = RailId;
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
    }
    int64_t v = 1;  // around a power of ten, where a text gains a digit
    for (int i = (selector >> 3) % 10; i > 0; --i) v *= 10;
    return static_cast<int32_t>((selector & 0x80 ? -v : v) + static_cast<int8_t>(in.Byte()) % 8);
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

// The text when it fits a cell's nine characters, else the overflow mark.
std::string FitCell(const std::string& text) { return text.size() > kCellTextSize - 1 ? "#########" : text; }

// A fixed-notation cell: the decimals when they fit, else whole units, else the overflow mark.
std::string ExpectedFixed(double number, int decimals)
{
    const std::string text = PrintFixed(number, decimals);
    return text.size() > kCellTextSize - 1 ? FitCell(PrintFixed(number, 0)) : text;
}

std::string ExpectedCellText(int column, int32_t value)
{
    const auto c = static_cast<C>(column);
    const double thousandth = static_cast<double>(static_cast<float>(value) / 1000.0f);
    if (value == kNotAvailable) return "";
    if (c == C::Ripple) return ExpectedFixed(value, 2);
    if (c >= C::T1 && c <= C::T6) return value == kTimedOut ? "T/O" : FitCell(std::to_string(value));
    if (c == C::SlewRate) return ExpectedFixed(thousandth, 1);
    if (c > C::SlewRate) return value == 0 ? "PASS" : "FAIL";  // the flags
    return ExpectedFixed(thousandth, 2);
}

void CheckCells(const ReadingsTable& table, uint8_t powerStatus, bool cpu, bool pcie)
{
    const bool on = (powerStatus & kPowerStatusOn) != 0, off = (powerStatus & kPowerStatusOff) != 0;
    const CellLimits& limits = on ? kPowerOnLimits : kPowerOffLimits;
    for (int cell = 0; cell < kCellCount; ++cell) {
        const wchar_t* text = table.text[cell];
        FUZZ_CHECK(std::wmemchr(text, L'\0', kCellTextSize) != nullptr, "a cell text ends within its 10 units");
        const int32_t value = LoadWord(table.value[cell]);
        if (IsCellDisplayed(cell))
            FUZZ_CHECK(Narrow(text) == ExpectedCellText(cell % kColumnCount, value),
                       "a cell text is the value at its column's precision");
        else
            FUZZ_CHECK(text[0] == 0, "a cell the display does not write keeps its empty text");

        // The state: N/A without a value or a power state, else PASS within the limits; outside them
        // FAIL, but N/A for an optional cable's voltage while that cable is unplugged and power is on.
        const CellState state = table.state[cell];
        const auto rail = static_cast<R>(cell / kColumnCount);
        const bool voltage = cell % kColumnCount <= static_cast<int>(C::MaxVolt);
        const bool unplugged = on && voltage && (rail == R::Rail12VCpu ? !cpu : rail == R::Rail12VPcie && !pcie);
        if (value == kNotAvailable || (!on && !off))
            FUZZ_CHECK(state == CellState::NotAvailable, "no value or no power state: N/A");
        else if (limits.low[cell] <= value && value <= limits.high[cell])
            FUZZ_CHECK(state == CellState::Pass, "a cell within its limits passes");
        else
            FUZZ_CHECK(state == (unplugged ? CellState::NotAvailable : CellState::Fail),
                       "a cell outside its limits fails, but for an unplugged optional cable's voltage");
    }

    auto value = [&table](R rail, C column) { return LoadWord(table.value[CellIndex(rail, column)]); };
    for (int r = 0; r < kRailCount; ++r) {
        // Power: voltage x current / 1000 in single precision, truncated; -12V has none.
        const auto rail = static_cast<R>(r);
        const float product = static_cast<float>(value(rail, C::Volt)) * static_cast<float>(value(rail, C::Current));
        const double expected = std::fmax(std::fmin(std::trunc(product / 1000.0f), 2147483647.0), -2147483648.0);
        if (rail == R::RailMinus12V)
            FUZZ_CHECK(value(rail, C::Power) == kNotAvailable, "the -12V power cell is never written");
        else
            FUZZ_CHECK(value(rail, C::Power) == expected, "a power cell is its row's voltage x current");
    }
    for (R rail : {R::Rail5VSB, R::RailMinus12V, R::Rail12VPcie, R::Rail12VSata, R::Rail5VSata, R::Rail3V3Sata})
        FUZZ_CHECK(value(rail, C::Ripple) == kNotAvailable, "no ripple is measured on this rail");
    FUZZ_CHECK(value(R::Rail3V3, C::VSeq) == kNotAvailable && value(R::Rail3V3, C::TSeq) == kNotAvailable,
               "3.3V has no sequencing results");
}

// The verdict of the cells first..first + count - 1 (or of the cells listed): FAIL when one fails,
// else PASS; with naDecides, N/A as soon as one is not available.
std::string Verdict(const ReadingsTable& table, const int* cells, int count, bool naDecides = false, int first = 0)
{
    bool fail = false;
    for (int i = 0; i < count; ++i) {
        const CellState state = table.state[cells ? cells[i] : first + i];
        if (naDecides && state == CellState::NotAvailable) return "N/A";
        fail = fail || state == CellState::Fail;
    }
    return fail ? "FAIL" : "PASS";
}

void CheckLogRow(const ReadingsTable& table)
{
    const auto row = ExactBuffer<wchar_t>(kLogTextUnits);
    const size_t length = BuildReadingsLogRow(table.text, table.state, row.get());
    FUZZ_CHECK(length <= static_cast<size_t>(kLogTextUnits - 1), "a row fits one log record whole");
    FUZZ_CHECK(row[length] == 0 && std::wcslen(row.get()) == length, "a row is terminated at its length");
    const std::vector<std::string> fields = Split(Narrow(row.get()), ",");
    FUZZ_CHECK(fields.size() == kReadingsLogFieldCount + 1, "a row has 33 fields, 32 commas");

    size_t kept = 0;
    for (int f = 0; f < kReadingsLogFieldCount; ++f) {
        std::string text = Narrow(table.text[kReadingsLogCells[f]]);
        std::replace(text.begin(), text.end(), ',', '.');
        kept += fields[f] == text ? text.size() : 0;
        FUZZ_CHECK(fields[f] == text || fields[f].empty(), "a field is its cell's text or empty");
        FUZZ_CHECK(fields[f] == text || kept + text.size() + kReadingsLogFieldCount + 4 > kLogTextUnits - 1,
                   "a field is left empty only when it would not fit the record");
    }
    FUZZ_CHECK(fields.back() == Verdict(table, kReadingsLogVerdictCells, kReadingsLogVerdictCellCount),
               "the verdict fails only on a deciding FAIL");
}

std::string Pad(const std::string& text) { return text + std::string(text.size() < 15 ? 15 - text.size() : 0, ' '); }

// The report's three tables: first line, rows, first column, fields per row, and how a row is judged:
// timing: N/A decides the verdict of the fields shown, padded; else the row's three voltages decide.
const struct {
    int line, rows, column, fields;
    bool timing;
    int shown[kRailCount];  // per row, the cells shown; the other fields read N/A
} kReportTables[] = {
    {10, kRailCount, 0, 8, false, {8, 8, 8, 8, 3, 7, 7, 7, 7, 7}},
    {23, 4, 8, 4, true, {4, 4, 4, 4}},
    {30, 4, 12, 4, true, {4, 4, 2, 4}},
};
const char* const kFieldWhy[] = {"a voltage table field is its cell's text",
                                 "a timing or slew field is its cell's text"};
const char* const kVerdictWhy[] = {"a voltage row fails only on a failing voltage",
                                   "a timing or slew row's verdict follows its deciding cells"};

void CheckReport(const ReadingsTable& table, uint8_t powerStatus, uint32_t totalPower)
{
    std::vector<std::string> lines = Split(BuildTestReport(table.text, table.state, powerStatus, totalPower), "\r\n");
    FUZZ_CHECK(lines.back().empty(), "every line ends with CR LF");
    lines.pop_back();
    FUZZ_CHECK(lines.size() == kReportLines, "a report has 34 lines");
    for (size_t i = 0; i < lines.size(); ++i) {
        for (const char c : lines[i]) FUZZ_CHECK(c >= 0x20 && c < 0x7F, "a report line is printable ASCII");
        FUZZ_CHECK(i == 3 || i == 4 || lines[i].size() == g_goldenWidths[i],
                   "a report line has the golden report's width");
    }

    const bool on = (powerStatus & kPowerStatusOn) != 0, off = (powerStatus & kPowerStatusOff) != 0;
    const double watts = static_cast<double>(static_cast<float>(totalPower) / 1000.0f);
    const bool timingsPass = ((powerStatus >> kPowerStatusTimingsShift) & 3) == 0;
    FUZZ_CHECK(lines[3] == std::string("Power Status: ") + (on ? "ON" : off ? "OFF" : "N/A"),
               "the power state line follows powerStatus");
    FUZZ_CHECK(lines[4] == "Total Power: " + PrintFixed(watts, 1) + "W", "the total power line is in watts");
    FUZZ_CHECK(lines[5] == std::string("Voltages: ") + ((powerStatus & kPowerStatusVoltagesPass) ? "PASS" : "FAIL"),
               "the tester's voltages verdict");
    FUZZ_CHECK(lines[6] == std::string("Timings: ") + (timingsPass ? "PASS" : "FAIL"), "the tester's timings verdict");

    // Value cells or "N/A" literals, then the row's verdict, 15 characters each.
    for (const auto& t : kReportTables) {
        for (int rail = 0; rail < t.rows; ++rail) {
            const std::string& line = lines[t.line + rail];
            const int first = kColumnCount * rail + t.column;
            const int shown = t.shown[rail];
            for (int k = 0; k < t.fields; ++k)
                FUZZ_CHECK(line.substr(15 * (k + 1), 15) == Pad(k < shown ? Narrow(table.text[first + k]) : "N/A"),
                           kFieldWhy[t.timing]);
            std::string verdict = line.substr(15 * (t.fields + 1));
            if (!t.timing) verdict.erase(verdict.find_last_not_of(' ') + 1);
            FUZZ_CHECK(verdict == (t.timing ? Pad(Verdict(table, nullptr, shown, true, first))
                                            : Verdict(table, nullptr, 3, false, first)),
                       kVerdictWhy[t.timing]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::ifstream golden(OMBRELO_REPORT_GOLDEN, std::ios::binary);
    std::vector<std::string> lines = Split(std::string(std::istreambuf_iterator<char>(golden), {}), "\r\n");
    lines.pop_back();  // what follows the last CR LF
    for (const std::string& line : lines) g_goldenWidths.push_back(line.size());
    FUZZ_CHECK(g_goldenWidths.size() == kReportLines, "the golden report is readable and has 34 lines");
    return 0;
}

FUZZ_TARGET(in)
{
    const uint8_t powerStatus = in.Byte(), cables = in.Byte();
    const uint32_t totalPower = in.Long();
    const bool cpu = (cables & 1) != 0, pcie = (cables & 2) != 0;
    const auto readings = std::make_unique<DeviceReadings>();
    StoreByte(readings->powerStatus, powerStatus);
    StoreWord(readings->totalPower, static_cast<int32_t>(totalPower));
    ForEachReadingWord(*readings, [&](ReadingField field, std::atomic<int32_t>& word) {
        if (field != ReadingField::TotalPower) StoreWord(word, TakeValue(in));  // taken first, as the status sends it
    });

    const auto table = std::make_unique<ReadingsTable>();
    table->CopyFromDevice(*readings);
    table->Evaluate(powerStatus, cpu, pcie);
    FormatDisplayedCellTexts(*table);
    CheckCells(*table, powerStatus, cpu, pcie);
    CheckLogRow(*table);
    CheckReport(*table, powerStatus, totalPower);
}
