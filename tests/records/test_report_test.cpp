// The test report: whole files against golden files written from the report's tables, the
// status lines from powerStatus and totalPower, the row verdicts and the line lengths.
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

std::vector<std::string> ReportLines(const CellSnapshot& cells, uint8_t powerStatus, uint32_t totalPower)
{
    return SplitCrLfLines(BuildTestReport(cells.text, cells.state, powerStatus, totalPower));
}

TEST(TestReportTest, BeforeAnyConnectionMatchesTheGoldenFile)
{
    const CellSnapshot cells;
    const std::string report = BuildTestReport(cells.text, cells.state, 0, 0);
    EXPECT_EQ(report, ReadGoldenFile("report_before_connection.txt"));
    const std::vector<std::string> lines = SplitCrLfLines(report);
    ASSERT_EQ(lines.size(), 34u);
    EXPECT_EQ(lines[3], "Power Status: N/A");
    EXPECT_EQ(lines[4], "Total Power: 0.0W");
    EXPECT_EQ(lines[5], "Voltages: FAIL");
    EXPECT_EQ(lines[6], "Timings: PASS");
}

TEST(TestReportTest, SampleReadingsMatchTheGoldenFile)
{
    const CellSnapshot cells = MakeSampleCells();
    EXPECT_EQ(BuildTestReport(cells.text, cells.state, 0x05, 123456), ReadGoldenFile("report_sample.txt"));
}

TEST(TestReportTest, LineLengthsAndPaddedVerdicts)
{
    const std::vector<std::string> lines = ReportLines(MakeSampleCells(), 0x05, 123456);
    ASSERT_EQ(lines.size(), 34u);
    EXPECT_EQ(lines[8].size(), 150u);
    EXPECT_EQ(lines[8].substr(135), "Status         ");
    EXPECT_EQ(lines[9], std::string(141, '-'));
    EXPECT_EQ(lines[10].size(), 150u);
    EXPECT_EQ(lines[10].substr(135), "PASS           ");
    for (int line = 12; line <= 15; ++line) {
        EXPECT_EQ(lines[line - 1].size(), 135u + 4u) << line;
        EXPECT_EQ(lines[line - 1].back() != ' ', true) << line;
    }
    EXPECT_EQ(lines[11].substr(135), "PASS");
    EXPECT_EQ(lines[12].substr(135), "FAIL");
    for (int line = 16; line <= 20; ++line) EXPECT_EQ(lines[line - 1].size(), 150u) << line;
    EXPECT_EQ(lines[20], "");
    for (int line : {22, 24, 25, 26, 27, 31, 32, 33, 34}) EXPECT_EQ(lines[line - 1].size(), 90u) << line;
    EXPECT_EQ(lines[22], std::string(81, '-'));
    EXPECT_EQ(lines[28].size(), 75u);
    EXPECT_EQ(lines[28].substr(60), "T Seq.         ");
    EXPECT_EQ(lines[29], std::string(81, '-'));
}

