// POSIX platform services of the console tool: the terminal's key mode, SIGINT and SIGTERM,
// stdin without waiting, output files, and device paths with their errno reasons and owners.
#include "tools/console_platform.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "tools/console_test_run.h"

const char kPathSeparators[] = "/";
const char kDeviceHelpLine[] =
    "DEVICE is the tester's serial device, e.g. /dev/ttyACM0 or the simulator's /dev/pts/N.\n";
const char kDeviceExample[] = "the tester's serial device, e.g. /dev/ttyACM0";

namespace {

// The terminal's mode before key mode. Main thread only.
termios g_savedTerminal{};

}  // namespace

void PrepareConsoleProcess(int&, char**&) {}

bool IsTerminalOutput() { return isatty(STDOUT_FILENO) != 0; }

bool IsTerminalInput() { return isatty(STDIN_FILENO) != 0; }

void CatchStopSignals(void (*onStop)(int))
{
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool EnterKeyMode()
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
        return false;
    termios raw = g_savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

void LeaveKeyMode() { tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal); }

int ReadAvailableInput(char* buffer, int size)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP)))
        return 0;
    ssize_t n = read(STDIN_FILENO, buffer, static_cast<size_t>(size));
    return n <= 0 ? -1 : static_cast<int>(n);
}

bool ReadInputLine(std::string& line)
{
    line.clear();
    char c = 0;
    ssize_t n = 0;
    while ((n = read(STDIN_FILENO, &c, 1)) == 1 && c != '\n')
        line += c;
    return n == 1 || !line.empty();
}

bool ConvertToUtc(std::time_t t, std::tm& utc) { return gmtime_r(&t, &utc) != nullptr; }

std::string GetCurrentFolder()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

bool IsFullPath(const std::string& name) { return !name.empty() && name[0] == '/'; }

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

std::FILE* OpenOutputFile(const std::string& path, bool exclusive)
{
    return std::fopen(path.c_str(), exclusive ? "wbx" : "wb");
}

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
