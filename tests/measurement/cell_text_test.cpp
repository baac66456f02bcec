// Cell texts (formats per column, rounding, bounded length, decimal point under a non-C locale),
// which cells the display writes, and the display's colour and status panel decisions.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "measurement/cell_text.h"
#include "measurement/readings_display.h"

namespace {

using enum ReadingColumn;

// Formats into a buffer with a guard zone after the cell's ten units, and checks the guard.
std::wstring Text(int column, int32_t value)
{
    wchar_t buffer[kCellTextSize + 6];
    std::wmemset(buffer, L'?', kCellTextSize + 6);
    FormatCellText(column, value, buffer);
    for (int i = kCellTextSize; i < kCellTextSize + 6; ++i)
        EXPECT_EQ(buffer[i], L'?') << "overrun formatting " << value << " in column " << column;
    EXPECT_LT(std::wcslen(buffer), static_cast<size_t>(kCellTextSize));
    return std::wstring(buffer);
}

std::wstring Text(ReadingColumn column, int32_t value) { return Text(static_cast<int>(column), value); }

TEST(CellText, Formats)
{
    const struct { ReadingColumn column; int32_t value; const wchar_t* text; } rows[] = {
        {Volt, 12050, L"12.05"}, {MinCurrent, 3, L"0.00"}, {Ripple, 35, L"35.00"}, {SlewRate, 1260, L"1.3"},
        {T3, kTimedOut, L"T/O"}, {T1, 42, L"42"}, {T1, 0, L"0"}, {T1, 65533, L"65533"}, {Power, 720000, L"720.00"},
        {Ripple, 65535, L"65535.00"}, {TurnOnSlope, 0, L"PASS"}, {TurnOnSlope, 2, L"FAIL"}, {TSeq, -1, L"FAIL"},
        {Volt, kTimedOut, L"100.00"},  // only the timing columns know the time-out mark
        // Single-precision quotient: 0.005 and 0.015 are a little below, 0.025 a little above,
        // 12.355 is 12.3549995; exact halves go to the even digit, as printf does.
        {Volt, 5, L"0.00"}, {Volt, 15, L"0.01"}, {Volt, 25, L"0.03"}, {Volt, 12355, L"12.35"}, {Volt, 12345, L"12.35"},
        {Volt, 125, L"0.12"}, {Volt, 375, L"0.38"}, {SlewRate, 1250, L"1.2"}, {SlewRate, 1350, L"1.4"},
        {SlewRate, 1050, L"1.0"},
        // A tiny negative keeps its sign; either side of the sentinel is an ordinary number.
        {Volt, -12050, L"-12.05"}, {Volt, -12002, L"-12.00"}, {Volt, -10005, L"-10.01"}, {Volt, -32768, L"-32.77"},
        {MinCurrent, -3, L"-0.00"}, {SlewRate, -1250, L"-1.2"}, {Volt, -100001, L"-100.00"}, {Volt, -99999, L"-100.00"},
        // Largest with two decimals, then whole amperes.
        {MaxCurrent, 999999000, L"999999.00"}, {MinCurrent, -99999990, L"-99999.99"}, {MaxCurrent, 999999990, L"1000000"},
        {MinCurrent, -100000000, L"-100000"}, {MaxCurrent, INT32_MAX, L"2147484"}, {MinCurrent, INT32_MIN, L"-2147484"},
        {MinCurrent, INT32_MIN + 1, L"-2147484"},
        // Ripple and timings hold 16-bit numbers; anything wider still ends inside the cell.
        {Ripple, 999999, L"999999.00"}, {Ripple, 1000000, L"1000000"}, {Ripple, 999999999, L"999999999"},
        {Ripple, INT32_MAX, L"#########"}, {Ripple, INT32_MIN, L"#########"}, {T1, 999999999, L"999999999"},
        {T1, -99999999, L"-99999999"}, {T1, INT32_MIN, L"#########"}, {ReadingColumn{99}, 5, L""},
        {ReadingColumn{-1}, 5, L""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Text(row.column, row.value), row.text) << row.value << " in column " << int(row.column);
    for (int column = 0; column < kColumnCount; ++column)
        EXPECT_EQ(Text(column, kNotAvailable), L"") << column;

    // Across the whole 32-bit range, every scaled column stays within one whole unit.
    for (ReadingColumn column : {Volt, MinCurrent, MaxCurrent, Power, SlewRate}) {
        for (int32_t v : {INT32_MIN, INT32_MIN + 1, -1000000000, -123456789, -100000001, -99999999, -100001, 100000000,
                          123456789, 999999999, INT32_MAX - 1, INT32_MAX})
            EXPECT_NEAR(std::wcstod(Text(column, v).c_str(), nullptr), v / 1000.0, 1.0) << v << " in " << int(column);
    }
}

// The texts under a decimal comma are those of the C locale, pinned above and below.
TEST(CellText, DecimalPointInEveryLocale)
{
    auto texts = [] {
        wchar_t total[kTotalPowerTextSize];
        FormatTotalPowerText(123456, total);
        return std::vector<std::wstring>{Text(Volt, 12050), Text(SlewRate, 1260), Text(Ripple, 35), Text(MaxCurrent, INT32_MAX), total};
    };
    const auto inC = texts();
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252", "de-DE", "German"})
        if (!comma && std::setlocale(LC_ALL, name) != nullptr)
            comma = std::strcmp(std::localeconv()->decimal_point, ",") == 0;
    if (!comma) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    const auto inComma = texts();
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(inComma, inC);
}

// Per rail: D a displayed cell, N a fixed "N/A" control, . no control.
constexpr const char* kCellMap[kRailCount] = {
    "DDDDDDDDDDDDDDDD", "DDDDDDDDDDDDDDDD", "DDDDDDDDDDDDDDNN", "DDDDDDDDDDDDDDDD", "DDDNNNNN........",
    "DDDDDDDN........", "DDDDDDDN........", "DDDDDDDN........", "DDDDDDDN........", "DDDDDDDN........",
};

TEST(CellTextCells, WhichCellsAreShownAndWritten)
{
    auto table = std::make_unique<ReadingsTable>();
    for (int i = 0; i < kCellCount; ++i) {
        StoreWord(table->value[i], i == CellIndex(RailId::Rail5V, Volt) ? kNotAvailable : 1000 + i);
        std::wcscpy(table->text[i], L"old");
    }
    FormatDisplayedCellTexts(*table);
    for (int cell = 0; cell < kCellCount; ++cell) {
        const char kind = kCellMap[cell / 16][cell % 16];
        EXPECT_EQ(HasCellControl(cell), kind != '.') << cell;
        EXPECT_EQ(IsFixedNotAvailableCell(cell), kind == 'N') << cell;
        EXPECT_EQ(IsCellDisplayed(cell), kind == 'D') << cell;
        EXPECT_EQ(table->text[cell], kind == 'D' ? Text(cell % 16, LoadWord(table->value[cell])) : L"old") << cell;
    }
    EXPECT_FALSE(HasCellControl(-1));
    EXPECT_FALSE(HasCellControl(kCellCount));
}

TEST(ReadingsDisplay, CellColoursAndControlIds)
{
    // No value, or a fixed "N/A" text (only its first three characters are read), is grey
    // whatever the state; then green for PASS, red for FAIL, grey for anything else.
    const struct { const wchar_t* text; int32_t value; CellState state; uint32_t colour; } rows[] = {
        {L"0.00", 0, CellState::Pass, kColourPass},           {L"T/O", kTimedOut, CellState::Fail, kColourFail},
        {L"T/O", kTimedOut, CellState::NotAvailable, kColourNotAvailable}, {L"FAIL", 2, CellState::Fail, kColourFail},
        {L"", kNotAvailable, CellState::Pass, kColourNotAvailable}, {L"", kNotAvailable, CellState::Fail, kColourNotAvailable},
        {L"N/A", 5000, CellState::Pass, kColourNotAvailable}, {L"N/A", 5000, CellState::Fail, kColourNotAvailable},
        {L"N/Ax", 5000, CellState::Pass, kColourNotAvailable}, {L"N/", 5000, CellState::Pass, kColourPass},
        {L"1.00", 1000, static_cast<CellState>(7), kColourNotAvailable}, {nullptr, 1000, CellState::Pass, kColourPass},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ChooseCellColour(row.text, row.value, row.state), row.colour)
            << (row.text ? row.text : L"(null)") << " " << row.value << " " << int(row.state);
    for (auto [id, index] : {std::pair{1099, -1}, {1100, 0}, {1149, 49}, {1259, 159}, {1260, -1}, {1013, -1}}) {
        EXPECT_EQ(IsCellControlId(id), index >= 0) << id;
        EXPECT_EQ(CellIndexFromControlId(id), index) << id;
    }
}

TEST(ReadingsDisplay, StatusPanel)
{
    using B = StatusBackground;
    // Power state (on wins), voltages verdict (bit 2), timings verdict (bits 3 and 4 only).
    const struct { uint8_t status; const wchar_t *power, *voltages; B voltagesBg; const wchar_t* timings; B timingsBg; } rows[] = {
        {0x00, L"Power: N/A", L"FAIL", B::Fail, L"PASS", B::Pass},   {0x01, L"Power: ON", L"FAIL", B::Fail, L"PASS", B::Pass},
        {0x03, L"Power: ON", L"FAIL", B::Fail, L"PASS", B::Pass},    {0x02, L"Power: OFF", L"FAIL", B::Fail, L"PASS", B::Pass},
        {0x0D, L"Power: ON", L"PASS", B::Pass, L" FAIL ", B::Fail},  {0x12, L"Power: OFF", L"FAIL", B::Fail, L"N/A", B::Transparent},
        {0x18, L"Power: N/A", L"FAIL", B::Fail, L"N/A", B::Transparent}, {0xE0, L"Power: N/A", L"FAIL", B::Fail, L"PASS", B::Pass},
        {0xE8, L"Power: N/A", L"FAIL", B::Fail, L" FAIL ", B::Fail}, {0xFC, L"Power: N/A", L"PASS", B::Pass, L"N/A", B::Transparent},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.status));
        EXPECT_STREQ(GetPowerStateText(row.status).text, row.power);
        EXPECT_EQ(GetPowerStateText(row.status).background, B::Default);
        EXPECT_STREQ(GetVoltagesVerdict(row.status).text, row.voltages);
        EXPECT_EQ(GetVoltagesVerdict(row.status).background, row.voltagesBg);
        EXPECT_STREQ(GetTimingsVerdict(row.status).text, row.timings);
        EXPECT_EQ(GetTimingsVerdict(row.status).background, row.timingsBg);
    }
    for (auto [milliwatts, text] : {std::pair{0u, L"Total Power: 0.0W"}, {123456u, L"Total Power: 123.5W"},
                                    {450049u, L"Total Power: 450.0W"}, {0xFFFFFFFFu, L"Total Power: 4294967.3W"},
                                    {0x80000000u, L"Total Power: 2147483.6W"}}) {
        wchar_t out[kTotalPowerTextSize];
        FormatTotalPowerText(milliwatts, out);
        EXPECT_STREQ(out, text);
    }
}

}  // namespace