TEST(TestReportTest, PowerStatusLines)
{
    const CellSnapshot cells;
    struct Case {
        uint8_t status;
        const char* power;
        const char* voltages;
        const char* timings;
    } cases[] = {
        {0x00, "Power Status: N/A", "Voltages: FAIL", "Timings: PASS"},
        {0x01, "Power Status: ON", "Voltages: FAIL", "Timings: PASS"},
        {0x02, "Power Status: OFF", "Voltages: FAIL", "Timings: PASS"},
        {0x03, "Power Status: ON", "Voltages: FAIL", "Timings: PASS"},
        {0x04, "Power Status: N/A", "Voltages: PASS", "Timings: PASS"},
        {0x08, "Power Status: N/A", "Voltages: FAIL", "Timings: FAIL"},
        {0x10, "Power Status: N/A", "Voltages: FAIL", "Timings: FAIL"},
        {0x18, "Power Status: N/A", "Voltages: FAIL", "Timings: FAIL"},
        {0xE5, "Power Status: ON", "Voltages: PASS", "Timings: PASS"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> lines = ReportLines(cells, c.status, 0);
        ASSERT_EQ(lines.size(), 34u);
        EXPECT_EQ(lines[3], c.power) << int(c.status);
        EXPECT_EQ(lines[5], c.voltages) << int(c.status);
        EXPECT_EQ(lines[6], c.timings) << int(c.status);
    }
}

TEST(TestReportTest, TotalPowerInWattsWithOneDecimal)
{
    struct Case {
        uint32_t milliwatts;
        const char* text;
    } cases[] = {
        {0, "0.0"},         {123456, "123.5"},       {123449, "123.4"},   {50, "0.1"},
        {49, "0.0"},        {999999, "1000.0"},      {720000, "720.0"},
        // Above 2^31 the reading is unsigned, never negative.
        {4294967295u, "4294967.5"}, {2147483648u, "2147483.8"},
    };
    char out[16];
    for (const Case& c : cases) {
        FormatTotalPowerWatts(c.milliwatts, out);
        EXPECT_STREQ(out, c.text) << c.milliwatts;
    }
    const CellSnapshot cells;
    EXPECT_EQ(ReportLines(cells, 1, 123456)[4], "Total Power: 123.5W");
}

TEST(TestReportTest, TimingAndSlewRowVerdicts)
{
    using S = CellState;
    struct Case {
        S states[4];
        const char* verdict;
    } cases[] = {
        {{S::Pass, S::Fail, S::Fail, S::Fail}, "FAIL"},
        {{S::Pass, S::Pass, S::Pass, S::Fail}, "FAIL"},
        {{S::Fail, S::Pass, S::Pass, S::Pass}, "FAIL"},
        {{S::Fail, S::Fail, S::Fail, S::Fail}, "FAIL"},
        {{S::Pass, S::Pass, S::Pass, S::Pass}, "PASS"},
        {{S::Fail, S::Fail, S::NotAvailable, S::Fail}, "N/A"},
        {{S::Pass, S::Pass, S::Pass, S::NotAvailable}, "N/A"},
        {{S::Fail, S::Fail, S::Fail, static_cast<S>(5)}, "N/A"},
    };
    for (const Case& c : cases) {
        CellSnapshot cells;
        for (int rail = 0; rail < 4; ++rail) {
            for (int i = 0; i < 4; ++i) {
                cells.state[16 * rail + 8 + i] = c.states[i];
                cells.state[16 * rail + 12 + i] = c.states[i];
            }
        }
        const std::vector<std::string> lines = ReportLines(cells, 0, 0);
        for (int line : {24, 25, 26, 27, 31, 32, 34}) {
            EXPECT_EQ(lines[line - 1].substr(75), std::string(c.verdict).append(15 - std::string(c.verdict).size(), ' '))
                << "line " << line << " expects " << c.verdict;
        }
    }
}

TEST(TestReportTest, The3V3SlewRowIsDecidedByItsFirstTwoCells)
{
    CellSnapshot cells;
    cells.state[44] = CellState::Fail;
    cells.state[45] = CellState::Pass;
    cells.state[46] = CellState::NotAvailable;
    cells.state[47] = CellState::Fail;
    cells.Set(46, L"9", CellState::NotAvailable);
    std::vector<std::string> lines = ReportLines(cells, 0, 0);
    EXPECT_EQ(lines[32].substr(0, 30), "3V3:                          ");
    EXPECT_EQ(lines[32].substr(45, 30), "N/A            N/A            ");
    EXPECT_EQ(lines[32].substr(75), "FAIL           ");

    // T Seq. (47) fails but does not decide this row.
    cells.state[44] = CellState::Pass;
    cells.state[45] = CellState::Pass;
    EXPECT_EQ(ReportLines(cells, 0, 0)[32].substr(75), "PASS           ");
    cells.state[45] = CellState::Fail;
    EXPECT_EQ(ReportLines(cells, 0, 0)[32].substr(75), "FAIL           ");
    cells.state[44] = CellState::NotAvailable;
    EXPECT_EQ(ReportLines(cells, 0, 0)[32].substr(75), "N/A            ");
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

TEST(TestReportTest, LongCellTextsAreNeverCut)
{
    CellSnapshot cells;
    cells.Set(1, L"123456789", CellState::Pass);
    cells.Set(2, L"\u00e9", CellState::Pass);
    const std::vector<std::string> lines = ReportLines(cells, 0, 0);
    EXPECT_EQ(lines[10].substr(30, 15), "123456789      ");
    EXPECT_EQ(lines[10].substr(45, 15), "?              ");
}

}  // namespace
