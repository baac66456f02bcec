// The test report: whole files against golden files written from the report's tables, the
// status lines from powerStatus and totalPower, and the row verdicts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/test_report.h"
#include "records_test_support.h"

namespace {

// Texts from firstCell on, each with its state from states ('P' PASS, 'F' FAIL).
void SetRow(CellSnapshot& cells, int firstCell, std::initializer_list<const wchar_t*> texts, const char* states)
{
    for (const wchar_t* text : texts) cells.Set(firstCell++, text, *states++ == 'F' ? CellState::Fail : CellState::Pass);
}

// The grid behind golden/report_sample.txt.
CellSnapshot MakeSampleCells()
{
    CellSnapshot cells;
    SetRow(cells, 0, {L"11.98", L"12.05", L"12.10", L"0.00", L"3.41", L"5.20", L"41.09", L"8.00"}, "PPPPPPPP");
    SetRow(cells, 16, {L"4.98", L"5.02", L"5.06", L"0.00", L"2.10", L"3.00", L"10.54", L"60.00"}, "PPPPPPPF");  // ripple: does not decide
    SetRow(cells, 32, {L"3.30", L"3.31", L"3.33", L"0.00", L"1.50", L"2.00", L"4.96", L"9.00"}, "PPFPPPPP");  // Max Volt.
    SetRow(cells, 48, {L"12.00", L"12.01", L"12.02", L"0.00", L"6.20", L"7.00", L"74.46", L"15.00"}, "PPPPPPPP");
    SetRow(cells, 64, {L"-12.01", L"-11.98", L"-11.95", L"9.99", L"9.99"}, "PPPFF");  // 67 and 68 are not in the report
    SetRow(cells, 80, {L"5.00", L"5.01", L"5.02", L"0.00", L"0.50", L"0.60", L"2.50"}, "PPPPPPP");
    SetRow(cells, 112, {L"11.98", L"12.05", L"12.10", L"0.00", L"0.27", L"0.30", L"3.25"}, "PPPPPPP");
    SetRow(cells, 128, {L"4.98", L"5.02", L"5.06", L"0.00", L"0.89", L"1.00", L"4.47"}, "PPPPPPP");
    SetRow(cells, 144, {L"3.30", L"3.31", L"3.33", L"0.00", L"0.12", L"0.20", L"0.40"}, "PPPPPPP");
    SetRow(cells, 8, {L"42", L"5", L"250", L"T/O", L"1.3", L"PASS", L"PASS", L"PASS"}, "PPPFPPPP");
    SetRow(cells, 24, {L"40", L"4", L"600", L"31000", L"0.2", L"FAIL", L"FAIL", L"FAIL"}, "FFFFFFFF");
    SetRow(cells, 40, {L"38"}, "P");
    SetRow(cells, 44, {L"0.1", L"FAIL"}, "FF");  // 46 and 47 stay N/A and must not decide
    SetRow(cells, 56, {L"45", L"25", L"600", L"40000", L"1.2", L"PASS"}, "PFFFPP");
    return cells;
}

std::vector<std::string> ReportLines(const CellSnapshot& cells, uint8_t powerStatus = 0)
{
    const std::vector<std::string> lines = SplitCrLfLines(BuildTestReport(cells.text, cells.state, powerStatus, 0));
    EXPECT_EQ(lines.size(), 34u);
    return lines;
}

TEST(TestReportTest, MatchesTheGoldenFiles)
{
    const CellSnapshot empty, sample = MakeSampleCells();
    ExpectMatchesGolden(BuildTestReport(empty.text, empty.state, 0, 0), "report_before_connection.txt");
    ExpectMatchesGolden(BuildTestReport(sample.text, sample.state, 0x05, 123456), "report_sample.txt");
}

TEST(TestReportTest, LongCellTextsAreNeverCutAndOtherUnitsBecomeQuestionMarks)
{
    CellSnapshot cells;
    SetRow(cells, 1, {L"123456789", L"\u00e9"}, "PP");
    EXPECT_EQ(ReportLines(cells).at(10).substr(30, 30), "123456789      ?              ");
}

TEST(TestReportTest, PowerStatusLines)
{
    const struct { uint8_t status; const char* power; const char* voltages; const char* timings; } kCases[] = {
        {0x00, "N/A", "FAIL", "PASS"}, {0x01, "ON", "FAIL", "PASS"},  {0x02, "OFF", "FAIL", "PASS"},
        {0x03, "ON", "FAIL", "PASS"},  {0x04, "N/A", "PASS", "PASS"}, {0x08, "N/A", "FAIL", "FAIL"},
        {0x10, "N/A", "FAIL", "FAIL"}, {0x18, "N/A", "FAIL", "FAIL"}, {0xE5, "ON", "PASS", "PASS"},
    };
    for (const auto& c : kCases) {
        const std::vector<std::string> lines = ReportLines(CellSnapshot(), c.status);
        EXPECT_EQ(lines.at(3) + "|" + lines.at(5) + "|" + lines.at(6),
                  std::string("Power Status: ") + c.power + "|Voltages: " + c.voltages + "|Timings: " + c.timings)
            << int(c.status);
    }
}

TEST(TestReportTest, TotalPowerInWattsWithOneDecimal)
{
    const struct { uint32_t milliwatts; const char* text; } kCases[] = {
        {0, "0.0"}, {123456, "123.5"}, {123449, "123.4"}, {50, "0.1"}, {49, "0.0"}, {999999, "1000.0"}, {720000, "720.0"},
        // Above 2^31 the reading is unsigned, never negative.
        {4294967295u, "4294967.5"}, {2147483648u, "2147483.8"},
    };
    char out[16];
    for (const auto& c : kCases) {
        FormatTotalPowerWatts(c.milliwatts, out);
        EXPECT_STREQ(out, c.text) << c.milliwatts;
    }
}

// A timing or slew row passes only when all four cells pass, and is N/A when one is neither; the
// 3V3 slew row (line 33) is decided by its first two cells only, and shows N/A for the other two.
TEST(TestReportTest, TimingAndSlewRowVerdicts)
{
    using S = CellState;
    const S P = S::Pass, F = S::Fail, N = S::NotAvailable;
    const struct { S states[4]; const char* verdict; const char* slew3v3; } kCases[] = {
        {{P, F, F, F}, "FAIL", "FAIL"}, {{P, P, P, F}, "FAIL", "PASS"}, {{F, P, P, P}, "FAIL", "FAIL"},
        {{F, F, F, F}, "FAIL", "FAIL"}, {{P, P, P, P}, "PASS", "PASS"}, {{F, F, N, F}, "N/A", "FAIL"},
        {{P, P, P, N}, "N/A", "PASS"},  {{F, F, F, static_cast<S>(5)}, "N/A", "FAIL"}, {{N, F, P, P}, "N/A", "N/A"},
    };
    for (const auto& c : kCases) {
        CellSnapshot cells;
        cells.Set(46, L"9", P).Set(47, L"9", P);
        for (int rail = 0; rail < 4; ++rail) {
            for (int i = 0; i < 4; ++i) cells.state[16 * rail + 8 + i] = cells.state[16 * rail + 12 + i] = c.states[i];
        }
        const std::vector<std::string> lines = ReportLines(cells);
        for (int line : {24, 25, 26, 27, 31, 32, 33, 34}) {
            const std::string verdict = line == 33 ? c.slew3v3 : c.verdict;
            EXPECT_EQ(lines.at(line - 1).substr(75), verdict + std::string(15 - verdict.size(), ' ')) << "line " << line;
        }
        EXPECT_EQ(lines.at(32).substr(45, 30), "N/A            N/A            ");
    }
}

TEST(TestReportTest, VoltageRowsAreDecidedByMinVoltAndMax)
{
    for (int rail = 0; rail < kRailCount; ++rail) {
        for (int column = 0; column < 8; ++column) {
            CellSnapshot cells;
            cells.state[16 * rail + column] = CellState::Fail;
            EXPECT_STREQ(GetVoltageRowVerdict(cells.state, rail), column < 3 ? "FAIL" : "PASS") << rail << "/" << column;
        }
    }
}

}  // namespace
