// The display's decisions: cell colours and the status panel's texts and backgrounds.
#include <gtest/gtest.h>

#include <string>

#include "measurement/readings_display.h"

namespace {

TEST(ReadingsDisplayColour, CellColours)
{
    EXPECT_EQ(ChooseCellColour(L"0.00", 0, CellState::Pass), kColourPass);
    EXPECT_EQ(ChooseCellColour(L"T/O", kTimedOut, CellState::Fail), kColourFail);
    EXPECT_EQ(ChooseCellColour(L"T/O", kTimedOut, CellState::NotAvailable), kColourNotAvailable);
    EXPECT_EQ(ChooseCellColour(L"FAIL", 2, CellState::Fail), kColourFail);
    EXPECT_EQ(ChooseCellColour(L"PASS", 0, CellState::Pass), kColourPass);
    // No value: grey even if a stale state says otherwise.
    EXPECT_EQ(ChooseCellColour(L"", kNotAvailable, CellState::Pass), kColourNotAvailable);
    EXPECT_EQ(ChooseCellColour(L"", kNotAvailable, CellState::Fail), kColourNotAvailable);
    // The fixed "N/A" cells stay grey whatever their value and state.
    EXPECT_EQ(ChooseCellColour(L"N/A", 5000, CellState::Pass), kColourNotAvailable);
    EXPECT_EQ(ChooseCellColour(L"N/A", 5000, CellState::Fail), kColourNotAvailable);
    // Any state other than PASS or FAIL is grey.
    EXPECT_EQ(ChooseCellColour(L"1.00", 1000, static_cast<CellState>(7)), kColourNotAvailable);
    EXPECT_EQ(ChooseCellColour(nullptr, 1000, CellState::Pass), kColourPass);
}

TEST(ReadingsDisplayColour, ControlIds)
{
    EXPECT_FALSE(IsCellControlId(1099));
    EXPECT_TRUE(IsCellControlId(1100));
    EXPECT_TRUE(IsCellControlId(1259));
    EXPECT_FALSE(IsCellControlId(1260));
    EXPECT_FALSE(IsCellControlId(1013));
    EXPECT_EQ(CellIndexFromControlId(1149), 49);
    EXPECT_EQ(CellIndexFromControlId(1013), -1);
}

std::wstring TotalPower(uint32_t milliwatts)
{
    wchar_t out[kTotalPowerTextSize];
    FormatTotalPowerText(milliwatts, out);
    return out;
}

TEST(ReadingsDisplayStatus, PowerAndTotal)
{
    EXPECT_STREQ(GetPowerStateText(0x01).text, L"Power: ON");
    EXPECT_STREQ(GetPowerStateText(0x03).text, L"Power: ON");
    EXPECT_STREQ(GetPowerStateText(0x02).text, L"Power: OFF");
    EXPECT_STREQ(GetPowerStateText(0x00).text, L"Power: N/A");
    EXPECT_STREQ(GetPowerStateText(0xFC).text, L"Power: N/A");
    EXPECT_EQ(GetPowerStateText(0x01).background, StatusBackground::Default);

    EXPECT_EQ(TotalPower(0), L"Total Power: 0.0W");
    EXPECT_EQ(TotalPower(123456), L"Total Power: 123.5W");
    EXPECT_EQ(TotalPower(450049), L"Total Power: 450.0W");
    EXPECT_EQ(TotalPower(0xFFFFFFFFu), L"Total Power: 4294967.3W");
    EXPECT_EQ(TotalPower(0x80000000u), L"Total Power: 2147483.6W");
}

void ExpectStatus(StatusText status, const wchar_t* text, StatusBackground background)
{
    EXPECT_STREQ(status.text, text);
    EXPECT_EQ(status.background, background);
}

TEST(ReadingsDisplayStatus, Verdicts)
{
    using B = StatusBackground;
    // Nothing received yet.
    ExpectStatus(GetVoltagesVerdict(0), L"FAIL", B::Fail);
    ExpectStatus(GetTimingsVerdict(0), L"PASS", B::Pass);
    // On, voltages pass, timings code 1.
    EXPECT_STREQ(GetPowerStateText(0x0D).text, L"Power: ON");
    ExpectStatus(GetVoltagesVerdict(0x0D), L"PASS", B::Pass);
    ExpectStatus(GetTimingsVerdict(0x0D), L" FAIL ", B::Fail);
    // Off, timings code 2.
    EXPECT_STREQ(GetPowerStateText(0x12).text, L"Power: OFF");
    ExpectStatus(GetVoltagesVerdict(0x12), L"FAIL", B::Fail);
    ExpectStatus(GetTimingsVerdict(0x12), L"N/A", B::Transparent);
    // Timings code 3, and bits above 4 play no part.
    ExpectStatus(GetTimingsVerdict(0x18), L"N/A", B::Transparent);
    EXPECT_STREQ(GetTimingsVerdict(0xE0).text, L"PASS");
    EXPECT_STREQ(GetTimingsVerdict(0xE8).text, L" FAIL ");
}

}  // namespace
