// Verdict, cell names, settle start and the output-file rule of the console.
#include "tools/console_test_run.h"

#include <cstring>

#include "device/device_readings.h"
#include "tools/console_platform.h"

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

const char kDefaultLogName[] = "OmbreloLog.txt";
const char kDefaultReportName[] = "OmbreloReport.txt";

namespace {

bool IsPathSeparator(char c) { return c != '\0' && std::strchr(kPathSeparators, c) != nullptr; }

}  // namespace

std::string ResolveOutputPath(const std::string& name, const std::string& currentFolder)
{
    if (name.empty() || IsFullPath(name))
        return name;
    std::string path = name;
    while (path.size() > 2 && path[0] == '.' && IsPathSeparator(path[1]))
        path.erase(0, 2);
    // The root ("/", "C:\") ends with its separator already.
    if (!currentFolder.empty() && IsPathSeparator(currentFolder.back()))
        return currentFolder + path;
    return currentFolder + kPathSeparators[0] + path;
}

std::string AddTextExtension(const std::string& name)
{
    size_t slash = name.find_last_of(kPathSeparators);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (start >= name.size() || name.find('.', start) != std::string::npos)
        return name;
    return name + ".txt";
}
