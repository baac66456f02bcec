// Cell texts: the formats per column, rounding, the bounded length of extreme currents, the
// decimal point of the cells and the total power under a non-C locale, and which cells the
// display writes.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "measurement/cell_text.h"
#include "measurement/readings_display.h"

namespace {

constexpr int kVolt = static_cast<int>(ReadingColumn::Volt);
constexpr int kMinCurrent = static_cast<int>(ReadingColumn::MinCurrent);
constexpr int kMaxCurrent = static_cast<int>(ReadingColumn::MaxCurrent);
constexpr int kPower = static_cast<int>(ReadingColumn::Power);
constexpr int kRipple = static_cast<int>(ReadingColumn::Ripple);
constexpr int kT1 = static_cast<int>(ReadingColumn::T1);
constexpr int kT3 = static_cast<int>(ReadingColumn::T3);
constexpr int kSlew = static_cast<int>(ReadingColumn::SlewRate);
constexpr int kSlope = static_cast<int>(ReadingColumn::TurnOnSlope);
constexpr int kTSeq = static_cast<int>(ReadingColumn::TSeq);

// Formats into a buffer with a guard zone after the cell's ten units, and checks the guard.
std::wstring Text(int column, int32_t value)
{
    wchar_t buffer[kCellTextSize + 6];
    std::wmemset(buffer, L'?', kCellTextSize + 6);
    FormatCellText(column, value, buffer);
    for (int i = kCellTextSize; i < kCellTextSize + 6; ++i) {
        EXPECT_EQ(buffer[i], L'?') << "overrun formatting " << value << " in column " << column;
    }
    EXPECT_LT(std::wcslen(buffer), static_cast<size_t>(kCellTextSize));
    return std::wstring(buffer);
}

struct Example {
    int column;
    int32_t value;
    const wchar_t* text;
};

void ExpectTexts(std::initializer_list<Example> examples)
{
    for (const Example& e : examples) EXPECT_EQ(Text(e.column, e.value), e.text) << e.value << " in column " << e.column;
}

TEST(CellText, FormatsOfEveryColumn)
{
    ExpectTexts({{kVolt, 12050, L"12.05"}, {kMinCurrent, 3, L"0.00"}, {kRipple, 35, L"35.00"}, {kSlew, 1260, L"1.3"},
                 {kT3, kTimedOut, L"T/O"}, {kT1, 42, L"42"}, {kT1, 0, L"0"}, {kT1, 65533, L"65533"},
                 {kPower, 720000, L"720.00"}, {kRipple, 65535, L"65535.00"}, {kSlope, 0, L"PASS"}, {kSlope, 2, L"FAIL"},
                 {kTSeq, -1, L"FAIL"},
                 // Only the timing columns know the time-out mark.
                 {kVolt, kTimedOut, L"100.00"}});
    for (int column = 0; column < kColumnCount; ++column) {
        EXPECT_EQ(Text(column, kNotAvailable), L"") << column;
    }
}

TEST(CellText, RoundsTheSinglePrecisionQuotient)
{
    // 0.005 and 0.015 are a little below in single precision, 0.025 a little above; 12.355 is
    // 12.3549995 (the double quotient would give 12.36); exact halves go to the even digit, as
    // printf does.
    ExpectTexts({{kVolt, 5, L"0.00"}, {kVolt, 15, L"0.01"}, {kVolt, 25, L"0.03"}, {kVolt, 12355, L"12.35"},
                 {kVolt, 12345, L"12.35"}, {kVolt, 125, L"0.12"}, {kVolt, 375, L"0.38"}, {kSlew, 1250, L"1.2"},
                 {kSlew, 1350, L"1.4"}, {kSlew, 1050, L"1.0"}});
}

TEST(CellText, NegativeValues)
{
    // A tiny negative keeps its sign, like "%.2f"; one below and one above the sentinel are
    // ordinary numbers.
    ExpectTexts({{kVolt, -12050, L"-12.05"}, {kVolt, -12002, L"-12.00"}, {kVolt, -10005, L"-10.01"},
                 {kVolt, -32768, L"-32.77"}, {kMinCurrent, -3, L"-0.00"}, {kSlew, -1250, L"-1.2"},
                 {kVolt, -100001, L"-100.00"}, {kVolt, -99999, L"-100.00"}});
}

double ParseText(const std::wstring& text) { return std::wcstod(text.c_str(), nullptr); }

TEST(CellText, ExtremeCurrentsStayInTheCellAndNumericallyRight)
{
    // Largest with two decimals: 999999.99 A and -99999.99 A (nine characters); one step further
    // the decimals are dropped, the amperes kept.
    ExpectTexts({{kMaxCurrent, 999999000, L"999999.00"}, {kMinCurrent, -99999990, L"-99999.99"},
                 {kMaxCurrent, 999999990, L"1000000"}, {kMinCurrent, -100000000, L"-100000"},
                 {kMaxCurrent, INT32_MAX, L"2147484"}, {kMinCurrent, INT32_MIN, L"-2147484"},
                 {kMinCurrent, INT32_MIN + 1, L"-2147484"}});

    // Across the whole 32-bit range, every numeric column stays within one whole unit.
    const int32_t values[] = {INT32_MIN, INT32_MIN + 1, -1000000000, -123456789, -100000001,
                              -99999999, -100001, 100000000, 123456789, 999999999, INT32_MAX - 1, INT32_MAX};
    for (int column : {kVolt, kMinCurrent, kMaxCurrent, kPower, kSlew}) {
        for (int32_t v : values) {
            const double shown = ParseText(Text(column, v));
            EXPECT_NEAR(shown, v / 1000.0, 1.0) << v << " in column " << column;
        }
    }
}

TEST(CellText, ValuesNoTesterSendsNeverOverrun)
{
    // Ripple and timings hold 16-bit numbers; anything wider still ends inside the cell.
    ExpectTexts({{kRipple, 999999, L"999999.00"}, {kRipple, 1000000, L"1000000"}, {kRipple, 999999999, L"999999999"},
                 {kRipple, INT32_MAX, L"#########"}, {kRipple, INT32_MIN, L"#########"}, {kT1, 999999999, L"999999999"},
                 {kT1, -99999999, L"-99999999"}, {kT1, INT32_MIN, L"#########"}, {99, 5, L""}, {-1, 5, L""}});
}

// A locale whose decimal mark is a comma, if one is installed.
bool SelectCommaLocale()
{
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252",
                           "de-DE", "German"};
    for (const char* name : names) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            const std::lconv* conv = std::localeconv();
            if (conv != nullptr && std::strcmp(conv->decimal_point, ",") == 0) {
                return true;
            }
        }
    }
    std::setlocale(LC_ALL, "C");
    return false;
}

