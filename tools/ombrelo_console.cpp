// ombrelo-console: the tester from a Linux terminal. "--once DEVICE" reads every measurement one
// time and prints it; "DEVICE" connects through the connection worker and, playing the main
// window's part, shows the readings twice a second, keeps the readings log on timer 2 and takes
// single-key commands, among them saving the readings log and the test report.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "device/tester_device.h"
#include "measurement/cell_text.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "measurement/readings_table.h"
#include "records/logger.h"
#include "records/readings_log.h"
#include "records/save_files.h"
#include "records/test_report.h"
#include "tools/console_screen.h"
#include "tools/console_window_ops.h"

namespace {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitConnectionEnded = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitNoTester = 4;
constexpr int kExitFirmware = 5;
constexpr int kExitNoAnswer = 6;

constexpr auto kLoopStep = std::chrono::milliseconds(50);
constexpr auto kScreenPeriod = std::chrono::milliseconds(500);
// After WaitForWorkerExit: the worker may still be closing the port (at most about 2 s).
constexpr int kWorkerEndWaitMs = 5000;

// Written by the signal handler, read by the loop.
volatile std::sig_atomic_t g_signalled = 0;

// A stand-in for the main window: only its address is used.
int g_consoleWindow;

void OnSignal(int) { g_signalled = 1; }

std::wstring WidenText(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void PrintUsage()
{
    fputs("usage: ombrelo-console [--cpu-cable] [--pcie-cable] [--log-interval S] DEVICE\n"
          "       ombrelo-console --once DEVICE\n"
          "DEVICE is the tester's serial device, e.g. /dev/ttyACM0 or the simulator's /dev/pts/N.\n"
          "--log-interval S: a readings-log row every S seconds (1, 10, 30 or 60; default 10).\n"
          "Monitor keys: p power on/off, r reset min/max, c toggle 12V CPU cable, e toggle 12V PCIe cable,\n"
          "l save the readings log, t save the test report, x clear the log, q quit.\n"
          "Saving asks for a file name (empty: the last one, first OmbreloLog.txt) and writes it to\n"
          "~/Documents/Zentarix/Ombrelo unless the name has a folder. From a pipe: one key per line,\n"
          "a file name after the key (\"l run7.txt\").\n",
          stderr);
}

// ---- --once ----------------------------------------------------------------------------------

int RunOnce(const std::string& device)
{
    TesterDevice& tester = g_testerDevice;
    if (tester.Open(WidenText(device).c_str()) != 0) {
        fprintf(stderr, "ombrelo-console: cannot open %s\n", device.c_str());
        return kExitNoDevice;
    }
    uint8_t first = 0;
    uint8_t second = 0;
    if (!tester.Identify(first, second)) {
        tester.Close();
        fprintf(stderr, "ombrelo-console: no tester answers on %s (Device not found!)\n", device.c_str());
        return kExitNoTester;
    }
    printf("Tester on %s, firmware version bytes %u %u\n", device.c_str(), first, second);
    if (second == kFirmwareNeedsUpdate) {
        tester.Close();
        fprintf(stderr, "ombrelo-console: Device firmware needs to be updated!\n");
        return kExitFirmware;
    }
    struct Request {
        const char* name;
        bool (TesterDevice::*read)();
    };
    const Request requests[] = {
        {"settings", &TesterDevice::ReadSettings},   {"status", &TesterDevice::ReadStatus},
        {"voltages", &TesterDevice::ReadVoltages},   {"ripple", &TesterDevice::ReadRipple},
        {"currents", &TesterDevice::ReadCurrents},   {"timings", &TesterDevice::ReadTimings},
        {"slew and sequencing", &TesterDevice::ReadSlewAndSequence},
        {"voltage minima/maxima", &TesterDevice::ReadVoltageMinMax},
        {"current minima/maxima", &TesterDevice::ReadCurrentMinMax},
    };
    std::string unanswered;
    for (const Request& request : requests)
        if (!(tester.*request.read)())
            unanswered += unanswered.empty() ? request.name : std::string(", ") + request.name;
    tester.Close();

    g_readingsTable.CopyFromDevice(tester.readings);
    FormatDisplayedCellTexts(g_readingsTable);
    g_readingsTable.Evaluate();
    ScreenStyle style{isatty(STDOUT_FILENO) != 0};
    std::string screen = FormatStatusLines(tester.readings) + FormatSettingsLine(tester.readings) + "\n" +
                         FormatReadingsGrids(style);
    fputs(screen.c_str(), stdout);
    if (!unanswered.empty()) {
        fprintf(stderr, "ombrelo-console: the tester did not answer: %s\n", unanswered.c_str());
        return kExitNoAnswer;
    }
    return kExitOk;
}

// ---- monitor ---------------------------------------------------------------------------------

struct Monitor {
    std::string device;
    // Timer 2 of the window, as the console's loop runs it.
    uint32_t logPeriodMs = 0;
    std::chrono::steady_clock::time_point nextLogRow;
    bool presetCpuCable = false;
    bool presetPcieCable = false;
    bool presetsApplied = false;
    bool quit = false;
    bool colour = false;
    bool terminal = false;
};

// The Configure command's effect for one cable flag: edit the settings block, then ask the
// worker to write it.
void ToggleCable(Monitor&, int settingsByte, const char* name)
{
    if (!IsConsoleControlEnabled(kConfigureButtonId) || g_workerRunning.load() == 0) {
        WriteConsoleText(std::string("(not connected: ") + name + " cable flag unchanged)\n");
        return;
    }
    std::atomic<uint8_t>& flag = g_testerDevice.readings.deviceSettings[settingsByte];
    StoreByte(flag, LoadByte(flag) ? 0 : 1);
    g_settingsChangedEvent.Signal();
    WriteConsoleText(std::string(name) + " cable: " + (LoadByte(flag) ? "connected" : "not connected") + "\n");
}

void PressPower(Monitor&)
{
    // As the window's button: only while the worker offers it.
    if (!IsConsoleControlEnabled(kPowerButtonId) || g_workerRunning.load() == 0) {
        WriteConsoleText("(power switch not available now)\n");
        return;
    }
    RequestPowerSwitch(g_mainWindow);
    WriteConsoleText("power switch requested\n");
}

void PressResetMinMax(Monitor&)
{
    if (!IsConsoleControlEnabled(kResetMinMaxButtonId) || g_workerRunning.load() == 0) {
        WriteConsoleText("(reset not available now)\n");
        return;
    }
    g_resetMinMaxEvent.Signal();
    WriteConsoleText("min/max reset requested\n");
}

void PressCpuCable(Monitor& monitor) { ToggleCable(monitor, kSettingCpu12vCable, "12V CPU"); }
void PressPcieCable(Monitor& monitor) { ToggleCable(monitor, kSettingPcie12vCable, "12V PCIe"); }
void PressQuit(Monitor& monitor) { monitor.quit = true; }

// Both save commands: the file name stands in for the save dialog's answer (empty: the name
// offered by default, the remembered one), then the command writes the file as the window's
// button would. The commands themselves are silent, so the result is read back from the disk.
void SaveWithName(const std::string& name, void (*save)(WindowHandle), const char* what)
{
    std::wstring chosen = name.empty() ? std::wstring(g_saveFileName + 1) : WidenText(name);
    if (!SetNextSaveFileName(chosen.c_str())) {
        WriteConsoleText(std::string("(no file name: ") + what + " not saved)\n");
        return;
    }
    g_savePath[0] = 0;
    std::time_t before = std::time(nullptr);
    save(g_mainWindow);
    std::string path = NarrowText(g_savePath);
    struct stat info {};
    if (!path.empty() && stat(path.c_str(), &info) == 0 && info.st_mtime >= before - 1)
        WriteConsoleText(std::string(what) + " saved to " + path + "\n");
    else
        WriteConsoleText(std::string(what) + " could not be written to " + (path.empty() ? name : path) + "\n");
}

void PressSaveLog(Monitor&, const std::string& name)
{
    SaveWithName(name, SaveReadingsLog, "readings log");
    // As the window's Save Log: the tester's minima and maxima start afresh afterwards.
    g_resetMinMaxEvent.Signal();
}

void PressSaveReport(Monitor&, const std::string& name) { SaveWithName(name, SaveTestReport, "test report"); }

void PressClearLog(Monitor&)
{
    if (g_logger)
        g_logger->Clear();
    WriteConsoleText("readings log cleared\n");
}

// Every key of the monitor; new commands are added here. A key with a file name takes it from
// the rest of its line (from a pipe) or asks for it (on a terminal).
struct MonitorKey {
    char key;
    const char* help;
    void (*press)(Monitor&);
    void (*pressWithName)(Monitor&, const std::string&);
};

const MonitorKey kMonitorKeys[] = {
    {'p', "power on/off", PressPower, nullptr},
    {'r', "reset min/max", PressResetMinMax, nullptr},
    {'c', "12V CPU cable", PressCpuCable, nullptr},
    {'e', "12V PCIe cable", PressPcieCable, nullptr},
    {'l', "save log", nullptr, PressSaveLog},
    {'t', "save report", nullptr, PressSaveReport},
    {'x', "clear log", PressClearLog, nullptr},
    {'q', "quit", PressQuit, nullptr},
};

const MonitorKey* FindKey(char key)
{
    for (const MonitorKey& k : kMonitorKeys)
        if (k.key == key)
            return &k;
    return nullptr;
}

std::string TrimText(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string KeyHelp()
{
    std::string out = "keys:";
    for (const MonitorKey& k : kMonitorKeys)
        out += std::string(" ") + k.key + " " + k.help + ",";
    out.back() = '\n';
    return out;
}

class TerminalMode {
public:
    void Enter()
    {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0)
            return;
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        changed = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    void Restore()
    {
        if (changed)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        changed = false;
    }
    ~TerminalMode() { Restore(); }

private:
    termios saved{};
    bool changed = false;
};

// Asks for a file name on the terminal, in its ordinary line mode. The screen waits meanwhile,
// as the window does behind its modal save dialog.
std::string AskFileName(TerminalMode& terminalMode)
{
    terminalMode.Restore();
    std::string shown = NarrowText(g_saveFileName + 1);
    WriteConsoleText("\nFile name [" + shown + "]: ");
    std::string line;
    char c = 0;
    while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n')
        line += c;
    terminalMode.Enter();
    return TrimText(line);
}

// Keys from stdin: every byte from a terminal, the first character of every line from a pipe.
class KeyReader {
public:
    KeyReader(bool fromTerminal, TerminalMode& mode) : terminal(fromTerminal), terminalMode(mode) {}

    // Calls press for each key available now, without waiting.
    void ReadKeys(Monitor& monitor)
    {
        while (open) {
            pollfd p{STDIN_FILENO, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP)))
                return;
            char buffer[64];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                open = false;  // end of the pipe: keep monitoring without keys
                return;
            }
            for (ssize_t i = 0; i < n; ++i)
                Take(monitor, buffer[i]);
        }
    }

private:
    void Take(Monitor& monitor, char c)
    {
        if (terminal) {
            const MonitorKey* key = FindKey(c);
            if (key && key->press)
                key->press(monitor);
            else if (key)
                key->pressWithName(monitor, AskFileName(terminalMode));
            return;
        }
        if (c != '\n') {
            line += c;
            return;
        }
        std::string command = TrimText(line);
        line.clear();
        const MonitorKey* key = command.empty() ? nullptr : FindKey(command[0]);
        if (key && key->press)
            key->press(monitor);
        else if (key)
            key->pressWithName(monitor, TrimText(command.substr(1)));
    }

