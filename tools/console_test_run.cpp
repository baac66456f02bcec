// Verdict, cell names and settle start of the console's test run.
#include "tools/console_test_run.h"


#include "device/device_readings.h"

const char* const kRailDisplayNames[kRailCount] = {"12V1", "5V",       "3.3V",     "12V CPU", "-12V",
                                                   "5VSB", "12V PCIe", "12V SATA", "5V SATA", "3.3V SATA"};
const char* const kColumnDisplayNames[kColumnCount] = {
    "Min Volt.", "Volt.", "Max Volt.", "Min Current", "Current",   "Max Current",   "Power",  "Ripple",
    "T1",        "T2",    "T3",        "T6",          "Slew Rate", "Turn-on Slope", "V Seq.", "T Seq."};

const char kUdevRuleName[] = "70-ombrelo-tester.rules";

std::string NameCell(int cellIndex)
{
    if (cellIndex < 0 || cellIndex >= kCellCount)
        return "?";
    return std::string(kRailDisplayNames[cellIndex / kColumnCount]) + " " +
           kColumnDisplayNames[cellIndex % kColumnCount];
}

TestVerdict JudgeTestRun(const CellStateArray& states, uint8_t powerStatus)
{
    TestVerdict verdict;
    for (int i = 0; i < kCellCount; ++i)
        if (states[i] == CellState::Fail)
            verdict.failingCells.push_back(i);
    verdict.testerVoltagesPass = (powerStatus & kPowerStatusVoltagesPass) != 0;
    verdict.testerTimingsFail = ((powerStatus >> kPowerStatusTimingsShift) & 3) == 1;
    verdict.pass = verdict.failingCells.empty() && verdict.testerVoltagesPass && !verdict.testerTimingsFail;
    return verdict;
}

std::string DescribeTestVerdict(const TestVerdict& verdict)
{
    if (verdict.pass)
        return "PASS";
    std::string out = "FAIL:";
    const char* separator = " ";
    for (int cell : verdict.failingCells) {
        out += separator + NameCell(cell);
        separator = ", ";
    }
    if (!verdict.testerVoltagesPass) {
        out += std::string(separator) + "tester voltages";
        separator = ", ";
    }
    if (verdict.testerTimingsFail)
        out += std::string(separator) + "tester timings";
    return out;
}

uint32_t GetSettleStartAfterCycleEndRequest(uint32_t cycleCount) { return cycleCount + 1; }