TEST(CellText, DecimalPointInEveryLocale)
{
    if (!SelectCommaLocale()) {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    const std::wstring volts = Text(kVolt, 12050);
    const std::wstring slew = Text(kSlew, 1260);
    const std::wstring ripple = Text(kRipple, 35);
    const std::wstring amps = Text(kMaxCurrent, INT32_MAX);
    wchar_t total[kTotalPowerTextSize];
    FormatTotalPowerText(123456, total);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(volts, L"12.05");
    EXPECT_EQ(slew, L"1.3");
    EXPECT_EQ(ripple, L"35.00");
    EXPECT_EQ(amps, L"2147484");
    EXPECT_STREQ(total, L"Total Power: 123.5W");
}

TEST(CellTextCells, TheDisplayedCells)
{
    const int fixed[] = {46, 47, 67, 68, 69, 70, 71, 87, 103, 119, 135, 151};
    int controls = 0;
    int displayed = 0;
    int fixedCount = 0;
    for (int cell = 0; cell < kCellCount; ++cell) {
        controls += HasCellControl(cell) ? 1 : 0;
        displayed += IsCellDisplayed(cell) ? 1 : 0;
        fixedCount += IsFixedNotAvailableCell(cell) ? 1 : 0;
    }
    EXPECT_EQ(controls, 112);
    EXPECT_EQ(displayed, 100);
    EXPECT_EQ(fixedCount, 12);
    for (int cell : fixed) {
        EXPECT_TRUE(HasCellControl(cell)) << cell;
        EXPECT_TRUE(IsFixedNotAvailableCell(cell)) << cell;
        EXPECT_FALSE(IsCellDisplayed(cell)) << cell;
    }
    // Timing, slew and flag cells exist for the four main rails only.
    EXPECT_TRUE(IsCellDisplayed(CellIndex(RailId::Rail12VCpu, ReadingColumn::TSeq)));
    EXPECT_TRUE(IsCellDisplayed(CellIndex(RailId::Rail3V3, ReadingColumn::TurnOnSlope)));
    EXPECT_FALSE(HasCellControl(CellIndex(RailId::RailMinus12V, ReadingColumn::T1)));
    EXPECT_FALSE(HasCellControl(CellIndex(RailId::Rail3V3Sata, ReadingColumn::TSeq)));
    EXPECT_TRUE(IsCellDisplayed(CellIndex(RailId::Rail3V3Sata, ReadingColumn::Power)));
    EXPECT_FALSE(HasCellControl(-1));
    EXPECT_FALSE(HasCellControl(kCellCount));
}

TEST(CellTextCells, FormatsOnlyTheDisplayedCells)
{
    auto table = std::make_unique<ReadingsTable>();
    for (int i = 0; i < kCellCount; ++i) {
        StoreWord(table->value[i], 1000);
        std::wcscpy(table->text[i], L"old");
    }
    StoreWord(table->value[CellIndex(RailId::Rail5V, ReadingColumn::Volt)], kNotAvailable);
    FormatDisplayedCellTexts(*table);
    for (int i = 0; i < kCellCount; ++i) {
        if (!IsCellDisplayed(i)) {
            EXPECT_STREQ(table->text[i], L"old") << i;
        }
    }
    EXPECT_STREQ(table->text[CellIndex(RailId::Rail12V1, ReadingColumn::Volt)], L"1.00");
    EXPECT_STREQ(table->text[CellIndex(RailId::Rail5V, ReadingColumn::Volt)], L"");
    EXPECT_STREQ(table->text[CellIndex(RailId::Rail12VSata, ReadingColumn::Power)], L"1.00");
    EXPECT_STREQ(table->text[CellIndex(RailId::Rail12V1, ReadingColumn::Ripple)], L"1000.00");
    EXPECT_STREQ(table->text[CellIndex(RailId::Rail5V, ReadingColumn::T2)], L"1000");
    EXPECT_STREQ(table->text[CellIndex(RailId::Rail3V3, ReadingColumn::SlewRate)], L"1.0");
    EXPECT_STREQ(table->text[CellIndex(RailId::Rail12VCpu, ReadingColumn::VSeq)], L"FAIL");
}

}  // namespace