    bool terminal;
    TerminalMode& terminalMode;
    bool open = true;
    std::string line;
};

void ShowScreen(const Monitor& monitor)
{
    FormatDisplayedCellTexts(g_readingsTable);
    g_readingsTable.Evaluate();
    std::string screen;
    if (monitor.terminal)
        screen += "\x1b[H\x1b[2J";
    else
        screen += "\n";
    std::string state = g_workerRunning.load() ? "connected" : "connecting";
    screen += "Ombrelo monitor on " + monitor.device + " (" + state + ")\n";
    screen += FormatStatusLines(g_testerDevice.readings) + "\n";
    screen += FormatReadingsGrids(ScreenStyle{monitor.colour});
    int rows = g_logger ? g_logger->GetRecordCount() : 0;
    screen += "Readings log: " + std::to_string(rows) + " rows";
    if (monitor.logPeriodMs)
        screen += ", one every " + std::to_string(monitor.logPeriodMs / 1000) + " s";
    screen += "\n";
    std::vector<std::string> messages = GetConsoleMessages();
    for (const std::string& m : messages)
        screen += "! " + m + "\n";
    screen += KeyHelp();
    WriteConsoleText(screen);
}

// Cable flags from the command line: applied once the worker has read the tester's settings
// (it sets the Power button's text right after).
void ApplyPresets(Monitor& monitor)
{
    if (monitor.presetsApplied || g_workerRunning.load() == 0 || GetConsoleControlText(kPowerButtonId).empty())
        return;
    monitor.presetsApplied = true;
    if (!monitor.presetCpuCable && !monitor.presetPcieCable)
        return;
    if (monitor.presetCpuCable)
        StoreByte(g_testerDevice.readings.deviceSettings[kSettingCpu12vCable], 1);
    if (monitor.presetPcieCable)
        StoreByte(g_testerDevice.readings.deviceSettings[kSettingPcie12vCable], 1);
    g_settingsChangedEvent.Signal();
}

