// Verdict, cell names, settle start and the device-access message of the console's test run.
#include "tools/console_test_run.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

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

std::string DescribeDeviceOpenFailure(const std::string& path, int error)
{
    if (error == EACCES || error == EPERM)
        return "cannot open " + path + ": permission denied. The tester's port belongs to the group "
               "\"dialout\": join it (sudo usermod -aG dialout $USER, then log in again) and install "
               "the udev rule udev/" + std::string(kUdevRuleName) +
               " (see the README, \"Linux device access\")";
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return "cannot open " + path + ": no such device (is the tester plugged in?)";
    if (error == EBUSY)
        return "cannot open " + path + ": the device is busy (another program has it open)";
    if (error == ENOTTY)
        return "cannot open " + path + ": not a serial device";
    if (error != 0)
        return "cannot open " + path + ": " + std::strerror(error);
    return "no tester answers on " + path + " (Device not found!)";
}

int CheckDeviceAccess(const std::string& path)
{
    if (path.empty())
        return ENOENT;
    // access() answers for the real user, who is the one running the console.
    return access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}
