// Cell text formats: volts, amperes and watts with two decimals, ripple in millivolts with two
// decimals, timings in whole milliseconds or "T/O", slew rate with one decimal, flags as PASS or
// FAIL. Numbers go through std::to_chars, which never consults the locale, so a German or French
// user still sees a decimal point; its rounding is that of printf in the C locale.
#include "measurement/cell_text.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace {

constexpr int kMaxCellChars = kCellTextSize - 1;

// Shown when even the whole-number form of a value does not fit; only values that no tester
// field can produce (ripple or timings beyond nine digits) get here.
constexpr char kOverflowText[] = "#########";
static_assert(sizeof(kOverflowText) - 1 == kMaxCellChars);

void WidenInto(const char* text, int length, wchar_t out[kCellTextSize])
{
    for (int i = 0; i < length; ++i) {
        out[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    out[length] = L'\0';
}

void CopyAscii(const char* text, wchar_t out[kCellTextSize])
{
    WidenInto(text, static_cast<int>(std::strlen(text)), out);
}

// Fixed notation with the given decimals when that fits the cell; otherwise the same number in
// whole units (the decimals go first, the magnitude is kept); otherwise the overflow mark.
void FormatFixed(double number, int decimals, wchar_t out[kCellTextSize])
{
    char buffer[kMaxCellChars];
    std::to_chars_result result =
        std::to_chars(buffer, buffer + kMaxCellChars, number, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) {
        result = std::to_chars(buffer, buffer + kMaxCellChars, number, std::chars_format::fixed, 0);
    }
    if (result.ec != std::errc()) {
        CopyAscii(kOverflowText, out);
        return;
    }
    WidenInto(buffer, static_cast<int>(result.ptr - buffer), out);
}

void FormatInteger(int32_t number, wchar_t out[kCellTextSize])
{
    char buffer[kMaxCellChars];
    const std::to_chars_result result = std::to_chars(buffer, buffer + kMaxCellChars, number);
    if (result.ec != std::errc()) {
        CopyAscii(kOverflowText, out);
        return;
    }
    WidenInto(buffer, static_cast<int>(result.ptr - buffer), out);
}

// Milli-units to units in single precision, as the value is shown; widening the quotient to
// double afterwards is exact and changes no digit.
double ScaleThousandth(int32_t value)
{
    const float number = static_cast<float>(value);
    const float units = number / 1000.0f;
    return static_cast<double>(units);
}

constexpr int kFixedNotAvailableCells[] = {
    CellIndex(RailId::Rail3V3, ReadingColumn::VSeq),
    CellIndex(RailId::Rail3V3, ReadingColumn::TSeq),
    CellIndex(RailId::RailMinus12V, ReadingColumn::MinCurrent),
    CellIndex(RailId::RailMinus12V, ReadingColumn::Current),
    CellIndex(RailId::RailMinus12V, ReadingColumn::MaxCurrent),
    CellIndex(RailId::RailMinus12V, ReadingColumn::Power),
    CellIndex(RailId::RailMinus12V, ReadingColumn::Ripple),
    CellIndex(RailId::Rail5VSB, ReadingColumn::Ripple),
    CellIndex(RailId::Rail12VPcie, ReadingColumn::Ripple),
    CellIndex(RailId::Rail12VSata, ReadingColumn::Ripple),
    CellIndex(RailId::Rail5VSata, ReadingColumn::Ripple),
    CellIndex(RailId::Rail3V3Sata, ReadingColumn::Ripple),
};

// Rails with power-on timing, slew and sequencing cells in the window.
constexpr int kTimedRailCount = 4;

}  // namespace

void FormatCellText(int column, int32_t value, wchar_t out[kCellTextSize])
{
    if (value == kNotAvailable) {
        out[0] = L'\0';
        return;
    }
    switch (static_cast<ReadingColumn>(column)) {
    case ReadingColumn::MinVolt:
    case ReadingColumn::Volt:
    case ReadingColumn::MaxVolt:
    case ReadingColumn::MinCurrent:
    case ReadingColumn::Current:
    case ReadingColumn::MaxCurrent:
    case ReadingColumn::Power:
        FormatFixed(ScaleThousandth(value), 2, out);
        return;
    case ReadingColumn::Ripple:
        // Whole millivolts; a double holds every 32-bit value exactly.
        FormatFixed(static_cast<double>(value), 2, out);
        return;
    case ReadingColumn::T1:
    case ReadingColumn::T2:
    case ReadingColumn::T3:
    case ReadingColumn::T6:
        if (value == kTimedOut) {
            CopyAscii("T/O", out);
        } else {
            FormatInteger(value, out);
        }
        return;
    case ReadingColumn::SlewRate:
        FormatFixed(ScaleThousandth(value), 1, out);
        return;
    case ReadingColumn::TurnOnSlope:
    case ReadingColumn::VSeq:
    case ReadingColumn::TSeq:
        CopyAscii(value == 0 ? "PASS" : "FAIL", out);
        return;
    }
    // Not a column of the grid.
    out[0] = L'\0';
}

bool HasCellControl(int cellIndex)
{
    if (cellIndex < 0 || cellIndex >= kCellCount) {
        return false;
    }
    const int rail = cellIndex / kColumnCount;
    const int column = cellIndex % kColumnCount;
    return column <= static_cast<int>(ReadingColumn::Ripple) || rail < kTimedRailCount;
}

bool IsFixedNotAvailableCell(int cellIndex)
{
    for (int fixed : kFixedNotAvailableCells) {
        if (fixed == cellIndex) {
            return true;
        }
    }
    return false;
}

bool IsCellDisplayed(int cellIndex)
{
    return HasCellControl(cellIndex) && !IsFixedNotAvailableCell(cellIndex);
}

void FormatDisplayedCellTexts(ReadingsTable& table)
{
    for (int i = 0; i < kCellCount; ++i) {
        if (IsCellDisplayed(i)) {
            FormatCellText(i % kColumnCount, LoadWord(table.value[i]), table.text[i]);
        }
    }
}