bool WaitForWorkerEnd(int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (g_workerThreads.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Timer 2: a readings-log row per period while the worker keeps the timer running. Rows take
// the texts and verdicts of the last screen, as the window's rows take the grid's.
void RunLogTimer(Monitor& monitor, std::chrono::steady_clock::time_point now)
{
    uint32_t period = GetConsoleLogTimerPeriod();
    if (period != monitor.logPeriodMs) {
        monitor.logPeriodMs = period;
        monitor.nextLogRow = now + std::chrono::milliseconds(period);
        return;
    }
    if (period == 0 || now < monitor.nextLogRow)
        return;
    AddReadingsLogRow();
    monitor.nextLogRow += std::chrono::milliseconds(period);
    if (monitor.nextLogRow < now)
        monitor.nextLogRow = now + std::chrono::milliseconds(period);
}

int RunMonitor(Monitor& monitor)
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    monitor.terminal = isatty(STDOUT_FILENO) != 0;
    monitor.colour = monitor.terminal;
    TerminalMode terminalMode;
    terminalMode.Enter();
    KeyReader keys(isatty(STDIN_FILENO) != 0, terminalMode);
    CreateApplicationLogger();

    g_mainWindow = &g_consoleWindow;
    g_stopRequested.store(1);
    DisableDeviceControls(g_mainWindow);
    SetConsolePortName(monitor.device);
    EnableControl(g_mainWindow, kConnectButtonId, false);
    EnableControl(g_mainWindow, kRefreshButtonId, false);
    StartConnectionWorker(g_mainWindow);

    int exitCode = kExitOk;
    auto nextScreen = std::chrono::steady_clock::now();
    while (!monitor.quit && !g_signalled) {
        keys.ReadKeys(monitor);
        ApplyPresets(monitor);
        if (g_workerThreads.load(std::memory_order_acquire) == 0) {
            // The worker ended by itself: refused or lost. Its message has been printed.
            exitCode = kExitConnectionEnded;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= nextScreen) {
            ShowScreen(monitor);
            nextScreen = now + kScreenPeriod;
        }
        RunLogTimer(monitor, now);
        std::this_thread::sleep_for(kLoopStep);
    }

    WaitForWorkerExit();
    bool ended = WaitForWorkerEnd(kWorkerEndWaitMs);
    terminalMode.Restore();
    if (exitCode == kExitConnectionEnded) {
        std::vector<std::string> messages = GetConsoleMessages();
        fprintf(stderr, "ombrelo-console: connection ended%s%s\n", messages.empty() ? "" : ": ",
                messages.empty() ? "" : messages.back().c_str());
    } else {
        WriteConsoleText(g_signalled ? "\nstopped by signal\n" : "\nquit\n");
    }
    if (!ended) {
        fprintf(stderr, "ombrelo-console: the connection did not end in time\n");
        return kExitConnectionEnded;
    }
    DestroyApplicationLogger();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    bool once = false;
    Monitor monitor;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--once")
            once = true;
        else if (arg == "--cpu-cable")
            monitor.presetCpuCable = true;
        else if (arg == "--pcie-cable")
            monitor.presetPcieCable = true;
        else if (arg == "--log-interval" && i + 1 < argc) {
            std::string seconds = argv[++i];
            if (seconds != "1" && seconds != "10" && seconds != "30" && seconds != "60") {
                PrintUsage();
                return kExitUsage;
            }
            g_logIntervalSeconds.store(static_cast<uint8_t>(std::stoi(seconds)));
        }
        else if (arg == "--help" || arg == "-h") {
            PrintUsage();
            return kExitOk;
        } else if (!arg.empty() && arg[0] != '-' && monitor.device.empty())
            monitor.device = arg;
        else {
            PrintUsage();
            return kExitUsage;
        }
    }
    if (monitor.device.empty()) {
        PrintUsage();
        return kExitUsage;
    }
    return once ? RunOnce(monitor.device) : RunMonitor(monitor);
}
