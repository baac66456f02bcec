// POSIX platform services of the console tool: the terminal's key mode, SIGINT and SIGTERM,
// stdin without waiting, and device paths with their errno reasons.
#include "tools/console_platform.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "tools/console_test_run.h"

const char kPathSeparators[] = "/";

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

int CheckFolderWritable(const std::string& folder) { return access(folder.c_str(), W_OK) == 0 ? 0 : errno; }

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
