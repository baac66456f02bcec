// Verdict, cell names, settle start, the device-access message and the output-file rule of the
// console.
#include "tools/console_test_run.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
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

DeviceOwnership GetDeviceOwnership(const std::string& path)
{
    DeviceOwnership owner;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return owner;
    owner.known = true;
    owner.mode = info.st_mode & 07777;
    struct passwd* user = getpwuid(info.st_uid);
    owner.user = user ? user->pw_name : std::to_string(info.st_uid);
    struct group* group = getgrgid(info.st_gid);
    owner.group = group ? group->gr_name : std::to_string(info.st_gid);
    return owner;
}

namespace {

// "crw-rw----" as ls shows a character device.
std::string FormatMode(unsigned mode)
{
    std::string text = "c";
    const char letters[] = "rwx";
    for (int bit = 8; bit >= 0; --bit)
        text += (mode & (1u << bit)) ? letters[(8 - bit) % 3] : '-';
    return text;
}

}  // namespace

std::string DescribeDeviceOpenFailure(const std::string& path, int error, const DeviceOwnership& owner)
{
    const std::string cannot = "cannot open " + path + ": ";
    const std::string readme = " (see the README, \"Linux device access\")";
    if ((error == EACCES || error == EPERM) && owner.known && owner.group == "dialout")
        return cannot + "permission denied. It belongs to the group \"dialout\": join it (sudo usermod -aG "
               "dialout $USER, then log in again)" + readme;
    if (error == EACCES || error == EPERM) {
        if (!owner.known)
            return cannot + "permission denied" + readme;
        return cannot + "permission denied. It belongs to the user \"" + owner.user + "\" and the group \"" +
               owner.group + "\" (" + FormatMode(owner.mode) + "). The udev rule udev/" + kUdevRuleName +
               " opens a USB tester's port to its users" + readme;
    }
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return cannot + "no such device (is the tester plugged in?)";
    if (error == EBUSY)
        return cannot + "the device is busy (another program has it open)";
    if (error == ENOTTY)
        return cannot + "not a serial device";
    if (error != 0)
        return cannot + std::strerror(error);
    return "no tester answers on " + path + " (Device not found!)";
}

std::string DescribeDeviceOpenFailure(const std::string& path, int error)
{
    return DescribeDeviceOpenFailure(path, error, GetDeviceOwnership(path));
}

int CheckDeviceAccess(const std::string& path)
{
    if (path.empty())
        return ENOENT;
    // access() answers for the real user, who is the one running the console.
    return access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

const char kDefaultLogName[] = "OmbreloLog.txt";
const char kDefaultReportName[] = "OmbreloReport.txt";

std::string GetCurrentFolder()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

std::string ResolveOutputPath(const std::string& name, const std::string& currentFolder)
{
    if (name.empty() || name[0] == '/')
        return name;
    std::string path = name;
    while (path.compare(0, 2, "./") == 0)
        path.erase(0, 2);
    return currentFolder == "/" ? "/" + path : currentFolder + "/" + path;
}

std::string AddTextExtension(const std::string& name)
{
    size_t slash = name.rfind('/');
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (start >= name.size() || name.find('.', start) != std::string::npos)
        return name;
    return name + ".txt";
}

std::string CheckOutputPath(const std::string& path, bool replaceAllowed, bool& exists)
{
    exists = false;
    if (path.empty() || path.back() == '/')
        return "no file name";
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return path + " is a folder";
        exists = true;
        if (!replaceAllowed)
            return path + " exists";
        if (access(path.c_str(), W_OK) != 0)
            return path + ": " + std::strerror(errno);
        return "";
    }
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "the folder " + folder + " does not exist";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write to the folder " + folder + ": " + std::strerror(errno);
    return "";
}
