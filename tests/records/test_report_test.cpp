// The test report: whole files against golden files written from the report's tables, the
// status lines from powerStatus and totalPower, and the row verdicts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/test_report.h"
#include "records_test_support.h"

namespace {

void SetRow(CellSnapshot& cells, int firstCell, std::initializer_list<const wchar_t*> texts, CellState state)
{
    int cell = firstCell;
    for (const wchar_t* text : texts) cells.Set(cell++, text, state);
}

// The grid behind golden/report_sample.txt.
CellSnapshot MakeSampleCells()
{
    CellSnapshot cells;
    const CellState pass = CellState::Pass;
    const CellState fail = CellState::Fail;
    SetRow(cells, 0, {L"11.98", L"12.05", L"12.10", L"0.00", L"3.41", L"5.20", L"41.09", L"8.00"}, pass);
    SetRow(cells, 16, {L"4.98", L"5.02", L"5.06", L"0.00", L"2.10", L"3.00", L"10.54", L"60.00"}, pass);
    cells.state[23] = fail;  // ripple: does not decide a voltage row
    SetRow(cells, 32, {L"3.30", L"3.31", L"3.33", L"0.00", L"1.50", L"2.00", L"4.96", L"9.00"}, pass);
    cells.state[34] = fail;  // Max Volt.
    SetRow(cells, 48, {L"12.00", L"12.01", L"12.02", L"0.00", L"6.20", L"7.00", L"74.46", L"15.00"}, pass);
    SetRow(cells, 64, {L"-12.01", L"-11.98", L"-11.95"}, pass);
    SetRow(cells, 67, {L"9.99", L"9.99"}, fail);  // not in the report
    SetRow(cells, 80, {L"5.00", L"5.01", L"5.02", L"0.00", L"0.50", L"0.60", L"2.50"}, pass);
    SetRow(cells, 112, {L"11.98", L"12.05", L"12.10", L"0.00", L"0.27", L"0.30", L"3.25"}, pass);
    SetRow(cells, 128, {L"4.98", L"5.02", L"5.06", L"0.00", L"0.89", L"1.00", L"4.47"}, pass);
    SetRow(cells, 144, {L"3.30", L"3.31", L"3.33", L"0.00", L"0.12", L"0.20", L"0.40"}, pass);

    SetRow(cells, 8, {L"42", L"5", L"250", L"T/O"}, pass);
    cells.state[11] = fail;
    SetRow(cells, 24, {L"40", L"4", L"600", L"31000"}, fail);
    SetRow(cells, 40, {L"38"}, pass);
    SetRow(cells, 56, {L"45", L"25", L"600", L"40000"}, fail);
    cells.state[56] = pass;

    SetRow(cells, 12, {L"1.3", L"PASS", L"PASS", L"PASS"}, pass);
    SetRow(cells, 28, {L"0.2", L"FAIL", L"FAIL", L"FAIL"}, fail);
    SetRow(cells, 44, {L"0.1", L"FAIL"}, fail);  // 46 and 47 stay N/A and must not decide
    SetRow(cells, 60, {L"1.2", L"PASS"}, pass);
    return cells;
}

std::vector<std::string> ReportLines(const CellSnapshot& cells, uint8_t powerStatus = 0, uint32_t totalPower = 0)
{
    const std::vector<std::string> lines = SplitCrLfLines(BuildTestReport(cells.text, cells.state, powerStatus, totalPower));
    EXPECT_EQ(lines.size(), 34u);
    return lines;
}

TEST(TestReportTest, MatchesTheGoldenFiles)
{
    const CellSnapshot empty;
    ExpectMatchesGolden(BuildTestReport(empty.text, empty.state, 0, 0), "report_before_connection.txt");
    const CellSnapshot sample = MakeSampleCells();
    ExpectMatchesGolden(BuildTestReport(sample.text, sample.state, 0x05, 123456), "report_sample.txt");
}

TEST(TestReportTest, LongCellTextsAreNeverCutAndOtherUnitsBecomeQuestionMarks)
{
    CellSnapshot cells;
    SetRow(cells, 1, {L"123456789", L"\u00e9"}, CellState::Pass);
    EXPECT_EQ(ReportLines(cells).at(10).substr(30, 30), "123456789      ?              ");
}

TEST(TestReportTest, PowerStatusLines)
{
    const struct { uint8_t status; const char* power; const char* voltages; const char* timings; } kCases[] = {
        {0x00, "N/A", "FAIL", "PASS"}, {0x01, "ON", "FAIL", "PASS"},   {0x02, "OFF", "FAIL", "PASS"},
        {0x03, "ON", "FAIL", "PASS"},  {0x04, "N/A", "PASS", "PASS"},  {0x08, "N/A", "FAIL", "FAIL"},
        {0x10, "N/A", "FAIL", "FAIL"}, {0x18, "N/A", "FAIL", "FAIL"},  {0xE5, "ON", "PASS", "PASS"},
    };
    for (const auto& c : kCases) {
        const std::vector<std::string> lines = ReportLines(CellSnapshot(), c.status);
        ASSERT_EQ(lines.size(), 34u);
        EXPECT_EQ(lines[3], std::string("Power Status: ") + c.power) << int(c.status);
        EXPECT_EQ(lines[5], std::string("Voltages: ") + c.voltages) << int(c.status);
        EXPECT_EQ(lines[6], std::string("Timings: ") + c.timings) << int(c.status);
    }
}

TEST(TestReportTest, TotalPowerInWattsWithOneDecimal)
{
    const struct { uint32_t milliwatts; const char* text; } kCases[] = {
        {0, "0.0"}, {123456, "123.5"}, {123449, "123.4"}, {50, "0.1"}, {49, "0.0"}, {999999, "1000.0"},
        {720000, "720.0"},
        // Above 2^31 the reading is unsigned, never negative.
        {4294967295u, "4294967.5"}, {2147483648u, "2147483.8"},
    };
    char out[16];
    for (const auto& c : kCases) {
        FormatTotalPowerWatts(c.milliwatts, out);
        EXPECT_STREQ(out, c.text) << c.milliwatts;
    }
    EXPECT_EQ(ReportLines(CellSnapshot(), 1, 123456).at(4), "Total Power: 123.5W");
}

TEST(TestReportTest, TimingAndSlewRowVerdicts)
{
    using S = CellState;
    const struct { S states[4]; const char* verdict; } kCases[] = {
        {{S::Pass, S::Fail, S::Fail, S::Fail}, "FAIL"},         {{S::Pass, S::Pass, S::Pass, S::Fail}, "FAIL"},
        {{S::Fail, S::Pass, S::Pass, S::Pass}, "FAIL"},         {{S::Fail, S::Fail, S::Fail, S::Fail}, "FAIL"},
        {{S::Pass, S::Pass, S::Pass, S::Pass}, "PASS"},         {{S::Fail, S::Fail, S::NotAvailable, S::Fail}, "N/A"},
        {{S::Pass, S::Pass, S::Pass, S::NotAvailable}, "N/A"},  {{S::Fail, S::Fail, S::Fail, static_cast<S>(5)}, "N/A"},
    };
    for (const auto& c : kCases) {
        CellSnapshot cells;
        for (int rail = 0; rail < 4; ++rail) {
            for (int i = 0; i < 4; ++i) cells.state[16 * rail + 8 + i] = cells.state[16 * rail + 12 + i] = c.states[i];
        }
        const std::vector<std::string> lines = ReportLines(cells);
        for (int line : {24, 25, 26, 27, 31, 32, 34}) {
            EXPECT_EQ(lines.at(line - 1).substr(75), (c.verdict + std::string(15, ' ')).substr(0, 15))
                << "line " << line << " expects " << c.verdict;
        }
    }
}

TEST(TestReportTest, The3V3SlewRowIsDecidedByItsFirstTwoCells)
{
    CellSnapshot cells;
    cells.Set(46, L"9", CellState::NotAvailable);
    // T Seq. (47) fails but does not decide this row.
    cells.state[47] = CellState::Fail;
    const struct { CellState first, second; const char* verdict; } kCases[] = {
        {CellState::Fail, CellState::Pass, "FAIL           "}, {CellState::Pass, CellState::Pass, "PASS           "},
        {CellState::Pass, CellState::Fail, "FAIL           "}, {CellState::NotAvailable, CellState::Fail, "N/A            "},
    };
    for (const auto& c : kCases) {
        cells.state[44] = c.first;
        cells.state[45] = c.second;
        const std::string line = ReportLines(cells).at(32);
        EXPECT_EQ(line.substr(0, 30), "3V3:                          ");
        EXPECT_EQ(line.substr(45, 30), "N/A            N/A            ");
        EXPECT_EQ(line.substr(75), c.verdict) << int(c.first) << int(c.second);
    }
}

TEST(TestReportTest, VoltageRowsAreDecidedByMinVoltAndMax)
{
    for (int rail = 0; rail < kRailCount; ++rail) {
        CellSnapshot cells;
        for (int column = 3; column < 8; ++column) cells.state[16 * rail + column] = CellState::Fail;
        EXPECT_STREQ(GetVoltageRowVerdict(cells.state, rail), "PASS") << rail;
        for (int column = 0; column < 3; ++column) {
            CellSnapshot one;
            one.state[16 * rail + column] = CellState::Fail;
            EXPECT_STREQ(GetVoltageRowVerdict(one.state, rail), "FAIL") << rail << "/" << column;
        }
    }
}

}  // namespace
