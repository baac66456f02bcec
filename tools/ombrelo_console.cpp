// ombrelo-console: the tester from a Linux terminal. "--once DEVICE" reads every measurement one
// time and prints it; "DEVICE" connects through the connection worker and, playing the main
// window's part, shows the readings twice a second, keeps the readings log on timer 2 and takes
// single-key commands, among them saving the readings log and the test report. "--test DEVICE"
// runs one unattended test for a test bench: connect, optionally switch the supply, let the
// readings settle for a number of poll cycles, judge, write the report and the log, and end with
// an exit code that tells the verdict. "--json" puts one JSON object per poll cycle on stdout;
// "--plot FILE" draws each saved log as an SVG chart beside it.
#include <atomic>
#include <cerrno>
#include <charconv>
#include <functional>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "device/tester_device.h"
#include "device/utf8_text.h"
#include "measurement/cell_text.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "measurement/readings_table.h"
#include "ombrelo_version.h"
#include "records/logger.h"
#include "plot/plot_command.h"
#include "records/readings_log.h"
#include "records/save_files.h"
#include "records/test_report.h"
#include "tools/console_json.h"
#include "tools/console_platform.h"
#include "tools/console_screen.h"
#include "tools/console_test_run.h"
#include "tools/console_window_ops.h"

namespace {

constexpr auto kLoopStep = std::chrono::milliseconds(50);
// The test run watches the cycle count closely: it must ask the worker to stop within the
// 500 ms pause after the last settle cycle, so that no further cycle is made.
constexpr auto kTestLoopStep = std::chrono::milliseconds(10);
constexpr uint32_t kDefaultSettleCycles = 4;
constexpr uint32_t kMaxSettleCycles = 10000;
// Cycles the tester may take to offer the power switch before the test gives up on it.
constexpr uint32_t kPowerOfferCycles = 10;
// Into the worker's 500 ms pause: when the test asks for the minima and maxima reset.
constexpr auto kResetDelay = std::chrono::milliseconds(250);
constexpr auto kScreenPeriod = std::chrono::milliseconds(500);
// After WaitForWorkerExit: the worker may still be closing the port (at most about 2 s).
constexpr int kWorkerEndWaitMs = 5000;

// Written by the signal handler, read by the loop.
volatile std::sig_atomic_t g_signalled = 0;

// A stand-in for the main window: only its address is used.
int g_consoleWindow;

void OnSignal(int) { g_signalled = 1; }

// File and device names come from the command line and the keyboard as UTF-8 and go back out
// the same way, whatever the locale; bytes that are not UTF-8 pass through unchanged.
std::wstring DecodeFileName(const std::string& name)
{
    std::wstring wide;
    DecodeUtf8(name.c_str(), wide);
    return wide;
}

void PrintUsage()
{
    fputs("usage: ombrelo-console [--cpu-cable] [--pcie-cable] [--log-interval S] [--json] [--plot FILE]\n"
          "                       [--reconnect] DEVICE\n"
          "       ombrelo-console --once DEVICE\n"
          "       ombrelo-console --test [--power on|off] [--settle N] [--report FILE] [--log FILE]\n"
          "                       [--plot FILE] [--cpu-cable] [--pcie-cable] [--log-interval S] [--json]\n"
          "                       DEVICE\n"
          "DEVICE is the tester's serial device, e.g. /dev/ttyACM0 or the simulator's /dev/pts/N (COM3 on Windows).\n"
          "--log-interval S: a readings-log row every S seconds (1, 10, 30 or 60; default 10).\n"
          "--cpu-cable, --pcie-cable: declare the 12V CPU / 12V PCIe cable connected (its voltages can FAIL).\n"
          "--json: one JSON object per poll cycle on stdout instead of the screen (see the README).\n"
          "--reconnect: when the connection ends (lost, no answer, device gone), try the same DEVICE again\n"
          "every second instead of ending; for unattended monitoring.\n"
          "--plot FILE: after each saved log (the l key, or --test's --log) draw it as an SVG chart into\n"
          "FILE, beside the log unless FILE has a folder (see ombrelo-plot).\n"
          "Monitor keys: p power on/off, r reset min/max, c toggle 12V CPU cable, e toggle 12V PCIe cable,\n"
          "l save the readings log, t save the test report, x clear the log, q quit.\n"
          "Saving asks for a file name (empty: the last one, first OmbreloLog.txt) and writes it to\n"
          "~/Documents/Zentarix/Ombrelo unless the name has a folder. From a pipe: one key per line,\n"
          "a file name after the key (\"l run7.txt\").\n"
          "--test: connect (identify, firmware check); with --power switch the supply first; wait N poll\n"
          "cycles (--settle, default 4) for the readings to settle; judge; write the test report and the\n"
          "readings log (which ends with a row of the judged readings) to the files given; end.\n"
          "PASS: no cell FAIL, the tester's voltages verdict PASS and its timings verdict not FAIL.\n"
          "On FAIL the failing cells are listed on stderr (\"5V Volt.\"); with --json a summary object ends\n"
          "the output.\n"
          "Exit codes: 0 PASS (or a normal end), 1 connection ended or lost, 2 usage, 3 device cannot be\n"
          "opened (missing, no permission, busy), 4 no tester answers (Device not found!), 5 firmware needs an\n"
          "update, 6 --once: a request went unanswered, 7 FAIL, 8 --report, --log or the --plot chart could\n"
          "not be written, "
          "9 the tester refused or did not offer the --power switch.\n"
          "--version: print the version and end.\n",
          stderr);
}

int64_t GetEpochMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The grid's texts and verdicts from the present values, as the window's display update makes them.
void RefreshGrid()
{
    FormatDisplayedCellTexts(g_readingsTable);
    g_readingsTable.Evaluate();
}

// The worker's account of the requests behind the latest cycle, when it is that cycle's: the line
// is written right after the count moved, and the next account comes a 500 ms pause later.
bool ReadLinkStats(JsonLinkStats& link)
{
    uint32_t latest = g_pollCycleCount.load(std::memory_order_acquire);
    if (g_pollCycleStats.cycle.load(std::memory_order_acquire) != latest)
        return false;
    link.requests = g_pollCycleStats.requests.load(std::memory_order_relaxed);
    link.failedRequests = g_pollCycleStats.failedRequests.load(std::memory_order_relaxed);
    link.longestReadMs = g_pollCycleStats.longestReadMs.load(std::memory_order_relaxed);
    link.longestOtherMs = g_pollCycleStats.longestOtherMs.load(std::memory_order_relaxed);
    link.steadyMs = g_pollCycleStats.endMs.load(std::memory_order_relaxed);
    return true;
}

void WriteCycleJson(uint32_t cycle)
{
    JsonCycleInput input;
    JsonLinkStats link;
    if (ReadLinkStats(link))
        input.link = &link;
    input.cycle = cycle;
    input.timeMs = GetEpochMs();
    input.table = &g_readingsTable;
    input.powerStatus = LoadByte(g_testerDevice.readings.powerStatus);
    input.totalPowerMw = static_cast<uint32_t>(LoadWord(g_testerDevice.readings.totalPower));
    input.cpu12vConnected = LoadByte(g_testerDevice.readings.deviceSettings[kSettingCpu12vCable]) != 0;
    input.pcie12vConnected = LoadByte(g_testerDevice.readings.deviceSettings[kSettingPcie12vCable]) != 0;
    WriteConsoleJsonLine(BuildCycleJson(input));
}

// A device the user cannot open is told apart from one where no tester answers, and a missing
// permission names the group and the udev rule that grant it.
bool CheckDeviceBeforeConnecting(const std::string& device)
{
    int error = CheckDeviceAccess(device);
    if (error == 0)
        return true;
    fprintf(stderr, "ombrelo-console: %s\n", DescribeDeviceOpenFailure(device, error).c_str());
    return false;
}

// After the worker ended by itself: when its open of the port failed (a port another program
// holds passes the access check above), why; "" when the port opened and no tester answered.
std::string DescribeWorkerOpenFailure(const std::string& device)
{
    int error = g_testerDevice.LastOpenError();
    return error == 0 ? std::string() : DescribeDeviceOpenFailure(device, error);
}

// ---- --once ----------------------------------------------------------------------------------

int RunOnce(const std::string& device)
{
    TesterDevice& tester = g_testerDevice;
    if (tester.Open(DecodeFileName(device).c_str()) != kSerialOpenOk) {
        int error = tester.LastOpenError();
        fprintf(stderr, "ombrelo-console: %s\n",
                error ? DescribeDeviceOpenFailure(device, error).c_str() : ("cannot open " + device).c_str());
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
    ScreenStyle style{IsTerminalOutput()};
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
    bool json = false;
    uint32_t lastCycle = 0;
    // --plot: the chart drawn after every saved log; a bare name goes beside the log.
    std::string plotName;
    // --reconnect: when the next try to connect again is due (none while connected).
    bool reconnect = false;
    std::chrono::steady_clock::time_point nextReconnect;
};

// What --test was asked to do.
struct TestOptions {
    bool enabled = false;
    int powerTarget = -1;  // -1: leave the supply as it is; 1 on; 0 off
    uint32_t settleCycles = kDefaultSettleCycles;
    std::string reportPath;
    std::string logPath;
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
// button would and says whether all of it was written. Returns the path written, or "" when
// nothing was.
std::string SaveWithName(const std::string& name, bool (*save)(WindowHandle), const char* what)
{
    std::wstring chosen = name.empty() ? std::wstring(g_saveFileName + 1) : DecodeFileName(name);
    // A folder names no file: the prompt would refuse it, and the message would name the default.
    wchar_t last = chosen.empty() ? 0 : chosen.back();
    if (last > 0 && last < 0x80 && std::strchr(kPathSeparators, static_cast<char>(last)))
        chosen.clear();
    if (!SetNextSaveFileName(chosen.c_str())) {
        WriteConsoleText(std::string("(no file name: ") + what + " not saved)\n");
        return "";
    }
    g_savePath[0] = 0;
    bool saved = save(g_mainWindow);
    std::string path = EncodeUtf8(g_savePath);
    if (saved) {
        WriteConsoleText(std::string(what) + " saved to " + path + "\n");
        return path;
    }
    WriteConsoleText(std::string(what) + " could not be written to " + (path.empty() ? name : path) + "\n");
    return "";
}

// Where --plot puts the chart of a saved log: a bare name beside the log, a name with a folder
// where it says.
std::string GetChartPath(const std::string& logPath, const std::string& plotName)
{
    if (plotName.find_first_of(kPathSeparators) != std::string::npos)
        return plotName;
    size_t slash = logPath.find_last_of(kPathSeparators);
    return slash == std::string::npos ? plotName : logPath.substr(0, slash + 1) + plotName;
}

// Draws a saved log into its chart; message says what was written or why nothing was.
bool WriteChartOfLog(const std::string& logPath, const std::string& plotName, std::string& message)
{
    std::string chartPath = GetChartPath(logPath, plotName);
    // The same name for both would leave a chart where the log was.
    if (chartPath == logPath) {
        message = "the chart would replace the log " + logPath;
        return false;
    }
    return PlotReadingsLogFile(logPath, chartPath, message) == kPlotOk;
}

void PressSaveLog(Monitor& monitor, const std::string& name)
{
    std::string path = SaveWithName(name, SaveReadingsLog, "readings log");
    if (!path.empty() && !monitor.plotName.empty()) {
        std::string message;
        bool drawn = WriteChartOfLog(path, monitor.plotName, message);
        WriteConsoleText((drawn ? message : "chart not written: " + message) + "\n");
    }
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
    void Enter() { changed = EnterKeyMode(); }
    void Restore()
    {
        if (changed)
            LeaveKeyMode();
        changed = false;
    }
    ~TerminalMode() { Restore(); }

private:
    bool changed = false;
};

// Asks for a file name on the terminal, in its ordinary line mode. The screen waits meanwhile,
// as the window does behind its modal save dialog.
std::string AskFileName(TerminalMode& terminalMode)
{
    terminalMode.Restore();
    std::string shown = EncodeUtf8(g_saveFileName + 1);
    WriteConsoleText("\nFile name [" + shown + "]: ");
    std::string line;
    ReadInputLine(line);
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
            char buffer[64];
            int n = ReadAvailableInput(buffer, sizeof buffer);
            if (n == 0)
                return;
            if (n < 0) {
                open = false;  // end of the pipe: keep monitoring without keys
                return;
            }
            for (int i = 0; i < n; ++i)
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

// --reconnect, for unattended monitoring: a connection that ended (lost, no tester answering,
// the device gone for a moment) is tried again on the same device path every second, as a user
// pressing Connect would. A tester that needs a firmware update is not tried again.
constexpr auto kReconnectPeriod = std::chrono::seconds(1);

// Called while no worker runs. False when the monitor should end instead.
bool ReconnectWhenDue(Monitor& monitor, std::chrono::steady_clock::time_point now)
{
    if (!monitor.reconnect)
        return false;
    if (monitor.nextReconnect == std::chrono::steady_clock::time_point{}) {
        std::vector<std::string> messages = GetConsoleMessages();
        if (!messages.empty() && messages.back().find(NarrowText(kFirmwareUpdateText)) != std::string::npos)
            return false;
        fprintf(stderr, "ombrelo-console: connection ended; trying %s again every second\n",
                monitor.device.c_str());
        monitor.nextReconnect = now + kReconnectPeriod;
        return true;
    }
    if (now < monitor.nextReconnect)
        return true;
    monitor.nextReconnect = now + kReconnectPeriod;
    if (CheckDeviceAccess(monitor.device) != 0)
        return true;  // not back yet
    EnableControl(g_mainWindow, kConnectButtonId, false);
    EnableControl(g_mainWindow, kRefreshButtonId, false);
    if (StartConnectionWorker(g_mainWindow))
        monitor.nextReconnect = {};
    return true;
}

int RunMonitor(Monitor& monitor)
{
    CatchStopSignals(OnSignal);

    monitor.terminal = IsTerminalOutput() && !monitor.json;
    monitor.colour = monitor.terminal;
    if (monitor.json)
        RouteConsoleTextToStderr();
    if (!CheckDeviceBeforeConnecting(monitor.device))
        return kExitNoDevice;
    TerminalMode terminalMode;
    terminalMode.Enter();
    KeyReader keys(IsTerminalInput(), terminalMode);
    CreateApplicationLogger();

    g_mainWindow = &g_consoleWindow;
    g_stopRequested.store(1);
    DisableDeviceControls(g_mainWindow);
    SetConsolePortName(monitor.device);
    EnableControl(g_mainWindow, kConnectButtonId, false);
    EnableControl(g_mainWindow, kRefreshButtonId, false);
    monitor.lastCycle = g_pollCycleCount.load(std::memory_order_acquire);
    StartConnectionWorker(g_mainWindow);

    int exitCode = kExitOk;
    auto nextScreen = std::chrono::steady_clock::now();
    while (!monitor.quit && !g_signalled) {
        keys.ReadKeys(monitor);
        ApplyPresets(monitor);
        auto now = std::chrono::steady_clock::now();
        if (g_workerThreads.load(std::memory_order_acquire) == 0 && !ReconnectWhenDue(monitor, now)) {
            // The worker ended by itself: refused or lost. Its message has been printed.
            exitCode = kExitConnectionEnded;
            break;
        }
        if (monitor.json) {
            uint32_t cycle = g_pollCycleCount.load(std::memory_order_acquire);
            if (cycle != monitor.lastCycle) {
                monitor.lastCycle = cycle;
                RefreshGrid();
                WriteCycleJson(cycle);
            }
        } else if (now >= nextScreen) {
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
        std::string openFailure = DescribeWorkerOpenFailure(monitor.device);
        std::vector<std::string> messages = GetConsoleMessages();
        if (!openFailure.empty()) {
            fprintf(stderr, "ombrelo-console: %s\n", openFailure.c_str());
            exitCode = kExitNoDevice;
        } else {
            fprintf(stderr, "ombrelo-console: connection ended%s%s\n", messages.empty() ? "" : ": ",
                    messages.empty() ? "" : messages.back().c_str());
        }
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

// ---- --test ---------------------------------------------------------------------------------

// The worker's messages since the test began, read to tell why a connection ended.
bool HasMessageSince(int firstMessage, const char* text)
{
    std::vector<std::string> messages = GetConsoleMessages();
    int total = CountConsoleMessages();
    // The kept messages are the newest ones; those before firstMessage are skipped.
    int skip = firstMessage - (total - static_cast<int>(messages.size()));
    for (int i = skip < 0 ? 0 : skip; i < static_cast<int>(messages.size()); ++i)
        if (messages[i].find(text) != std::string::npos)
            return true;
    return false;
}

// Exit code and reason of a connection the worker ended by itself.
int ClassifyWorkerEnd(const std::string& device, int firstMessage, std::string& reason)
{
    reason = DescribeWorkerOpenFailure(device);
    if (!reason.empty())
        return kExitNoDevice;
    if (HasMessageSince(firstMessage, NarrowText(kFirmwareUpdateText).c_str())) {
        reason = NarrowText(kFirmwareUpdateText);
        return kExitFirmware;
    }
    if (HasMessageSince(firstMessage, NarrowText(kDeviceNotFoundText).c_str())) {
        reason = NarrowText(kDeviceNotFoundText);
        return kExitNoTester;
    }
    reason = "Connection lost";
    return kExitConnectionEnded;
}

bool CheckOutputFolder(const std::string& path, const char* option)
{
    if (path.empty())
        return true;
    size_t slash = path.find_last_of(kPathSeparators);
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int error = CheckFolderWritable(folder);
    if (error == 0)
        return true;
    fprintf(stderr, "ombrelo-console: %s %s: cannot write to the folder %s: %s\n", option, path.c_str(),
            folder.c_str(), std::strerror(error));
    return false;
}

// Writes one file by the program's own writer; false when it cannot be created or not all of it
// was written.
bool WriteOutputFile(const std::string& path, const char* what, const std::function<bool(std::FILE*)>& write)
{
    std::FILE* file = OpenPlotFile(path, "wb");
    if (!file) {
        fprintf(stderr, "ombrelo-console: the %s could not be written to %s: %s\n", what, path.c_str(),
                std::strerror(errno));
        return false;
    }
    bool ok = write(file);
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        fprintf(stderr, "ombrelo-console: the %s could not be written to %s\n", what, path.c_str());
    return ok;
}

// Steps of the run before the settle cycles are counted: the declared cables are written and the
// supply switched, then the tester's minima and maxima are reset, so that the judged cycles show
// the supply as it is now and not the switch-on or an earlier supply on the same tester.
enum class TestStage { Connecting, Switching, WaitingForCycle, Settling };

struct TestProgress {
    TestStage stage = TestStage::Connecting;
    uint32_t acceptedCycle = 0;  // the count when the connection was accepted
    uint32_t markCycle = 0;      // Switching done at this count
    uint32_t settleStart = 0;    // the judged cycles are the ones after this count
    bool powerAsked = false;
    std::chrono::steady_clock::time_point cycleSeen;  // when the last new count was seen
};

// Ends the run with an error: no verdict, no files.
int EndTestWithError(const Monitor& monitor, int exitCode, const std::string& reason, uint32_t cycles)
{
    fprintf(stderr, "ombrelo-console: test not completed: %s\n", reason.c_str());
    if (monitor.json)
        WriteConsoleJsonLine(BuildSummaryJson(GetEpochMs(), cycles, TestVerdict{}, 0, exitCode, reason));
    return exitCode;
}

int RunTest(Monitor& monitor, const TestOptions& test)
{
    CatchStopSignals(OnSignal);

    // stdout carries the result: the final screen, or the JSON lines. Everything else is stderr.
    RouteConsoleTextToStderr();
    if (!CheckOutputFolder(test.reportPath, "--report") || !CheckOutputFolder(test.logPath, "--log") ||
        (!monitor.plotName.empty() && !CheckOutputFolder(GetChartPath(test.logPath, monitor.plotName), "--plot")))
        return kExitUsage;
    if (!CheckDeviceBeforeConnecting(monitor.device))
        return kExitNoDevice;
    CreateApplicationLogger();

    g_mainWindow = &g_consoleWindow;
    g_stopRequested.store(1);
    DisableDeviceControls(g_mainWindow);
    SetConsolePortName(monitor.device);
    EnableControl(g_mainWindow, kConnectButtonId, false);
    EnableControl(g_mainWindow, kRefreshButtonId, false);
    const int firstMessage = CountConsoleMessages();
    const uint32_t startCycle = g_pollCycleCount.load(std::memory_order_acquire);
    monitor.lastCycle = startCycle;
    if (!StartConnectionWorker(g_mainWindow))
        return EndTestWithError(monitor, kExitConnectionEnded, "the connection could not be started", 0);

    TestProgress progress;
    int errorCode = kExitOk;
    std::string errorReason;
    uint32_t cycle = startCycle;
    progress.cycleSeen = std::chrono::steady_clock::now();
    while (true) {
        if (g_signalled) {
            errorCode = kExitConnectionEnded;
            errorReason = "stopped by signal";
            break;
        }
        if (g_workerThreads.load(std::memory_order_acquire) == 0) {
            errorCode = ClassifyWorkerEnd(monitor.device, firstMessage, errorReason);
            break;
        }
        cycle = g_pollCycleCount.load(std::memory_order_acquire);
        if (cycle != monitor.lastCycle) {
            monitor.lastCycle = cycle;
            progress.cycleSeen = std::chrono::steady_clock::now();
            RefreshGrid();
            if (monitor.json)
                WriteCycleJson(cycle - startCycle);
        }
        RunLogTimer(monitor, std::chrono::steady_clock::now());

        auto now = std::chrono::steady_clock::now();
        if (progress.stage == TestStage::Connecting && g_workerRunning.load() != 0 &&
            !GetConsoleControlText(kPowerButtonId).empty()) {
            // Accepted, settings and status read: the worker has set the Power button's text.
            progress.stage = TestStage::Switching;
            progress.acceptedCycle = cycle;
            ApplyPresets(monitor);
        }
        if (progress.stage == TestStage::Switching) {
            bool done = test.powerTarget < 0;
            if (!done && !progress.powerAsked) {
                uint8_t status = LoadByte(g_testerDevice.readings.powerStatus);
                bool isOn = (status & kPowerStatusOn) != 0;
                bool isOff = !isOn && (status & kPowerStatusOff) != 0;
                if ((test.powerTarget == 1 && isOn) || (test.powerTarget == 0 && isOff)) {
                    done = true;  // already as asked
                } else if (IsConsoleControlEnabled(kPowerButtonId) && (isOn || isOff)) {
                    RequestPowerSwitch(g_mainWindow);
                    progress.powerAsked = true;
                } else if (cycle - progress.acceptedCycle >= kPowerOfferCycles) {
                    errorCode = kExitPowerRefused;
                    errorReason = "the tester reports the supply neither on nor off: no power switch";
                    break;
                }
            } else if (!done && g_powerRequest.load() == 0) {
                done = true;
                if (HasMessageSince(firstMessage, "Not allowed")) {
                    errorCode = kExitPowerRefused;
                    errorReason = std::string("the tester refused to switch the supply ") +
                                  (test.powerTarget ? "on" : "off");
                    break;
                }
            }
            if (done) {
                progress.stage = TestStage::WaitingForCycle;
                progress.markCycle = cycle;
            }
        }
        // The reset goes out in the middle of a cycle's pause, well clear of the worker's test of
        // the event right after the count, so the cycle that sends it is known.
        if (progress.stage == TestStage::WaitingForCycle && cycle != progress.markCycle &&
            now - progress.cycleSeen >= kResetDelay) {
            g_resetMinMaxEvent.Signal();
            progress.settleStart = GetSettleStartAfterCycleEndRequest(cycle);
            progress.stage = TestStage::Settling;
        }
        if (progress.stage == TestStage::Settling && cycle - progress.settleStart >= test.settleCycles &&
            static_cast<int32_t>(cycle - progress.settleStart) >= 0)
            break;
        std::this_thread::sleep_for(kTestLoopStep);
    }

    WaitForWorkerExit();
    bool ended = WaitForWorkerEnd(kWorkerEndWaitMs);
    uint32_t cycles = g_pollCycleCount.load(std::memory_order_acquire) - startCycle;
    // A connection lost in the last cycle still counted that cycle: its values are stale.
    if (errorCode == kExitOk && HasMessageSince(firstMessage, "Connection lost")) {
        errorCode = kExitConnectionEnded;
        errorReason = "Connection lost";
    }
    if (errorCode == kExitOk && !ended) {
        errorCode = kExitConnectionEnded;
        errorReason = "the connection did not end in time";
    }
    if (errorCode != kExitOk)
        return EndTestWithError(monitor, errorCode, errorReason, cycles);

    // Judged as the window would judge the readings at this moment; the log ends with them.
    RefreshGrid();
    AddReadingsLogRow();
    uint8_t powerStatus = LoadByte(g_testerDevice.readings.powerStatus);
    TestVerdict verdict = JudgeTestRun(g_readingsTable.state, powerStatus);

    bool written = true;
    if (!test.reportPath.empty()) {
        std::string report = BuildTestReport(g_readingsTable.text, g_readingsTable.state, powerStatus,
                                             static_cast<uint32_t>(LoadWord(g_testerDevice.readings.totalPower)));
        written = WriteOutputFile(test.reportPath, "test report",
                                  [&](std::FILE* file) { return WriteTestReport(file, report); }) && written;
    }
    if (!test.logPath.empty()) {
        bool logWritten = WriteOutputFile(test.logPath, "readings log",
                                          [&](std::FILE* file) { return WriteReadingsLog(file, g_logger.get()); });
        written = logWritten && written;
        if (logWritten && !monitor.plotName.empty()) {
            std::string message;
            bool drawn = WriteChartOfLog(test.logPath, monitor.plotName, message);
            fprintf(stderr, "ombrelo-console: %s%s\n", drawn ? "" : "the chart could not be written: ",
                    message.c_str());
            written = drawn && written;
        }
    }

    int exitCode = !written ? kExitFilesNotWritten : verdict.pass ? kExitOk : kExitTestFail;
    if (!monitor.json) {
        std::string screen = FormatStatusLines(g_testerDevice.readings) + "\n" +
                             FormatReadingsGrids(ScreenStyle{IsTerminalOutput()});
        screen += std::string("Verdict: ") + (verdict.pass ? "PASS" : "FAIL") + "\n";
        fputs(screen.c_str(), stdout);
        fflush(stdout);
    } else {
        WriteConsoleJsonLine(BuildSummaryJson(GetEpochMs(), cycles, verdict, powerStatus, exitCode, ""));
    }
    if (!verdict.pass)
        fprintf(stderr, "ombrelo-console: %s\n", DescribeTestVerdict(verdict).c_str());
    DestroyApplicationLogger();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    PrepareConsoleProcess(argc, argv);
    if (PrintVersionIfAsked(argc, argv, "ombrelo-console"))
        return kExitOk;
    bool once = false;
    Monitor monitor;
    TestOptions test;
    bool testOnlyOption = false;
    auto usageError = [](const std::string& message) {
        fprintf(stderr, "ombrelo-console: %s\n", message.c_str());
        PrintUsage();
        return kExitUsage;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--once")
            once = true;
        else if (arg == "--test")
            test.enabled = true;
        else if (arg == "--json")
            monitor.json = true;
        else if (arg == "--reconnect")
            monitor.reconnect = true;
        else if (arg == "--cpu-cable")
            monitor.presetCpuCable = true;
        else if (arg == "--pcie-cable")
            monitor.presetPcieCable = true;
        else if (arg == "--log-interval" && hasValue) {
            std::string seconds = argv[++i];
            if (seconds != "1" && seconds != "10" && seconds != "30" && seconds != "60")
                return usageError("--log-interval takes 1, 10, 30 or 60");
            g_logIntervalSeconds.store(static_cast<uint8_t>(std::stoi(seconds)));
        } else if (arg == "--power" && hasValue) {
            std::string target = argv[++i];
            if (target != "on" && target != "off")
                return usageError("--power takes on or off");
            test.powerTarget = target == "on" ? 1 : 0;
            testOnlyOption = true;
        } else if (arg == "--settle" && hasValue) {
            std::string count = argv[++i];
            uint32_t value = 0;
            auto result = std::from_chars(count.data(), count.data() + count.size(), value);
            if (result.ec != std::errc() || result.ptr != count.data() + count.size() || value < 1 ||
                value > kMaxSettleCycles)
                return usageError("--settle takes a number of poll cycles from 1 to " +
                                  std::to_string(kMaxSettleCycles));
            test.settleCycles = value;
            testOnlyOption = true;
        } else if ((arg == "--report" || arg == "--log") && hasValue) {
            std::string path = argv[++i];
            if (path.empty())
                return usageError(arg + " needs a file name");
            (arg == "--report" ? test.reportPath : test.logPath) = path;
            testOnlyOption = true;
        } else if (arg == "--plot" && hasValue) {
            monitor.plotName = argv[++i];
            if (monitor.plotName.empty())
                return usageError("--plot needs a file name");
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage();
            return kExitOk;
        } else if (!arg.empty() && arg[0] != '-' && monitor.device.empty())
            monitor.device = arg;
        else
            return usageError("unknown or incomplete option '" + arg + "'");
    }
    if (monitor.device.empty())
        return usageError("no DEVICE given");
    if (once && (test.enabled || monitor.json || !monitor.plotName.empty()))
        return usageError("--once goes without --test, --json and --plot");
    if (test.enabled && !monitor.plotName.empty() && test.logPath.empty())
        return usageError("--plot in a test run draws the --log file: give --log too");
    if (monitor.reconnect && (once || test.enabled))
        return usageError("--reconnect belongs to the monitor, not to --once or --test");
    if (testOnlyOption && !test.enabled)
        return usageError("--power, --settle, --report and --log belong to --test");
    if (once)
        return RunOnce(monitor.device);
    return test.enabled ? RunTest(monitor, test) : RunMonitor(monitor);
}
